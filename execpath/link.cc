// plugin_link_to_exec_path: makes an extracted plugin's files appear in the
// root tree.  Pass 1 checks the whole manifest for names already taken; pass 2
// creates every listed directory and a symbolic link for every other entry;
// then the patch hook runs.  A failure after links were made is undone
// through plugin_unlink_from_exec_path.
#include <cerrno>
#include <cstring>
#include <syslog.h>

#include "execpath/manifest.h"
#include "frame/export.h"
#include "frame/log.h"
#include "frame/own.h"
#include "frame/path.h"

namespace {

// Two names the system's plugins may bring more than once: any name holding
// "xsd" (the schema files) is never a duplicate nor a failed link, and the
// resolver file, which the root tree may hold already, is reported but taken
// as linked.
const char kSharedMark[] = "xsd";
const char kResolverFile[] = "/velm/etc/routing-sw/tamo_resolv.conf";

// True when the link name is the resolver file path or a leading part of it.
bool is_resolver_file(const char *link) {
    return std::strncmp(link, kResolverFile, std::strlen(link)) == 0;
}

// The plugin being linked: its manifest, exclusion set and path.
struct Plugin {
    plugin_intn::ManifestReader &manifest;
    const plugin_strings *exclude;
    const char *path;
};

plugin_rc_t fail_stat(const char *path) {
    PI_LOG("stat %s failed\n", path);
    return PLUGIN_ERR_STAT;
}

// Pass 1 for one entry: reports a link name that is already taken and sets
// *duplicate unless the name is tolerated.
plugin_rc_t check_entry(const char *link, const char *source, const Plugin &plugin, bool tolerate,
                        bool *duplicate) {
    struct stat st;
    if (::lstat(source, &st) != 0) return fail_stat(source);
    if (S_ISDIR(st.st_mode)) return PLUGIN_OK;
    if (::stat(link, &st) != 0)
        return errno == ENOENT || errno == ENOTDIR ? PLUGIN_OK : fail_stat(link);
    if (std::strstr(link, kSharedMark)) return PLUGIN_OK;
    PI_LOG("%s exists\n", link);
    syslog(LOG_CRIT,
           "%s: Duplicate file '%s' found while extracting plugin '%s'.  Please remove "
           "duplicate file from corresponding plugin.\n",
           plugin_intn::operation(), link, plugin.path);
    if (!tolerate && !is_resolver_file(link)) *duplicate = true;
    return PLUGIN_OK;
}

// What the link for a symbolic link inside the plugin points to: absolute
// contents as they are, relative contents after the source path's directory
// part (not normalised).  PLUGIN_ERR_LINK, with its line written, when the
// contents cannot be read or the target cannot be assembled.
plugin_rc_t link_target(const char *source, plugin_intn::Path &target) {
    char contents[plugin_intn::kPathMax];
    const ssize_t n = ::readlink(source, contents, plugin_intn::kPathMax - 1);
    if (n <= 0) {
        PI_LOG("readlink %s failed\n", source);
        return PLUGIN_ERR_LINK;
    }
    contents[n] = '\0';
    switch (plugin_intn::manifest_link_target(target, source, contents)) {
    case plugin_intn::TargetRule::kFits:
        return PLUGIN_OK;
    case plugin_intn::TargetRule::kNoDirectory:
        PI_DEBUG("can't locate directory path for %s \n", source);  // verbatim: last blank
        return PLUGIN_ERR_LINK;
    case plugin_intn::TargetRule::kTooLong:
        break;
    }
    PI_LOG("link target for %s longer than %zu characters\n", source, plugin_intn::kPathMax - 1);
    return PLUGIN_ERR_LINK;
}

// Pass 2 for one entry: a directory for a directory, else a symbolic link;
// *made counts the links made.
plugin_rc_t link_entry(const char *link, const char *source, unsigned *made) {
    struct stat st;
    if (::lstat(source, &st) != 0) return fail_stat(source);
    if (S_ISDIR(st.st_mode)) {
        if (::mkdir(link, 07777) == 0 || errno == EEXIST) return PLUGIN_OK;
        PI_LOG("mkdir %s failed\n", link);
        return PLUGIN_ERR_MKDIR;
    }
    // A regular file (or device, pipe, socket) is linked to itself in the
    // plugin; a symbolic link to where its contents lead.
    const char *target = source;
    plugin_intn::Path contents_target;
    if (S_ISLNK(st.st_mode)) {
        const plugin_rc_t rc = link_target(source, contents_target);
        if (rc != PLUGIN_OK) return rc;
        target = contents_target.c_str();
    }
    if (::symlink(target, link) == 0) {
        ++*made;
        return PLUGIN_OK;
    }
    if (std::strstr(target, kSharedMark)) return PLUGIN_OK;
    PI_DEBUG("link %s to %s failed. errno = %d\n", link, target, errno);
    if (!is_resolver_file(link)) return PLUGIN_ERR_LINK;
    ++*made;
    return PLUGIN_OK;
}

// plugin_intn::for_each_link with the entry's source path in the plugin as well.
template <typename Step>
plugin_rc_t for_each_entry(const Plugin &plugin, Step step) {
    return plugin_intn::for_each_link(
        plugin.manifest, plugin.exclude, [&](const char *entry, const char *link) {
            plugin_intn::Path source;
            plugin_intn::manifest_source_path(source, plugin.path, entry);
            return step(link, source.c_str());
        });
}

}  // namespace

extern "C" PI_EXPORT plugin_rc_t plugin_link_to_exec_path(const char *tar_log,
                                                          const plugin_strings *exclude,
                                                          const char *plugin_path) {
    PI_OPERATION();
    const bool tolerate = plugin_get_cmdline("pdebug") != nullptr;
    const plugin_intn::UmaskGuard umask_guard(0);
    libplugin_intn_debug = 0;
    if (!tar_log || !plugin_path) return PLUGIN_ERR_INVALID_ARG;
    PI_LOG("plugin_path = %s, tar_log = %s\n", plugin_path, tar_log);

    plugin_intn::ManifestReader manifest;
    if (!manifest.allocate()) return PLUGIN_ERR_NOMEM;
    if (!manifest.open(tar_log)) return PLUGIN_ERR_OPEN;
    const Plugin plugin{manifest, exclude, plugin_path};

    bool duplicate = false;
    plugin_rc_t rc = for_each_entry(plugin, [&](const char *link, const char *source) {
        return check_entry(link, source, plugin, tolerate, &duplicate);
    });
    if (rc != PLUGIN_OK) return rc;
    if (!manifest.rewind()) {
        PI_LOG("fseek %s failed\n", tar_log);
        return PLUGIN_ERR_SEEK;
    }

    // Pass 2 runs whatever pass 1 found.  A failure in it ends the operation
    // before the patch hook; any failure (a duplicate included) undoes the
    // links made.
    unsigned made = 0;
    rc = for_each_entry(plugin, [&made](const char *link, const char *source) {
        return link_entry(link, source, &made);
    });
    if (rc == PLUGIN_OK) {
        plugin_intn::log("Loading the committed patches...\n");  // verbatim: no name
        plugin_load_committed_patch();
        if (duplicate) rc = PLUGIN_ERR_DUPLICATE;
    }
    manifest.close();
    if (rc != PLUGIN_OK && made > 0) plugin_unlink_from_exec_path(tar_log, exclude, plugin_path);
    return rc;
}
