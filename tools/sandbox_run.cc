// sandbox-run - runs a command in a private root whose changes persist in a directory.
//
//   sandbox-run --state DIR [--reset] [--cmdline TEXT] [--bind PATH]... -- COMMAND [ARG]...
//
// The root is the one the test suite runs in (tools/sandbox/sandbox.h): a
// private mount namespace (with a user namespace mapping the caller's own uid
// and gid when the caller is not root) whose root is a copy-on-write overlay
// of the host's, writable everywhere.  DIR keeps every change between runs:
// root/ (the view's root directory, with /velm, /bootflash, /tmp, /opt, /run
// and /dev), layers/NAME/u and layers/NAME/w (the overlay's upper and work
// directory of each place of the host), own/NAME (/mnt/pss, /var/sysmgr and
// /var/tmp, which start empty instead of showing the host's).  For an
// ordinary user every directory of the host appears as the user's own (a
// copy of the directory tree, without the files, in the upper layers), so a
// package may be placed anywhere.  --reset empties DIR first.  The host's
// root is reachable read-only at /.host, and the project's source and build
// trees are bound at their own paths.  TEXT (a line feed is added when it has
// none) is what /proc/cmdline shows; without --cmdline it is "console=ttyS0
// quiet".  --bind makes a further host path (which must exist) visible at
// its own path, read-write.  DIR is created when it does not exist.
//
// Where the kernel refuses an overlay, one line says so and the root is the
// older mirror: /usr and /etc as directories of links into the read-only
// host, nothing else of the host.
//
// The host's root, mounts and files outside DIR are never changed: every mount
// is made in the private namespace, which ends with the command.
//
// Exit status: the command's own; 2 for bad arguments; 125 when the root
// cannot be made; 126 when the command cannot be run, 127 when it is not found.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/failure.h"
#include "tools/sandbox/sandbox.h"

namespace {

const char kUsage[] =
    "usage: sandbox-run --state DIR [--reset] [--cmdline TEXT] [--bind PATH]... -- COMMAND "
    "[ARG]...\n";
const char kHelp[] =
    "Runs COMMAND in a private root: a copy-on-write overlay of this machine's root,\n"
    "writable everywhere, whose changes are kept in DIR from one run to the next.\n"
    "\n"
    "  --state DIR     where the changes live (required; made when missing): DIR/root\n"
    "                  (the root directory, with /velm /bootflash /tmp /opt /run /dev),\n"
    "                  DIR/layers/NAME/{u,w} (the overlay's upper and work directory of\n"
    "                  each place of the host), DIR/own/NAME (/mnt/pss /var/sysmgr\n"
    "                  /var/tmp, empty at first)\n"
    "  --reset         empty DIR first (default: keep what earlier runs left)\n"
    "  --cmdline TEXT  what /proc/cmdline shows (default: \"console=ttyS0 quiet\")\n"
    "  --bind PATH     an existing host path, bound read-write at its own path\n"
    "                  (default: none besides those below)\n"
    "\n"
    "Bound by default: the project's source tree (" PI_SOURCE_DIR
    ")\n"
    "and build tree (" PI_BINARY_DIR
    "), read-write;\n"
    "the host's root, read-only, at /.host; null zero full random urandom tty in /dev.\n"
    "Where the kernel refuses an overlay, one line says so and /usr and /etc are\n"
    "mirrors of links into the read-only host instead.\n"
    "Exit status: COMMAND's; 2 bad arguments; 125 no root; 126 not runnable; 127 not found.\n";

// What the command line asks for.
struct Request {
    sandbox::SandboxOptions options;
    bool have_state = false, have_cmdline = false;
    bool help = false;
    bool show_usage = true;  // the usage follows a failure's words
    int command = 0;         // where the command starts in argv
};

// Takes the value of --state, --cmdline or --bind.
bool take_value(Request *r, const std::string &arg, std::string value, std::string *error) {
    if (arg == "--state") {
        if (r->have_state) return tools::fail(error, "--state given twice");
        if (value.empty()) return tools::fail(error, "--state needs a directory");
        r->options.state_dir = value;
        r->have_state = true;
    } else if (arg == "--cmdline") {
        if (r->have_cmdline) return tools::fail(error, "--cmdline given twice");
        if (value.empty() || value.back() != '\n') value += '\n';
        r->options.cmdline = value;
        r->have_cmdline = true;
    } else {
        struct stat st;
        if (::stat(value.c_str(), &st) != 0) {
            r->show_usage = false;
            return tools::fail_errno(error, "--bind " + value);
        }
        r->options.extra_binds.push_back(value);
    }
    return true;
}

// Reads the command line into *r; false with *error for bad arguments.
bool parse_args(int argc, char **argv, Request *r, std::string *error) {
    int i = 1;
    for (; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg == "-h" || arg == "--help") {
            r->help = true;
            return true;
        }
        if (arg == "--reset") {
            r->options.reset = true;
            continue;
        }
        if (arg != "--state" && arg != "--cmdline" && arg != "--bind")
            return tools::fail(error, "unknown argument " + arg + " (the command follows --)");
        if (i + 1 >= argc) return tools::fail(error, "missing value for " + arg);
        if (!take_value(r, arg, argv[++i], error)) return false;
    }
    if (!r->have_state) return tools::fail(error, "no state directory (--state DIR)");
    if (i >= argc) return tools::fail(error, "no command (give it after --)");
    r->command = i;
    return true;
}

// Makes the private root and runs the command in it; returns only when either fails, with the
// exit status.
int run(const sandbox::SandboxOptions &options, char **command) {
    if (!sandbox::mkdir_p(options.state_dir)) {
        std::fprintf(stderr, "sandbox-run: cannot make the state directory %s: %s\n",
                     options.state_dir.c_str(), std::strerror(errno));
        return 125;
    }
    std::string error;
    if (!sandbox::sandbox_enter(options, &error)) {
        std::fprintf(stderr, "sandbox-run: cannot make the private root in %s: %s\n",
                     options.state_dir.c_str(), error.c_str());
        return 125;
    }
    if (sandbox::sandbox_kind() == sandbox::SandboxKind::kMirror)
        std::fprintf(stderr, "sandbox-run: %s\n", sandbox::kMirrorLimits);
    ::execvp(command[0], command);
    int saved = errno;
    std::fprintf(stderr, "sandbox-run: %s: %s\n", command[0], std::strerror(saved));
    return saved == ENOENT ? 127 : 126;
}

}  // namespace

int main(int argc, char **argv) {
    Request request;
    std::string error;
    if (!parse_args(argc, argv, &request, &error)) {
        std::fprintf(stderr, "sandbox-run: %s\n%s", error.c_str(),
                     request.show_usage ? kUsage : "");
        return 2;
    }
    if (request.help) {
        std::printf("%s\n%s", kUsage, kHelp);
        return 0;
    }
    return run(request.options, argv + request.command);
}
