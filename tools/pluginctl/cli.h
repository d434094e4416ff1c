// Command-line plumbing of pluginctl: argument parsing, result-code names and
// the output conventions shared by every subcommand.
#ifndef PLUGINCTL_CLI_H
#define PLUGINCTL_CLI_H

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace pluginctl {

// Bad arguments: main prints the message and the subcommand's usage and exits 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// An option the subcommand does not take: main says where it belongs.
struct UnknownOption : UsageError {
    explicit UnknownOption(const std::string &name)
        : UsageError("unknown option " + name), option(name) {}
    std::string option;
};

// An option a subcommand accepts ("--manifest"); with_value options take the
// next argument, repeatable ones may be given more than once.
struct OptionDef {
    std::string name;
    bool with_value;
    bool repeatable;
};

struct Parsed {
    std::vector<std::string> positional;
    std::map<std::string, std::vector<std::string>> options;  // flags: one empty value
    bool help = false;
    bool debug = false;

    bool has(const std::string &name) const { return options.count(name) != 0; }
    // The value of a single-valued option, or fallback when it was not given.
    std::string value(const std::string &name, const std::string &fallback = "") const;
    const std::vector<std::string> &values(const std::string &name) const;
};

// Parses args against the options; --help and --debug are known everywhere,
// "--" ends the options.  Positional counts are checked against [min, max]
// (max < 0: no upper bound).  Throws UsageError (UnknownOption for an option
// not in defs).
Parsed parse(const std::vector<std::string> &args, const std::vector<OptionDef> &defs, int min,
             int max);

// Whole-string number parsing; throw UsageError naming what with the text.
int32_t parse_int32(const std::string &text, const char *what);
uint32_t parse_uint32(const std::string &text, const char *what);  // decimal, 0x hex or 0 octal
uint32_t parse_mode(const std::string &text);                      // octal permission bits

// "PLUGIN_ERR_DUPLICATE" for a result code, the platform components' names for
// theirs, "UNKNOWN" otherwise.
const char *result_name(uint32_t rc);
// The result line, "PLUGIN_ERR_DUPLICATE (0x40ea001d)".
std::string result_line(uint32_t rc);

}  // namespace pluginctl

#endif
