// The dry run's copy-on-write view; see dry_run.h.
#include "tools/sandbox/dry_run.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "frame/own.h"
#include "tools/sandbox/mounts.h"
#include "tools/sandbox/sandbox.h"

namespace pit {

struct DryRun::Fds {
    std::map<std::string, pi::Fd>
        real;  // "/" and every place of the view, opened before the scratch covers /tmp
    pi::Fd scratch;
};

namespace {

// The scratch tmpfs: upper layers, their work directories and the view's root.
constexpr char kScratchAt[] = "/tmp";

std::string fd_path(const pi::Fd &fd) { return "/proc/self/fd/" + std::to_string(fd.get()); }

std::string join(const std::string &dir, const std::string &name) {
    return dir == "/" ? "/" + name : dir + "/" + name;
}

bool below(const std::string &path, const std::string &dir) {
    return dir == "/" ? path.size() > 1 : path.compare(0, dir.size() + 1, dir + "/") == 0;
}

std::vector<std::string> names_in(const std::string &dir) {
    std::vector<std::string> names;
    pi::Owned<DIR, ::closedir> d(::opendir(dir.c_str()));
    if (!d) return names;
    while (dirent *e = ::readdir(d.get()))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            names.push_back(e->d_name);
    return names;
}

// overlayfs marks a removed entry with a 0/0 character device, and a directory
// that hides the lower one's entries (removed, then made anew) as opaque.
bool is_whiteout(const struct stat &st) { return S_ISCHR(st.st_mode) && st.st_rdev == 0; }

bool is_opaque(const std::string &path) {
    for (const char *name : {"trusted.overlay.opaque", "user.overlay.opaque"}) {
        char value[2];
        if (::lgetxattr(path.c_str(), name, value, sizeof value) == 1 && value[0] == 'y')
            return true;
    }
    return false;
}

bool same_contents(const std::string &a, const std::string &b) {
    pi::Fd fa(::open(a.c_str(), O_RDONLY | O_CLOEXEC)), fb(::open(b.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fa || !fb) return false;
    char ba[8192], bb[8192];
    for (;;) {
        const ssize_t na = ::read(fa.get(), ba, sizeof ba), nb = ::read(fb.get(), bb, sizeof bb);
        if (na != nb || na < 0) return false;
        if (na == 0) return true;
        if (std::memcmp(ba, bb, static_cast<std::size_t>(na)) != 0) return false;
    }
}

// A symbolic link is its target: its owner and bits mean nothing to the system.
bool differs(const struct stat &u, const std::string &upper, const struct stat &l,
             const std::string &lower) {
    if ((u.st_mode & S_IFMT) != (l.st_mode & S_IFMT)) return true;
    if (S_ISLNK(u.st_mode)) return link_target(upper) != link_target(lower);
    if ((u.st_mode & 07777) != (l.st_mode & 07777) || u.st_uid != l.st_uid || u.st_gid != l.st_gid)
        return true;
    if (S_ISREG(u.st_mode)) return u.st_size != l.st_size || !same_contents(upper, lower);
    return false;
}

std::string line(char mark, const std::string &path, const std::string &real,
                 const struct stat &st) {
    std::string text = std::string(1, mark) + " " + path;
    if (S_ISLNK(st.st_mode)) text += " -> " + link_target(real);
    return text;
}

// The lower entry at path is gone: it and, for a directory, all below it.
void removed(const std::string &lower, const std::string &path,
             std::map<std::string, std::string> &out) {
    struct stat st;
    if (::lstat(lower.c_str(), &st) != 0) return;
    out[path] = "- " + path;
    if (S_ISDIR(st.st_mode))
        for (const std::string &name : names_in(lower))
            removed(lower + "/" + name, join(path, name), out);
}

// Binds the real place read-only with everything below it.  The bind of the
// real /tmp brings the scratch along (it is mounted there): that copy goes.
bool bind_readonly(const std::string &lower, const std::string &target, const std::string &point,
                   std::string *error) {
    if (!bind_at(lower, target, error)) return false;
    if (point == kScratchAt && ::umount2(target.c_str(), MNT_DETACH) != 0)
        return fail(error, "umount " + target);
    return make_readonly_tree(target, true, error);
}

}  // namespace

DryRun::DryRun() : fds_(std::make_unique<Fds>()) {}
DryRun::~DryRun() = default;

bool DryRun::place(const std::string &point, bool is_mount, const std::string &fstype,
                   std::string *error) {
    auto real = fds_->real.find(point);
    if (real == fds_->real.end())
        return true;  // could not be opened: stays an empty directory of the scratch
    const std::string lower = fd_path(real->second), target = root_ + point;
    struct stat st;
    struct statvfs vfs;
    if (::stat(lower.c_str(), &st) != 0 || ::statvfs(lower.c_str(), &vfs) != 0)
        return fail(error, "stat " + point);
    if (is_mount && is_kernel_fs(fstype)) return bind_at(lower, target, error);
    if (!S_ISDIR(st.st_mode) || (vfs.f_flag & ST_RDONLY)) {
        // a file bound over another, or a read-only mount: bound read-only with all below it
        return bind_readonly(lower, target, point, error);
    }
    const std::string layer = std::string(kScratchAt) + "/layers/" + std::to_string(layers_.size());
    if (!mkdir_p(layer + "/u", 0755) || !mkdir_p(layer + "/w", 0700))
        return fail(error, "mkdir " + layer);
    const std::string options =
        "lowerdir=" + lower + ",upperdir=" + layer + "/u,workdir=" + layer + "/w";
    if (!user_xattr_ && ::mount("pi-dry-run", target.c_str(), "overlay", 0, options.c_str()) != 0)
        user_xattr_ = true;  // root of a user namespace: trusted.* attributes are not its to write
    if (user_xattr_ && ::mount("pi-dry-run", target.c_str(), "overlay", 0,
                               (options + ",userxattr").c_str()) != 0) {
        read_only_.push_back(point);
        return bind_readonly(lower, target, point, error);
    }
    layers_.push_back({point,
                       fd_path(fds_->scratch) + "/layers/" + std::to_string(layers_.size()) + "/u",
                       lower});
    // The mounts whose nearest mount above is this place get places of their own.
    for (const auto &mount : mounts_) {
        const std::string &m = mount.first;
        if (!below(m, point)) continue;
        const bool nearest = std::none_of(mounts_.begin(), mounts_.end(), [&](const auto &q) {
            return below(q.first, point) && below(m, q.first);
        });
        if (nearest && !place(m, true, mount.second, error)) return false;
    }
    return true;
}

bool DryRun::enter(std::string *error) {
    if (!enter_private_namespace(error)) return false;
    user_xattr_ =
        ::getuid() != 0;  // in a user namespace overlayfs keeps its marks in user.* attributes

    std::map<std::string, std::string>
        types;  // a later mount on the same point hides the earlier one
    for (const MountEntry &m : read_mounts()) types[m.point] = m.fstype;
    types.erase("/");
    mounts_.assign(types.begin(), types.end());

    // Every real place is held open before the scratch covers /tmp.
    auto hold = [this](const std::string &path) {
        const int fd = ::open(path.c_str(), O_PATH | O_CLOEXEC);
        if (fd >= 0) fds_->real[path].reset(fd);
    };
    hold("/");
    if (fds_->real.count("/") == 0) return fail(error, "open /");
    struct Top {
        std::string name;
        mode_t mode;
        std::string target;
    };
    std::vector<Top> top;
    for (const std::string &name : names_in("/")) {
        struct stat st;
        if (::lstat(join("/", name).c_str(), &st) != 0) continue;
        top.push_back({name, st.st_mode, S_ISLNK(st.st_mode) ? link_target(join("/", name)) : ""});
        if (!S_ISLNK(st.st_mode)) hold(join("/", name));
    }
    for (const auto &m : mounts_) hold(m.first);
    real_root_ = fd_path(fds_->real["/"]);

    if (::mount("pi-dry-run", kScratchAt, "tmpfs", MS_NOSUID, "mode=0700") != 0)
        return fail(error, std::string("tmpfs on ") + kScratchAt);
    fds_->scratch.reset(::open(kScratchAt, O_PATH | O_DIRECTORY | O_CLOEXEC));
    root_ = std::string(kScratchAt) + "/root";
    if (!fds_->scratch || !mkdir_p(root_, 0755)) return fail(error, "mkdir " + root_);
    for (const Top &t : top) {
        const std::string path = join("/", t.name), target = root_ + path;
        if (S_ISLNK(t.mode)) {
            if (::symlink(t.target.c_str(), target.c_str()) != 0)
                return fail(error, "symlink " + target);
            continue;
        }
        top_.push_back(t.name);
        const bool made =
            S_ISDIR(t.mode)
                ? ::mkdir(target.c_str(), 0755) == 0
                : pi::Fd(::open(target.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600)).get() >= 0;
        if (!made) return fail(error, "make " + target);
        const auto type = types.find(path);
        if (!place(path, type != types.end(), type == types.end() ? "" : type->second, error))
            return false;
    }

    char cwd[PATH_MAX];
    const std::string old_cwd = ::getcwd(cwd, sizeof cwd) ? cwd : "/";
    if (::chdir(root_.c_str()) != 0 || ::chroot(".") != 0) return fail(error, "chroot " + root_);
    if (::chdir(old_cwd.c_str()) != 0 && ::chdir("/") != 0) return fail(error, "chdir");
    root_ = fd_path(fds_->scratch) + "/root";
    return true;
}

void DryRun::diff_entry(const std::string &upper, const std::string &lower, const std::string &path,
                        std::map<std::string, std::string> &out) const {
    struct stat u, l;
    if (::lstat(upper.c_str(), &u) != 0) return;
    const bool had = ::lstat(lower.c_str(), &l) == 0;
    if (is_whiteout(u)) {
        removed(lower, path, out);
        return;
    }
    if (!had) {
        out[path] = line('+', path, upper, u);
    } else if (differs(u, upper, l, lower)) {
        out[path] = line('~', path, upper, u);
    }
    if (S_ISDIR(u.st_mode)) {
        diff_dir(upper, lower, path, had && S_ISDIR(l.st_mode) && is_opaque(upper), out);
    } else if (had && S_ISDIR(l.st_mode)) {
        for (const std::string &name : names_in(lower))
            removed(lower + "/" + name, join(path, name), out);
    }
}

void DryRun::diff_dir(const std::string &upper, const std::string &lower, const std::string &point,
                      bool complete, std::map<std::string, std::string> &out) const {
    const std::vector<std::string> names = names_in(upper);
    for (const std::string &name : names)
        diff_entry(upper + "/" + name, lower + "/" + name, join(point, name), out);
    if (!complete) return;
    for (const std::string &name : names_in(lower))
        if (std::find(names.begin(), names.end(), name) == names.end())
            removed(lower + "/" + name, join(point, name), out);
}

std::vector<std::string> DryRun::changes() const {
    std::map<std::string, std::string> out;
    // The view's own top level holds everything there: what is missing went.
    const std::vector<std::string> names = names_in(root_);
    for (const std::string &name : names)
        if (std::find(top_.begin(), top_.end(), name) == top_.end())
            diff_entry(root_ + "/" + name, real_root_ + "/" + name, join("/", name), out);
    for (const std::string &name : names_in(real_root_))
        if (std::find(names.begin(), names.end(), name) == names.end())
            removed(real_root_ + "/" + name, join("/", name), out);
    for (const Layer &layer : layers_) diff_dir(layer.upper, layer.lower, layer.point, false, out);
    std::vector<std::string> lines;
    for (auto &entry : out) lines.push_back(std::move(entry.second));
    return lines;
}

}  // namespace pit
