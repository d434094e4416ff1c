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
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <map>
#include <memory>
#include <string>

#include "frame/own.h"
#include "tools/sandbox/dry_run.h"
#include "tools/sandbox/mounts.h"

namespace sandbox {

const char kMirrorLimits[] =
    "the kernel refuses an overlay here: /usr and /etc are mirrors of links into the read-only "
    "host, so nothing deeper than /usr/DIR/NAME or /etc/NAME can be made, and the rest of the "
    "host is not there";

namespace {

bool g_in_sandbox = false;
SandboxKind g_kind = SandboxKind::kNone;
std::string g_default_cmdline;
bool g_mirrors = false;       // /usr and /etc are mirrors
std::string g_mirror_prefix;  // where the mirrors' links lead: "/.cow" or "/.host"
std::unique_ptr<DryRun> g_view;
// What the sandbox bound into the view below a layered place (own
// directories; source, build and extra trees), by target, with a second bind
// of each in /.sandbox/keep: the source when a reset mounts a layer afresh.
std::map<std::string, std::string> g_binds;
constexpr char kKeep[] = "/.sandbox/keep";
constexpr char kScratch[] = "/.sandbox/scratch";  // the layers, for a reset

// The sandbox's own files live here (inside the new root).
constexpr const char kCmdlineFile[] = "/.sandbox/cmdline";

// Directories that belong to the test and start empty: the top-level ones
// are directories of the root itself, the others are bound from own/.
const char *const kOwnTop[] = {"velm", "bootflash", "tmp", "opt", "run", "dev"};
const char *const kOwnBelow[] = {"/mnt/pss", "/var/sysmgr", "/var/tmp"};

bool touch(const std::string &path) {
    return plugin_intn::Fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644)).get() >= 0;
}

// Fills dir (a real directory of the sandbox) with symbolic links to every
// entry of host_dir, as seen from inside the sandbox (target_prefix + name).
bool mirror(const std::string &host_dir, const std::string &dir, const std::string &target_prefix,
            int depth) {
    plugin_intn::Owned<DIR, ::closedir> d(::opendir(host_dir.c_str()));
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

// Builds the /usr and /etc mirrors below root (a path as seen now), with
// links into prefix (as seen from inside).
bool build_mirrors(const std::string &root, const std::string &prefix) {
    bool ok = true;
    if (::mkdir((root + "/usr").c_str(), 0755) != 0 && errno != EEXIST) ok = false;
    if (::mkdir((root + "/etc").c_str(), 0755) != 0 && errno != EEXIST) ok = false;
    ok = mirror(root + prefix + "/usr", root + "/usr", prefix + "/usr", 2) && ok;
    ok = mirror(root + prefix + "/etc", root + "/etc", prefix + "/etc", 1) && ok;
    return ok;
}

// Binds source at root + target, and when kept at root/.sandbox/keep/N too.
bool bind_kept(const std::string &source, const std::string &root, const std::string &target,
               bool kept, std::string *error) {
    if (!mkdir_p(root + target)) return fail_errno(error, "mkdir " + root + target);
    if (!bind_at(source, root + target, error)) return false;
    if (!kept) return true;
    const std::string keep = std::string(kKeep) + "/" + std::to_string(g_binds.size());
    if (!mkdir_p(root + keep)) return fail_errno(error, "mkdir " + root + keep);
    g_binds[target] = keep;
    return bind_at(source, root + keep, error);
}

// True when the kernel mounts an overlay whose upper layer is below dir.
bool overlay_works(const std::string &dir) {
    const std::string probe = dir + "/.probe";
    for (const char *sub : {"/l", "/u", "/w", "/m"})
        if (!mkdir_p(probe + sub)) return false;
    const std::string options =
        "lowerdir=" + probe + "/l,upperdir=" + probe + "/u,workdir=" + probe + "/w";
    bool works = ::mount("pi-probe", (probe + "/m").c_str(), "overlay", 0, options.c_str()) == 0 ||
                 ::mount("pi-probe", (probe + "/m").c_str(), "overlay", 0,
                         (options + ",userxattr").c_str()) == 0;
    if (works) ::umount2((probe + "/m").c_str(), MNT_DETACH);
    empty_dir(probe);
    for (const char *sub : {"/l", "/u", "/w/work", "/w", "/m", ""}) ::rmdir((probe + sub).c_str());
    return works;
}

// A scratch directory on disk for the layers, made before the process leaves
// the host's namespace and removed there by a child once every process of the
// sandbox has ended (the pipe it waits on is then closed).
plugin_intn::Fd g_janitor;  // the pipe's write end, open for the life of the process

bool disk_scratch(std::string *dir, std::string *error) {
    const char *tmp = std::getenv("TMPDIR");
    std::string path = std::string(tmp && *tmp ? tmp : "/var/tmp") + "/pi-sandbox.XXXXXX";
    if (!::mkdtemp(path.data())) return fail_errno(error, "mkdtemp " + path);
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return fail_errno(error, "pipe");
    plugin_intn::Fd read_end(ends[0]);
    g_janitor.reset(ends[1]);
    // A grandchild, so that the process has no child of the sandbox's own to reap.
    const pid_t child = ::fork();
    if (child < 0) return fail_errno(error, "fork");
    if (child == 0) {
        g_janitor.reset();
        if (::fork() != 0) ::_exit(0);
        char byte;
        while (::read(read_end.get(), &byte, 1) < 0 && errno == EINTR) {}
        empty_dir(path);
        ::rmdir(path.c_str());
        ::_exit(0);
    }
    while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {}
    *dir = path;
    return true;
}

}  // namespace

