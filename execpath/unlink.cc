// plugin_unlink_from_exec_path: takes a plugin out of the root tree.
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

// Pass 1 for one link name: removes a symbolic link into the plugin.
plugin_rc_t unlink_link(const char *link, const char *plugin_path) {
    struct stat st;
    if (::lstat(link, &st) != 0 || S_ISDIR(st.st_mode)) return PLUGIN_OK;
    char contents[plugin_intn::kPathMax];
    const ssize_t n = ::readlink(link, contents, plugin_intn::kPathMax - 1);
    if (n < 0) {
        PI_LOG("readlink %s failed (errno %d)\n", link, errno);
        return PLUGIN_OK;
    }
    contents[n] = '\0';
    if (belongs(contents, static_cast<std::size_t>(n), plugin_path)) {
        PI_LOG("remove %s\n", link);
        std::remove(link);
    } else {
        PI_LOG("readlink %s, plugin_path %s \n", contents, plugin_path);  // verbatim: last blank
    }
    return PLUGIN_OK;
}

// Pass 2 for one link name: only an empty directory goes (remove() fails for
// any other); a link that leads to a directory is itself removed.
plugin_rc_t remove_directory(const char *link) {
    struct stat st;
    if (::stat(link, &st) == 0 && S_ISDIR(st.st_mode)) std::remove(link);
    return PLUGIN_OK;
}

}  // namespace

// Pass 1 removes the links at the manifest's link names that point into the
// plugin path; pass 2 the manifest's directories that are empty by then.
// Apart from the buffer and the manifest itself nothing makes it fail.
extern "C" PI_EXPORT plugin_rc_t plugin_unlink_from_exec_path(const char *tar_log,
                                                              const plugin_strings *exclude,
                                                              const char *plugin_path) {
    PI_OPERATION();
    if (!tar_log || !plugin_path) return PLUGIN_ERR_INVALID_ARG;
    plugin_intn::ManifestReader manifest;
    if (!manifest.allocate()) return PLUGIN_ERR_NOMEM;
    PI_LOG("plugin_path = %s,  tar_log = %s\n", plugin_path, tar_log);  // verbatim: two blanks
    if (!manifest.open(tar_log)) return PLUGIN_ERR_OPEN;

    (void)plugin_intn::for_each_link(
        manifest, exclude,
        [plugin_path](const char *, const char *link) { return unlink_link(link, plugin_path); });
    if (!manifest.rewind()) return PLUGIN_OK;
    (void)plugin_intn::for_each_link(
        manifest, exclude, [](const char *, const char *link) { return remove_directory(link); });
    return PLUGIN_OK;
}
