// plugin_file_is_excluded_from_exec_path: the caller's exclusion set tested
// against a link name, as a text prefix that tolerates extra leading slashes.
#include <cstring>

#include "frame/export.h"
#include "frame/log.h"
#include "platform/plugin_strings.h"

namespace {

// True when the first occurrence of s in path excludes the path: it starts at
// the path's first character, or it begins with '/' and only '/' stand
// between the path's second character and it.  The path's first character is
// never examined (link names always begin with '/').
bool excludes(const char *path, const char *s) {
    const char *occ = std::strstr(path, s);
    if (!occ) return false;
    if (occ == path) return true;
    if (*occ != '/') return false;
    const char *p = occ - 1;
    while (p > path && *p == '/') --p;
    return p == path;
}

}  // namespace

extern "C" PI_EXPORT int plugin_file_is_excluded_from_exec_path(const char *path,
                                                                const plugin_strings *exclude) {
    PI_OPERATION();
    if (!path || !exclude) return 0;
    const uint32_t count = plugin_strings_num_strings_get(exclude);
    for (uint32_t i = 0; i < count; ++i) {
        const char *s = plugin_strings_get(exclude, i);
        if (s && excludes(path, s)) {
            PI_LOG("%s is excluded from linking\n", path);
            return 1;
        }
    }
    return 0;
}
