// Mount and namespace steps of the private root and the dry run.
#include "tools/sandbox/mounts.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "frame/bytes.h"
#include "frame/own.h"
#include "tools/sandbox/sandbox.h"

namespace sandbox {

bool write_text(const std::string &path, const std::string &text) {
    plugin_intn::Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd || !plugin_intn::write_full(fd.get(), text.data(), text.size())) return false;
    return fd.reset() == 0;
}

bool mkdir_p(const std::string &path, mode_t mode) {
    for (std::size_t pos = 0; pos != std::string::npos;) {
        pos = path.find('/', pos + 1);
        const std::string cur = path.substr(0, pos);
        if (!cur.empty() && ::mkdir(cur.c_str(), mode) != 0 && errno != EEXIST) return false;
    }
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

namespace {
int remove_below_top(const char *path, const struct stat *, int, struct FTW *ftw) {
    if (ftw->level > 0) ::remove(path);  // the top directory itself stays
    return 0;
}
}  // namespace

void empty_dir(const std::string &path) {
    ::nftw(path.c_str(), remove_below_top, 32, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
}

std::string read_link(const std::string &path) {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
    return n < 0 ? std::string() : std::string(buf, static_cast<std::size_t>(n));
}

bool enter_private_namespace(std::string *error) {
    if (::getuid() == 0) {
        if (::unshare(CLONE_NEWNS) != 0) return fail_errno(error, "unshare(mount)");
    } else {
        const unsigned uid = ::getuid(), gid = ::getgid();
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
            return fail_errno(error, "unshare(user, mount)");
        char map[64];
        if (!write_text("/proc/self/setgroups", "deny")) return fail_errno(error, "setgroups");
        std::snprintf(map, sizeof map, "%u %u 1\n", uid, uid);
        if (!write_text("/proc/self/uid_map", map)) return fail_errno(error, "uid_map");
        std::snprintf(map, sizeof map, "%u %u 1\n", gid, gid);
        if (!write_text("/proc/self/gid_map", map)) return fail_errno(error, "gid_map");
    }
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return fail_errno(error, "make / private");
    return true;
}

namespace {

// Undoes the octal escapes of a field of /proc/self/mountinfo.
std::string unescape(const std::string &field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            out += static_cast<char>(std::stoi(field.substr(i + 1, 3), nullptr, 8));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

}  // namespace

std::vector<MountEntry> read_mounts() {
    std::vector<MountEntry> mounts;
    plugin_intn::File info = plugin_intn::open_file("/proc/self/mountinfo", "re");
    if (!info) return mounts;
    char line[8192];
    while (std::fgets(line, sizeof line, info.get())) {
        // "id parent major:minor root mount-point options [optional...] - fstype source super-options"
        char point[4096];
        if (std::sscanf(line, "%*s %*s %*s %*s %4095s", point) != 1) continue;
        const char *dash = std::strstr(line, " - ");
        char fstype[256] = "";
        if (dash == nullptr || std::sscanf(dash + 3, "%255s", fstype) != 1) continue;
        mounts.push_back({unescape(point), fstype});
    }
    return mounts;
}

bool is_kernel_fs(const std::string &fstype) {
    static const char *const kKernel[] = {
        "proc",       "sysfs",       "devtmpfs", "devpts",   "mqueue", "cgroup",    "cgroup2",
        "securityfs", "debugfs",     "tracefs",  "pstore",   "bpf",    "hugetlbfs", "fusectl",
        "configfs",   "binfmt_misc", "autofs",   "efivarfs", "nsfs",   "selinuxfs"};
    for (const char *name : kKernel)
        if (fstype == name) return true;
    return false;
}

bool bind_at(const std::string &source, const std::string &target, std::string *error) {
    if (::mount(source.c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
        return fail_errno(error, "bind " + source + " on " + target);
    return true;
}

// A plain remount rather than mount_setattr(), which valgrind does not know.
bool remount_readonly(const std::string &path) {
    struct statvfs vfs;
    if (::statvfs(path.c_str(), &vfs) != 0) return false;
    if (vfs.f_flag & ST_RDONLY) return true;
    unsigned long flags = MS_REMOUNT | MS_BIND | MS_RDONLY;
    if (vfs.f_flag & ST_NOSUID) flags |= MS_NOSUID;
    if (vfs.f_flag & ST_NODEV) flags |= MS_NODEV;
    if (vfs.f_flag & ST_NOEXEC) flags |= MS_NOEXEC;
    if (vfs.f_flag & ST_NOATIME) flags |= MS_NOATIME;
    if (vfs.f_flag & ST_NODIRATIME) flags |= MS_NODIRATIME;
    if (vfs.f_flag & ST_RELATIME) flags |= MS_RELATIME;
    return ::mount(nullptr, path.c_str(), nullptr, flags, nullptr) == 0;
}

bool make_readonly_tree(const std::string &path, bool strict, std::string *error) {
    bool seen = false;
    for (const MountEntry &m : read_mounts()) {
        if (m.point != path && !(m.point.compare(0, path.size() + 1, path + "/") == 0)) continue;
        seen = true;
        if (strict && is_kernel_fs(m.fstype)) continue;
        if (!remount_readonly(m.point) && (strict || m.point == path))
            return fail_errno(error, "read-only " + m.point);
    }
    if (!seen) errno = ENOENT;
    return seen || fail_errno(error, "no mount at " + path);
}

}  // namespace sandbox
