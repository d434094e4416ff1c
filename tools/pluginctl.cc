// pluginctl - a command line over every operation of libplugin_intn.
//
//   pluginctl [--debug] SUBCOMMAND [ARGS...]     (pluginctl --help lists them)
//
// Output: what a script would read goes to stdout.  Every subcommand whose
// operation returns a result code ends its stdout with the result line,
// "NAME (0xXXXXXXXX)", after any data lines; the library's own lines stay on
// stderr (stdout only for the lines the library writes there itself).
// Exit status: 0 success, 1 failure of an operation, 2 bad arguments (usage on
// stderr).  --debug turns the library's debug switch on for the call.

#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "plugin_intn.h"
#include "plugin_strings.h"
#include "srg.h"
#include "system_zell.h"
#include "tools/pluginctl/cli.h"

namespace pluginctl {
namespace {

struct Command {
    std::string name;      // "record show"
    std::string synopsis;  // arguments after the name
    std::string summary;   // one line for the list
    std::string details;   // the rest of --help
    std::vector<OptionDef> options;
    int min, max;  // positional arguments
    std::function<int(const Parsed &)> run;
};

// ------------------------------------------------------------------ helpers

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
using RecordPtr = std::unique_ptr<srg_record, FreeDeleter>;

struct StringsDeleter {
    void operator()(plugin_strings *s) const { plugin_strings_free(s); }
};
using StringsPtr = std::unique_ptr<plugin_strings, StringsDeleter>;

struct MapDeleter {
    void operator()(plugin_swid_map *m) const { plugin_swid_map_free(m); }
};
using MapPtr = std::unique_ptr<plugin_swid_map, MapDeleter>;

const char *or_null(const std::string &s) { return s.empty() ? nullptr : s.c_str(); }

// A record from a record file (plugin_clone_srg) or, when the file holds no
// record, out of a plugin image (plugin_extract_srg).  rc receives the result.
RecordPtr load_record(const std::string &path, uint32_t *rc) {
    srg_record *record = nullptr;
    flush();
    if (srg_file_size(path.c_str()) != 0)
        *rc = plugin_clone_srg(path.c_str(), &record);
    else
        *rc = plugin_extract_srg(path.c_str(), &record);
    if (*rc != 0) {
        std::free(record);  // null after every failure that allocated
        std::fprintf(stderr, "pluginctl: no software record from %s\n", path.c_str());
        return nullptr;
    }
    return RecordPtr(record);
}

std::string swid_of(const srg_record *record) {
    const char *swid = srg_sw_id_get(record);
    return swid ? swid : "(none)";
}

// The exclusion set of the --exclude options; null when none were given.
StringsPtr exclusion_set(const Parsed &p) {
    const auto &paths = p.values("--exclude");
    if (paths.empty()) return nullptr;
    uint32_t bytes = 0;
    for (const auto &s : paths) bytes += static_cast<uint32_t>(s.size() + 1);
    StringsPtr set(plugin_strings_malloc(static_cast<uint32_t>(paths.size()), bytes));
    if (!set) throw std::runtime_error("cannot make the exclusion set");
    for (const auto &s : paths)
        if (plugin_strings_append(set.get(), s.c_str()) < 0)
            throw std::runtime_error("cannot add " + s + " to the exclusion set");
    return set;
}

MapPtr read_map(const std::string &path, uint32_t *rc) {
    plugin_swid_map *map = nullptr;
    *rc = plugin_read_swid_map(path.c_str(), &map);
    if (*rc != 0) {
        plugin_swid_map_free(map);
        return nullptr;
    }
    return MapPtr(map);
}

uint32_t stage_words() {
    int32_t n = get_max_allowed_zell();
    if (n < 0 || n > 65535) throw std::runtime_error("get_max_allowed_zell() gave " + std::to_string(n));
    return static_cast<uint32_t>(n) + 2;
}

// ------------------------------------------------------------------ commands

int cmd_extract(const Parsed &p) {
    flush();
    return report(plugin_extract_image(p.positional[0].c_str(), p.positional[1].c_str(),
                                       or_null(p.value("--manifest"))));
}

int cmd_newer_fs(const Parsed &p) {
    flush();
    plugin_do_newer_fs(p.positional[0].c_str(), p.positional[1].c_str(), p.positional[2].c_str());
    return 0;
}

int cmd_extract_member(const Parsed &p) {
    if (p.positional[0].empty() || p.positional[0][0] != '/')
        throw UsageError("the member path begins with '/'");
    flush();
    return report(plugin_extract_plugin_from_velm_image(p.positional[0].c_str(),
                                                        or_null(p.value("--manifest"))));
}

int cmd_link(const Parsed &p) {
    StringsPtr exclude = exclusion_set(p);
    flush();
    return report(plugin_link_to_exec_path(p.positional[0].c_str(), exclude.get(), p.positional[1].c_str()));
}

int cmd_unlink(const Parsed &p) {
    StringsPtr exclude = exclusion_set(p);
    flush();
    return report(
        plugin_unlink_from_exec_path(p.positional[0].c_str(), exclude.get(), p.positional[1].c_str()));
}

int cmd_excluded(const Parsed &p) {
    StringsPtr exclude = exclusion_set(p);
    flush();
    int excluded = plugin_file_is_excluded_from_exec_path(p.positional[0].c_str(), exclude.get());
    std::printf("%s\n", excluded ? "excluded" : "not excluded");
    return 0;
}

int cmd_record_show(const Parsed &p) {
    uint32_t rc = 0;
    RecordPtr record = load_record(p.positional[0], &rc);
    if (record) {
        std::printf("swid %s\n", swid_of(record.get()).c_str());
        std::string deps;
        const sysmgr_strings *list = nullptr;
        if (srg_dependency_strings_get(record.get(), 0, &list) == 0 && list != nullptr) {
            uint32_t n = sysmgr_strings_num_strings_get(list);
            for (uint32_t i = 0; i < n; ++i) {
                const char *d = sysmgr_strings_get(list, i);
                deps += std::string(" ") + (d ? d : "(null)");
            }
        }
        std::printf("depends%s\n", deps.c_str());
        std::printf("size %u\n", static_cast<unsigned>(srg_size(record.get())));
    }
    return report(rc);
}

int cmd_record_save(const Parsed &p) {
    int32_t id = parse_int32(p.positional[0], "plugin id");
    uint32_t rc = 0;
    RecordPtr record = load_record(p.positional[1], &rc);
    if (!record) return report(rc);
    flush();
    return report(plugin_save_sro(id, record.get()));
}

int cmd_record_cleanup(const Parsed &p) {
    int32_t id = parse_int32(p.positional[0], "plugin id");
    flush();
    return report(plugin_cleanup_sro(id));
}

int cmd_map_create(const Parsed &p) {
    uint32_t strings = parse_uint32(p.value("--strings", "8"), "--strings");
    uint32_t bytes = parse_uint32(p.value("--bytes", "256"), "--bytes");
    const std::string &file = p.positional[0];
    struct stat st;
    if (::stat(file.c_str(), &st) == 0) {
        std::fprintf(stderr, "pluginctl: %s exists; swid-map create makes a new file\n", file.c_str());
        return 1;
    }
    MapPtr map(plugin_swid_map_alloc(strings, bytes));
    if (!map) {
        std::fprintf(stderr, "pluginctl: plugin_swid_map_alloc(%u, %u) gave no map\n", strings, bytes);
        return 1;
    }
    flush();
    return report(plugin_write_swid_map(file.c_str(), map.get()));
}

int cmd_map_append(const Parsed &p) {
    const std::string &file = p.positional[0];
    uint32_t rc = 0;
    MapPtr map = read_map(file, &rc);
    if (!map) return report(rc);
    bool changed = false;
    for (std::size_t i = 1; i < p.positional.size(); ++i) {
        const std::string &swid = p.positional[i];
        int32_t id = plugin_swid_map_get_id(map.get(), swid.c_str());
        if (id >= 0) {
            std::fprintf(stderr, "pluginctl: %s is held already, as %d\n", swid.c_str(), id);
        } else {
            plugin_swid_map *m = map.release();
            id = plugin_swid_map_append(&m, swid.c_str());
            map.reset(m);
            if (id < 0) {
                std::fprintf(stderr, "pluginctl: plugin_swid_map_append of %s failed; %s not written\n",
                             swid.c_str(), file.c_str());
                return 1;
            }
            changed = true;
        }
        std::printf("%d %s\n", id, swid.c_str());
    }
    if (!changed) return report(0);
    flush();
    return report(plugin_write_swid_map(file.c_str(), map.get()));
}

int cmd_map_get(const Parsed &p) {
    uint32_t rc = 0;
    MapPtr map = read_map(p.positional[0], &rc);
    if (!map) return report(rc);
    int32_t id = plugin_swid_map_get_id(map.get(), p.positional[1].c_str());
    if (id < 0) {
        std::fprintf(stderr, "pluginctl: %s is not in %s\n", p.positional[1].c_str(), p.positional[0].c_str());
        report(rc);
        return 1;
    }
    std::printf("%d\n", id);
    return report(rc);
}

int cmd_map_list(const Parsed &p) {
    uint32_t rc = 0;
    MapPtr map = read_map(p.positional[0], &rc);
    if (map) {
        int32_t n = plugin_swid_map_next_avail(map.get());
        for (int32_t id = 0; id < n; ++id) {
            const char *swid = plugin_swid_map_get_swid(map.get(), id);
            std::printf("%d %s\n", id, swid ? swid : "(null)");
        }
    }
    return report(rc);
}

int cmd_map_check(const Parsed &p) {
    uint32_t rc = 0;
    MapPtr map = read_map(p.positional[0], &rc);
    if (map) {
        std::printf("intact %s\n", plugin_swid_map_integrity_ok(map.get()) ? "yes" : "no");
        std::printf("size %d\n", plugin_swid_map_size(map.get()));
        std::printf("swids %d\n", plugin_swid_map_next_avail(map.get()));
    }
    return report(rc);
}

int cmd_order(const Parsed &p, bool load) {
    std::vector<RecordPtr> owned;
    std::vector<srg_record *> records;
    for (const auto &path : p.positional) {
        uint32_t rc = 0;
        owned.push_back(load_record(path, &rc));
        if (!owned.back()) return report(rc);
        records.push_back(owned.back().get());
    }
    std::vector<uint32_t> order(records.size(), 0);
    uint32_t count = static_cast<uint32_t>(records.size());
    flush();
    uint32_t rc = load ? plugin_find_load_order(count, records.data(), order.data())
                       : plugin_find_unload_order(count, records.data(), order.data());
    if (rc == 0)
        for (uint32_t k : order) std::printf("%s\n", swid_of(records.at(k)).c_str());
    return report(rc);
}

int cmd_order_matrix(const Parsed &p) {
    std::size_t n = p.positional.size();
    if (n > 65535) throw UsageError("at most 65535 rows");
    std::vector<std::vector<uint32_t>> rows(n, std::vector<uint32_t>(n, 0));
    std::vector<uint32_t *> matrix(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::string &row = p.positional[i];
        if (row.size() != n || row.find_first_not_of("01") != std::string::npos)
            throw UsageError("row " + std::to_string(i) + " must be " + std::to_string(n) +
                             " characters of 0 and 1: '" + row + "'");
        for (std::size_t j = 0; j < n; ++j) rows[i][j] = row[j] == '1';
        matrix[i] = rows[i].data();
    }
    std::vector<uint32_t> order(n, 0);
    flush();
    uint32_t rc = plugin_topological_order_get(static_cast<uint16_t>(n), matrix.data(), order.data());
    if (rc == 0)
        for (uint32_t k : order) std::printf("%u\n", static_cast<unsigned>(k));
    return report(rc);
}

int cmd_cmdline_get(const Parsed &p) {
    flush();
    const char *value = plugin_get_cmdline(p.positional[0].c_str());
    if (value == nullptr) {
        std::fprintf(stderr, "pluginctl: %s is not on the kernel command line\n", p.positional[0].c_str());
        return 1;
    }
    std::printf("%s\n", value);
    return 0;
}

int cmd_cmdline_plugins(const Parsed &p) {
    int32_t *plugins = nullptr;
    flush();
    int32_t n = plugin_from_cmdline(p.positional[0].c_str(), &plugins, p.has("--all") ? 1 : 0);
    if (n <= 0) {
        std::free(plugins);
        std::fprintf(stderr, "pluginctl: no plugins from '%s'\n", p.positional[0].c_str());
        return 1;
    }
    for (int32_t i = 0; i < n; ++i) std::printf("%d\n", plugins[i]);
    std::free(plugins);
    return 0;
}

int cmd_conf_names(const Parsed &p) {
    plugin_strings *names = nullptr;
    flush();
    uint32_t rc = plugin_get_names_from_conf(p.positional[0].c_str(), &names);
    StringsPtr owned(names);
    if (rc == 0) {
        uint32_t n = plugin_strings_num_strings_get(names);
        for (uint32_t i = 0; i < n; ++i) std::printf("%s\n", plugin_strings_get(names, i));
    }
    return report(rc);
}

int cmd_stage_read(const Parsed &) {
    std::vector<uint32_t> record(stage_words(), 0);
    flush();
    uint32_t rc = plugin_read_remaining_load(record.data(), static_cast<int32_t>(record.size() * 4));
    if (rc == 0)
        for (uint32_t w : record) std::printf("0x%08x\n", static_cast<unsigned>(w));
    return report(rc);
}

int cmd_stage_write(const Parsed &p) {
    std::vector<uint32_t> record(stage_words(), 0);
    if (p.positional.size() > record.size())
        throw UsageError("the record has " + std::to_string(record.size()) + " words (" SYSTEM_ZELL_ENV
                         " + 2)");
    for (std::size_t i = 0; i < p.positional.size(); ++i) record[i] = parse_uint32(p.positional[i], "word");
    flush();
    return report(plugin_write_remaining_load(record.data(), static_cast<int32_t>(record.size() * 4)));
}

int cmd_syscall(const Parsed &p) {
    flush();
    int32_t status = plugin_syscall(p.positional[0].c_str());
    std::printf("%d\n", status);
    return status < 0 ? 1 : 0;
}

int cmd_mkdir(const Parsed &p) {
    mode_t mode = static_cast<mode_t>(parse_mode(p.value("--mode", "755")));
    flush();
    return report(plugin_mkdir(p.positional[0].c_str(), mode));
}

int cmd_rmdir(const Parsed &p) {
    flush();
    return report(plugin_rmdir(p.positional[0].c_str()));
}

int cmd_patch(const Parsed &p) {
    const std::string &which = p.positional[0];
    int (*op)(void) = nullptr;
    if (which == "setup-repos") op = plugin_patch_setup_repos;
    else if (which == "load-committed") op = plugin_load_committed_patch;
    else if (which == "sync-standby") op = plugin_sync_patches_on_standby;
    else if (which == "supported") op = plugin_patching_supported;
    else throw UsageError("unknown patching operation " + which);
    flush();
    int rc = op();
    std::fflush(stdout);
    return rc == 0 ? 0 : 1;
}

// ------------------------------------------------------------------ table

const OptionDef kManifest{"--manifest", true, false};
const OptionDef kExclude{"--exclude", true, true};

const std::vector<Command> &commands() {
    static const std::vector<Command> list = {
        {"extract", "IMAGE DIR [--manifest LOG]", "unpack a plugin image into DIR (plugin_extract_image)",
         "Skips the image's header block, unpacks the gzip tar into DIR (which must exist) and, with\n"
         "--manifest, writes the list of extracted members to LOG; then the newer-fs overlay runs.\n"
         "Changes: files under DIR, LOG (written anew); the overlay reads the kernel command line\n"
         "and may copy /bootflash/<image name>-newer-fs over DIR and append to LOG.\n",
         {kManifest}, 2, 2, cmd_extract},
        {"newer-fs", "IMAGE LOG DIR", "lay /bootflash/<image name>-newer-fs over DIR (plugin_do_newer_fs)",
         "Runs only when the kernel command line has use_newer_fs=yes... or names the image;\n"
         "entries it adds are appended to LOG.  Prints nothing of its own (no result code).\n"
         "Changes: files under DIR, LOG (appended); LOG-newer-fs is written and removed.\n",
         {}, 3, 3, cmd_newer_fs},
        {"extract-member", "PATH [--manifest LOG]",
         "extract one member of the running system image onto / (plugin_extract_plugin_from_velm_image)",
         "PATH is the member's path under the root, beginning with '/'; the system image is\n"
         "/var/sysmgr/ftp/img-sync/curr-velm.img.  --manifest appends the extracted names to LOG.\n"
         "Changes: the member is written at PATH in the root tree (existing files are kept).\n",
         {kManifest}, 1, 1, cmd_extract_member},
        {"link", "LOG DIR [--exclude PATH]...", "link an extracted plugin into the root tree (plugin_link_to_exec_path)",
         "LOG is the manifest written by extract, DIR the directory the plugin was extracted into.\n"
         "Each --exclude adds a path to the exclusion set (a prefix of link names).\n"
         "Reads the kernel command line (\"pdebug\" tolerates duplicates).  Changes: creates a\n"
         "directory in the root tree for each directory of the plugin and a symbolic link for each\n"
         "other entry; a name already taken is reported (also to syslog) and the links made are\n"
         "removed again when linking fails.\n",
         {kExclude}, 2, 2, cmd_link},
        {"unlink", "LOG DIR [--exclude PATH]...", "remove a plugin's links from the root tree (plugin_unlink_from_exec_path)",
         "The arguments of link, unchanged.  Changes: removes the symbolic links at the manifest's\n"
         "names that point into DIR, then each listed directory that is empty.\n",
         {kExclude}, 2, 2, cmd_unlink},
        {"excluded", "PATH [--exclude PATH]...", "test a link name against an exclusion set (plugin_file_is_excluded_from_exec_path)",
         "Prints \"excluded\" or \"not excluded\"; the exit status is 0 for both.\n", {kExclude}, 1, 1,
         cmd_excluded},
        {"record show", "FILE|IMAGE", "print the software record of a record file or a plugin image",
         "A file that holds a record is read with plugin_clone_srg, anything else as a plugin image\n"
         "with plugin_extract_srg.  Prints \"swid ID\", \"depends [ID]...\" and \"size BYTES\".\n"
         "Changes: for an image, /tmp/plugin_imgsrg.sro is written and removed.\n",
         {}, 1, 1, cmd_record_show},
        {"record save", "ID FILE|IMAGE", "store a record as /velm/plugin/ID/plugin.sro (plugin_save_sro)",
         "The record comes from FILE or IMAGE as with record show; /velm/plugin/ID and\n"
         "/velm/plugin_srg must exist.  Changes: writes /velm/plugin/ID/plugin.sro and the link\n"
         "/velm/plugin_srg/plugin-<swid>.sro to it.\n", {}, 2, 2, cmd_record_save},
        {"record cleanup", "ID", "remove a plugin's record file and software-id link (plugin_cleanup_sro)",
         "Changes: removes /velm/plugin_srg/plugin-<swid>.sro and /velm/plugin/ID/plugin.sro (rm -fr).\n", {},
         1, 1, cmd_record_cleanup},
        {"swid-map create", "FILE [--strings N] [--bytes N]", "write a new empty software-id map file",
         "Capacities default to 8 strings and 256 bytes; the map grows on append.  FILE must not exist.\n"
         "Changes: creates FILE.\n",
         {{"--strings", true, false}, {"--bytes", true, false}}, 1, 1, cmd_map_create},
        {"swid-map append", "FILE SWID...", "give each SWID a plugin id, writing the map back",
         "Reads FILE, appends every SWID not yet held and writes the map back (only when something\n"
         "was added).  Prints \"ID SWID\" for every SWID, held ones included.\n"
         "Changes: FILE, rewritten whole under an exclusive lock.\n",
         {}, 2, -1, cmd_map_append},
        {"swid-map get", "FILE SWID", "print the plugin id of SWID", "Exit status 1 when SWID is not held.\n", {}, 2,
         2, cmd_map_get},
        {"swid-map list", "FILE", "print every \"ID SWID\" of the map", "", {}, 1, 1, cmd_map_list},
        {"swid-map check", "FILE", "read the map and print its integrity, size and count",
         "A damaged map reads as PLUGIN_ERR_CORRUPT.\n", {}, 1, 1, cmd_map_check},
        {"order load", "RECORD...", "print the load order of records or images, as software ids",
         "Each RECORD is a record file or a plugin image (as with record show).  Changes: for an\n"
         "image, /tmp/plugin_imgsrg.sro is written and removed.\n", {}, 1, -1,
         [](const Parsed &p) { return cmd_order(p, true); }},
        {"order unload", "RECORD...", "print the unload order of records or images, as software ids",
         "As order load, in reverse.\n", {}, 1, -1,
         [](const Parsed &p) { return cmd_order(p, false); }},
        {"order matrix", "ROW...", "topological order of a dependency matrix (plugin_topological_order_get)",
         "N rows of N characters 0/1; character j of row i is 1 when i depends on j.  Prints the\n"
         "indices in load order.\n", {}, 1, -1, cmd_order_matrix},
        {"cmdline get", "KEY", "print the value of KEY on the kernel command line (plugin_get_cmdline)",
         "Reads /proc/cmdline; changes nothing.  Exit status 1 when the key is absent.\n", {}, 1, 1,
         cmd_cmdline_get},
        {"cmdline plugins", "LIST [--all]", "parse a plugin list such as \"3,4+5\" (plugin_from_cmdline)",
         "Prints the plugins that boot together, or with --all every plugin, one per line.\n",
         {{"--all", false, false}}, 1, 1, cmd_cmdline_plugins},
        {"conf-names", "FILE", "print the plugin names of an image configuration (plugin_get_names_from_conf)",
         "fc_plugin and virt_plugin follow when FILE's path contains img.conf and their markers\n"
         "/mnt/pss/load-fcplugin and /mnt/pss/load-virtplugin exist.\n", {}, 1, 1, cmd_conf_names},
        {"stage-boot read", "", "print the boot-stage record, one word per line (plugin_read_remaining_load)",
         "Reads /velm/plugin_extract_log/stage_boot.  The record has " SYSTEM_ZELL_ENV " + 2 words (default 30 + 2); without a stage_boot file word 0\n"
         "reads 0x424f4f54.\n", {}, 0, 0, cmd_stage_read},
        {"stage-boot write", "[WORD]...", "write the boot-stage record (plugin_write_remaining_load)",
         "Words are decimal, 0x hex or 0 octal; words not given are 0.  Changes: writes\n"
         "/velm/plugin_extract_log/stage_boot.\n", {}, 0, -1, cmd_stage_write},
        {"syscall", "COMMAND", "run a shell command with plugin_syscall; prints its wait status",
         "Changes whatever COMMAND changes.\n", {}, 1, 1,
         cmd_syscall},
        {"mkdir", "PATH [--mode OCTAL]", "make a directory with exactly that mode (plugin_mkdir; default 755)",
         "Changes: creates the directory PATH (its parent must exist).\n",
         {{"--mode", true, false}}, 1, 1, cmd_mkdir},
        {"rmdir", "PATH", "remove PATH, files and directories alike, with rm -fr (plugin_rmdir)",
         "Changes: runs the shell command \"rm -fr PATH\": a file, a link or a whole directory tree\n"
         "goes, without a question.  PATH is not quoted: the shell splits and expands it.\n",
         {}, 1, 1, cmd_rmdir},
        {"patch", "setup-repos|load-committed|sync-standby|supported", "call a patching operation",
         "This build has no patching support: the operation prints its line and changes nothing.\n", {}, 1, 1,
         cmd_patch},
    };
    return list;
}

const char kGeneral[] =
    "usage: pluginctl [--debug] SUBCOMMAND [ARGS...]\n"
    "       pluginctl SUBCOMMAND --help\n"
    "\n"
    "A command line over every operation of libplugin_intn.  Data lines go to stdout; a\n"
    "subcommand whose operation returns a result code ends its stdout with the result line,\n"
    "e.g. \"PLUGIN_ERR_DUPLICATE (0x40ea001d)\".  The library's own lines go to stderr.\n"
    "Exit status: 0 success, 1 failure, 2 bad arguments.  --debug turns the library's debug\n"
    "switch on for the call.  \"pluginctl SUBCOMMAND --help\" says what the subcommand changes\n"
    "on disk (its \"Changes:\" line); one without such a line only reads.\n"
    "\n"
    "Subcommands:\n";

void print_list(FILE *out, const std::string &group) {
    for (const Command &c : commands()) {
        if (!group.empty() && c.name.compare(0, group.size() + 1, group + " ") != 0) continue;
        std::string head = c.name + (c.synopsis.empty() ? "" : " " + c.synopsis);
        std::fprintf(out, "  %s\n      %s\n", head.c_str(), c.summary.c_str());
    }
}

std::string usage_of(const Command &c) {
    return "usage: pluginctl [--debug] " + c.name + (c.synopsis.empty() ? "" : " " + c.synopsis) + "\n";
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
    bool debug = false;
    std::size_t at = 0;
    for (; at < args.size() && args[at].compare(0, 1, "-") == 0; ++at) {
        if (args[at] == "--debug") {
            debug = true;
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
            std::fprintf(help ? stdout : stderr, "%susage: pluginctl %s ...\n", help ? "" : "pluginctl: missing subcommand\n",
                         name.c_str());
            print_list(help ? stdout : stderr, name);
            return help ? 0 : 2;
        }
        name += " " + args[at++];
    }
    const Command *cmd = nullptr;
    for (const Command &c : commands())
        if (c.name == name) cmd = &c;
    if (cmd == nullptr)
        return usage_error("unknown subcommand " + name,
                           "usage: pluginctl [--debug] SUBCOMMAND [ARGS...]  (pluginctl --help lists them)\n");

    std::vector<std::string> rest(args.begin() + static_cast<long>(at), args.end());
    try {
        Parsed parsed = parse(rest, cmd->options, cmd->min, cmd->max);
        if (parsed.help) {
            std::printf("%s%s\n%s", usage_of(*cmd).c_str(), cmd->summary.c_str(), cmd->details.c_str());
            return 0;
        }
        if (debug || parsed.debug) plugin_intn_debug_on();
        int status = cmd->run(parsed);
        flush();
        return status;
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
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    int n = 0;
    while (readdir(dir) != nullptr) ++n;
    closedir(dir);
    return n - 3;  // ".", ".." and the directory's own descriptor
}

int main(int argc, char **argv) {
    int status = pluginctl::run(argc, argv);
    if (std::getenv("PLUGINCTL_FDS") != nullptr) std::fprintf(stderr, "fds: %d\n", open_fds());
    return status;
}
