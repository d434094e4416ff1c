// The image header block on arbitrary file bytes: img_open refuses with one of its codes, or hands
// out a block size within the file and a vendor record that is itself a valid record.
#include "fuzz/fuzz_support.h"
#include "platform/img.h"
#include "platform/srg.h"
extern "C" int LLVMFuzzerInitialize(int *, char ***) { return fuzz::enter_sandbox(), 0; }
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    fuzz::write_file("/tmp/fuzz.img", data, size);
    int before = fuzz::lowest_free_descriptor();
    int32_t status = -1;
    img_handle *img = img_open("/tmp/fuzz.img", &status);
    FZ_CHECK(
        fuzz::lowest_free_descriptor() == before &&
        (img ? status == 0 : status >= int32_t(IMG_ERR_READ) && status <= int32_t(IMG_ERR_NOMEM)));
    if (!img) return 0;
    FZ_CHECK(img->block_size >= IMG_HEADER_OVERHEAD && img->block_size <= size &&
             img_extract_vendor_info(img, "/tmp/fuzz.sro") == 0);
    uint32_t n = srg_file_size("/tmp/fuzz.sro");
    FZ_CHECK(n > 0 && n + IMG_HEADER_OVERHEAD <= img->block_size && img_close(img) == 0 &&
             fuzz::lowest_free_descriptor() == before);
    return 0;
}
