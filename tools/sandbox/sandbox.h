// The private-root sandbox every test process (and tools/sandbox-run) runs in.
//
// sandbox_enter() puts the calling process into a private mount namespace
// (with a user namespace mapping the caller's own uid and gid when it is not
// root) and changes root into a copy-on-write view of the host's root
// (dry_run.h's view): every directory is writable, a change lands in an upper
// layer and the host's files stay as they are.  Into that view come:
//   /velm, /bootflash, /mnt/pss, /var/sysmgr, /var/tmp, /tmp, /opt, /run
//                     the sandbox's own, empty at first (not the host's)
//   /dev              null, zero, full, random, urandom, tty bound from the
//                     host; fd, stdin, stdout, stderr links; /dev/log is free
//                     for a test's syslog receiver
//   /proc             the host's, with the file /.sandbox/cmdline bound over
//                     /proc/cmdline (set_cmdline() writes it)
//   /.host            the host's root, read-only (to check it stays untouched)
//   source and build trees bound read-write at their own paths, and
//                     SandboxOptions::extra_binds likewise.
// Without a state directory the layers live in a tmpfs (or, where the kernel
// refuses an overlay whose upper layer is on tmpfs, in a directory below
// $TMPDIR or /var/tmp removed when the process ends) and go with the process.
// With one, the directory holds root/ (the view's root, with the top-level own
// directories), layers/NAME/{u,w} (upper and work directory of each layered
// place) and own/NAME (the own directories below a layered place), and all of
// it persists between runs.
//
// With SandboxOptions::mirrors (the tests' choice), /usr and /etc are
// mirrors instead: real directories, two levels of /usr and one of /etc,
// holding symbolic links into the copy-on-write /usr and /etc at /.cow, so
// that walking them stays cheap while a file may still be placed anywhere
// below them (/usr/share/doc/x/y, /etc/default/z).
//
// Where the kernel refuses an overlay altogether, the root is made as the
// mirror alone: /usr and /etc mirrors whose links lead into the read-only
// /.host, so nothing deeper than /usr/DIR/NAME or /etc/NAME can be made;
// sandbox_kind() says which root was made.
#ifndef PI_TOOLS_SANDBOX_H
#define PI_TOOLS_SANDBOX_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace sandbox {

struct SandboxOptions {
    std::string state_dir;  // empty: a fresh tmpfs
    std::string cmdline = "console=ttyS0 quiet\n";
    std::vector<std::string> extra_binds;  // host paths bound read-write at their own path
    bool reset = false;                    // empty the state directory first
    bool mirrors = false;                  // /usr and /etc as mirrors into the copy-on-write root
};

enum class SandboxKind { kNone, kCopyOnWrite, kMirror };
// The root made by sandbox_enter().
SandboxKind sandbox_kind();
// One line naming what the mirror-only root cannot do.
extern const char kMirrorLimits[];

// Enters the sandbox; false (with *error set) when it cannot be made.
bool sandbox_enter(const SandboxOptions &options, std::string *error);
// True once sandbox_enter() succeeded in this process.
bool in_sandbox();
// Replaces the text that /proc/cmdline shows.
void set_cmdline(const std::string &text);
// Empties the test-owned directories, undoes every change to the
// copy-on-write layers, restores the /usr and /etc mirrors and the default
// /proc/cmdline text.  Called before every test.
void sandbox_reset();
// Binds path over itself read-only (EROFS below it); false on failure.
bool bind_readonly(const std::string &path);
// Binds source over target (a file over a file, a directory over a directory).
bool bind(const std::string &source, const std::string &target);
// Undoes a bind made by bind_readonly() or bind(); false on failure.
bool unbind(const std::string &path);
// Makes path and every missing parent (mkdir -p); true when path is a
// directory afterwards.
bool mkdir_p(const std::string &path, mode_t mode = 0755);
// Empties a directory tree below path (the directory stays); crosses no mount point.
void empty_dir(const std::string &path);
// The contents of a symbolic link, or "" when path is none.
std::string read_link(const std::string &path);
// Drops every capability of the process for the rest of its life, so that
// permission checks apply as for an ordinary user (root included).
bool drop_capabilities();

}  // namespace sandbox

#endif
