// The private-root sandbox every test process (and tools/sandbox-run) runs in.
//
// sandbox_enter() puts the calling process into a private mount namespace
// (with a user namespace mapping the caller's own uid and gid when it is not
// root) and changes root into a fresh tmpfs:
//   /.host            the host's root, read-only (to check it stays untouched)
//   /usr, /etc        writable mirrors: each directory of the host's /usr (and
//                     /etc itself) is a real directory here holding symbolic
//                     links to the host's entries, so the shell tools work and
//                     a test may still create /usr/bin/foo
//   /bin, /lib, ...   the host's top-level symbolic links, as they are
//   /dev              null, zero, full, random, urandom, tty bound from the
//                     host; fd, stdin, stdout, stderr links; /dev/log is free
//                     for a test's syslog receiver
//   /proc             the host's, with the file /.sandbox/cmdline bound over
//                     /proc/cmdline (set_cmdline() writes it)
//   /velm, /bootflash, /mnt/pss, /var/sysmgr, /tmp, /opt, /run
//                     empty and writable, the test's own
//   source and build trees bound read-write at their own paths.
// With a state directory the root lives in that directory instead of a tmpfs
// and persists between runs.
#ifndef PI_TOOLS_SANDBOX_H
#define PI_TOOLS_SANDBOX_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace pit {

struct SandboxOptions {
    std::string state_dir;  // empty: a fresh tmpfs
    std::string cmdline = "console=ttyS0 quiet\n";
    std::vector<std::string> extra_binds;  // host paths bound read-write at their own path
};

// Enters the sandbox; false (with *error set) when it cannot be made.
bool sandbox_enter(const SandboxOptions &options, std::string *error);
// True once sandbox_enter() succeeded in this process.
bool in_sandbox();
// Replaces the text that /proc/cmdline shows.
void set_cmdline(const std::string &text);
// Empties the test-owned directories, restores the /usr and /etc mirrors and
// the default /proc/cmdline text.  Called before every test.
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
// The contents of a symbolic link, or "" when path is none.
std::string link_target(const std::string &path);
// Drops every capability of the process for the rest of its life, so that
// permission checks apply as for an ordinary user (root included).
bool drop_capabilities();

}  // namespace pit

#endif
