// Command-line plumbing of pluginctl: argument parsing, result-code names and
// the output conventions shared by every subcommand.
#ifndef PLUGINCTL_CLI_H
#define PLUGINCTL_CLI_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace pluginctl {

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

// How parse ends: with the arguments, with bad arguments (*error says what is wrong; the
// dispatcher prints it and the subcommand's usage and exits 2), or at an option not in defs
// (*error is the option; the dispatcher says where it belongs).
enum class ParseEnd { kParsed, kBadUsage, kUnknownOption };

// Parses args against the options into *out; --help and --debug are known everywhere, "--"
// ends the options.  Positional counts are checked against [min, max] (max < 0: no upper
// bound).
ParseEnd parse_args(const std::vector<std::string> &args, const std::vector<OptionDef> &defs,
                    int min, int max, Parsed *out, std::string *error);

// Whole-string number parsing; false, with *error naming what and the text, for bad arguments.
bool parse_int32(const std::string &text, const char *what, int32_t *out, std::string *error);
// Decimal, 0x hex or 0 octal.
bool parse_uint32(const std::string &text, const char *what, uint32_t *out, std::string *error);
// Octal permission bits.
bool parse_mode(const std::string &text, uint32_t *out, std::string *error);

// "PLUGIN_ERR_DUPLICATE" for a result code, the platform components' names for
// theirs, "UNKNOWN" otherwise.
const char *result_name(uint32_t rc);
// The result line, "PLUGIN_ERR_DUPLICATE (0x40ea001d)".
std::string result_line(uint32_t rc);

}  // namespace pluginctl

#endif
