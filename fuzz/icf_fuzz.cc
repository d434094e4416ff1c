// The image configuration reader on arbitrary file bytes, against a model of
// its line rule: names one per line, blanks around them trimmed, blank lines
// and '#' lines skipped, a line over PLUGIN_ICF_MAX_LINE bytes or holding a
// NUL makes the file invalid.
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "platform/plugin_icf.h"

namespace {

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

// false: the file is invalid.
bool model(const std::string &text, std::vector<std::string> *names) {
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t nl = text.find('\n', start);
        std::size_t end = nl == std::string::npos ? text.size() : nl;
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line.size() > PLUGIN_ICF_MAX_LINE || line.find('\0') != std::string::npos) return false;
        std::size_t b = 0, e = line.size();
        while (b < e && blank(line[b])) ++b;
        while (e > b && blank(line[e - 1])) --e;
        if (b == e || line[b] == '#') continue;
        names->push_back(line.substr(b, e - b));
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fz::enter_sandbox();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    const char *path = "/tmp/fuzz.icf";
    fz::write_file(path, data, size);
    std::vector<std::string> want;
    bool valid = model(std::string(reinterpret_cast<const char *>(data), size), &want);

    int before = fz::lowest_free_descriptor();
    plugin_icf *icf = reinterpret_cast<plugin_icf *>(0x1);
    uint32_t rc = plugin_icf_open(path, &icf);
    FZ_CHECK(fz::lowest_free_descriptor() == before);
    if (rc != 0) {
        FZ_CHECK(icf == reinterpret_cast<plugin_icf *>(0x1));
        FZ_CHECK(rc == PLUGIN_ICF_ERR_NOMEM || (rc == PLUGIN_ICF_ERR_LINE && !valid));
        return 0;
    }
    FZ_CHECK(valid);
    std::vector<std::string> got;
    const char *name = nullptr;
    FZ_CHECK(plugin_icf_first_img_name(icf, &name) == 0);
    while (name) {
        got.push_back(name);
        FZ_CHECK(plugin_icf_get_name(icf, &name) == 0);
    }
    FZ_CHECK(plugin_icf_get_name(icf, &name) == 0 && name == nullptr);
    FZ_CHECK(got == want);
    plugin_icf_close(icf);
    return 0;
}
