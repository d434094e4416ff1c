// plugin_unlink_from_exec_path: takes a plugin out of the root tree.  Pass 1
// removes the links at the manifest's link names that point into the plugin
// path; pass 2 removes the manifest's directories that are empty by then.
// Apart from the buffer and the manifest itself nothing makes it fail.
#include <cerrno>
#include <cstring>

#include "execpath/manifest.h"
#include "frame/export.h"
#include "frame/log.h"
#include "frame/path.h"

namespace {

// True when a link's contents name something inside the plugin: longer than
// plugin_path and beginning with it (a plain text prefix, so /velm/plugin/10/x
// belongs to /velm/plugin/1).
bool belongs(const char *contents, std::size_t contents_len, const char *plugin_path) {
    const std::size_t len = std::strlen(plugin_path);
    return contents_len > len && std::strncmp(contents, plugin_path, len) == 0;
}

void unlink_links(pi::ManifestReader &manifest, const plugin_strings *exclude,
                  const char *plugin_path) {
    while (char *entry = manifest.next()) {
        pi::Path link;
        pi::manifest_link_name(link, entry);
        if (plugin_file_is_excluded_from_exec_path(link.c_str(), exclude)) continue;
        struct stat st;
        if (::lstat(link.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) continue;
        char contents[pi::kPathMax];
        const ssize_t n = ::readlink(link.c_str(), contents, pi::kPathMax - 1);
        if (n < 0) {
            PI_LOG("readlink %s failed (errno %d)\n", link.c_str(), errno);
            continue;
        }
        contents[n] = '\0';
        if (belongs(contents, static_cast<std::size_t>(n), plugin_path)) {
            PI_LOG("remove %s\n", link.c_str());
            std::remove(link.c_str());
        } else {
            PI_LOG("readlink %s, plugin_path %s \n", contents, plugin_path);  // verbatim: last blank
        }
    }
}

void remove_directories(pi::ManifestReader &manifest, const plugin_strings *exclude) {
    while (char *entry = manifest.next()) {
        pi::Path link;
        pi::manifest_link_name(link, entry);
        if (plugin_file_is_excluded_from_exec_path(link.c_str(), exclude)) continue;
        struct stat st;
        if (::stat(link.c_str(), &st) != 0) continue;
        // Only an empty directory goes; a link that leads to a directory is
        // itself removed.
        if (S_ISDIR(st.st_mode)) std::remove(link.c_str());
    }
}

}  // namespace

extern "C" PI_EXPORT plugin_rc_t plugin_unlink_from_exec_path(const char *tar_log,
                                                             const plugin_strings *exclude,
                                                             const char *plugin_path) {
    PI_OPERATION();
    if (!tar_log || !plugin_path) return PLUGIN_ERR_INVALID_ARG;
    pi::ManifestReader manifest;
    if (!manifest.allocate()) return PLUGIN_ERR_NOMEM;
    PI_LOG("plugin_path = %s,  tar_log = %s\n", plugin_path, tar_log);  // verbatim: two blanks
    if (!manifest.open(tar_log)) return PLUGIN_ERR_OPEN;

    unlink_links(manifest, exclude, plugin_path);
    if (manifest.rewind()) remove_directories(manifest, exclude);
    return PLUGIN_OK;
}
