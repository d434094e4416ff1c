// File-system helpers of the tests: the one home for them.
#ifndef PI_TESTS_SUPPORT_FS_H
#define PI_TESTS_SUPPORT_FS_H

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tools/sandbox/sandbox.h"

namespace test_support {

// Reads a whole file; empty when missing.
std::string read_file(const std::string &path);
// Writes a whole file (mode 0644, truncating, creating missing parents); false on failure.
bool write_file(const std::string &path, const std::string &text);

// Runs a shell command; its exit status, or -1 when it did not exit normally.
inline int shell(const std::string &command) {
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
inline bool sh(const std::string &command) { return shell(command) == 0; }

inline bool exists(const std::string &path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}
// Lines of a text, each without its line feed.
inline std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}
// Number of open descriptors of the process, the directory stream's own not counted.
inline int open_fds() {
    using It = std::filesystem::directory_iterator;
    return static_cast<int>(std::distance(It("/proc/self/fd"), It())) - 1;
}
inline mode_t current_umask() {
    mode_t m = ::umask(0);
    ::umask(m);
    return m;
}

// Every path below the given roots with its type, permission bits, a link's
// target and a file's size and (when its owner may read it) bytes; symbolic
// links are not followed.
using Snapshot = std::map<std::string, std::string>;
inline void snapshot_into(const std::string &path, Snapshot &out) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return;
    std::string what = std::to_string(st.st_mode);
    if (S_ISLNK(st.st_mode)) what += " -> " + sandbox::read_link(path);
    if (S_ISREG(st.st_mode))
        what +=
            " " + std::to_string(st.st_size) + (st.st_mode & S_IRUSR ? " " + read_file(path) : "");
    out[path] = what;
    if (!S_ISDIR(st.st_mode)) return;
    if (DIR *d = ::opendir(path.c_str())) {
        while (dirent *e = ::readdir(d)) {
            std::string name = e->d_name;
            if (name != "." && name != "..") snapshot_into(path + "/" + name, out);
        }
        ::closedir(d);
    }
}
inline Snapshot snapshot(std::initializer_list<std::string> roots) {
    Snapshot s;
    for (const auto &r : roots) snapshot_into(r, s);
    return s;
}

}  // namespace test_support

#endif
