// Shared helpers of the exec-path tests: building a plugin tree and its
// manifest, exclusion sets, the lines the "pdebug" lookup writes, and a
// snapshot of the root tree.
#ifndef PI_TESTS_EXECPATH_UTIL_H
#define PI_TESTS_EXECPATH_UTIL_H

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/plugin_strings.h"
#include "plugin_intn.h"
#include "tests/support/capture.h"

namespace ept {

// The kernel command line of the sandbox by default (no "pdebug").
inline const std::string kPlainCmdline = "console=ttyS0 quiet\n";
inline const std::string kPdebugCmdline = "root=/dev/ram pdebug=1 quiet\n";

// What plugin_get_cmdline writes while the link operation looks up "pdebug".
inline std::string pdebug_lookup(const std::string &cmdline) {
    std::string text = "plugin_get_cmdline: Expected cmdline: pdebug\n"
                       "plugin_get_cmdline: File read ====> " + cmdline + "\n"
                       "plugin_get_cmdline: Read === > " + cmdline;
    if (cmdline.find("pdebug") == std::string::npos) text += "plugin_get_cmdline: can't find pdebug\n";
    return text;
}

inline std::string link_start(const std::string &plugin, const std::string &log) {
    return "plugin_link_to_exec_path: plugin_path = " + plugin + ", tar_log = " + log + "\n";
}
inline std::string unlink_start(const std::string &plugin, const std::string &log) {
    return "plugin_unlink_from_exec_path: plugin_path = " + plugin + ",  tar_log = " + log + "\n";
}
inline std::string excluded(const std::string &link) {
    return "plugin_file_is_excluded_from_exec_path: " + link + " is excluded from linking\n";
}
inline const std::string kLoading = "Loading the committed patches...\n";

// Creates every missing directory of path (like mkdir -p), mode 0755.
inline void mkdirs(const std::string &path) {
    for (std::size_t i = 1; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') ::mkdir(path.substr(0, i).c_str(), 0755);
    }
}

inline std::string parent(const std::string &path) { return path.substr(0, path.rfind('/')); }

// A plugin tree under root: entries are relative paths as the manifest lists
// them (without "./"); a trailing '/' makes a directory.
class Plugin {
public:
    explicit Plugin(std::string root) : root_(std::move(root)) { mkdirs(root_); }
    const std::string &root() const { return root_; }

    Plugin &dir(const std::string &e) {
        mkdirs(root_ + "/" + e);
        lines_.push_back("./" + e);
        return *this;
    }
    Plugin &file(const std::string &e, const std::string &text = "data\n") {
        mkdirs(parent(root_ + "/" + e));
        EXPECT_TRUE(pit::write_file(root_ + "/" + e, text)) << e;
        lines_.push_back("./" + e);
        return *this;
    }
    Plugin &symlink(const std::string &e, const std::string &contents) {
        mkdirs(parent(root_ + "/" + e));
        EXPECT_EQ(::symlink(contents.c_str(), (root_ + "/" + e).c_str()), 0) << e;
        lines_.push_back("./" + e);
        return *this;
    }
    // A manifest line as it stands (no file made).
    Plugin &line(const std::string &text) {
        lines_.push_back(text);
        return *this;
    }
    // Writes the manifest, one line each with a line feed; returns its path.
    std::string manifest(const std::string &path) const {
        std::string text;
        for (const auto &l : lines_) text += l + "\n";
        EXPECT_TRUE(pit::write_file(path, text));
        return path;
    }

private:
    std::string root_;
    std::vector<std::string> lines_;
};

// An exclusion set owned by the test.
class Exclude {
public:
    Exclude(std::initializer_list<const char *> strings) {
        set_ = plugin_strings_malloc(16, 1024);
        EXPECT_NE(set_, nullptr);
        for (const char *s : strings) EXPECT_GE(plugin_strings_append(set_, s), 0) << s;
    }
    ~Exclude() { plugin_strings_free(set_); }
    Exclude(const Exclude &) = delete;
    Exclude &operator=(const Exclude &) = delete;
    const plugin_strings *get() const { return set_; }

private:
    plugin_strings *set_ = nullptr;
};

// The contents of a symbolic link, or "" when path is none.
inline std::string link_contents(const std::string &path) {
    char buf[4096];
    ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
    return n < 0 ? std::string() : std::string(buf, static_cast<std::size_t>(n));
}
inline bool is_dir(const std::string &path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
inline bool is_file(const std::string &path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}
inline bool absent(const std::string &path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) != 0 && errno == ENOENT;
}

// Every path below the given roots with its type, permission bits and (for a
// link) contents; symbolic links are not followed.
using Snapshot = std::map<std::string, std::string>;
inline void snapshot_into(const std::string &path, Snapshot &out) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return;
    std::string what = std::to_string(st.st_mode);
    if (S_ISLNK(st.st_mode)) what += " -> " + link_contents(path);
    out[path] = what;
    if (!S_ISDIR(st.st_mode)) return;
    DIR *d = ::opendir(path.c_str());
    if (!d) return;
    while (dirent *e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name != "." && name != "..") snapshot_into(path + "/" + name, out);
    }
    ::closedir(d);
}
inline Snapshot snapshot(std::initializer_list<const char *> roots) {
    Snapshot s;
    for (const char *r : roots) snapshot_into(r, s);
    return s;
}

// Number of open descriptors of the process.
inline int open_fds() {
    int n = 0;
    DIR *d = ::opendir("/proc/self/fd");
    if (!d) return -1;
    while (dirent *e = ::readdir(d)) n += e->d_name[0] != '.';
    ::closedir(d);
    return n - 1;  // the directory stream's own
}

inline mode_t current_umask() {
    mode_t m = ::umask(0);
    ::umask(m);
    return m;
}

}  // namespace ept

#endif
