// pluginctl owner and files: which plugin a path of the root tree belongs to,
// and what a plugin's manifest would link.  Both only read.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "execpath/manifest.h"
#include "frame/own.h"
#include "plugin_intn.h"
#include "srg.h"
#include "tools/pluginctl/commands.h"
#include "tools/sandbox/sandbox.h"

namespace pluginctl {
namespace {

// Where extraction puts plugins (/velm/plugin/<id>) and where it keeps their
// manifests.
constexpr char kPluginDir[] = "/velm/plugin/";
constexpr char kManifestDir[] = "/velm/plugin_extract_log";

// The plugin directory a link target lies in ("/velm/plugin/3"), or "".
std::string plugin_of(const std::string &target) {
    const std::size_t base = sizeof kPluginDir - 1;
    if (target.compare(0, base, kPluginDir) != 0) return "";
    const std::size_t end = target.find('/', base);
    if (end == base || end == std::string::npos ||
        target.find_first_not_of("0123456789", base) != end)
        return "";
    return target.substr(0, end);
}

std::string swid_in(const std::string &plugin) {
    srg_record *raw = nullptr;
    const plugin_rc_t rc = plugin_clone_srg((plugin + "/plugin.sro").c_str(), &raw);
    plugin_intn::Owned<srg_record> record(raw);
    const char *swid = rc == PLUGIN_OK && record ? srg_sw_id_get(record.get()) : nullptr;
    return swid ? swid : "(no record)";
}

// The manifest line holding entry, as "LINE of FILE", among the manifests kept
// in kManifestDir; "" when none holds it.
std::string manifest_line(const std::string &entry) {
    plugin_intn::Owned<DIR, ::closedir> dir(::opendir(kManifestDir));
    if (!dir) return "";
    while (dirent *e = ::readdir(dir.get())) {
        const std::string file = std::string(kManifestDir) + "/" + e->d_name;
        struct stat st;
        if (::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        std::ifstream in(file);
        for (std::string line; std::getline(in, line);)
            if (entry_of(line) == entry) return line + " of " + file;
    }
    return "";
}

}  // namespace

std::string entry_of(std::string line) {
    const char *entry =
        plugin_intn::manifest_line_trim(line.data());  // the library's own line rule
    return entry ? entry : "";
}

Outcome cmd_owner(const Parsed &p, std::string *) {
    int status = 0;
    for (const std::string &path : p.positional) {
        struct stat st;
        const std::string target =
            ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode) ? sandbox::read_link(path) : "";
        const std::string plugin = plugin_of(target);
        if (path.empty() || path[0] != '/' || plugin.empty()) {
            std::printf("%s: not a plugin file\n", path.c_str());
            status = 1;
            continue;
        }
        const std::string line = manifest_line(path.substr(1));
        std::printf("%s: plugin %s, swid %s, entry %s\n", path.c_str(), plugin.c_str(),
                    swid_in(plugin).c_str(),
                    line.empty() ? (path.substr(1) + " (in no manifest)").c_str() : line.c_str());
    }
    return status_only(status);
}

Outcome cmd_files(const Parsed &p, std::string *error) {
    const std::string &manifest = p.positional[0], &plugin = p.positional[1];
    std::ifstream in(manifest);
    if (!in) {
        std::fprintf(stderr, "pluginctl: cannot read %s\n", manifest.c_str());
        return status_only(1);
    }
    StringsPtr exclude;
    if (!exclusion_set(p, &exclude, error)) return status_only(1);
    for (std::string line; std::getline(in, line);) {
        const std::string entry = entry_of(line);
        if (entry.empty()) continue;
        const std::string link = "/" + entry, source = plugin + "/" + entry;
        struct stat src, now;
        if (plugin_file_is_excluded_from_exec_path(link.c_str(), exclude.get())) {
            std::printf("excluded %s\n", link.c_str());
            continue;
        }
        if (::lstat(source.c_str(), &src) != 0) {
            std::printf("absent %s (no %s)\n", link.c_str(), source.c_str());
            continue;
        }
        const bool there = ::lstat(link.c_str(), &now) == 0;
        if (S_ISDIR(src.st_mode)) {
            std::printf("%s %s\n",
                        !there                 ? "missing"
                        : S_ISDIR(now.st_mode) ? "linked"
                                               : "held",
                        link.c_str());
            continue;
        }
        // What linking makes the link point to, by the library's own rule.
        std::string want = source;
        if (S_ISLNK(src.st_mode)) {
            plugin_intn::Path target;
            if (plugin_intn::manifest_link_target(target, source.c_str(),
                                                  sandbox::read_link(source).c_str()) !=
                plugin_intn::TargetRule::kFits) {
                std::printf("unlinkable %s (its link target does not fit in 255 characters)\n",
                            link.c_str());
                continue;
            }
            want = target.c_str();
        }
        if (!there) {
            std::printf("missing %s -> %s\n", link.c_str(), want.c_str());
        } else if (S_ISLNK(now.st_mode) && sandbox::read_link(link) == want) {
            std::printf("linked %s -> %s\n", link.c_str(), want.c_str());
        } else {
            const std::string held = S_ISLNK(now.st_mode)   ? "-> " + sandbox::read_link(link)
                                     : S_ISDIR(now.st_mode) ? "a directory"
                                                            : "a file";
            std::printf("held %s -> %s (now %s)\n", link.c_str(), want.c_str(), held.c_str());
        }
    }
    return status_only(0);
}

}  // namespace pluginctl
