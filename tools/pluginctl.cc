// pluginctl - a command line over every operation of libplugin_intn.
//
//   pluginctl [--debug] [--dry-run] SUBCOMMAND [ARGS...]   (pluginctl --help lists them)
//
// Output: what a script would read goes to stdout.  Every subcommand whose
// operation returns a result code ends its stdout with the result line,
// "NAME (0xXXXXXXXX)", after any data lines; the library's own lines stay on
// stderr (stdout only for the lines the library writes there itself).
// Exit status: 0 success, 1 failure of an operation, 2 bad arguments (one line
// saying what is wrong and where an option belongs, then a short usage, on
// stderr); the result line and the status always agree.  After the library's
// own lines, a line of pluginctl's names the cause of a failure it can see, or
// warns of a success that looks like a mistake.  "pluginctl help SUB" is
// "pluginctl SUB --help".  --debug turns the library's debug switch on for the call;
// --dry-run runs it in a copy-on-write view of the root and lists the changes.
//
// Here are main and the dispatcher; the subcommands (table and handlers) are
// declared in pluginctl/commands.h, the argument parsing in pluginctl/cli.h.

#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
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
    for (const Subcommand &c : commands()) {
        if (!group.empty() && c.name.compare(0, group.size() + 1, group + " ") != 0) continue;
        std::string head = c.name + (c.synopsis.empty() ? "" : " " + c.synopsis);
        std::fprintf(out, "  %s\n      %s\n", head.c_str(), c.summary.c_str());
    }
}

std::string usage_of(const Subcommand &c) {
    return "usage: pluginctl [--debug] [--dry-run] " + c.name +
           (c.synopsis.empty() ? "" : " " + c.synopsis) + "\n";
}

const char kShortUsage[] =
    "usage: pluginctl [--debug] [--dry-run] SUBCOMMAND [ARGS...]  (pluginctl --help lists them)\n";

bool is_group(const std::string &word) {
    for (const Subcommand &c : commands())
        if (c.name.compare(0, word.size() + 1, word + " ") == 0) return true;
    return false;
}

int usage_error(const std::string &why, const std::string &usage) {
    std::fprintf(stderr, "pluginctl: %s\n%s", why.c_str(), usage.c_str());
    return 2;
}

// Whether a becomes b by one edit: a character inserted, removed or replaced,
// or two neighbours swapped.
bool one_edit(const std::string &a, const std::string &b) {
    if (a == b) return false;
    const std::string &s = a.size() <= b.size() ? a : b, &l = a.size() <= b.size() ? b : a;
    if (l.size() - s.size() > 1) return false;
    std::size_t i = 0;
    while (i < s.size() && s[i] == l[i]) ++i;
    if (s.size() < l.size()) return s.compare(i, s.npos, l, i + 1, l.npos) == 0;
    if (s.compare(i + 1, s.npos, l, i + 1, l.npos) == 0) return true;
    return i + 1 < s.size() && s[i] == l[i + 1] && s[i + 1] == l[i] &&
           s.compare(i + 2, s.npos, l, i + 2, l.npos) == 0;
}

// "; did you mean X?" (or "X or Y") over the known words one edit away from typed; "" for none.
std::string did_you_mean(const std::string &typed, const std::vector<std::string> &known) {
    std::vector<std::string> near;
    for (const std::string &k : known)
        if (one_edit(typed, k) && std::find(near.begin(), near.end(), k) == near.end())
            near.push_back(k);
    std::string text;
    for (const std::string &k : near) text += (text.empty() ? "" : " or ") + k;
    return text.empty() ? "" : "; did you mean " + text + "?";
}

// The subcommands that begin with prefix ("swid-map "), up to their next word ("" gives the
// first words: "link", "swid-map").
std::vector<std::string> names_after(const std::string &prefix) {
    std::vector<std::string> out;
    for (const Subcommand &c : commands())
        if (c.name.compare(0, prefix.size(), prefix) == 0)
            out.push_back(c.name.substr(0, c.name.find(' ', prefix.size())));
    if (prefix.empty()) out.push_back("help");
    return out;
}

// Says what is wrong with an option that cmd does not take (cmd null: an
// option before the subcommand) and where it belongs.
std::string misplaced(const std::string &option, const Subcommand *cmd) {
    if (cmd != nullptr && option == "--dry-run")
        return "--dry-run goes before the subcommand: pluginctl --dry-run " + cmd->name + " ...";
    std::string owners;
    for (const Subcommand &c : commands())
        for (const OptionDef &o : c.options)
            if (o.name == option && &c != cmd) owners += (owners.empty() ? "" : ", ") + c.name;
    if (!owners.empty())
        return option + " is an option of " + owners + (cmd ? ", not of " + cmd->name : "") +
               "; it goes after the subcommand";
    std::vector<std::string> known = {"--help", "--debug", "--dry-run"};
    if (cmd != nullptr)
        for (const OptionDef &o : cmd->options) known.push_back(o.name);
    return "unknown option " + option + did_you_mean(option, known);
}

