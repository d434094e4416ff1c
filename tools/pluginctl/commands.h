// pluginctl's subcommands: the table (table.cc) that names each one with its
// help texts, options and argument counts, and the handlers (handlers.cc) that
// carry them out.  The dispatcher in pluginctl.cc looks a subcommand up here.
#ifndef PLUGINCTL_COMMANDS_H
#define PLUGINCTL_COMMANDS_H

#include <string>
#include <vector>

#include "tools/pluginctl/cli.h"

namespace pluginctl {

struct Command {
    std::string name;      // "record show"
    std::string synopsis;  // arguments after the name
    std::string summary;   // one line for the list
    std::string details;   // the rest of --help
    std::vector<OptionDef> options;
    int min, max;  // positional arguments
    int (*handler)(const Parsed &);
};

// Every subcommand, in the order of the list that --help prints.
const std::vector<Command> &commands();

// The head of pluginctl --help, above the list of subcommands.
extern const char kGeneral[];

// The handlers.  They throw UsageError for arguments the table cannot check
// and std::runtime_error when they cannot prepare their operation's arguments.
int cmd_extract(const Parsed &p);
int cmd_newer_fs(const Parsed &p);
int cmd_extract_member(const Parsed &p);
int cmd_link(const Parsed &p);
int cmd_unlink(const Parsed &p);
int cmd_excluded(const Parsed &p);
int cmd_record_show(const Parsed &p);
int cmd_record_save(const Parsed &p);
int cmd_record_cleanup(const Parsed &p);
int cmd_map_create(const Parsed &p);
int cmd_map_append(const Parsed &p);
int cmd_map_get(const Parsed &p);
int cmd_map_list(const Parsed &p);
int cmd_map_check(const Parsed &p);
int cmd_order_load(const Parsed &p);
int cmd_order_unload(const Parsed &p);
int cmd_order_matrix(const Parsed &p);
int cmd_cmdline_get(const Parsed &p);
int cmd_cmdline_plugins(const Parsed &p);
int cmd_conf_names(const Parsed &p);
int cmd_stage_read(const Parsed &p);
int cmd_stage_write(const Parsed &p);
int cmd_syscall(const Parsed &p);
int cmd_mkdir(const Parsed &p);
int cmd_rmdir(const Parsed &p);
int cmd_patch(const Parsed &p);

}  // namespace pluginctl

#endif