SandboxKind sandbox_kind() { return g_kind; }

namespace {

// Where the layers go: the state directory, or a tmpfs where the kernel allows it, else a
// directory on disk.  Enters the private namespace on the way; *cow tells whether an overlay
// can be made there, *tmpfs_at where the tmpfs goes ("" for none).
bool choose_layers(const SandboxOptions &options, std::string *scratch, std::string *tmpfs_at,
                   bool *cow, std::string *error) {
    if (!options.state_dir.empty()) {
        char real[PATH_MAX];
        if (!::realpath(options.state_dir.c_str(), real))
            return fail_errno(error, "state " + options.state_dir);
        *scratch = real;
        if (options.reset) empty_dir(*scratch);
    }
    // An ordinary user's kernel may refuse an upper layer on tmpfs: a
    // directory on disk is made first, while the host's namespace is there.
    std::string disk;
    if (scratch->empty() && ::getuid() != 0 && !disk_scratch(&disk, error)) return false;
    if (!enter_private_namespace(error)) return false;
    *cow = false;
    if (!scratch->empty()) {
        *cow = overlay_works(*scratch);
    } else if (::mount("pi-sandbox", "/mnt", "tmpfs", MS_NOSUID, "mode=0755") == 0) {
        *cow = overlay_works("/mnt");
        ::umount2("/mnt", MNT_DETACH);
        if (*cow) *tmpfs_at = "/mnt";
    }
    if (!*cow && !disk.empty() && overlay_works(disk)) {
        *cow = true;
        *scratch = disk;
    }
    return true;
}

// The copy-on-write view as the root (*root), with the own directories below layered places
// bound in (and kept for a reset when keep).
bool make_cow_root(const SandboxOptions &options, const std::string &scratch,
                   const std::string &tmpfs_at, bool keep, std::string *root, std::string *error) {
    ViewPlan plan;
    plan.scratch = scratch;
    plan.tmpfs_at = tmpfs_at;
    for (const char *name : kOwnTop) plan.own.push_back(name);
    if (options.mirrors) plan.moved_to = "/.cow", plan.moved = {"usr", "etc"};
    plan.owned_dirs = !options.mirrors;
    g_view = std::make_unique<DryRun>();
    if (!g_view->build(plan, error)) return false;
    if (g_view->layers() == 0) return fail_errno(error, "no overlay could be made");
    *root = g_view->root();
    g_mirror_prefix = "/.cow";
    if (options.mirrors && !build_mirrors(*root, g_mirror_prefix))
        return fail_errno(error, "mirrors of /usr and /etc");
    const std::string own = (tmpfs_at.empty() ? scratch : tmpfs_at) + "/own";
    for (const char *dir : kOwnBelow) {
        std::string name = dir + 1;
        std::replace(name.begin(), name.end(), '/', '%');
        if (!mkdir_p(own + "/" + name)) return fail_errno(error, "mkdir " + own + "/" + name);
        if (!bind_kept(own + "/" + name, *root, dir, keep, error)) return false;
    }
    g_kind = SandboxKind::kCopyOnWrite;
    g_mirrors = options.mirrors;
    const std::string layers = (tmpfs_at.empty() ? scratch : tmpfs_at);
    if (keep && (!mkdir_p(*root + kScratch) || ::mount(layers.c_str(), (*root + kScratch).c_str(),
                                                       nullptr, MS_BIND, nullptr) != 0))
        return fail_errno(error, "bind " + layers);
    return true;
}

// The mirror alone: a tmpfs, or root/ of the state directory, on /mnt.
bool make_mirror_root(const std::string &scratch, std::string *root, std::string *error) {
    *root = "/mnt";
    if (scratch.empty()) {
        if (::mount("pi-sandbox", root->c_str(), "tmpfs", MS_NOSUID, "mode=0755") != 0)
            return fail_errno(error, "tmpfs on " + *root);
    } else {
        if (!mkdir_p(scratch + "/root")) return fail_errno(error, "mkdir " + scratch + "/root");
        if (!bind_at(scratch + "/root", *root, error)) return false;
    }
    g_kind = SandboxKind::kMirror;
    g_mirrors = true;
    g_mirror_prefix = "/.host";
    return true;
}

// In the mirror-only root: the host's top-level symbolic links (bin -> usr/bin, ...), the
// mirrors and the own directories below /mnt and /var.
bool fill_mirror_root(const std::string &root, std::string *error) {
    if (plugin_intn::Owned<DIR, ::closedir> d{::opendir("/")}) {
        while (dirent *e = ::readdir(d.get())) {
            std::string name = e->d_name;
            struct stat st;
            if (::lstat(("/" + name).c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) continue;
            const std::string target = read_link("/" + name);
            if (target.empty()) continue;
            ::unlink((root + "/" + name).c_str());
            ::symlink(target.c_str(), (root + "/" + name).c_str());
        }
    }
    if (!build_mirrors(root, g_mirror_prefix)) return fail_errno(error, "mirrors of /usr and /etc");
    for (const char *dir : kOwnBelow)
        if (!mkdir_p(root + dir)) return fail_errno(error, std::string("mkdir ") + dir);
    return true;
}

// The host's root, read-only, at /.host.
bool bind_host(const std::string &root, bool without_mnt, std::string *error) {
    const std::string host = root + "/.host";
    if (!mkdir_p(host)) return fail_errno(error, "mkdir " + host);
    if (!bind_at("/", host, error)) return false;
    if (without_mnt) ::umount2((host + "/mnt").c_str(), MNT_DETACH);
    return make_readonly_tree(host, false, error);
}

// /dev: the host's harmless nodes bound over files, and the links to /proc/self/fd.
bool make_dev(const std::string &root, std::string *error) {
    const std::string dev = root + "/dev";
    for (const char *node : {"null", "zero", "full", "random", "urandom", "tty"}) {
        std::string target = dev + "/" + node;
        if (!touch(target)) return fail_errno(error, "touch " + target);
        if (::mount((std::string("/dev/") + node).c_str(), target.c_str(), nullptr, MS_BIND,
                    nullptr) != 0 &&
            std::strcmp(node, "tty") != 0)
            return fail_errno(error, std::string("bind /dev/") + node);
    }
    ::symlink("/proc/self/fd", (dev + "/fd").c_str());
    ::symlink("/proc/self/fd/0", (dev + "/stdin").c_str());
    ::symlink("/proc/self/fd/1", (dev + "/stdout").c_str());
    ::symlink("/proc/self/fd/2", (dev + "/stderr").c_str());
    mkdir_p(dev + "/shm");
    ::chmod((dev + "/shm").c_str(), 01777);
    return true;
}

// /proc with the test's own command line (the view binds the host's; the mirror gets it here).
bool make_proc(const std::string &root, bool cow, const std::string &cmdline_text,
               std::string *error) {
    const std::string proc = root + "/proc";
    if (!cow) {
        if (!mkdir_p(proc)) return fail_errno(error, "mkdir /proc");
        if (!bind_at("/proc", proc, error)) return false;
    }
    if (!mkdir_p(root + "/.sandbox")) return fail_errno(error, "mkdir /.sandbox");
    const std::string cmdline = root + kCmdlineFile;
    g_default_cmdline = cmdline_text;
    if (!write_text(cmdline, cmdline_text)) return fail_errno(error, "write " + cmdline);
    if (::mount(cmdline.c_str(), (proc + "/cmdline").c_str(), nullptr, MS_BIND, nullptr) != 0)
        return fail_errno(error, "bind over /proc/cmdline");
    return true;
}

// The source and build trees at their own paths, and what the caller asks for.
bool bind_trees(const SandboxOptions &options, const std::string &root, bool cow, bool keep,
                std::string *error) {
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
            if (!cow && ::lstat(target.c_str(), &lst) == 0 && !S_ISLNK(lst.st_mode)) {
                // an empty directory made by an earlier mkdir_p: bind over it
                if (::rmdir(target.c_str()) != 0) continue;
            }
        }
        if (!bind_kept(real, root, real, keep, error)) return false;
    }
    return true;
}

