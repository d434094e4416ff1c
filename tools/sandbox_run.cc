// sandbox-run - runs a command in a private root that persists in a directory.
//
//   sandbox-run --state DIR [--cmdline TEXT] [--bind PATH]... -- COMMAND [ARG]...
//
// The root is the one the test suite runs in (tools/sandbox/sandbox.h): a
// private mount namespace (with a user namespace mapping the caller's own uid
// and gid when the caller is not root) whose root directory is DIR.  /velm,
// /bootflash, /mnt/pss, /var/sysmgr, /tmp, /opt and everything else written
// there stays in DIR for the next run; the host's root is reachable read-only
// at /.host, /usr and /etc are writable mirrors of the host's, and the
// project's source and build trees are bound at their own paths.  TEXT (a
// line feed is added when it has none) is what /proc/cmdline shows; without
// --cmdline it is "console=ttyS0 quiet".  --bind makes a further host path
// visible at its own path.  DIR is created when it does not exist.
//
// The host's root, mounts and files outside DIR are never changed: every mount
// is made in the private namespace, which ends with the command.
//
// Exit status: the command's own; 2 for bad arguments; 125 when the root
// cannot be made; 126 when the command cannot be run, 127 when it is not found.

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/sandbox/sandbox.h"

namespace {

const char kUsage[] =
    "usage: sandbox-run --state DIR [--cmdline TEXT] [--bind PATH]... -- COMMAND [ARG]...\n"
    "Runs COMMAND in a private root kept in DIR, with TEXT as /proc/cmdline.\n";

int usage(const std::string &why) {
    std::fprintf(stderr, "sandbox-run: %s\n%s", why.c_str(), kUsage);
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    pit::SandboxOptions options;
    bool have_state = false, have_cmdline = false;
    int i = 1;
    for (; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg != "--state" && arg != "--cmdline" && arg != "--bind")
            return usage("unknown argument " + arg + " (the command follows --)");
        if (i + 1 >= argc) return usage("missing value for " + arg);
        std::string value = argv[++i];
        if (arg == "--state") {
            if (have_state) return usage("--state given twice");
            if (value.empty()) return usage("--state needs a directory");
            options.state_dir = value;
            have_state = true;
        } else if (arg == "--cmdline") {
            if (have_cmdline) return usage("--cmdline given twice");
            if (value.empty() || value.back() != '\n') value += '\n';
            options.cmdline = value;
            have_cmdline = true;
        } else {
            options.extra_binds.push_back(value);
        }
    }
    if (!have_state) return usage("no state directory (--state DIR)");
    if (i >= argc) return usage("no command (give it after --)");

    if (!pit::mkdir_p(options.state_dir)) {
        std::fprintf(stderr, "sandbox-run: cannot make the state directory %s: %s\n",
                     options.state_dir.c_str(), std::strerror(errno));
        return 125;
    }
    std::string error;
    if (!pit::sandbox_enter(options, &error)) {
        std::fprintf(stderr, "sandbox-run: cannot make the private root in %s: %s\n",
                     options.state_dir.c_str(), error.c_str());
        return 125;
    }
    ::execvp(argv[i], argv + i);
    int saved = errno;
    std::fprintf(stderr, "sandbox-run: %s: %s\n", argv[i], std::strerror(saved));
    return saved == ENOENT ? 127 : 126;
}
