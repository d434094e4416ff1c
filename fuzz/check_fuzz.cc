// The image check over arbitrary archive bytes behind a valid header block: it always reaches a
// verdict (never "could not check"), refuses exactly when a finding refuses, names every finding
// printably, and leaves no descriptor open.
#include "fuzz/fuzz_support.h"
#include "tests/installer/image_writer.h"
#include "tools/installer/check.h"
extern "C" int LLVMFuzzerInitialize(int *, char ***) { return fuzz::enter_sandbox(), 0; }
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    const std::string img =
        test_support::header_block() + std::string(reinterpret_cast<const char *>(data), size);
    fuzz::write_file("/tmp/fuzz.img", reinterpret_cast<const uint8_t *>(img.data()), img.size());
    const int before = fuzz::lowest_free_descriptor();
    std::vector<installer::Problem> problems;
    std::string error;
    const int rc = installer::check_image("/tmp/fuzz.img", {}, problems, error);
    bool refusing = false;
    for (const installer::Problem &p : problems) {
        refusing = refusing || !p.allowed;
        FZ_CHECK(!p.entry.empty() && !p.reason.empty());
        for (const unsigned char c : p.entry) FZ_CHECK(c >= 0x20 && c != 0x7f);
    }
    FZ_CHECK(error.empty() &&
             rc == (refusing ? installer::kCheckRefused : installer::kCheckAccepted));
    FZ_CHECK(fuzz::lowest_free_descriptor() == before);
    return 0;
}