// The options before the subcommand; *at gets the subcommand's index.  Returns the exit status
// when they end the run (--help, an unknown option), else -1.
int leading_options(const std::vector<std::string> &args, std::size_t *at, bool *debug,
                    bool *dry_run) {
    for (; *at < args.size() && args[*at].compare(0, 1, "-") == 0; ++*at) {
        if (args[*at] == "--debug") {
            *debug = true;
        } else if (args[*at] == "--dry-run") {
            *dry_run = true;
        } else if (args[*at] == "--help" || args[*at] == "-h") {
            std::fputs(kGeneral, stdout);
            print_list(stdout, "");
            return 0;
        } else {
            return usage_error(misplaced(args[*at], nullptr), kShortUsage);
        }
    }
    return -1;
}

// The subcommand at args[*at] ("help SUB" and a group's second word taken along): *cmd, and
// *help for "help SUB".  Returns the exit status when the run ends here (a list printed, an
// unknown or missing subcommand), else -1.
int find_command(const std::vector<std::string> &args, std::size_t *at, const Subcommand **cmd,
                 bool *help) {
    if (*at >= args.size()) return usage_error("no subcommand", kShortUsage);
    std::string name = args[(*at)++];
    // "pluginctl help SUB ..." is "pluginctl SUB ... --help".
    *help = name == "help" && *at < args.size();
    if (name == "help") {
        if (!*help) {
            std::fputs(kGeneral, stdout);
            print_list(stdout, "");
            return 0;
        }
        name = args[(*at)++];
    }
    if (is_group(name)) {
        if (*at >= args.size() || args[*at] == "--help") {
            const bool to_out = *help || *at < args.size();
            std::fprintf(to_out ? stdout : stderr, "%susage: pluginctl %s ...\n",
                         to_out ? "" : "pluginctl: missing subcommand\n", name.c_str());
            print_list(to_out ? stdout : stderr, name);
            return to_out ? 0 : 2;
        }
        name += " " + args[(*at)++];
    }
    for (const Subcommand &c : commands())
        if (c.name == name) *cmd = &c;
    if (*cmd != nullptr) return -1;
    const std::size_t space = name.find(' ');
    const std::string prefix = space == name.npos ? "" : name.substr(0, space + 1);
    return usage_error("unknown subcommand " + name + did_you_mean(name, names_after(prefix)),
                       kShortUsage);
}

// Runs the handler, in a copy-on-write view of the root for --dry-run, and prints the result
// line; returns the exit status.
int execute(const Subcommand &cmd, const Parsed &parsed, bool debug, bool dry_run) {
    sandbox::DryRun view;
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
    std::string error;
    Outcome outcome = cmd.handler(parsed, &error);
    // Stopped before its operation: the words, and no changes or result line.
    if (!error.empty()) {
        if (outcome.status == 2) return usage_error(error, usage_of(cmd));
        std::fprintf(stderr, "pluginctl: %s\n", error.c_str());
        return 1;
    }
    if (dry_run)
        for (const std::string &change : view.changes()) std::printf("%s\n", change.c_str());
    // The result line comes last on stdout, after the handler's data lines (and a dry run's
    // changes).  It and the status agree: a failing code fails, and a handler that fails
    // after a successful call (a lookup that found nothing) prints no PLUGIN_OK.
    if (outcome.rc && *outcome.rc != 0) outcome.status = outcome.status ? outcome.status : 1;
    if (outcome.rc && (*outcome.rc != 0 || outcome.status == 0))
        std::printf("%s\n", result_line(*outcome.rc).c_str());
    return outcome.status;
}

int run(int argc, char **argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    bool debug = false, dry_run = false, help = false;
    std::size_t at = 0;
    const Subcommand *cmd = nullptr;
    int status = leading_options(args, &at, &debug, &dry_run);
    if (status < 0) status = find_command(args, &at, &cmd, &help);
    if (status >= 0) return status;

    std::vector<std::string> rest(args.begin() + static_cast<long>(at), args.end());
    if (help) rest.push_back("--help");
    Parsed parsed;
    std::string error;
    switch (parse_args(rest, cmd->options, cmd->min, cmd->max, &parsed, &error)) {
    case ParseEnd::kUnknownOption:
        return usage_error(misplaced(error, cmd), usage_of(*cmd));
    case ParseEnd::kBadUsage:
        return usage_error(error, usage_of(*cmd));
    case ParseEnd::kParsed:
        break;
    }
    if (parsed.help) {
        std::printf("%s%s\n%s", usage_of(*cmd).c_str(), cmd->summary.c_str(), cmd->details.c_str());
        return 0;
    }
    return execute(*cmd, parsed, debug || parsed.debug, dry_run);
}

}  // namespace
}  // namespace pluginctl

// PLUGINCTL_FDS=1 in the environment: "fds: N" on stderr at exit, N the descriptors
// still open (those of /proc/self/fd but the one reading it), so that a script can
// tell a descriptor left open by an operation.
static int descriptors_open() {
    plugin_intn::Owned<DIR, closedir> dir(opendir("/proc/self/fd"));
    if (!dir) return -1;
    int n = 0;
    while (readdir(dir.get()) != nullptr) ++n;
    return n - 3;  // ".", ".." and the directory's own descriptor
}

int main(int argc, char **argv) {
    // The library and its shell commands write to our descriptors too: whole lines keep the order.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    int status = pluginctl::run(argc, argv);
    if (std::getenv("PLUGINCTL_FDS") != nullptr)
        std::fprintf(stderr, "fds: %d\n", descriptors_open());
    return status;
}
