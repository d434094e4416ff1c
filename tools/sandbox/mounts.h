// Mount and namespace steps shared by the private root (sandbox.cc) and the
// dry run (dry_run.cc).  Internal to pi_sandbox.
#ifndef PI_TOOLS_SANDBOX_MOUNTS_H
#define PI_TOOLS_SANDBOX_MOUNTS_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "tools/failure.h"

namespace sandbox {

using tools::fail_errno;

// Writes text to path (created 0644, truncated); false on any failure.
bool write_text(const std::string &path, const std::string &text);

// Puts the process into a private mount namespace, all of whose mounts are
// private: root unshares the mount namespace alone, anyone else a user
// namespace mapping the caller's own uid and gid as well.
bool enter_private_namespace(std::string *error);

struct MountEntry {
    std::string point;   // as the process sees it
    std::string fstype;  // "ext4", "proc", ...
};
// The mounts of the process's root, from /proc/self/mountinfo, in its order.
std::vector<MountEntry> read_mounts();
// True for the kernel's own filesystems (proc, sysfs, devtmpfs, ...), which
// are bound as they are rather than copied or layered.
bool is_kernel_fs(const std::string &fstype);

// Binds source (recursively) at target.
bool bind_at(const std::string &source, const std::string &target, std::string *error);
// Remounts the mount at path read-only, keeping the flags a user namespace
// may not drop.
bool remount_readonly(const std::string &path);
// Makes the mounts at and below path read-only.  strict: every one but the
// kernel's own filesystems, false when one refuses; otherwise every one is
// tried and one that refuses stays as it is.
bool make_readonly_tree(const std::string &path, bool strict, std::string *error);

}  // namespace sandbox

#endif
