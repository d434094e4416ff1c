// A dry run: the process moves into a private mount namespace whose root is a
// copy-on-write view of the one it had, so that whatever it then does to files
// lands in a scratch tmpfs and the real tree is never touched.
//
// The view: each top-level directory of the root and each mount below it is an
// overlay (the real directory as the lower layer, a directory of the scratch
// tmpfs as the upper one); the kernel's own filesystems (proc, sysfs,
// devtmpfs, ...) are bound as they are; read-only mounts are bound read-only
// with everything below them; a place that cannot be layered (in a user
// namespace, one that holds mounts inherited from a more privileged one) is
// bound read-only instead, so an operation there fails as on a read-only
// filesystem.  Top-level symbolic links are copied.  The scratch tmpfs is
// mounted over /tmp of the private namespace; the view still shows the real
// /tmp.
//
// changes() then reads the upper layers: one line per path that was created
// ("+ PATH", "+ PATH -> TARGET" for a symbolic link), removed ("- PATH"; for a
// directory also every path that was below it) or changed ("~ PATH": type,
// permission bits, owner, contents or link target; times are not compared),
// sorted by path.  A directory that was only passed through is no change.
#ifndef PI_TOOLS_SANDBOX_DRY_RUN_H
#define PI_TOOLS_SANDBOX_DRY_RUN_H

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace pit {

class DryRun {
public:
    DryRun();
    ~DryRun();
    DryRun(const DryRun &) = delete;
    DryRun &operator=(const DryRun &) = delete;

    // Enters the view (as root: a mount namespace; otherwise a user namespace
    // too, where the kernel allows overlayfs in one).  false with *error set
    // when it cannot be made; the process's root is then unchanged.
    bool enter(std::string *error);
    // The places bound read-only because they could not be layered.
    const std::vector<std::string> &read_only() const { return read_only_; }
    // The change lines, sorted by path.
    std::vector<std::string> changes() const;

private:
    struct Layer {
        std::string point;  // where it is seen: "/usr"
        std::string upper;  // paths reachable from inside the view
        std::string lower;
    };
    bool place(const std::string &point, bool is_mount, const std::string &fstype,
               std::string *error);
    void diff_dir(const std::string &upper, const std::string &lower, const std::string &point,
                  bool complete, std::map<std::string, std::string> &out) const;
    void diff_entry(const std::string &upper, const std::string &lower, const std::string &path,
                    std::map<std::string, std::string> &out) const;

    struct Fds;
    std::unique_ptr<Fds> fds_;      // descriptors of the real places and of the scratch
    std::string root_;              // the view's root, as seen from inside it
    std::vector<std::string> top_;  // top-level names of the view that are placed
    std::vector<Layer> layers_;
    std::vector<std::string> read_only_;
    std::string real_root_;  // the real root, as seen from inside the view
    std::vector<std::pair<std::string, std::string>> mounts_;  // point, fstype
    bool user_xattr_ = false;
};

}  // namespace pit

#endif
