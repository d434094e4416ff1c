// The software-id map file: read under a shared flock, written under an
// exclusive one.  The file holds the map's bytes from its first byte on; a
// shorter map written over a longer file leaves the older tail in place.
#include <cerrno>
#include <cstring>
#include <sys/file.h>

#include "frame/export.h"
#include "frame/log.h"
#include "frame/own.h"
#include "platform/plugin_strings.h"
#include "swid/swid_map.h"

namespace plugin_intn::swid {
namespace {

// A file longer than this cannot hold a map (the size word is signed 32-bit,
// and a stale tail is never longer than an earlier map).
constexpr uint64_t kMaxFileSize = INT32_MAX;

// Every string of the block lies inside the block and ends inside it.
bool strings_inside(const plugin_strings *set, uint32_t max_size) {
    const char *lo = reinterpret_cast<const char *>(set);
    const char *hi = lo + max_size;
    uint32_t count = plugin_strings_num_strings_get(set);
    for (uint32_t i = 0; i < count; ++i) {
        const char *s = plugin_strings_get(set, i);
        if (!s || s < lo || s >= hi) return false;
        if (!std::memchr(s, '\0', static_cast<std::size_t>(hi - s))) return false;
    }
    return true;
}

// Checks a map read from a file into a buffer of len bytes before anything
// trusts it: the block's header, the trailer and the size word all lie inside
// the bytes read, the map is intact and the block's counts and strings stay
// inside the block.  The size word's value is not compared with the block's
// size (intact means magic and trailer only); it only has to stay inside the
// buffer, so that writing the map back never reads past it.
bool trusted(const unsigned char *buf, std::size_t len) {
    if (len < kBlockOffset || plugin_intn::load32(buf, kMagicOffset) != kMagic) return false;
    // The smallest block there is: its header at least must have been read
    // before the block may be asked for its size.
    uint64_t min_block = plugin_strings_memory_size(0, 0);
    if (kBlockOffset + min_block + 4 > len) return false;
    const auto *map = reinterpret_cast<const plugin_swid_map *>(buf);
    const plugin_strings *set = block(map);
    int32_t m = plugin_strings_max_size(set);
    if (m < 0 || static_cast<uint64_t>(m) < min_block) return false;
    if (kBlockOffset + static_cast<uint64_t>(m) + 4 > len) return false;
    if (static_cast<uint64_t>(plugin_intn::load32(buf, kSizeOffset)) > len) return false;
    if (!plugin_swid_map_integrity_ok(map)) return false;
    int32_t used = plugin_strings_space_used(set);
    if (used < 0 || used > m) return false;
    if (plugin_strings_num_strings_get(set) > plugin_strings_max_strings_get(set)) return false;
    return strings_inside(set, static_cast<uint32_t>(m));
}

// Reads the whole file under a shared lock.  The size is taken again once the
// lock is held, since a writer may have grown the file between the first
// query and the lock; buf and size follow it.
plugin_rc_t read_locked(FILE *f, plugin_intn::Owned<unsigned char[]> &buf, std::size_t &size) {
    const plugin_intn::FlockGuard lock(fileno(f), LOCK_SH);
    struct stat st;
    if (::fstat(fileno(f), &st) < 0) return PLUGIN_ERR_STAT;
    if (st.st_size == 0) return PLUGIN_ERR_EMPTY_FILE;
    if (static_cast<uint64_t>(st.st_size) > kMaxFileSize) return PLUGIN_ERR_CORRUPT;
    if (static_cast<std::size_t>(st.st_size) != size) {
        size = static_cast<std::size_t>(st.st_size);
        buf = plugin_intn::alloc<unsigned char>(size);
        if (!buf) return PLUGIN_ERR_NOMEM;
    }
    if (std::fread(buf.get(), 1, size, f) < size) return PLUGIN_ERR_READ;
    return PLUGIN_OK;
}

// Writes the map's n bytes under an exclusive lock.  All of them must be in
// the file before the lock goes: a failed flush (a full device, say) is a
// short write too.
plugin_rc_t write_locked(FILE *f, const plugin_swid_map *map, std::size_t n) {
    const plugin_intn::FlockGuard lock(fileno(f), LOCK_EX);
    if (std::fwrite(map, 1, n, f) == n && std::fflush(f) == 0) return PLUGIN_OK;
    PI_LOG("corrupted swid_map_\n");  // verbatim: a short write reads "corrupted"
    return PLUGIN_ERR_WRITE;
}

}  // namespace
}  // namespace plugin_intn::swid

using namespace plugin_intn::swid;

extern "C" {

PI_EXPORT plugin_rc_t plugin_read_swid_map(const char *path, plugin_swid_map **out) {
    if (!path || !out) return PLUGIN_ERR_INVALID_ARG;

    struct stat st;
    if (::stat(path, &st) < 0) return errno == ENOENT ? PLUGIN_ERR_NOENT : PLUGIN_ERR_STAT;
    if (st.st_size == 0) return PLUGIN_ERR_EMPTY_FILE;

    // From here on every failure leaves the out pointer null.
    *out = nullptr;
    if (static_cast<uint64_t>(st.st_size) > kMaxFileSize) return PLUGIN_ERR_CORRUPT;
    std::size_t size = static_cast<std::size_t>(st.st_size);
    plugin_intn::Owned<unsigned char[]> buf = plugin_intn::alloc<unsigned char>(size);
    if (!buf) return PLUGIN_ERR_NOMEM;

    plugin_intn::File f = plugin_intn::open_file(path, "r");
    if (!f) return PLUGIN_ERR_OPEN;
    const plugin_rc_t rc = read_locked(f.get(), buf, size);
    if (rc != PLUGIN_OK) return rc;

    if (!trusted(buf.get(), size)) return PLUGIN_ERR_CORRUPT;
    *out = reinterpret_cast<plugin_swid_map *>(buf.release());
    return PLUGIN_OK;
}

PI_EXPORT plugin_rc_t plugin_write_swid_map(const char *path, const plugin_swid_map *map) {
    PI_OPERATION();
    if (!path || !map) return PLUGIN_ERR_INVALID_ARG;
    // A size word with the sign bit set cannot be a byte count to write.
    if (!plugin_swid_map_integrity_ok(map) || plugin_swid_map_size(map) < 0) {
        PI_LOG("corrupted swid_map_\n");
        return PLUGIN_ERR_CORRUPT;
    }

    struct stat st;
    const char *mode = ::stat(path, &st) < 0 ? "w" : "r+";
    plugin_intn::File f = plugin_intn::open_file(path, mode);
    if (!f) {
        PI_LOG("open %s for write failed\n", path);
        return PLUGIN_ERR_OPEN;
    }

    const plugin_rc_t rc =
        write_locked(f.get(), map, static_cast<std::size_t>(plugin_swid_map_size(map)));
    if (rc != PLUGIN_OK) return rc;
    if (plugin_intn::close_now(f) != 0) {
        PI_LOG("corrupted swid_map_\n");
        return PLUGIN_ERR_WRITE;
    }
    return PLUGIN_OK;
}

}  // extern "C"
