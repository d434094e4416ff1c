// The manifest line rule (pi::manifest_line_trim) and the exclusion check
// (plugin_file_is_excluded_from_exec_path) against models of both.  Input:
// exclusion strings, one per line, up to a line holding only "%%", then a
// manifest.  Every manifest line is trimmed, turned into its link name and
// tested against the set, as linking does.
#include <cstring>
#include <string>
#include <vector>

#include "execpath/manifest.h"
#include "fuzz/fuzz_support.h"
#include "platform/plugin_strings.h"
#include "plugin_intn.h"

namespace {

// The entry of a line, or nothing (false).
bool model_trim(std::string line, std::string *entry) {
    if (line.compare(0, 2, "./") == 0) line.erase(0, 2);
    if (!line.empty() && line.back() == '\n') line.pop_back();
    *entry = line;
    return !line.empty();
}

bool model_excluded(const std::string &path, const std::vector<std::string> &set) {
    for (const std::string &s : set) {
        std::size_t at = path.find(s);
        if (at == std::string::npos) continue;
        if (at == 0) return true;
        if (path[at] != '/') continue;
        bool slashes = true;
        for (std::size_t i = at; i-- > 1;) {
            if (path[i] != '/') {
                slashes = false;
                break;
            }
        }
        if (slashes) return true;
    }
    return false;
}

std::vector<std::string> split_lines(const std::string &text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t nl = text.find('\n', start);
        std::size_t end = nl == std::string::npos ? text.size() : nl + 1;
        lines.push_back(text.substr(start, end - start));
        start = end;
    }
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    std::string input(reinterpret_cast<const char *>(data), size);
    std::size_t sep = input.find("\n%%\n");
    std::string set_text = sep == std::string::npos ? std::string() : input.substr(0, sep + 1);
    std::string manifest = sep == std::string::npos ? input : input.substr(sep + 4);

    std::vector<std::string> set;
    uint32_t bytes = 0;
    for (std::string s : split_lines(set_text)) {
        if (!s.empty() && s.back() == '\n') s.pop_back();
        s = s.c_str();
        set.push_back(s);
        bytes += static_cast<uint32_t>(s.size()) + 1;
    }
    plugin_strings *exclude = nullptr;
    if (sep != std::string::npos) {
        exclude = plugin_strings_malloc(static_cast<uint32_t>(set.size()) + 1, bytes + 1);
        if (!exclude) return 0;
        for (const std::string &s : set) FZ_CHECK(plugin_strings_append(exclude, s.c_str()) >= 0);
    }

    for (const std::string &line : split_lines(manifest)) {
        // The line as the reader holds it: a heap buffer, NUL-terminated.
        std::size_t len = std::strlen(line.c_str());
        char *buf = static_cast<char *>(std::malloc(len + 1));
        if (!buf) break;
        std::memcpy(buf, line.c_str(), len + 1);
        std::string want;
        bool has = model_trim(line.c_str(), &want);
        char *entry = pi::manifest_line_trim(buf);
        FZ_CHECK((entry != nullptr) == has);
        if (entry) {
            FZ_CHECK(entry >= buf && entry <= buf + len);
            FZ_CHECK(want == entry);
            char link[256];
            std::snprintf(link, sizeof link, "/%s", entry);
            int got = plugin_file_is_excluded_from_exec_path(link, exclude);
            FZ_CHECK(got == (exclude ? static_cast<int>(model_excluded(link, set)) : 0));
        }
        std::free(buf);
    }
    plugin_strings_free(exclude);
    return 0;
}
