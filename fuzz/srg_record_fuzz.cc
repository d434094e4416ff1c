// The record stand-in on arbitrary file bytes: srg_file_size, srg_file_clone
// and every accessor.  A file that has a size must clone, and the clone must
// answer consistently; nothing is read beyond the record (AddressSanitizer
// watches the exactly sized buffer).
#include <cstring>

#include "fuzz/fuzz_support.h"
#include "platform/srg.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fz::enter_sandbox();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    const char *path = "/tmp/fuzz.sro";
    fz::write_file(path, data, size);
    int before = fz::lowest_free_descriptor();
    uint32_t n = srg_file_size(path);
    const char *file_id = srg_sw_id_file_get(path);
    FZ_CHECK(fz::lowest_free_descriptor() == before);
    if (n == 0) {
        FZ_CHECK(file_id == nullptr);
        return 0;
    }
    FZ_CHECK(n == size);
    srg_record *rec = static_cast<srg_record *>(std::malloc(n));
    if (!rec) return 0;
    FZ_CHECK(srg_file_clone(rec, path, n) == 0);
    FZ_CHECK(fz::lowest_free_descriptor() == before);
    FZ_CHECK(srg_file_clone(rec, path, n + 1) != 0 || n + 1 == 0);
    FZ_CHECK(srg_file_clone(rec, path, n) == 0);
    FZ_CHECK(srg_size(rec) == n);
    FZ_CHECK(std::memcmp(rec, data, n) == 0);
    const char *id = srg_sw_id_get(rec);
    FZ_CHECK((id == nullptr) == (file_id == nullptr));
    if (id) {
        FZ_CHECK(std::strlen(id) >= 1 && std::strlen(id) <= SRG_SW_ID_MAX);
        FZ_CHECK(std::strcmp(id, file_id) == 0);
    }
    const sysmgr_strings *deps = reinterpret_cast<const sysmgr_strings *>(0x1);
    FZ_CHECK(srg_dependency_strings_get(rec, 1, &deps) == SRG_ERR_INVALID_ARG);
    FZ_CHECK(srg_dependency_strings_get(rec, 0, &deps) == 0);
    uint32_t count = sysmgr_strings_num_strings_get(deps);
    for (uint32_t i = 0; i < count; ++i) {
        const char *dep = sysmgr_strings_get(deps, i);
        FZ_CHECK(dep != nullptr);
        FZ_CHECK(std::strlen(dep) >= 1 && std::strlen(dep) <= SRG_SW_ID_MAX);
    }
    FZ_CHECK(sysmgr_strings_get(deps, count) == nullptr);
    FILE *out = std::fopen("/dev/null", "w");
    FZ_CHECK(out != nullptr);
    FZ_CHECK(srg_dump(out, rec) > 0);
    std::fclose(out);
    std::free(rec);
    return 0;
}
