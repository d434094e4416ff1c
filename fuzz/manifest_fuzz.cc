// The manifest line rule (pi::manifest_line_trim), the names of an entry and
// the exclusion check (plugin_file_is_excluded_from_exec_path) against models
// of all three.  Input: lines; when one of them is "%%", the lines before it
// are the exclusion set (one string each, the set may be empty) and the lines
// after it the manifest; otherwise all of it is the manifest and there is no
// set.  Every manifest line is trimmed, its link name and source path are
// built and the link name is tested against the set, as linking does.
#include <algorithm>
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

// The first occurrence of a string excludes the path when it is at the path's
// first character, or begins with '/' and only '/' stand between the path's
// second character and it.
bool model_excluded(const std::string &path, const std::vector<std::string> &set) {
    for (const std::string &s : set) {
        const std::size_t at = path.find(s);
        if (at == 0) return true;
        if (at == std::string::npos || path[at] != '/') continue;
        if (path.find_first_not_of('/', 1) >= at) return true;
    }
    return false;
}

// A name as the exec-path operations build it: cut to 255 characters; the
// builder reports whether it was cut.
void check_name(bool built, const pi::Path &got, const std::string &want) {
    FZ_CHECK(built == (want.size() < pi::kPathMax));
    FZ_CHECK(want.substr(0, pi::kPathMax - 1) == got.c_str());
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
        // The line as the reader holds it: a heap buffer, NUL-terminated.
        const std::string line = lines[i].c_str();
        char *buf = static_cast<char *>(std::malloc(line.size() + 1));
        if (!buf) break;
        std::memcpy(buf, line.c_str(), line.size() + 1);
        std::string want;
        const bool has = model_trim(line, &want);
        const char *entry = pi::manifest_line_trim(buf);
        FZ_CHECK((entry != nullptr) == has);
        if (entry) {
            FZ_CHECK(entry >= buf && entry <= buf + line.size() && want == entry);
            pi::Path link, source;
            check_name(pi::manifest_link_name(link, entry), link, "/" + want);
            check_name(pi::manifest_source_path(source, "/velm/plugin/3", entry), source,
                       "/velm/plugin/3/" + want);
            const int got = plugin_file_is_excluded_from_exec_path(link.c_str(), exclude);
            FZ_CHECK(got == (exclude && model_excluded(link.c_str(), set) ? 1 : 0));
        }
        std::free(buf);
    }
    plugin_strings_free(exclude);
    return 0;
}
