// plugin_link_to_exec_path: makes an extracted plugin's files appear in the
// root tree.  Pass 1 checks the whole manifest for names already taken; pass 2
// creates every listed directory and a symbolic link for every other entry;
// then the patch hook runs.  A failure after links were made is undone
// through plugin_unlink_from_exec_path.
#include <cerrno>
#include <cstring>
#include <syslog.h>

#include "execpath/manifest.h"
#include "frame/internal.h"

namespace {

const char kFn[] = "plugin_link_to_exec_path";
const char kResolverFile[] = "/velm/etc/routing-sw/tamo_resolv.conf";

// True when the link name is the resolver file path or a leading part of it.
bool is_resolver_file(const char *link) {
    return std::strncmp(link, kResolverFile, std::strlen(link)) == 0;
}

class Linker {
public:
    Linker(pi::ManifestReader &manifest, const plugin_strings *exclude, const char *plugin_path,
           bool tolerate_duplicates)
        : manifest_(manifest),
          exclude_(exclude),
          plugin_path_(plugin_path),
          tolerate_(tolerate_duplicates) {}

    // The duplicate check; false when it ends the operation.
    bool check_duplicates() {
        while (char *entry = manifest_.next()) {
            pi::Path link, source;
            if (!names(entry, link, source)) continue;
            struct stat st;
            if (::lstat(source.c_str(), &st) != 0) return fail_stat(source.c_str());
            if (S_ISDIR(st.st_mode)) continue;
            if (::stat(link.c_str(), &st) != 0) {
                if (errno == ENOENT || errno == ENOTDIR) continue;
                return fail_stat(link.c_str());
            }
            if (std::strstr(link.c_str(), "xsd")) continue;
            pi::log("%s: %s exists\n", kFn, link.c_str());
            syslog(LOG_CRIT,
                   "%s: Duplicate file '%s' found while extracting plugin '%s'.  Please remove "
                   "duplicate file from corresponding plugin.\n",
                   kFn, link.c_str(), plugin_path_);
            if (!tolerate_ && !is_resolver_file(link.c_str())) result_ = PLUGIN_ERR_DUPLICATE;
        }
        return true;
    }

    // The linking; false when it ends the operation before the patch hook.
    bool link_all() {
        links_made_ = 0;
        while (char *entry = manifest_.next()) {
            pi::Path link, source;
            if (!names(entry, link, source)) continue;
            struct stat st;
            if (::lstat(source.c_str(), &st) != 0) return fail_stat(source.c_str());
            if (S_ISDIR(st.st_mode)) {
                if (::mkdir(link.c_str(), 07777) == 0 || errno == EEXIST) continue;
                pi::log("%s: mkdir %s failed\n", kFn, link.c_str());
                result_ = PLUGIN_ERR_MKDIR;
                return false;
            }
            // A regular file (or device, pipe, socket) is linked to itself in
            // the plugin; a symbolic link to where its contents lead.
            const char *target = source.c_str();
            pi::Path contents_target;
            if (S_ISLNK(st.st_mode)) {
                if (!plugin_link_target(source.c_str(), contents_target)) {
                    result_ = PLUGIN_ERR_LINK;
                    return false;
                }
                target = contents_target.c_str();
            }
            if (::symlink(target, link.c_str()) == 0) {
                ++links_made_;
                continue;
            }
            if (std::strstr(target, "xsd")) continue;
            pi::debug("%s: link %s to %s failed. errno = %d\n", kFn, link.c_str(), target, errno);
            if (is_resolver_file(link.c_str())) {
                ++links_made_;
                continue;
            }
            result_ = PLUGIN_ERR_LINK;
            return false;
        }
        return true;
    }

    void fail(plugin_rc_t rc) { result_ = rc; }
    plugin_rc_t result() const { return result_; }
    unsigned links_made() const { return links_made_; }

private:
    // Link name and source path of an entry; false when the entry is excluded.
    bool names(const char *entry, pi::Path &link, pi::Path &source) {
        pi::manifest_link_name(link, entry);
        if (plugin_file_is_excluded_from_exec_path(link.c_str(), exclude_)) return false;
        pi::manifest_source_path(source, plugin_path_, entry);
        return true;
    }

    bool fail_stat(const char *path) {
        pi::log("%s: stat %s failed\n", kFn, path);
        result_ = PLUGIN_ERR_STAT;
        return false;
    }

    // What the link for a symbolic link inside the plugin points to: absolute
    // contents as they are, relative contents after the source path's
    // directory part (not normalised).  False, with its line written, when the
    // contents cannot be read or the target cannot be assembled.
    static bool plugin_link_target(const char *source, pi::Path &target) {
        char contents[pi::kPathMax];
        const ssize_t n = ::readlink(source, contents, pi::kPathMax - 1);
        if (n <= 0) {
            pi::log("%s: readlink %s failed\n", kFn, source);
            return false;
        }
        contents[n] = '\0';
        if (contents[0] == '/') {
            target.format("%s", contents);
            return true;
        }
        const char *slash = std::strrchr(source, '/');
        if (!slash) {
            pi::debug("%s: can't locate directory path for %s \n", kFn, source);
            return false;
        }
        const int dir_len = static_cast<int>(slash - source + 1);
        if (!target.format("%.*s%s", dir_len, source, contents)) {
            pi::log("%s: link target for %s longer than %zu characters\n", kFn, source,
                    pi::kPathMax - 1);
            return false;
        }
        return true;
    }

    pi::ManifestReader &manifest_;
    const plugin_strings *exclude_;
    const char *plugin_path_;
    const bool tolerate_;
    plugin_rc_t result_ = PLUGIN_OK;
    unsigned links_made_ = 0;
};

}  // namespace

extern "C" PI_EXPORT plugin_rc_t plugin_link_to_exec_path(const char *tar_log,
                                                         const plugin_strings *exclude,
                                                         const char *plugin_path) {
    const bool tolerate_duplicates = plugin_get_cmdline("pdebug") != nullptr;
    pi::UmaskGuard umask_guard(0);
    libplugin_intn_debug = 0;
    if (!tar_log || !plugin_path) return PLUGIN_ERR_INVALID_ARG;
    pi::log("%s: plugin_path = %s, tar_log = %s\n", kFn, plugin_path, tar_log);

    pi::ManifestReader manifest;
    if (!manifest.allocate()) return PLUGIN_ERR_NOMEM;
    if (!manifest.open(tar_log)) return PLUGIN_ERR_OPEN;

    Linker linker(manifest, exclude, plugin_path, tolerate_duplicates);
    if (linker.check_duplicates()) {
        if (!manifest.rewind()) {
            pi::log("%s: fseek %s failed\n", kFn, tar_log);
            linker.fail(PLUGIN_ERR_SEEK);
        } else if (linker.link_all()) {
            static const char kLoading[] = "Loading the committed patches...\n";
            std::fwrite(kLoading, 1, sizeof kLoading - 1, stderr);
            plugin_load_committed_patch();
        }
    }

    manifest.close();
    if (linker.result() != PLUGIN_OK && linker.links_made() > 0)
        plugin_unlink_from_exec_path(tar_log, exclude, plugin_path);
    return linker.result();
}
