// Helpers of the image and record tests: plugin trees, record files and
// images made with the project's own tools, inside the test sandbox.
#ifndef PI_TESTS_IMAGE_SUPPORT_H
#define PI_TESTS_IMAGE_SUPPORT_H

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/capture.h"
#include "tests/support/faults.h"

namespace pit::image {

// The image, its newer-fs directory, the target and the manifest the
// extraction tests share.
inline const std::string kImage = "/bootflash/plug.img";
inline const std::string kNewer = "/bootflash/plug.img-newer-fs";
inline const std::string kDir = "/velm/plugin/1";
inline const std::string kLog = "/velm/log/plug.log";
inline const std::string kList = kLog + "-newer-fs";

// Runs a shell command; true when it exited with status 0.
inline bool sh(const std::string &command) { return std::system(command.c_str()) == 0; }

inline bool exists(const std::string &path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

// Writes files (relative path -> content) below root, creating directories.
inline bool make_tree(const std::string &root, const std::map<std::string, std::string> &files) {
    if (!sh("mkdir -p " + root)) return false;
    for (const auto &[rel, content] : files) {
        std::string path = root + "/" + rel;
        if (!sh("mkdir -p \"$(dirname " + path + ")\"")) return false;
        if (!write_file(path, content)) return false;
    }
    return true;
}

// A record file made by srgtool; an empty swid makes a record without one.
inline bool make_record(const std::string &path, const std::string &swid,
                        const std::vector<std::string> &deps = {}) {
    std::string cmd = std::string(PI_SRGTOOL) + " make";
    if (!swid.empty()) cmd += " --swid " + swid;
    for (const auto &d : deps) cmd += " --dep " + d;
    cmd += " -o " + path + " >/dev/null 2>&1";
    return sh(cmd);
}

// A plugin image of the tree at dir, made by mkplugin with a record of swid.
inline bool make_image(const std::string &image, const std::string &dir,
                       const std::string &swid = "plugin.test", int block_size = 0) {
    const std::string record = image + ".rec.sro";
    if (!make_record(record, swid)) return false;
    std::string cmd = std::string(PI_MKPLUGIN) + " --record " + record;
    if (block_size) cmd += " --block-size " + std::to_string(block_size);
    cmd += " -o " + image + " " + dir + " >/dev/null 2>&1";
    bool ok = sh(cmd);
    ::unlink(record.c_str());
    return ok;
}

// Lines of a text (each without its line feed).
inline std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

// stderr without the lines that plugin_get_cmdline writes on every call (its
// echo of the command line, whose own line feed leaves an empty line too).
inline std::string without_cmdline_lines(const std::string &err) {
    std::string out;
    std::istringstream in(err);
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line.rfind("plugin_get_cmdline: ", 0) != 0) out += line + "\n";
    return out;
}

// Number of open descriptors of the process.
inline int open_fds() {
    int n = 0;
    if (DIR *d = ::opendir("/proc/self/fd")) {
        while (struct dirent *e = ::readdir(d))
            if (e->d_name[0] != '.') ++n;
        ::closedir(d);
        --n;  // the directory's own descriptor
    }
    return n;
}

inline std::string link_target(const std::string &path) {
    char buf[4096];
    ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
    return n < 0 ? std::string() : std::string(buf, static_cast<std::size_t>(n));
}

// An allocation-failure sweep that restores its state before every run:
// setup() runs with faults disarmed, then op() with the n-th allocation
// failing, then check(n) disarmed again; until a run in which nothing failed.
// Returns the number of runs with a failure injected.
template <typename Setup, typename Op, typename Check>
long sweep_from(Setup setup, Op op, Check check, long limit = 10000) {
    long injected = 0;
    for (long n = 1; n <= limit; ++n) {
        pit::faults::disarm();
        setup();
        pit::faults::fail_nth(n);
        op();
        const bool hit = pit::faults::fired();
        pit::faults::disarm();
        if (!hit) break;
        ++injected;
        check(n);
    }
    return injected;
}

}  // namespace pit::image

#endif
