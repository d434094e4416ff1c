// pluginctl's handlers: each carries out one subcommand of the table
// (table.cc) over the library's exported operations.
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "frame/own.h"
#include "plugin_intn.h"
#include "plugin_strings.h"
#include "srg.h"
#include "system_zell.h"
#include "tools/installer/journal.h"
#include "tools/pluginctl/commands.h"

namespace pluginctl {
namespace {

// ------------------------------------------------------------------ helpers

using RecordPtr = plugin_intn::Owned<srg_record>;
using MapPtr = plugin_intn::Owned<plugin_swid_map, plugin_swid_map_free>;

const char *or_null(const std::string &s) { return s.empty() ? nullptr : s.c_str(); }

// A line of pluginctl's own on stderr, after the library's: what went wrong, what to do next.
void tell(const std::string &line) { std::fprintf(stderr, "pluginctl: %s\n", line.c_str()); }
void warn(const std::string &line) { tell("warning: " + line); }

bool exists(const std::string &path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}
bool is_dir(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
bool is_file(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Lines after a link or unlink (verb) of manifest and dir that gave rc: the cause of a
// failure the tool can see, or a warning where a success looks like a mistake.
void check_link(const char *verb, const std::string &manifest, const std::string &dir,
                uint32_t rc) {
    const std::string usage = std::string(" (pluginctl ") + verb + " LOG DIR)";
    if (is_dir(manifest) && is_file(dir))
        return warn(manifest + " is a directory and " + dir +
                    " a file: the arguments look swapped; the manifest comes first" + usage);
    if (!exists(manifest))
        return tell(manifest + " does not exist; give the manifest that extract --manifest wrote");
    if (!is_dir(dir) && rc != 0)
        return tell(dir + " does not exist; give the directory the plugin was extracted into" +
                    usage);
    if (!is_dir(dir))
        return warn(dir + " does not exist, so nothing was " + verb +
                    "ed; give the directory the plugin was extracted into" + usage);
    if (rc != 0) return;
    std::ifstream in(manifest);
    bool listed = false, held = false;
    for (std::string line; !held && std::getline(in, line);) {
        const std::string entry = entry_of(line);
        listed = listed || !entry.empty();
        held = !entry.empty() && exists(dir + "/" + entry);
    }
    if (!listed)
        warn(manifest + " lists no file, so nothing was " + verb +
             "ed; give the manifest that extract --manifest wrote");
    else if (!held)
        warn(dir + " holds none of the files of " + manifest + ", so nothing was " + verb +
             "ed; give the directory the plugin was extracted into");
}

// A record from a record file (plugin_clone_srg) or, when the file holds no
// record, out of a plugin image (plugin_extract_srg).  rc receives the result.
RecordPtr record_from_file_or_image(const std::string &path, uint32_t *rc) {
    srg_record *out = nullptr;
    if (srg_file_size(path.c_str()) != 0)
        *rc = plugin_clone_srg(path.c_str(), &out);
    else
        *rc = plugin_extract_srg(path.c_str(), &out);
    RecordPtr record(out);  // null after every failure that allocated
    if (*rc != 0) {
        std::fprintf(stderr, "pluginctl: no software record from %s\n", path.c_str());
        if (!exists(path))
            tell(path + " does not exist; give a record file (srgtool make) or a plugin image");
        return nullptr;
    }
    return record;
}

std::string record_swid(const srg_record *record) {
    const char *swid = srg_sw_id_get(record);
    return swid ? swid : "(none)";
}

MapPtr read_map(const std::string &path, uint32_t *rc) {
    plugin_swid_map *out = nullptr;
    *rc = plugin_read_swid_map(path.c_str(), &out);
    MapPtr map(out);
    if (*rc == 0) return map;
    if (!exists(path))
        tell(path + " does not exist; make the map first: pluginctl swid-map create " + path);
    return nullptr;
}

// The words of the boot-stage record: get_max_allowed_zell() + 2.
bool stage_words(uint32_t *words, std::string *error) {
    int32_t n = get_max_allowed_zell();
    if (n < 0 || n > 65535)
        return tools::fail(error, "get_max_allowed_zell() gave " + std::to_string(n));
    *words = static_cast<uint32_t>(n) + 2;
    return true;
}

// order load and order unload over the records at the paths.
Outcome run_order(const Parsed &p, bool load, std::string *error) {
    std::vector<RecordPtr> owned;
    std::vector<srg_record *> records;
    for (const auto &path : p.positional) {
        uint32_t rc = 0;
        owned.push_back(record_from_file_or_image(path, &rc));
        if (!owned.back()) return result(rc);
        records.push_back(owned.back().get());
    }
    std::vector<uint32_t> order(records.size(), 0);
    uint32_t count = static_cast<uint32_t>(records.size());
    uint32_t rc = load ? plugin_find_load_order(count, records.data(), order.data())
                       : plugin_find_unload_order(count, records.data(), order.data());
    if (rc != 0) return result(rc);
    for (uint32_t k : order)
        if (k >= records.size())
            return cannot_run(error, "the order names record " + std::to_string(k) + " of " +
                                         std::to_string(records.size()));
    for (uint32_t k : order) std::printf("%s\n", record_swid(records[k]).c_str());
    return result(rc);
}

}  // namespace

bool exclusion_set(const Parsed &p, StringsPtr *set, std::string *error) {
    const auto &paths = p.values("--exclude");
    if (paths.empty()) return true;
    uint32_t bytes = 0;
    for (const auto &s : paths) bytes += static_cast<uint32_t>(s.size() + 1);
    set->reset(plugin_strings_malloc(static_cast<uint32_t>(paths.size()), bytes));
    if (!*set) return tools::fail(error, "cannot make the exclusion set");
    for (const auto &s : paths)
        if (plugin_strings_append(set->get(), s.c_str()) < 0)
            return tools::fail(error, "cannot add " + s + " to the exclusion set");
    return true;
}

// ------------------------------------------------------------------ commands

Outcome cmd_extract(const Parsed &p, std::string *) {
    const std::string &image = p.positional[0], &dir = p.positional[1];
    const bool dir_there = is_dir(dir);
    const uint32_t rc =
        plugin_extract_image(image.c_str(), dir.c_str(), or_null(p.value("--manifest")));
    if (rc != 0 && !exists(image))
        tell(image + " does not exist; give the path of a plugin image (mkplugin makes one)");
    else if (rc == 0 && !dir_there)
        warn(dir + " does not exist, so nothing was extracted; make it first (mkdir -p " + dir +
             ") and extract again");
    return result(rc);
}

Outcome cmd_newer_fs(const Parsed &p, std::string *) {
    plugin_do_newer_fs(p.positional[0].c_str(), p.positional[1].c_str(), p.positional[2].c_str());
    return status_only(0);
}

Outcome cmd_extract_member(const Parsed &p, std::string *error) {
    if (p.positional[0].empty() || p.positional[0][0] != '/')
        return bad_arguments(error, "the member path begins with '/'");
    return result(plugin_extract_plugin_from_velm_image(p.positional[0].c_str(),
                                                        or_null(p.value("--manifest"))));
}

Outcome cmd_link(const Parsed &p, std::string *error) {
    StringsPtr exclude;
    if (!exclusion_set(p, &exclude, error)) return status_only(1);
    const uint32_t rc =
        plugin_link_to_exec_path(p.positional[0].c_str(), exclude.get(), p.positional[1].c_str());
    check_link("link", p.positional[0], p.positional[1], rc);
    return result(rc);
}

Outcome cmd_unlink(const Parsed &p, std::string *error) {
    StringsPtr exclude;
    if (!exclusion_set(p, &exclude, error)) return status_only(1);
    const uint32_t rc = plugin_unlink_from_exec_path(p.positional[0].c_str(), exclude.get(),
                                                     p.positional[1].c_str());
    check_link("unlink", p.positional[0], p.positional[1], rc);
    return result(rc);
}

Outcome cmd_excluded(const Parsed &p, std::string *error) {
    StringsPtr exclude;
    if (!exclusion_set(p, &exclude, error)) return status_only(1);
    int excluded = plugin_file_is_excluded_from_exec_path(p.positional[0].c_str(), exclude.get());
    std::printf("%s\n", excluded ? "excluded" : "not excluded");
    return status_only(0);
}

Outcome cmd_record_show(const Parsed &p, std::string *) {
    uint32_t rc = 0;
    RecordPtr record = record_from_file_or_image(p.positional[0], &rc);
    if (record) {
        std::printf("swid %s\n", record_swid(record.get()).c_str());
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
    return result(rc);
}

Outcome cmd_record_save(const Parsed &p, std::string *error) {
    int32_t id = 0;
    if (!parse_int32(p.positional[0], "plugin id", &id, error)) return bad_arguments();
    uint32_t rc = 0;
    RecordPtr record = record_from_file_or_image(p.positional[1], &rc);
    if (!record) return result(rc);
    rc = plugin_save_sro(id, record.get());
    const std::string dir = "/velm/plugin/" + std::to_string(id), srg = "/velm/plugin_srg";
    if (rc != 0 && (!is_dir(dir) || !is_dir(srg)))
        tell((is_dir(dir) ? srg : dir) + " does not exist; make it first: mkdir -p " + dir + " " +
             srg);
    return result(rc);
}

Outcome cmd_record_cleanup(const Parsed &p, std::string *error) {
    int32_t id = 0;
    if (!parse_int32(p.positional[0], "plugin id", &id, error)) return bad_arguments();
    return result(plugin_cleanup_sro(id));
}

Outcome cmd_map_create(const Parsed &p, std::string *error) {
    uint32_t strings = 0, bytes = 0;
    if (!parse_uint32(p.value("--strings", "8"), "--strings", &strings, error) ||
        !parse_uint32(p.value("--bytes", "256"), "--bytes", &bytes, error))
        return bad_arguments();
    const std::string &file = p.positional[0];
    struct stat st;
    if (::stat(file.c_str(), &st) == 0) {
        std::fprintf(stderr, "pluginctl: %s exists; swid-map create makes a new file\n",
                     file.c_str());
        return status_only(1);
    }
    MapPtr map(plugin_swid_map_alloc(strings, bytes));
    if (!map) {
        std::fprintf(stderr, "pluginctl: plugin_swid_map_alloc(%u, %u) gave no map\n", strings,
                     bytes);
        return status_only(1);
    }
    return result(plugin_write_swid_map(file.c_str(), map.get()));
}

Outcome cmd_map_append(const Parsed &p, std::string *error) {
    const std::string &file = p.positional[0];
    // The installer's lock (FILE.lock) around the whole read-append-write.
    installer::Lock lock;
    if (!lock.take(installer::lock_path_of(file), error)) return status_only(1);
    uint32_t rc = 0;
    MapPtr map = read_map(file, &rc);
    if (!map) return result(rc);
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
                std::fprintf(stderr,
                             "pluginctl: plugin_swid_map_append of %s failed; %s not written\n",
                             swid.c_str(), file.c_str());
                return status_only(1);
            }
            changed = true;
        }
        std::printf("%d %s\n", id, swid.c_str());
    }
    if (!changed) return result(0);
    return result(plugin_write_swid_map(file.c_str(), map.get()));
}

Outcome cmd_map_get(const Parsed &p, std::string *) {
    uint32_t rc = 0;
    MapPtr map = read_map(p.positional[0], &rc);
    if (!map) return result(rc);
    int32_t id = plugin_swid_map_get_id(map.get(), p.positional[1].c_str());
    if (id < 0) {
        tell(p.positional[1] + " is not in " + p.positional[0] +
             "; add it with: pluginctl swid-map append " + p.positional[0] + " " + p.positional[1]);
        return {1, rc};  // the read succeeded, the lookup did not: no PLUGIN_OK is printed
    }
    std::printf("%d\n", id);
    return result(rc);
}

Outcome cmd_map_list(const Parsed &p, std::string *) {
    uint32_t rc = 0;
    MapPtr map = read_map(p.positional[0], &rc);
    if (map) {
        int32_t n = plugin_swid_map_next_avail(map.get());
        for (int32_t id = 0; id < n; ++id) {
            const char *swid = plugin_swid_map_get_swid(map.get(), id);
            std::printf("%d %s\n", id, swid ? swid : "(null)");
        }
    }
    return result(rc);
}

Outcome cmd_map_check(const Parsed &p, std::string *) {
    uint32_t rc = 0;
    MapPtr map = read_map(p.positional[0], &rc);
    if (map) {
        std::printf("intact %s\n", plugin_swid_map_integrity_ok(map.get()) ? "yes" : "no");
        std::printf("size %d\n", plugin_swid_map_size(map.get()));
        std::printf("swids %d\n", plugin_swid_map_next_avail(map.get()));
    }
    return result(rc);
}

Outcome cmd_order_load(const Parsed &p, std::string *error) { return run_order(p, true, error); }

Outcome cmd_order_unload(const Parsed &p, std::string *error) { return run_order(p, false, error); }

Outcome cmd_order_matrix(const Parsed &p, std::string *error) {
    std::size_t n = p.positional.size();
    if (n > 65535) return bad_arguments(error, "at most 65535 rows");
    std::vector<std::vector<uint32_t>> rows(n, std::vector<uint32_t>(n, 0));
    std::vector<uint32_t *> matrix(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::string &row = p.positional[i];
        if (row.size() != n || row.find_first_not_of("01") != std::string::npos)
            return bad_arguments(error, "row " + std::to_string(i) + " must be " +
                                            std::to_string(n) + " characters of 0 and 1: '" + row +
                                            "'");
        for (std::size_t j = 0; j < n; ++j) rows[i][j] = row[j] == '1';
        matrix[i] = rows[i].data();
    }
    std::vector<uint32_t> order(n, 0);
    uint32_t rc =
        plugin_topological_order_get(static_cast<uint16_t>(n), matrix.data(), order.data());
    if (rc == 0)
        for (uint32_t k : order) std::printf("%u\n", static_cast<unsigned>(k));
    return result(rc);
}

Outcome cmd_cmdline_get(const Parsed &p, std::string *) {
    const char *value = plugin_get_cmdline(p.positional[0].c_str());
    if (value == nullptr) {
        std::fprintf(stderr, "pluginctl: %s is not on the kernel command line\n",
                     p.positional[0].c_str());
        return status_only(1);
    }
    std::printf("%s\n", value);
    return status_only(0);
}

Outcome cmd_cmdline_plugins(const Parsed &p, std::string *) {
    int32_t *out = nullptr;
    int32_t n = plugin_from_cmdline(p.positional[0].c_str(), &out, p.has("--all") ? 1 : 0);
    plugin_intn::Owned<int32_t[]> plugins(out);
    if (n <= 0) {
        std::fprintf(stderr, "pluginctl: no plugins from '%s'\n", p.positional[0].c_str());
        return status_only(1);
    }
    for (int32_t i = 0; i < n; ++i) std::printf("%d\n", plugins[i]);
    return status_only(0);
}

Outcome cmd_conf_names(const Parsed &p, std::string *) {
    plugin_strings *out = nullptr;
    uint32_t rc = plugin_get_names_from_conf(p.positional[0].c_str(), &out);
    StringsPtr names(out);
    if (rc == 0) {
        uint32_t n = plugin_strings_num_strings_get(names.get());
        for (uint32_t i = 0; i < n; ++i) std::printf("%s\n", plugin_strings_get(names.get(), i));
    }
    return result(rc);
}

Outcome cmd_stage_read(const Parsed &, std::string *error) {
    uint32_t words = 0;
    if (!stage_words(&words, error)) return status_only(1);
    std::vector<uint32_t> record(words, 0);
    uint32_t rc =
        plugin_read_remaining_load(record.data(), static_cast<int32_t>(record.size() * 4));
    if (rc == 0)
        for (uint32_t w : record) std::printf("0x%08x\n", static_cast<unsigned>(w));
    return result(rc);
}

Outcome cmd_stage_write(const Parsed &p, std::string *error) {
    uint32_t words = 0;
    if (!stage_words(&words, error)) return status_only(1);
    std::vector<uint32_t> record(words, 0);
    if (p.positional.size() > record.size())
        return bad_arguments(error, "the record has " + std::to_string(record.size()) +
                                        " words (" SYSTEM_ZELL_ENV " + 2)");
    for (std::size_t i = 0; i < p.positional.size(); ++i)
        if (!parse_uint32(p.positional[i], "word", &record[i], error)) return bad_arguments();
    return result(
        plugin_write_remaining_load(record.data(), static_cast<int32_t>(record.size() * 4)));
}

Outcome cmd_syscall(const Parsed &p, std::string *) {
    int32_t status = plugin_syscall(p.positional[0].c_str());
    std::printf("%d\n", status);
    return status_only(status < 0 ? 1 : 0);
}

Outcome cmd_mkdir(const Parsed &p, std::string *error) {
    uint32_t bits = 0;
    if (!parse_mode(p.value("--mode", "755"), &bits, error)) return bad_arguments();
    mode_t mode = static_cast<mode_t>(bits);
    const std::string &path = p.positional[0];
    const uint32_t rc = plugin_mkdir(path.c_str(), mode);
    const std::string parent = path.substr(0, path.find_last_of('/', path.find_last_not_of('/')));
    if (rc != 0 && !parent.empty() && !is_dir(parent))
        tell(parent + " does not exist; make it first: mkdir -p " + parent);
    return result(rc);
}

Outcome cmd_rmdir(const Parsed &p, std::string *) {
    return result(plugin_rmdir(p.positional[0].c_str()));
}

Outcome cmd_patch(const Parsed &p, std::string *error) {
    const std::string &which = p.positional[0];
    int (*op)(void) = nullptr;
    if (which == "setup-repos")
        op = plugin_patch_setup_repos;
    else if (which == "load-committed")
        op = plugin_load_committed_patch;
    else if (which == "sync-standby")
        op = plugin_sync_patches_on_standby;
    else if (which == "supported")
        op = plugin_patching_supported;
    else
        return bad_arguments(error, "unknown patching operation " + which);
    int rc = op();
    return status_only(rc == 0 ? 0 : 1);
}

}  // namespace pluginctl
