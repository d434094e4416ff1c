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

namespace sandbox {

struct DryRun::Fds {
    std::map<std::string, plugin_intn::Fd>
        real;  // "/" and every place of the view, opened before the scratch covers /tmp
    plugin_intn::Fd scratch;
};

namespace {

std::string fd_path(const plugin_intn::Fd &fd) {
    return "/proc/self/fd/" + std::to_string(fd.get());
}

std::string join(const std::string &dir, const std::string &name) {
    return dir == "/" ? "/" + name : dir + "/" + name;
}

bool below(const std::string &path, const std::string &dir) {
    return dir == "/" ? path.size() > 1 : path.compare(0, dir.size() + 1, dir + "/") == 0;
}

std::vector<std::string> names_in(const std::string &dir) {
    std::vector<std::string> names;
    plugin_intn::Owned<DIR, ::closedir> d(::opendir(dir.c_str()));
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
    plugin_intn::Fd fa(::open(a.c_str(), O_RDONLY | O_CLOEXEC)),
        fb(::open(b.c_str(), O_RDONLY | O_CLOEXEC));
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
    if (S_ISLNK(u.st_mode)) return read_link(upper) != read_link(lower);
    if ((u.st_mode & 07777) != (l.st_mode & 07777) || u.st_uid != l.st_uid || u.st_gid != l.st_gid)
        return true;
    if (S_ISREG(u.st_mode)) return u.st_size != l.st_size || !same_contents(upper, lower);
    return false;
}

std::string line(char mark, const std::string &path, const std::string &real,
                 const struct stat &st) {
    std::string text = std::string(1, mark) + " " + path;
    if (S_ISLNK(st.st_mode)) text += " -> " + read_link(real);
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

// Makes below upper a directory of the caller's for every directory below
// lower (on the same mount), with lower's permission bits and the owner's
// rwx; one that exists stays as it is.  Through the overlay the directory is
// then the caller's, who may add and remove entries as its owner.  The
// scratch (skip) and the caller's own directories are left out.
void skeleton(const std::string &lower, const std::string &upper, const struct stat &skip) {
    struct stat self;
    if (::stat(lower.c_str(), &self) != 0) return;
    std::vector<std::string> dirs;
    if (plugin_intn::Owned<DIR, ::closedir> d{::opendir(lower.c_str())}) {
        while (dirent *e = ::readdir(d.get()))
            if ((e->d_type == DT_DIR || e->d_type == DT_UNKNOWN) &&
                std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                dirs.push_back(e->d_name);
    }
    for (const std::string &name : dirs) {
        struct stat st;
        const std::string from = lower + "/" + name, to = upper + "/" + name;
        if (::lstat(from.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
        if (self.st_dev != st.st_dev) continue;  // a mount
        if (st.st_dev == skip.st_dev && st.st_ino == skip.st_ino) continue;
        if (st.st_uid == ::getuid()) continue;  // the caller's already, and what is below
        if (::mkdir(to.c_str(), (st.st_mode & 07777) | S_IRWXU) == 0)
            ::chmod(to.c_str(), (st.st_mode & 07777) | S_IRWXU);
        else if (errno != EEXIST)
            continue;
        skeleton(from, to, skip);
    }
}

// Binds the real place read-only with everything below it.  The bind of the
// place the scratch tmpfs covers brings the scratch along: that copy goes.
bool bind_place_readonly(const std::string &lower, const std::string &target,
                         const std::string &point, const std::string &scratch_at,
                         std::string *error) {
    if (!bind_at(lower, target, error)) return false;
    if (point == scratch_at && ::umount2(target.c_str(), MNT_DETACH) != 0)
        return fail_errno(error, "umount " + target);
    return make_readonly_tree(target, true, error);
}

// The layer directory's name for a place: its path with '/' as '%'.
std::string layer_name(const std::string &point) {
    std::string name = point.substr(1);
    std::replace(name.begin(), name.end(), '/', '%');
    return name;
}

// Every path below dir, sorted, with its type.
void listing(const std::string &dir, const std::string &rel, std::vector<std::string> &out) {
    for (const std::string &name : names_in(dir)) {
        struct stat st;
        if (::lstat((dir + "/" + name).c_str(), &st) != 0) continue;
        out.push_back(rel + "/" + name + " " + std::to_string(st.st_mode & S_IFMT));
        if (S_ISDIR(st.st_mode)) listing(dir + "/" + name, rel + "/" + name, out);
    }
}

}  // namespace

DryRun::DryRun() : fds_(std::make_unique<Fds>()) {}
DryRun::~DryRun() = default;

bool DryRun::overlay(const Layer &layer) {
    const std::string options =
        "lowerdir=" + layer.lower + ",upperdir=" + layer.upper + ",workdir=" + layer.work;
    if (!user_xattr_ && ::mount("pi-cow", layer.target.c_str(), "overlay", 0, options.c_str()) == 0)
        return true;
    user_xattr_ = true;  // root of a user namespace: trusted.* attributes are not its to write
    return ::mount("pi-cow", layer.target.c_str(), "overlay", 0,
                   (options + ",userxattr").c_str()) == 0;
}

std::string DryRun::target_of(const std::string &point) const {
    const std::string top = point.substr(1, point.find('/', 1) - 1);
    const bool moved = std::find(moved_.begin(), moved_.end(), top) != moved_.end();
    return root_ + (moved ? moved_to_ : "") + point;
}

bool DryRun::place(const std::string &point, bool is_mount, const std::string &fstype,
                   std::string *error) {
    auto real = fds_->real.find(point);
    if (real == fds_->real.end())
        return true;  // could not be opened: stays an empty directory of the scratch
    // Once the root changed, the held place is still there to look at, but
    // only the real root bound into the view is a source for mounts.
    const std::string held = fd_path(real->second),
                      lower = real_at_.empty() ? held : real_at_ + point, target = target_of(point);
    struct stat st;
    struct statvfs vfs;
    if (::stat(held.c_str(), &st) != 0 || ::statvfs(held.c_str(), &vfs) != 0)
        return fail_errno(error, "stat " + point);
    if (is_mount && is_kernel_fs(fstype)) return bind_at(lower, target, error);
    if (!S_ISDIR(st.st_mode) || (vfs.f_flag & ST_RDONLY)) {
        // a file bound over another, or a read-only mount: bound read-only with all below it
        return bind_place_readonly(lower, target, point, scratch_at_, error);
    }
    const std::string layer = (scratch_path_.empty() ? fd_path(fds_->scratch) : scratch_path_) +
                              "/layers/" + layer_name(point);
    struct stat scratch;
    const bool fresh = ::stat((layer + "/u").c_str(), &scratch) != 0;  // else: from a run before
    if (!mkdir_p(layer + "/u", 0755) || !mkdir_p(layer + "/w", 0700))
        return fail_errno(error, "mkdir " + layer);
    if (owned_dirs_ && fresh && ::stat(fd_path(fds_->scratch).c_str(), &scratch) == 0)
        skeleton(lower, layer + "/u", scratch);
    const Layer made{point, layer + "/u", lower, layer + "/w", target};
    if (!overlay(made)) {
        if (place_entries(point, lower, target, error)) return true;
        read_only_.push_back(point);
        return bind_place_readonly(lower, target, point, scratch_at_, error);
    }
    layers_.push_back(made);
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

// In a user namespace the kernel refuses to layer a directory that holds a
// mount inherited from a more privileged namespace.  Such a place becomes a
// directory of the scratch with an entry for each of the real one's, each
// placed in turn, so that only the mount itself ends up bound as it is.
bool DryRun::place_entries(const std::string &point, const std::string &lower,
                           const std::string &target, std::string *error) {
    if (std::none_of(mounts_.begin(), mounts_.end(),
                     [&](const auto &m) { return below(m.first, point); }))
        return false;
    for (const std::string &name : names_in(lower)) {
        const std::string path = join(point, name), there = target + "/" + name;
        struct stat st;
        if (::lstat((lower + "/" + name).c_str(), &st) != 0) continue;
        if (S_ISLNK(st.st_mode)) {
            if (::symlink(read_link(lower + "/" + name).c_str(), there.c_str()) != 0 &&
                errno != EEXIST)
                return fail_errno(error, "symlink " + there);
            continue;
        }
        const bool made =
            S_ISDIR(st.st_mode)
                ? ::mkdir(there.c_str(), 0755) == 0 || errno == EEXIST
                : plugin_intn::Fd(::open(there.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600))
                          .get() >= 0;
        if (!made) return fail_errno(error, "make " + there);
        const int fd = ::open((lower + "/" + name).c_str(), O_PATH | O_CLOEXEC);
        if (fd < 0) continue;
        fds_->real[path].reset(fd);
        std::string fstype;
        for (const auto &m : mounts_)
            if (m.first == path) fstype = m.second;
        if (!place(path, !fstype.empty(), fstype, error)) return false;
    }
    return true;
}

bool DryRun::enter(std::string *error) {
    if (!enter_private_namespace(error)) return false;
    ViewPlan plan;
    plan.tmpfs_at = "/tmp";
    if (!build(plan, error)) return false;
    char cwd[PATH_MAX];
    const std::string old_cwd = ::getcwd(cwd, sizeof cwd) ? cwd : "/";
    if (::chdir(root_.c_str()) != 0 || ::chroot(".") != 0)
        return fail_errno(error, "chroot " + root_);
    if (::chdir(old_cwd.c_str()) != 0 && ::chdir("/") != 0) return fail_errno(error, "chdir");
    root_ = fd_path(fds_->scratch) + "/root";
    return true;
}

namespace {

// A top-level entry of the real root: its name, type and a symbolic link's contents.
struct TopEntry {
    std::string name;
    mode_t mode;
    std::string target;
};

std::vector<TopEntry> top_entries() {
    std::vector<TopEntry> top;
    for (const std::string &name : names_in("/")) {
        struct stat st;
        if (::lstat(join("/", name).c_str(), &st) != 0) continue;
        top.push_back({name, st.st_mode, S_ISLNK(st.st_mode) ? read_link(join("/", name)) : ""});
    }
    return top;
}

}  // namespace

bool DryRun::build(const ViewPlan &plan, std::string *error) {
    user_xattr_ =
        ::getuid() != 0;  // in a user namespace overlayfs keeps its marks in user.* attributes
    moved_to_ = plan.moved_to;
    owned_dirs_ = plan.owned_dirs && ::getuid() != 0;
    moved_ = plan.moved;

    std::map<std::string, std::string>
        types;  // a later mount on the same point hides the earlier one
    for (const MountEntry &m : read_mounts()) types[m.point] = m.fstype;
    types.erase("/");
    mounts_.assign(types.begin(), types.end());

    // Every real place is held open before the scratch covers any of them.
    auto hold = [this](const std::string &path) {
        const int fd = ::open(path.c_str(), O_PATH | O_CLOEXEC);
        if (fd >= 0) fds_->real[path].reset(fd);
    };
    hold("/");
    if (fds_->real.count("/") == 0) return fail_errno(error, "open /");
    const std::vector<TopEntry> top = top_entries();
    for (const TopEntry &t : top)
        if (!S_ISLNK(t.mode)) hold(join("/", t.name));
    for (const auto &m : mounts_) hold(m.first);
    real_root_ = fd_path(fds_->real["/"]);

    if (!make_scratch(plan, error)) return false;
    for (const TopEntry &t : top) {
        const bool own = std::find(plan.own.begin(), plan.own.end(), t.name) != plan.own.end();
        if (!place_top(t.name, t.mode, t.target, own, types, error)) return false;
    }
    return true;
}

bool DryRun::make_scratch(const ViewPlan &plan, std::string *error) {
    std::string scratch = plan.scratch;
    if (!plan.tmpfs_at.empty()) {
        scratch = scratch_at_ = plan.tmpfs_at;
        if (::mount("pi-cow", scratch.c_str(), "tmpfs", MS_NOSUID, "mode=0700") != 0)
            return fail_errno(error, "tmpfs on " + scratch);
    }
    fds_->scratch.reset(::open(scratch.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    root_ = scratch + "/root";
    if (!fds_->scratch || !mkdir_p(root_, 0755)) return fail_errno(error, "mkdir " + root_);
    if (!moved_to_.empty() && !mkdir_p(root_ + moved_to_, 0755))
        return fail_errno(error, "mkdir " + root_ + moved_to_);
    return true;
}

bool DryRun::place_top(const std::string &name, mode_t mode, const std::string &link, bool own,
                       const std::map<std::string, std::string> &types, std::string *error) {
    const std::string path = join("/", name);
    const std::string target = own ? root_ + path : target_of(path);
    if (S_ISLNK(mode)) {
        if (::symlink(link.c_str(), target.c_str()) != 0 && errno != EEXIST)
            return fail_errno(error, "symlink " + target);
        return true;
    }
    if (!own) top_.push_back(name);
    const bool made =
        S_ISDIR(mode)
            ? ::mkdir(target.c_str(), 0755) == 0 || errno == EEXIST
            : plugin_intn::Fd(::open(target.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600)).get() >=
                  0;
    if (!made) return fail_errno(error, "make " + target);
    const auto type = types.find(path);
    if (!own && !place(path, type != types.end(), type == types.end() ? "" : type->second, error))
        return false;
    return true;
}

void DryRun::seen_from(const std::string &root, const std::string &real,
                       const std::string &scratch) {
    root_ = root;
    real_at_ = real;
    scratch_path_ = scratch;
    clean_.clear();
    for (const Layer &layer : layers_) {
        std::vector<std::string> names;
        listing(layer.upper, "", names);
        clean_[layer.point] = names;
    }
}

bool DryRun::reset(std::vector<std::string> *again, std::string *error) {
    std::vector<std::string> dirty;
    for (const Layer &layer : layers_) {
        std::vector<std::string> names;
        listing(layer.upper, "", names);
        if (names == clean_[layer.point]) continue;
        if (std::none_of(dirty.begin(), dirty.end(),
                         [&](const std::string &d) { return below(layer.point, d); }))
            dirty.push_back(layer.point);
    }
    for (const std::string &point : dirty) {
        if (::umount2(target_of(point).c_str(), MNT_DETACH) != 0)
            return fail_errno(error, "umount " + target_of(point));
        std::vector<Layer> kept;
        for (const Layer &layer : layers_) {
            if (layer.point != point && !below(layer.point, point)) {
                kept.push_back(layer);
                continue;
            }
            empty_dir(layer.upper);
            empty_dir(layer.work);
        }
        layers_ = kept;
        const bool is_mount = std::any_of(mounts_.begin(), mounts_.end(),
                                          [&](const auto &m) { return m.first == point; });
        std::string fstype;
        for (const auto &m : mounts_)
            if (m.first == point) fstype = m.second;
        if (!place(point, is_mount, fstype, error)) return false;
        if (again) again->push_back(target_of(point));
    }
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

}  // namespace sandbox
