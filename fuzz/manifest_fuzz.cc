// The manifest line rule, the names of an entry and the exclusion check against models of all
// three.  Input: lines; the lines before a "%%" line are the exclusion set (without one, there is
// no set), the others the manifest.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "execpath/manifest.h"
#include "fuzz/fuzz_support.h"
#include "platform/plugin_strings.h"
#include "plugin_intn.h"

namespace {

// The first occurrence of a string excludes the path when it is at the path's first character, or
// begins with '/' and only '/' stand between the path's second character and it.
bool model_excluded(const std::string &path, const std::vector<std::string> &set) {
    for (const std::string &s : set) {
        const std::size_t at = path.find(s);
        if (at == 0) return true;
        if (at == std::string::npos || path[at] != '/') continue;
        if (path.find_first_not_of('/', 1) >= at) return true;
    }
    return false;
}

// A name as the exec-path operations build it: cut to 255 characters, reported.
void check_name(bool built, const plugin_intn::Path &got, const std::string &want) {
    FZ_CHECK(built == (want.size() < plugin_intn::kPathMax));
    FZ_CHECK(want.substr(0, plugin_intn::kPathMax - 1) == got.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    std::vector<std::string> lines;
    for (std::size_t start = 0, nl; start < size; start = nl + 1) {
        const char *text = reinterpret_cast<const char *>(data);
        const void *found = std::memchr(text + start, '\n', size - start);
        nl = found ? static_cast<const char *>(found) - text : size;
        lines.emplace_back(text + start, std::min(nl + 1, size) - start);
    }
    std::vector<std::string> set;
    plugin_strings *exclude = nullptr;
    std::size_t first = 0;
    for (std::size_t i = 0; i < lines.size() && !exclude; ++i) {
        if (lines[i] != "%%\n") continue;
        exclude =
            plugin_strings_malloc(static_cast<uint32_t>(i) + 1, static_cast<uint32_t>(size) + 1);
        if (!exclude) return 0;
        for (first = 0; first < i; ++first) {
            set.push_back(lines[first].substr(0, lines[first].size() - 1).c_str());
            FZ_CHECK(plugin_strings_append(exclude, set.back().c_str()) >= 0);
        }
        ++first;
    }
    for (std::size_t i = first; i < lines.size(); ++i) {
        const std::string line = lines[i].c_str();
        char *buf = ::strdup(line.c_str());  // as the reader holds it: a heap buffer
        // The entry: the line without a leading "./" and a final line feed; none when empty.
        std::string want = line.compare(0, 2, "./") == 0 ? line.substr(2) : line;
        if (!want.empty() && want.back() == '\n') want.pop_back();
        const char *entry = plugin_intn::manifest_line_trim(buf);
        FZ_CHECK((entry != nullptr) == !want.empty());
        if (entry) {
            FZ_CHECK(entry >= buf && entry <= buf + line.size() && want == entry);
            plugin_intn::Path link, source;
            check_name(plugin_intn::manifest_link_name(link, entry), link, "/" + want);
            check_name(plugin_intn::manifest_source_path(source, "/velm/plugin/3", entry), source,
                       "/velm/plugin/3/" + want);
            const int got = plugin_file_is_excluded_from_exec_path(link.c_str(), exclude);
            FZ_CHECK(got == (exclude && model_excluded(link.c_str(), set) ? 1 : 0));
        }
        std::free(buf);
    }
    plugin_strings_free(exclude);
    return 0;
}
