// The private-root sandbox; see sandbox.h for the tree it builds.
#include "tools/sandbox/sandbox.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ftw.h>
#include <string>

#include "frame/own.h"
#include "tools/sandbox/mounts.h"

namespace pit {
namespace {

bool g_in_sandbox = false;
std::string g_default_cmdline;

// The sandbox's own files live here (inside the new root).
constexpr const char kCmdlineFile[] = "/.sandbox/cmdline";

// Directories that belong to the test and start empty.
const char *const kOwnDirs[] = {"/velm", "/bootflash",  "/mnt",     "/mnt/pss",
                                "/var",  "/var/sysmgr", "/var/tmp", "/tmp",
                                "/opt",  "/run",        "/root",    "/home"};

bool touch(const std::string &path) {
    return pi::Fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644)).get() >= 0;
}

// Fills dir (a real directory of the sandbox) with symbolic links to every
// entry of host_dir, as seen from inside the sandbox (target_prefix + name).
bool mirror(const std::string &host_dir, const std::string &dir, const std::string &target_prefix,
            int depth) {
    pi::Owned<DIR, ::closedir> d(::opendir(host_dir.c_str()));
    if (!d) return false;
    bool ok = true;
    while (dirent *e = ::readdir(d.get())) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        std::string host = host_dir + "/" + name;
        std::string mine = dir + "/" + name;
        struct stat st;
        if (::lstat(host.c_str(), &st) != 0) continue;
        if (depth > 1 && S_ISDIR(st.st_mode)) {
            if (::mkdir(mine.c_str(), st.st_mode & 07777) != 0 && errno != EEXIST) {
                ok = false;
                continue;
            }
            if (!mirror(host, mine, target_prefix + "/" + name, depth - 1)) ok = false;
        } else if (::symlink((target_prefix + "/" + name).c_str(), mine.c_str()) != 0 &&
                   errno != EEXIST) {
            ok = false;
        }
    }
    return ok;
}

int remove_entry(const char *path, const struct stat *, int, struct FTW *ftw) {
    if (ftw->level == 0) return 0;  // keep the top directory itself
    ::remove(path);
    return 0;
}

// Empties a directory tree below path (the directory stays); unmounts nothing.
void empty_dir(const std::string &path) {
    ::nftw(path.c_str(), remove_entry, 32, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
}

// Builds the /usr and /etc mirrors below root (a path as seen now).
bool build_mirrors(const std::string &root) {
    bool ok = true;
    if (::mkdir((root + "/usr").c_str(), 0755) != 0 && errno != EEXIST) ok = false;
    if (::mkdir((root + "/etc").c_str(), 0755) != 0 && errno != EEXIST) ok = false;
    ok = mirror(root + "/.host/usr", root + "/usr", "/.host/usr", 2) && ok;
    ok = mirror(root + "/.host/etc", root + "/etc", "/.host/etc", 1) && ok;
    return ok;
}

}  // namespace

