// The image configuration reader on arbitrary file bytes, against a model of its line rule: names
// one per line, blanks around them trimmed, blank and '#' lines skipped; a line over
// PLUGIN_ICF_MAX_LINE bytes or holding a NUL makes the file invalid.
#include <string>
#include <vector>
#include "fuzz/fuzz_support.h"
#include "platform/plugin_icf.h"
extern "C" int LLVMFuzzerInitialize(int *, char ***) { return fuzz::enter_sandbox(), 0; }
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    fuzz::write_file("/tmp/fuzz.icf", data, size);
    std::string text(reinterpret_cast<const char *>(data), size), blanks = " \t\r\v\f";
    std::vector<std::string> want, got;
    bool valid = true;
    for (std::size_t start = 0, end; start < text.size(); start = end + 1) {
        end = std::min(text.find('\n', start), text.size());
        std::string line = text.substr(start, end - start);
        valid = valid && line.size() <= PLUGIN_ICF_MAX_LINE && line.find('\0') == std::string::npos;
        std::size_t b = line.find_first_not_of(blanks), e = line.find_last_not_of(blanks);
        if (b != std::string::npos && line[b] != '#') want.push_back(line.substr(b, e - b + 1));
    }
    int before = fuzz::lowest_free_descriptor();
    plugin_icf *icf = reinterpret_cast<plugin_icf *>(0x1);
    uint32_t rc = plugin_icf_open("/tmp/fuzz.icf", &icf);
    FZ_CHECK(fuzz::lowest_free_descriptor() == before &&
             (!rc ||
              (icf == reinterpret_cast<plugin_icf *>(0x1) && rc == PLUGIN_ICF_ERR_LINE && !valid)));
    if (rc) return 0;
    const char *name = nullptr;
    FZ_CHECK(valid && plugin_icf_first_img_name(icf, &name) == 0);
    for (; name; FZ_CHECK(plugin_icf_get_name(icf, &name) == 0)) got.push_back(name);
    FZ_CHECK(plugin_icf_get_name(icf, &name) == 0 && name == nullptr && got == want &&
             plugin_icf_close(icf) == 0);
    return 0;
}
