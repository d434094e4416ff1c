#include "execpath/manifest.h"

#include <cstring>

namespace plugin_intn {

char *manifest_line_trim(char *line) {
    if (!line) return nullptr;
    char *entry = line;
    if (entry[0] == '.' && entry[1] == '/') entry += 2;
    std::size_t len = std::strlen(entry);
    if (len > 0 && entry[len - 1] == '\n') entry[--len] = '\0';
    return len > 0 ? entry : nullptr;
}

bool manifest_link_name(Path &out, const char *entry) { return out.format("/%s", entry); }

bool manifest_source_path(Path &out, const char *plugin_path, const char *entry) {
    return out.format("%s/%s", plugin_path, entry);
}

TargetRule manifest_link_target(Path &out, const char *source, const char *contents) {
    if (contents[0] == '/') {
        out.format("%s", contents);
        return TargetRule::kFits;
    }
    const char *slash = std::strrchr(source, '/');
    if (!slash) return TargetRule::kNoDirectory;
    const int dir_len = static_cast<int>(slash - source + 1);
    return out.format("%.*s%s", dir_len, source, contents) ? TargetRule::kFits
                                                           : TargetRule::kTooLong;
}

}  // namespace plugin_intn