bool sandbox_enter(const SandboxOptions &options, std::string *error) {
    if (g_in_sandbox) return true;
    if (!enter_private_namespace(error)) return false;

    // The new root: a tmpfs, or the caller's state directory, mounted on /mnt
    // (hidden from nobody but this namespace).
    const std::string root = "/mnt";
    if (options.state_dir.empty()) {
        if (::mount("pi-sandbox", root.c_str(), "tmpfs", MS_NOSUID, "mode=0755") != 0)
            return fail(error, "tmpfs on " + root);
    } else {
        char real[PATH_MAX];
        if (!::realpath(options.state_dir.c_str(), real))
            return fail(error, "state " + options.state_dir);
        if (!bind_at(real, root, error)) return false;
    }

    // The host's root, read-only, at /.host.
    const std::string host = root + "/.host";
    if (!mkdir_p(host)) return fail(error, "mkdir " + host);
    if (!bind_at("/", host, error)) return false;
    ::umount2((host + root).c_str(), MNT_DETACH);  // the sandbox itself, seen again through /
    if (!make_readonly_tree(host, false, error)) return false;

    // The host's top-level symbolic links (bin -> usr/bin, ...), and the mirrors.
    if (pi::Owned<DIR, ::closedir> d{::opendir("/")}) {
        while (dirent *e = ::readdir(d.get())) {
            std::string name = e->d_name;
            struct stat st;
            if (::lstat(("/" + name).c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) continue;
            const std::string target = link_target("/" + name);
            if (target.empty()) continue;
            ::unlink((root + "/" + name).c_str());
            ::symlink(target.c_str(), (root + "/" + name).c_str());
        }
    }
    if (!build_mirrors(root)) return fail(error, "mirrors of /usr and /etc");

    for (const char *dir : kOwnDirs) {
        if (!mkdir_p(root + dir)) return fail(error, std::string("mkdir ") + dir);
    }
    ::chmod((root + "/tmp").c_str(), 01777);
    ::chmod((root + "/var/tmp").c_str(), 01777);

    // /dev
    const std::string dev = root + "/dev";
    if (!mkdir_p(dev)) return fail(error, "mkdir /dev");
    for (const char *node : {"null", "zero", "full", "random", "urandom", "tty"}) {
        std::string target = dev + "/" + node;
        if (!touch(target)) return fail(error, "touch " + target);
        if (::mount((std::string("/dev/") + node).c_str(), target.c_str(), nullptr, MS_BIND,
                    nullptr) != 0 &&
            std::strcmp(node, "tty") != 0)
            return fail(error, std::string("bind /dev/") + node);
    }
    ::symlink("/proc/self/fd", (dev + "/fd").c_str());
    ::symlink("/proc/self/fd/0", (dev + "/stdin").c_str());
    ::symlink("/proc/self/fd/1", (dev + "/stdout").c_str());
    ::symlink("/proc/self/fd/2", (dev + "/stderr").c_str());
    mkdir_p(dev + "/shm");
    ::chmod((dev + "/shm").c_str(), 01777);

    // /proc with the test's own command line.
    const std::string proc = root + "/proc";
    if (!mkdir_p(proc)) return fail(error, "mkdir /proc");
    if (!bind_at("/proc", proc, error)) return false;
    if (!mkdir_p(root + "/.sandbox")) return fail(error, "mkdir /.sandbox");
    const std::string cmdline = root + kCmdlineFile;
    g_default_cmdline = options.cmdline;
    if (!write_text(cmdline, options.cmdline)) return fail(error, "write " + cmdline);
    if (::mount(cmdline.c_str(), (proc + "/cmdline").c_str(), nullptr, MS_BIND, nullptr) != 0)
        return fail(error, "bind over /proc/cmdline");

    // The source and build trees at their own paths, and what the caller asks for.
    std::vector<std::string> binds = options.extra_binds;
#ifdef PI_SOURCE_DIR
    binds.push_back(PI_SOURCE_DIR);
#endif
#ifdef PI_BINARY_DIR
    binds.push_back(PI_BINARY_DIR);
#endif
    for (const std::string &path : binds) {
        char real[PATH_MAX];
        if (!::realpath(path.c_str(), real)) continue;
        std::string target = root + real;
        struct stat st;
        if (::stat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            // already reachable (a parent was bound), unless it is a mirror entry
            struct stat lst;
            if (::lstat(target.c_str(), &lst) == 0 && !S_ISLNK(lst.st_mode)) {
                // an empty directory made by an earlier mkdir_p: bind over it
                if (::rmdir(target.c_str()) != 0) continue;
            }
        }
        if (!mkdir_p(target)) return fail(error, "mkdir " + target);
        if (!bind_at(real, target, error)) return false;
    }

    // Change root.  pivot_root rather than chroot: a process of the sandbox may
    // make a user namespace of its own (pluginctl --dry-run does), which the
    // kernel refuses to a chrooted one.
    char cwd[PATH_MAX];
    std::string old_cwd = ::getcwd(cwd, sizeof cwd) ? cwd : "/";
    if (::chdir(root.c_str()) != 0) return fail(error, "chdir " + root);
    if (::syscall(SYS_pivot_root, ".", ".") != 0) return fail(error, "pivot_root");
    if (::umount2(".", MNT_DETACH) != 0) return fail(error, "detach the old root");
    if (::chdir(old_cwd.c_str()) != 0 && ::chdir("/") != 0) return fail(error, "chdir");
    ::setenv("TMPDIR", "/tmp", 1);
    g_in_sandbox = true;
    return true;
}

bool in_sandbox() { return g_in_sandbox; }

void set_cmdline(const std::string &text) { write_text(kCmdlineFile, text); }

void sandbox_reset() {
    if (!g_in_sandbox) return;
    for (const char *dir :
         {"/velm", "/bootflash", "/mnt/pss", "/var/sysmgr", "/tmp", "/opt", "/run"}) {
        ::umount2(dir, MNT_DETACH);
        empty_dir(dir);
    }
    // Anything a test made beside the mirrors goes; the mirrors are rebuilt.
    empty_dir("/usr");
    empty_dir("/etc");
    build_mirrors("");
    set_cmdline(g_default_cmdline);
}

bool bind_readonly(const std::string &path) {
    if (::mount(path.c_str(), path.c_str(), nullptr, MS_BIND, nullptr) != 0) return false;
    if (!remount_readonly(path)) {
        ::umount2(path.c_str(), MNT_DETACH);
        return false;
    }
    return true;
}

bool bind(const std::string &source, const std::string &target) {
    return ::mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) == 0;
}

bool unbind(const std::string &path) { return ::umount2(path.c_str(), MNT_DETACH) == 0; }

bool drop_capabilities() {
    for (int cap = 0; cap <= CAP_LAST_CAP; ++cap) ::prctl(PR_CAPBSET_DROP, cap, 0, 0, 0);
    struct __user_cap_header_struct header;
    struct __user_cap_data_struct data[2];
    std::memset(&header, 0, sizeof header);
    std::memset(data, 0, sizeof data);
    header.version = _LINUX_CAPABILITY_VERSION_3;
    header.pid = 0;
    return ::syscall(SYS_capset, &header, data) == 0;
}

}  // namespace pit
