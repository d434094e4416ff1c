// The record stand-in on arbitrary file bytes: a file with a size clones to exactly its bytes, and
// every accessor answers consistently and within the record (ASan watches the exact buffer).
#include <cstring>
#include "fuzz/fuzz_support.h"
#include "platform/srg.h"
extern "C" int LLVMFuzzerInitialize(int *, char ***) { return fuzz::enter_sandbox(), 0; }
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    const char *path = "/tmp/fuzz.sro";
    fuzz::write_file(path, data, size);
    int before = fuzz::lowest_free_descriptor();
    uint32_t n = srg_file_size(path);
    const char *file_id = srg_sw_id_file_get(path);
    FZ_CHECK(fuzz::lowest_free_descriptor() == before && (n == 0 || n == size) && (n || !file_id));
    auto *rec = static_cast<srg_record *>(n ? std::malloc(n) : nullptr);
    if (!rec) return 0;
    FZ_CHECK(srg_file_clone(rec, path, n + 1) != 0 && srg_file_clone(rec, path, n) == 0 &&
             fuzz::lowest_free_descriptor() == before);
    FZ_CHECK(srg_size(rec) == n && std::memcmp(rec, data, n) == 0);
    const char *id = srg_sw_id_get(rec);
    FZ_CHECK((id == nullptr) == (file_id == nullptr) &&
             (!id || (std::strcmp(id, file_id) == 0 && *id && std::strlen(id) <= SRG_SW_ID_MAX)));
    const sysmgr_strings *deps = reinterpret_cast<const sysmgr_strings *>(0x1);
    FZ_CHECK(srg_dependency_strings_get(rec, 1, &deps) == SRG_ERR_INVALID_ARG &&
             srg_dependency_strings_get(rec, 0, &deps) == 0);
    uint32_t i = 0, count = sysmgr_strings_num_strings_get(deps);
    for (; i < count; ++i) FZ_CHECK(sysmgr_strings_get(deps, i) && *sysmgr_strings_get(deps, i));
    FILE *out = std::fopen("/dev/null", "w");
    FZ_CHECK(sysmgr_strings_get(deps, count) == nullptr && srg_dump(out, rec) > 0 &&
             std::fclose(out) == 0);
    std::free(rec);
    return 0;
}
