// pluginctl's subcommands: the table (table.cc) that names each one with its
// help texts, options and argument counts, and the handlers (handlers.cc) that
// carry them out.  The dispatcher in pluginctl.cc looks a subcommand up here.
#ifndef PLUGINCTL_COMMANDS_H
#define PLUGINCTL_COMMANDS_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "frame/own.h"
#include "plugin_strings.h"
#include "tools/failure.h"
#include "tools/installer/check.h"
#include "tools/pluginctl/cli.h"

namespace pluginctl {

// What a subcommand hands back: its exit status and, when its operation returns
// a result code, that code (the dispatcher prints the result line, last on
// stdout).
struct Outcome {
    int status;
    std::optional<uint32_t> rc;
};
// The outcome of a result code: status 0 when rc is 0, else 1, rc kept.
inline Outcome result(uint32_t rc) { return {rc == 0 ? 0 : 1, rc}; }
// An outcome without a result line.
inline Outcome status_only(int status) { return {status, std::nullopt}; }
// A handler that stops before its operation, with the words in *error and no result line:
// bad arguments (status 2; the dispatcher adds the subcommand's usage) or a step that failed
// (status 1).
inline Outcome bad_arguments(std::string *error, std::string words) {
    tools::fail(error, std::move(words));
    return status_only(2);
}
inline Outcome bad_arguments() { return status_only(2); }  // *error already set
inline Outcome cannot_run(std::string *error, std::string words) {
    tools::fail(error, std::move(words));
    return status_only(1);
}

struct Subcommand {
    std::string name;      // "record show"
    std::string synopsis;  // arguments after the name
    std::string summary;   // one line for the list
    std::string details;   // the rest of --help
    std::vector<OptionDef> options;
    int min, max;  // positional arguments
    Outcome (*handler)(const Parsed &, std::string *error);
};

// Every subcommand, in the order of the list that --help prints.
const std::vector<Subcommand> &commands();

// The head of pluginctl --help, above the list of subcommands.
extern const char kGeneral[];

using StringsPtr = plugin_intn::Owned<plugin_strings, plugin_strings_free>;
// The exclusion set of the --exclude options into *set (null when none were given).
bool exclusion_set(const Parsed &p, StringsPtr *set, std::string *error);

// A manifest line's entry, by the rule linking applies: one leading "./" and
// one trailing line feed go; an empty rest is no entry (query.cc).
std::string entry_of(std::string line);

// The handlers.  Arguments the table cannot check, or operation arguments they cannot
// prepare, end them before the operation, with the words in *error (bad_arguments,
// cannot_run).
Outcome cmd_extract(const Parsed &p, std::string *error);
Outcome cmd_newer_fs(const Parsed &p, std::string *error);
Outcome cmd_extract_member(const Parsed &p, std::string *error);
Outcome cmd_link(const Parsed &p, std::string *error);
Outcome cmd_unlink(const Parsed &p, std::string *error);
Outcome cmd_excluded(const Parsed &p, std::string *error);
Outcome cmd_record_show(const Parsed &p, std::string *error);
Outcome cmd_record_save(const Parsed &p, std::string *error);
Outcome cmd_record_cleanup(const Parsed &p, std::string *error);
Outcome cmd_map_create(const Parsed &p, std::string *error);
Outcome cmd_map_append(const Parsed &p, std::string *error);
Outcome cmd_map_get(const Parsed &p, std::string *error);
Outcome cmd_map_list(const Parsed &p, std::string *error);
Outcome cmd_map_check(const Parsed &p, std::string *error);
Outcome cmd_order_load(const Parsed &p, std::string *error);
Outcome cmd_order_unload(const Parsed &p, std::string *error);
Outcome cmd_order_matrix(const Parsed &p, std::string *error);
Outcome cmd_cmdline_get(const Parsed &p, std::string *error);
Outcome cmd_cmdline_plugins(const Parsed &p, std::string *error);
Outcome cmd_conf_names(const Parsed &p, std::string *error);
Outcome cmd_stage_read(const Parsed &p, std::string *error);
Outcome cmd_stage_write(const Parsed &p, std::string *error);
Outcome cmd_syscall(const Parsed &p, std::string *error);
Outcome cmd_mkdir(const Parsed &p, std::string *error);
Outcome cmd_rmdir(const Parsed &p, std::string *error);
Outcome cmd_patch(const Parsed &p, std::string *error);
Outcome cmd_owner(const Parsed &p, std::string *error);  // query.cc
Outcome cmd_files(const Parsed &p, std::string *error);
Outcome cmd_install(const Parsed &p, std::string *error);  // installer_handlers.cc
Outcome cmd_remove(const Parsed &p, std::string *error);
Outcome cmd_list(const Parsed &p, std::string *error);
Outcome cmd_verify(const Parsed &p, std::string *error);
Outcome cmd_recover(const Parsed &p, std::string *error);
Outcome cmd_check(const Parsed &p, std::string *error);  // check_handler.cc
// The check's options of check and install: --allow-setid, --max-unpacked BYTES; false for
// bad arguments.
bool check_options(const Parsed &p, installer::CheckOptions *options, std::string *error);

}  // namespace pluginctl

#endif