// Changes root.  pivot_root rather than chroot: a process of the sandbox may make a user
// namespace of its own (pluginctl --dry-run does), which the kernel refuses to a chrooted one.
// The view's root is a directory, made a mount point (with all below it) first.
bool change_root(const std::string &root, bool cow, std::string *error) {
    if (cow && !bind_at(root, root, error)) return false;
    char cwd[PATH_MAX];
    std::string old_cwd = ::getcwd(cwd, sizeof cwd) ? cwd : "/";
    if (::chdir(root.c_str()) != 0) return fail_errno(error, "chdir " + root);
    if (::syscall(SYS_pivot_root, ".", ".") != 0) return fail_errno(error, "pivot_root");
    if (::umount2(".", MNT_DETACH) != 0) return fail_errno(error, "detach the old root");
    if (::chdir(old_cwd.c_str()) != 0 && ::chdir("/") != 0) return fail_errno(error, "chdir");
    return true;
}

}  // namespace

bool sandbox_enter(const SandboxOptions &options, std::string *error) {
    if (g_in_sandbox) return true;
    std::string scratch, tmpfs_at, root;
    bool cow = false;
    if (!choose_layers(options, &scratch, &tmpfs_at, &cow, error)) return false;
    // Only a root without a state directory (the tests') is ever reset.
    const bool keep = options.state_dir.empty();
    if (cow ? !make_cow_root(options, scratch, tmpfs_at, keep, &root, error)
            : !make_mirror_root(scratch, &root, error))
        return false;
    if (!bind_host(root, !tmpfs_at.empty() || !cow, error)) return false;
    if (!cow && !fill_mirror_root(root, error)) return false;
    for (const char *dir : kOwnTop)
        if (!mkdir_p(root + "/" + dir)) return fail_errno(error, std::string("mkdir /") + dir);
    ::chmod((root + "/tmp").c_str(), 01777);
    ::chmod((root + "/var/tmp").c_str(), 01777);
    if (!make_dev(root, error) || !make_proc(root, cow, options.cmdline, error) ||
        !bind_trees(options, root, cow, keep, error) || !change_root(root, cow, error))
        return false;
    ::setenv("TMPDIR", "/tmp", 1);
    if (g_view) g_view->seen_from("", "/.host", keep ? kScratch : "");
    g_in_sandbox = true;
    return true;
}

