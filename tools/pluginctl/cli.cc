// Command-line plumbing of pluginctl; see cli.h.
#include "tools/pluginctl/cli.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "plugin_icf.h"
#include "img.h"
#include "plugin_intn.h"
#include "srg.h"
#include "tools/failure.h"

namespace pluginctl {
namespace {

ParseEnd bad_usage(std::string *error, std::string words) {
    tools::fail(error, std::move(words));
    return ParseEnd::kBadUsage;
}

}  // namespace

std::string Parsed::value(const std::string &name, const std::string &fallback) const {
    auto it = options.find(name);
    return it == options.end() ? fallback : it->second.back();
}

const std::vector<std::string> &Parsed::values(const std::string &name) const {
    static const std::vector<std::string> none;
    auto it = options.find(name);
    return it == options.end() ? none : it->second;
}

ParseEnd parse_args(const std::vector<std::string> &args, const std::vector<OptionDef> &defs,
                    int min, int max, Parsed *parsed, std::string *error) {
    Parsed &out = *parsed;
    bool options_done = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if (options_done || arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
            out.positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_done = true;
        } else if (arg == "--help") {
            out.help = true;
        } else if (arg == "--debug") {
            out.debug = true;
        } else {
            const OptionDef *def = nullptr;
            for (const OptionDef &s : defs)
                if (s.name == arg) def = &s;
            if (def == nullptr) {
                *error = arg;
                return ParseEnd::kUnknownOption;
            }
            if (out.has(arg) && !def->repeatable) return bad_usage(error, arg + " given twice");
            if (!def->with_value) {
                out.options[arg].push_back("");
                continue;
            }
            if (i + 1 >= args.size()) return bad_usage(error, "missing value for " + arg);
            out.options[arg].push_back(args[++i]);
        }
    }
    if (out.help) return ParseEnd::kParsed;
    int n = static_cast<int>(out.positional.size());
    if (n < min) return bad_usage(error, "missing arguments");
    if (max >= 0 && n > max)
        return bad_usage(error, "too many arguments (" + out.positional[max] + ")");
    return ParseEnd::kParsed;
}

namespace {

bool parse_number(const std::string &text, const char *what, int base, long long lo, long long hi,
                  long long *out, std::string *error) {
    if (text.empty() || text[0] == ' ' || text[0] == '+' || (text[0] == '-' && lo >= 0))
        return tools::fail(error, std::string(what) + " is not a number: '" + text + "'");
    errno = 0;
    char *end = nullptr;
    *out = std::strtoll(text.c_str(), &end, base);
    if (errno != 0 || *end != '\0' || *out < lo || *out > hi)
        return tools::fail(error, std::string(what) + " is not a number in range: '" + text + "'");
    return true;
}

}  // namespace

bool parse_int32(const std::string &text, const char *what, int32_t *out, std::string *error) {
    long long v = 0;
    if (!parse_number(text, what, 10, INT32_MIN, INT32_MAX, &v, error)) return false;
    *out = static_cast<int32_t>(v);
    return true;
}

bool parse_uint32(const std::string &text, const char *what, uint32_t *out, std::string *error) {
    long long v = 0;
    if (!parse_number(text, what, 0, 0, UINT32_MAX, &v, error)) return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

bool parse_mode(const std::string &text, uint32_t *out, std::string *error) {
    long long v = 0;
    if (!parse_number(text, "mode", 8, 0, 07777, &v, error)) return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

const char *result_name(uint32_t rc) {
    switch (rc) {
#define PI_NAME(code) \
    case code:        \
        return #code;
// One PI_NAME line for each code the headers define (tools/CMakeLists.txt).
#include "result_names.inc"
#undef PI_NAME
    }
    return "UNKNOWN";
}

std::string result_line(uint32_t rc) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "%s (0x%08x)", result_name(rc), static_cast<unsigned>(rc));
    return buf;
}

}  // namespace pluginctl
