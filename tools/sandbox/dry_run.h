// A dry run: the process moves into a private mount namespace whose root is a
// copy-on-write view of the one it had, so that whatever it then does to files
// lands in a scratch tmpfs and the real tree is never touched.  The private
// root (sandbox.h) builds the same view with build(), its layers kept in a
// directory of its own, and changes root itself.
//
// The view: each top-level directory of the root and each mount below it is an
// overlay (the real directory as the lower layer, a directory of the scratch
// tmpfs as the upper one); the kernel's own filesystems (proc, sysfs,
// devtmpfs, ...) are bound as they are; read-only mounts are bound read-only
// with everything below them; a place that cannot be layered (in a user
// namespace, one that holds mounts inherited from a more privileged one) is
// made a directory of the scratch whose entries are placed one by one, down
// to the inherited mounts, which are bound as they are (a dry run reports no
// change made in such a directory itself); a place that cannot be layered for
// another reason is bound read-only instead, so an operation there fails as
// on a read-only filesystem.  Top-level symbolic links are copied.  The scratch holds
// root/ (the view's root directory), layers/NAME/u and layers/NAME/w (the
// upper and work directory of the place NAME, its path with '/' as '%'): the
// same place keeps the same layer from one build to the next.  The dry run's
// scratch is a tmpfs mounted over /tmp of the private namespace; the view
// still shows the real /tmp.
//
// changes() then reads the upper layers: one line per path that was created
// ("+ PATH", "+ PATH -> TARGET" for a symbolic link), removed ("- PATH"; for a
// directory also every path that was below it) or changed ("~ PATH": type,
// permission bits, owner, contents or link target; times are not compared),
// sorted by path.  A directory that was only passed through is no change.
#ifndef PI_TOOLS_SANDBOX_DRY_RUN_H
#define PI_TOOLS_SANDBOX_DRY_RUN_H

#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace sandbox {

// Where build() makes the view.
struct ViewPlan {
    std::string scratch;   // an existing directory for root/ and layers/
    std::string tmpfs_at;  // when set, a tmpfs mounted here once the real places are held is
                           // the scratch instead
    std::vector<std::string> own;    // top-level names left as empty directories of the view
    std::string moved_to;            // the top-level places named in moved are layered at
    std::vector<std::string> moved;  // moved_to + "/" + name instead of at their own path
    bool owned_dirs = false;  // for an ordinary user: every directory of a layer is the user's
                              // in the upper layer (so writable as root's would be), made
                              // when missing at each build
};

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
    // Builds the view below plan's scratch, in the mount namespace the
    // process is in, and leaves the root as it is (root() is the view's).
    bool build(const ViewPlan &plan, std::string *error);
    // The view's root directory, as seen by the process now.
    const std::string &root() const { return root_; }
    // The number of overlays made (0: the kernel refused every one).
    std::size_t layers() const { return layers_.size(); }
    // Gives every layer that holds a change since seen_from() an empty upper
    // directory again: its overlay is mounted afresh, with the places below
    // it; the mounts made below it since are gone.  *again gets the paths
    // remounted (as seen now), so that the caller can redo its own mounts.
    bool reset(std::vector<std::string> *again, std::string *error);
    // Tells the view that its root is now seen at root ("" once the process
    // changed root into it), the real root read-only at real and the scratch
    // at scratch (both bound into the view, so that reset() mounts from
    // there: a mount left behind with the old root is no source for one),
    // and takes the layers as they are as clean.
    void seen_from(const std::string &root, const std::string &real, const std::string &scratch);
    // The places bound read-only because they could not be layered.
    const std::vector<std::string> &read_only() const { return read_only_; }
    // The change lines, sorted by path.
    std::vector<std::string> changes() const;

private:
    struct Layer {
        std::string point;  // where it is seen: "/usr"
        std::string upper;  // paths reachable from inside the view
        std::string lower;
        std::string work;
        std::string target;  // where it is mounted, as seen by the process now
    };
    bool overlay(const Layer &layer);
    bool place_entries(const std::string &point, const std::string &lower,
                       const std::string &target, std::string *error);
    std::string target_of(const std::string &point) const;
    bool place(const std::string &point, bool is_mount, const std::string &fstype,
               std::string *error);
    // The scratch (a tmpfs when the plan says so) with root/ in it.
    bool make_scratch(const ViewPlan &plan, std::string *error);
    // One top-level entry of the real root in the view: a copy of a symbolic link (link), an
    // empty directory or file for an own one, else a place (place()).
    bool place_top(const std::string &name, mode_t mode, const std::string &link, bool own,
                   const std::map<std::string, std::string> &types, std::string *error);
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
    std::string scratch_at_;  // the tmpfs mounted as scratch, if any
    std::string moved_to_;
    std::vector<std::string> moved_;
    std::map<std::string, std::vector<std::string>> clean_;  // point: its upper when clean
    bool user_xattr_ = false;
    bool owned_dirs_ = false;
    std::string real_at_, scratch_path_;  // see seen_from()
};

}  // namespace sandbox

#endif