bool in_sandbox() { return g_in_sandbox; }

void set_cmdline(const std::string &text) { write_text(kCmdlineFile, text); }

void sandbox_reset() {
    if (!g_in_sandbox) return;
    for (const char *dir : {"/velm", "/bootflash", "/tmp", "/opt", "/run"}) {
        ::umount2(dir, MNT_DETACH);
        empty_dir(dir);
    }
    for (const char *dir : kOwnBelow) empty_dir(dir);
    // A changed layer is mounted afresh, and what the sandbox bound below it again.
    std::vector<std::string> again;
    std::string error;
    if (g_view && !g_view->reset(&again, &error))
        std::fprintf(stderr, "sandbox: cannot reset the copy-on-write root: %s\n", error.c_str());
    for (const std::string &point : again)
        for (const auto &[target, held] : g_binds)
            if (target == point || target.compare(0, point.size() + 1, point + "/") == 0)
                if (!mkdir_p(target) || !bind_at(held, target, &error))
                    std::fprintf(stderr, "sandbox: cannot bind %s again: %s\n", target.c_str(),
                                 error.c_str());
    // Anything a test made beside the mirrors goes; the mirrors are rebuilt.
    if (g_mirrors) {
        empty_dir("/usr");
        empty_dir("/etc");
        build_mirrors("", g_mirror_prefix);
    }
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

}  // namespace sandbox
