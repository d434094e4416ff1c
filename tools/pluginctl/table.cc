// pluginctl's table of subcommands with their help texts; the handlers are in
// handlers.cc.
#include "system_zell.h"
#include "tools/pluginctl/commands.h"

namespace pluginctl {
namespace {

const OptionDef kManifest{"--manifest", true, false};
const OptionDef kExclude{"--exclude", true, true};

}  // namespace

const std::vector<Subcommand> &commands() {
    static const std::vector<Subcommand> list = {
        {"check",
         "IMAGE [--allow-setid] [--max-unpacked BYTES]",
         "check a plugin image before installing it: reads it all, writes nothing",
         "Refuses, one line \"MEMBER: REASON\" each, what could reach outside the plugin or the shell\n"
         "(absolute names, \"..\", links out of the plugin, hard links, special files, setuid/setgid/\n"
         "sticky bits, unsafe names, replaced members, a top plugin.sro, a truncated or corrupt\n"
         "stream) and an unpacked size over 64 x the image's size (--max-unpacked BYTES sets it; never\n"
         "over the free space of /velm).  --allow-setid lets setuid and setgid pass (named).  The\n"
         "last line says \"IMAGE: accepted\" (exit 0) or \"IMAGE: refused, N problems\" (exit 1).\n",
         {{"--allow-setid", false, false}, {"--max-unpacked", true, false}},
         1,
         1,
         cmd_check},
        {"extract",
         "IMAGE DIR [--manifest LOG]",
         "unpack a plugin image into DIR (plugin_extract_image)",
         "Skips the image's header block, unpacks the gzip tar into DIR (which must exist) and, with\n"
         "--manifest, writes the list of extracted members to LOG; then the newer-fs overlay runs.\n"
         "Changes: files under DIR, LOG (written anew); the overlay reads the kernel command line\n"
         "and may copy /bootflash/<image name>-newer-fs over DIR and append to LOG.\n",
         {kManifest},
         2,
         2,
         cmd_extract},
        {"newer-fs",
         "IMAGE LOG DIR",
         "lay /bootflash/<image name>-newer-fs over DIR (plugin_do_newer_fs)",
         "Runs only when the kernel command line has use_newer_fs=yes... or names the image;\n"
         "entries it adds are appended to LOG.  Prints nothing of its own (no result code).\n"
         "Changes: files under DIR, LOG (appended); LOG-newer-fs is written and removed.\n",
         {},
         3,
         3,
         cmd_newer_fs},
        {"extract-member",
         "PATH [--manifest LOG]",
         "extract one member of the running system image onto / (plugin_extract_plugin_from_velm_image)",
         "PATH is the member's path under the root, beginning with '/'; the system image is\n"
         "/var/sysmgr/ftp/img-sync/curr-velm.img.  --manifest appends the extracted names to LOG.\n"
         "Changes: the member is written at PATH in the root tree (existing files are kept).\n",
         {kManifest},
         1,
         1,
         cmd_extract_member},
        {"link",
         "LOG DIR [--exclude PATH]...",
         "link an extracted plugin into the root tree (plugin_link_to_exec_path)",
         "LOG is the manifest written by extract, DIR the directory the plugin was extracted into.\n"
         "Each --exclude adds a path to the exclusion set (a prefix of link names).\n"
         "Reads the kernel command line (\"pdebug\" tolerates duplicates).  Changes: creates a\n"
         "directory in the root tree for each directory of the plugin and a symbolic link for each\n"
         "other entry; a name already taken is reported (also to syslog) and the links made are\n"
         "removed again when linking fails.\n",
         {kExclude},
         2,
         2,
         cmd_link},
        {"unlink",
         "LOG DIR [--exclude PATH]...",
         "remove a plugin's links from the root tree (plugin_unlink_from_exec_path)",
         "The arguments of link, unchanged.  Changes: removes the symbolic links at the manifest's\n"
         "names that point into DIR, then each listed directory that is empty.\n",
         {kExclude},
         2,
         2,
         cmd_unlink},
        {"excluded",
         "PATH [--exclude PATH]...",
         "test a link name against an exclusion set (plugin_file_is_excluded_from_exec_path)",
         "Prints \"excluded\" or \"not excluded\"; the exit status is 0 for both.\n",
         {kExclude},
         1,
         1,
         cmd_excluded},
        {"record show",
         "FILE|IMAGE",
         "print the software record of a record file or a plugin image",
         "A file that holds a record is read with plugin_clone_srg, anything else as a plugin image\n"
         "with plugin_extract_srg.  Prints \"swid ID\", \"depends [ID]...\" and \"size BYTES\".\n"
         "Changes: for an image, /tmp/plugin_imgsrg.sro is written and removed.\n",
         {},
         1,
         1,
         cmd_record_show},
        {"record save",
         "ID FILE|IMAGE",
         "store a record as /velm/plugin/ID/plugin.sro (plugin_save_sro)",
         "The record comes from FILE or IMAGE as with record show; /velm/plugin/ID and\n"
         "/velm/plugin_srg must exist.  Changes: writes /velm/plugin/ID/plugin.sro and the link\n"
         "/velm/plugin_srg/plugin-<swid>.sro to it.\n",
         {},
         2,
         2,
         cmd_record_save},
        {"record cleanup",
         "ID",
         "remove a plugin's record file and software-id link (plugin_cleanup_sro)",
         "Changes: removes /velm/plugin_srg/plugin-<swid>.sro and /velm/plugin/ID/plugin.sro (rm -fr).\n",
         {},
         1,
         1,
         cmd_record_cleanup},
        {"swid-map create",
         "FILE [--strings N] [--bytes N]",
         "write a new empty software-id map file",
         "Capacities default to 8 strings and 256 bytes; the map grows on append.  FILE must not exist.\n"
         "Changes: creates FILE.\n",
         {{"--strings", true, false}, {"--bytes", true, false}},
         1,
         1,
         cmd_map_create},
        {"swid-map append",
         "FILE SWID...",
         "give each SWID a plugin id, writing the map back",
         "Reads FILE, appends every SWID not yet held and writes the map back (only when something\n"
         "was added).  Prints \"ID SWID\" for every SWID, held ones included.\n"
         "Changes: FILE, rewritten whole under an exclusive lock.\n",
         {},
         2,
         -1,
         cmd_map_append},
        {"swid-map get",
         "FILE SWID",
         "print the plugin id of SWID",
         "Exit status 1, without a result line, when SWID is not held.\n",
         {},
         2,
         2,
         cmd_map_get},
        {"swid-map list", "FILE", "print every \"ID SWID\" of the map", "", {}, 1, 1, cmd_map_list},
        {"swid-map check",
         "FILE",
         "read the map and print its integrity, size and count",
         "A damaged map reads as PLUGIN_ERR_CORRUPT.\n",
         {},
         1,
         1,
         cmd_map_check},
        {"order load",
         "RECORD...",
         "print the load order of records or images, as software ids",
         "Each RECORD is a record file or a plugin image (as with record show).  Changes: for an\n"
         "image, /tmp/plugin_imgsrg.sro is written and removed.\n",
         {},
         1,
         -1,
         cmd_order_load},
        {"order unload",
         "RECORD...",
         "print the unload order of records or images, as software ids",
         "As order load, in reverse.\n",
         {},
         1,
         -1,
         cmd_order_unload},
        {"order matrix",
         "ROW...",
         "topological order of a dependency matrix (plugin_topological_order_get)",
         "N rows of N characters 0/1; character j of row i is 1 when i depends on j.  Prints the\n"
         "indices in load order.\n",
         {},
         1,
         -1,
         cmd_order_matrix},
        {"cmdline get",
         "KEY",
         "print the value of KEY on the kernel command line (plugin_get_cmdline)",
         "Reads /proc/cmdline; changes nothing.  Exit status 1 when the key is absent.\n",
         {},
         1,
         1,
         cmd_cmdline_get},
        {"cmdline plugins",
         "LIST [--all]",
         "parse a plugin list such as \"3,4+5\" (plugin_from_cmdline)",
         "Prints the plugins that boot together, or with --all every plugin, one per line.\n",
         {{"--all", false, false}},
         1,
         1,
         cmd_cmdline_plugins},
        {"conf-names",
         "FILE",
         "print the plugin names of an image configuration (plugin_get_names_from_conf)",
         "fc_plugin and virt_plugin follow when FILE's path contains img.conf and their markers\n"
         "/mnt/pss/load-fcplugin and /mnt/pss/load-virtplugin exist.\n",
         {},
         1,
         1,
         cmd_conf_names},
        {"stage-boot read",
         "",
         "print the boot-stage record, one word per line (plugin_read_remaining_load)",
         "Reads /velm/plugin_extract_log/stage_boot.  The record has " SYSTEM_ZELL_ENV
         " + 2 words (default 30 + 2); without a stage_boot file word 0\n"
         "reads 0x424f4f54.\n",
         {},
         0,
         0,
         cmd_stage_read},
        {"stage-boot write",
         "[WORD]...",
         "write the boot-stage record (plugin_write_remaining_load)",
         "Words are decimal, 0x hex or 0 octal; words not given are 0.  Changes: writes\n"
         "/velm/plugin_extract_log/stage_boot.\n",
         {},
         0,
         -1,
         cmd_stage_write},
        {"syscall",
         "COMMAND",
         "run a shell command with plugin_syscall; prints its wait status",
         "Changes whatever COMMAND changes.\n",
         {},
         1,
         1,
         cmd_syscall},
        {"mkdir",
         "PATH [--mode OCTAL]",
         "make a directory with exactly that mode (plugin_mkdir; default 755)",
         "Changes: creates the directory PATH (its parent must exist).\n",
         {{"--mode", true, false}},
         1,
         1,
         cmd_mkdir},
        {"rmdir",
         "PATH",
         "remove PATH, files and directories alike, with rm -fr (plugin_rmdir)",
         "Changes: runs the shell command \"rm -fr PATH\": a file, a link or a whole directory tree\n"
         "goes, without a question.  PATH is not quoted: the shell splits and expands it.\n",
         {},
         1,
         1,
         cmd_rmdir},
        {"patch",
         "setup-repos|load-committed|sync-standby|supported",
         "call a patching operation",
         "This build has no patching support: the operation prints its line and changes nothing.\n",
         {},
         1,
         1,
         cmd_patch},
        {"owner",
         "PATH...",
         "say which plugin a path of the root tree belongs to",
         "For a symbolic link into a plugin directory (/velm/plugin/<id>/...): \"PATH: plugin DIR, swid\n"
         "SWID, entry LINE of MANIFEST\"; the swid comes from DIR/plugin.sro, the manifest line from\n"
         "the manifests in /velm/plugin_extract_log.  Anything else: \"PATH: not a plugin file\", and\n"
         "the exit status is 1.\n",
         {},
         1,
         -1,
         cmd_owner},
        {"files",
         "LOG DIR [--exclude PATH]...",
         "list what linking LOG's plugin in DIR would link, and its state",
         "One line per manifest entry, in manifest order: \"linked\", \"missing\" (not in the root tree\n"
         "yet), \"held\" (something else is there: linking would meet a duplicate; \"(now ...)\" says\n"
         "what), \"excluded\" or \"absent\" (not in DIR), then the link name and, for a file, the\n"
         "target linking gives it.\n",
         {kExclude},
         2,
         2,
         cmd_files},
        {"install",
         "IMAGE... [--force-depends] [--allow-setid] [--max-unpacked BYTES]",
         "install plugin images as transactions: record, id, extraction, checks, link",
         "Each image is first checked as pluginctl check does (--allow-setid, --max-unpacked BYTES\n"
         "alike), its record read, its software id and the names in /bootflash/IMAGE-newer-fs\n"
         "(whenever it exists) checked; a refused image prints the check's lines, takes no plugin\n"
         "id and changes nothing.  Then each, in load order: an installed software id or a\n"
         "dependency that is not installed refuses it (--force-depends takes missing dependencies);\n"
         "it gets a plugin id in /velm/plugin_extract_log/swid_map (made when absent; a software id\n"
         "installed before keeps its id), is extracted into /velm/plugin/ID with the manifest\n"
         "/velm/plugin_extract_log/plugin-ID.manifest, checked against its archive (every member\n"
         "there with its type, size and mode) and against the root tree (a name taken by another\n"
         "plugin or the system refuses it, each named), its record is saved, and it is linked.\n"
         "Prints \"installed SWID as plugin ID: N links made\", or the step that failed with the\n"
         "library's result, after undoing every step made.  Runs recover first.  Changes:\n"
         "/velm/plugin/ID, the record and its link in /velm/plugin_srg, the map, the manifest,\n"
         "installer/ID.link (what link created) and the journal in /velm/plugin_extract_log, the\n"
         "links and directories made in the root tree.  Host only.\n",
         {{"--force-depends", false, false},
          {"--allow-setid", false, false},
          {"--max-unpacked", true, false}},
         1,
         -1,
         cmd_install},
        {"remove",
         "SWID|ID... [--force-depends]",
         "remove installed plugins: unlink, record cleanup, plugin directory, manifest",
         "In unload order.  A plugin another installed one depends on is refused, naming it\n"
         "(--force-depends removes it all the same).  Unlinking takes away only what installing\n"
         "created: its links, and the directories it made once empty and listed by no other\n"
         "installed plugin.  The map keeps the software id: plugin ids are indices into it and are\n"
         "never given back, so a re-install gets the same id.  Runs recover first.  Changes: as\n"
         "install, the other way.\n",
         {{"--force-depends", false, false}},
         1,
         -1,
         cmd_remove},
        {"list",
         "",
         "one line per installed plugin: id, swid, dependencies, entries, link state",
         "\"ID SWID depends: DEP,...|- entries: N STATE\", STATE \"linked\", \"partly linked\" or\n"
         "\"not linked\" as the root tree holds the manifest's entries.  Runs recover first.\n",
         {},
         0,
         0,
         cmd_list},
        {"verify",
         "[SWID|ID...]",
         "check installed plugins against the tree; one line per problem, exit 1 when any",
         "Every manifest entry linked to its target (or held by a tolerated duplicate), each\n"
         "plugin's directory, record and record link; without arguments also every record link in\n"
         "/velm/plugin_srg, plugin directories of no installed plugin, and links at the manifests'\n"
         "names that point into a plugin directory that is gone.  Runs recover first.\n",
         {},
         0,
         -1,
         cmd_verify},
        {"recover",
         "",
         "finish or undo an installer transaction a crash interrupted",
         "Reads /velm/plugin_extract_log/installer.journal: an install not committed is undone\n"
         "step by step, a remove not committed is finished.  Every installer command does this\n"
         "first.  Changes: as the interrupted install or remove.\n",
         {},
         0,
         0,
         cmd_recover},
    };
    return list;
}

const char kGeneral[] =
    "usage: pluginctl [--debug] [--dry-run] SUBCOMMAND [ARGS...]\n"
    "       pluginctl SUBCOMMAND --help   (or pluginctl help SUBCOMMAND)\n"
    "\n"
    "A command line over every operation of libplugin_intn.  Data lines go to stdout; a\n"
    "subcommand whose operation returns a result code ends its stdout with the result line,\n"
    "e.g. \"PLUGIN_ERR_DUPLICATE (0x40ea001d)\".  The library's own lines go to stderr.\n"
    "Exit status: 0 success, 1 failure, 2 bad arguments.  Lines of pluginctl's own on stderr,\n"
    "after the library's, name the cause of a failure it can see and warn of a success that\n"
    "looks like a mistake (\"pluginctl: warning: ...\").  --debug turns the library's debug\n"
    "switch on for the call.  \"pluginctl SUBCOMMAND --help\" says what the subcommand changes\n"
    "on disk (its \"Changes:\" line); one without such a line only reads.\n"
    "\n"
    "--dry-run runs the subcommand, unchanged, in a private copy-on-write view of the root\n"
    "(overlayfs over the real tree, the changes kept in a tmpfs), so the real tree is never\n"
    "touched; then, before the result line, it prints what changed, one sorted line per path:\n"
    "\"+ PATH\" created (\"+ PATH -> TARGET\" for a link), \"- PATH\" removed, \"~ PATH\" changed.\n"
    "Places that cannot be layered are read-only in the view (--debug names them).  Where the\n"
    "view cannot be made at all it says so and exits 2 without running anything.\n"
    "\n"
    "Subcommands:\n";

}  // namespace pluginctl
