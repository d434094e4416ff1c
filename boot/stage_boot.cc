// Boot-stage status record in /velm/plugin_extract_log/stage_boot
// (plugin_read_remaining_load, plugin_write_remaining_load).
//
// The record is (N + 2) 32-bit words, N from get_max_allowed_zell() asked once
// per call.  The file holds the record's bytes as they lie in memory, from
// offset 0; a longer file keeps its tail.
#include <cstring>

#include "frame/export.h"
#include "frame/log.h"
#include "frame/own.h"
#include "platform/system_zell.h"

namespace {

constexpr char kStageBoot[] = "/velm/plugin_extract_log/stage_boot";
constexpr uint32_t kFreshBoot = 0x424F4F54;  // "BOOT"
constexpr int kReadTries = 5;

// The size check of both operations.  The required size is computed in 64
// bits; one that is not a positive number of words (N < -1) or does not fit
// 32 bits never matches, so a zero-sized buffer is never written to.
bool size_ok(const void *record, int32_t size) {
    int64_t required = (static_cast<int64_t>(get_max_allowed_zell()) + 2) * 4;
    bool ok = record != nullptr && required >= 4 && required <= INT32_MAX && size == required;
    if (ok) return true;
    // verbatim: "name= value" spacing; the address as its low 32 bits
    PI_LOG("boot_status= %x size= %d len= %d\n",
           static_cast<unsigned>(reinterpret_cast<uintptr_t>(record)), static_cast<int>(size),
           static_cast<int>(required));
    return false;
}

bool path_exists() {
    struct stat st;
    return ::stat(kStageBoot, &st) == 0;
}

}  // namespace

extern "C" PI_EXPORT plugin_rc_t plugin_read_remaining_load(uint32_t *record, int32_t size) {
    PI_OPERATION();
    if (!size_ok(record, size)) return PLUGIN_ERR_INVALID_ARG;

    const plugin_intn::File file = plugin_intn::open_file(kStageBoot, "r");
    if (!file) {
        if (path_exists()) return PLUGIN_ERR_OPEN;
        record[0] = kFreshBoot;  // nothing stored yet: a fresh boot
        return PLUGIN_OK;
    }
    const std::size_t want = static_cast<std::size_t>(size);
    for (int attempt = 1;; ++attempt) {
        std::size_t got = std::fread(record, 1, want, file.get());
        if (got == want) return PLUGIN_OK;
        if (attempt == kReadTries) {
            PI_LOG("read fails (%d/%d)\n", static_cast<int>(got), static_cast<int>(size));
            return PLUGIN_ERR_READ;
        }
        ::sleep(1);
        std::fseek(file.get(), 0, SEEK_SET);  // also clears the end-of-file mark
    }
}

extern "C" PI_EXPORT plugin_rc_t plugin_write_remaining_load(const uint32_t *record, int32_t size) {
    PI_OPERATION();
    if (!size_ok(record, size)) return PLUGIN_ERR_INVALID_ARG;

    // An existing file is overwritten in place and keeps any longer tail.
    const plugin_intn::File file = plugin_intn::open_file(kStageBoot, path_exists() ? "r+" : "w");
    if (!file) return PLUGIN_ERR_OPEN;
    // Unbuffered, so that a short write shows in fwrite's count rather than
    // only in the close, whose result is not looked at.
    std::setvbuf(file.get(), nullptr, _IONBF, 0);
    const std::size_t want = static_cast<std::size_t>(size);
    const std::size_t put = std::fwrite(record, 1, want, file.get());
    return put == want ? PLUGIN_OK : PLUGIN_ERR_WRITE;
}
