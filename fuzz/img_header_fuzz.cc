// The image header block on arbitrary file bytes: img_open checks every
// field; an image it accepts hands out its block size and vendor record,
// which must itself be a valid record.
#include <cstring>

#include "fuzz/fuzz_support.h"
#include "platform/img.h"
#include "platform/srg.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fz::enter_sandbox();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    const char *path = "/tmp/fuzz.img";
    const char *vendor = "/tmp/fuzz.img.sro";
    fz::write_file(path, data, size);
    int before = fz::lowest_free_descriptor();
    int32_t status = -1;
    img_handle *img = img_open(path, &status);
    FZ_CHECK(fz::lowest_free_descriptor() == before);
    if (!img) {
        FZ_CHECK(status != 0);
        FZ_CHECK(status == static_cast<int32_t>(IMG_ERR_TRUNCATED) ||
                 status == static_cast<int32_t>(IMG_ERR_HEADER) ||
                 status == static_cast<int32_t>(IMG_ERR_RECORD) ||
                 status == static_cast<int32_t>(IMG_ERR_NOMEM) ||
                 status == static_cast<int32_t>(IMG_ERR_READ));
        return 0;
    }
    FZ_CHECK(status == 0);
    FZ_CHECK(img->block_size >= IMG_HEADER_OVERHEAD && img->block_size <= size);
    FZ_CHECK(img_extract_vendor_info(img, vendor) == 0);
    FZ_CHECK(fz::lowest_free_descriptor() == before);
    uint32_t n = srg_file_size(vendor);
    FZ_CHECK(n > 0 && n + IMG_HEADER_OVERHEAD <= img->block_size);
    FZ_CHECK(img_close(img) == 0);
    return 0;
}
