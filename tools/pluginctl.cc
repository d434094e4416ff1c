// pluginctl - a command line over every operation of libplugin_intn.
//
//   pluginctl [--debug] [--dry-run] SUBCOMMAND [ARGS...]   (pluginctl --help lists them)
//
// Output: what a script would read goes to stdout.  Every subcommand whose
// operation returns a result code ends its stdout with the result line,
// "NAME (0xXXXXXXXX)", after any data lines; the library's own lines stay on
// stderr (stdout only for the lines the library writes there itself).
// Exit status: 0 success, 1 failure of an operation, 2 bad arguments (usage on
// stderr).  --debug turns the library's debug switch on for the call;
// --dry-run runs it in a copy-on-write view of the root and lists the changes.
//
// Here are main and the dispatcher; the subcommands (table and handlers) are
// declared in pluginctl/commands.h, the argument parsing in pluginctl/cli.h.

#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "frame/own.h"
#include "plugin_intn.h"
#include "tools/pluginctl/cli.h"
#include "tools/pluginctl/commands.h"
#include "tools/sandbox/dry_run.h"

namespace pluginctl {
namespace {

void print_list(FILE *out, const std::string &group) {
    for (const Command &c : commands()) {
        if (!group.empty() && c.name.compare(0, group.size() + 1, group + " ") != 0) continue;
        std::string head = c.name + (c.synopsis.empty() ? "" : " " + c.synopsis);
        std::fprintf(out, "  %s\n      %s\n", head.c_str(), c.summary.c_str());
    }
}

std::string usage_of(const Command &c) {
    return "usage: pluginctl [--debug] [--dry-run] " + c.name +
           (c.synopsis.empty() ? "" : " " + c.synopsis) + "\n";
}

bool is_group(const std::string &word) {
    for (const Command &c : commands())
        if (c.name.compare(0, word.size() + 1, word + " ") == 0) return true;
    return false;
}

int usage_error(const std::string &why, const std::string &usage, bool list = false) {
    std::fprintf(stderr, "pluginctl: %s\n%s", why.c_str(), usage.c_str());
    if (list) print_list(stderr, "");
    return 2;
}

int run(int argc, char **argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    bool debug = false, dry_run = false;
    std::size_t at = 0;
    for (; at < args.size() && args[at].compare(0, 1, "-") == 0; ++at) {
        if (args[at] == "--debug") {
            debug = true;
        } else if (args[at] == "--dry-run") {
            dry_run = true;
        } else if (args[at] == "--help" || args[at] == "-h") {
            std::fputs(kGeneral, stdout);
            print_list(stdout, "");
            return 0;
        } else {
            return usage_error("unknown option " + args[at], kGeneral, true);
        }
    }
    if (at >= args.size()) return usage_error("no subcommand", kGeneral, true);
    std::string name = args[at++];
    if (name == "help") {
        std::fputs(kGeneral, stdout);
        print_list(stdout, "");
        return 0;
    }
    if (is_group(name)) {
        if (at >= args.size() || args[at] == "--help") {
            bool help = at < args.size();
            std::fprintf(help ? stdout : stderr, "%susage: pluginctl %s ...\n",
                         help ? "" : "pluginctl: missing subcommand\n", name.c_str());
            print_list(help ? stdout : stderr, name);
            return help ? 0 : 2;
        }
        name += " " + args[at++];
    }
    const Command *cmd = nullptr;
    for (const Command &c : commands())
        if (c.name == name) cmd = &c;
    if (cmd == nullptr)
        return usage_error(
            "unknown subcommand " + name,
            "usage: pluginctl [--debug] [--dry-run] SUBCOMMAND [ARGS...]  (pluginctl --help lists them)\n");

    std::vector<std::string> rest(args.begin() + static_cast<long>(at), args.end());
    try {
        Parsed parsed = parse(rest, cmd->options, cmd->min, cmd->max);
        if (parsed.help) {
            std::printf("%s%s\n%s", usage_of(*cmd).c_str(), cmd->summary.c_str(),
                        cmd->details.c_str());
            return 0;
        }
        debug = debug || parsed.debug;
        pit::DryRun view;
        if (dry_run) {
            std::string error;
            if (!view.enter(&error)) {
                std::fprintf(
                    stderr,
                    "pluginctl: --dry-run: no copy-on-write view of the root here (%s); nothing was run\n",
                    error.c_str());
                return 2;
            }
            if (debug)
                for (const std::string &place : view.read_only())
                    std::fprintf(stderr, "pluginctl: --dry-run: %s is read-only in the view\n",
                                 place.c_str());
        }
        if (debug) plugin_intn_debug_on();
        Outcome outcome = cmd->handler(parsed);
        if (dry_run)
            for (const std::string &change : view.changes()) std::printf("%s\n", change.c_str());
        // The result line comes last on stdout, after the handler's data lines (and a dry run's changes).
        if (outcome.rc) std::printf("%s\n", result_line(*outcome.rc).c_str());
        return outcome.status;
    } catch (const UsageError &e) {
        return usage_error(e.what(), usage_of(*cmd));
    } catch (const std::exception &e) {
        std::fprintf(stderr, "pluginctl: %s\n", e.what());
        return 1;
    }
}

}  // namespace
}  // namespace pluginctl

// PLUGINCTL_FDS=1 in the environment: "fds: N" on stderr at exit, N the descriptors
// still open (those of /proc/self/fd but the one reading it), so that a script can
// tell a descriptor left open by an operation.
static int open_fds() {
    pi::Owned<DIR, closedir> dir(opendir("/proc/self/fd"));
    if (!dir) return -1;
    int n = 0;
    while (readdir(dir.get()) != nullptr) ++n;
    return n - 3;  // ".", ".." and the directory's own descriptor
}

int main(int argc, char **argv) {
    // The library and its shell commands write to our descriptors too: whole lines keep the order.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    int status = pluginctl::run(argc, argv);
    if (std::getenv("PLUGINCTL_FDS") != nullptr) std::fprintf(stderr, "fds: %d\n", open_fds());
    return status;
}
