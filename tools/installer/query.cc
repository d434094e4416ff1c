// list and verify: what is installed and whether the tree still says so.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <set>

#include "tools/installer/installer.h"
#include "tools/installer/state.h"

namespace installer {
namespace {

std::string read_link(const std::string &path) {
    char buf[4096];
    const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
    return n < 0 ? "" : std::string(buf, static_cast<std::size_t>(n));
}

// How an entry stands in the root tree: "" when linked (or a tolerated duplicate holds
// it), else the problem.
std::string entry_state(int id, const std::string &entry) {
    const std::string link = "/" + entry;
    struct stat source, st;
    const std::string want = expected_target(id, entry, &source);
    if (want.empty()) return "source " + plugin_base(id) + entry + " missing";
    if (S_ISDIR(source.st_mode))
        return ::stat(link.c_str(), &st) == 0 && S_ISDIR(st.st_mode)
                   ? ""
                   : "directory " + link + " missing";
    if (::lstat(link.c_str(), &st) != 0) return link + " missing (want -> " + want + ")";
    if (S_ISLNK(st.st_mode) && read_link(link) == want) return "";
    if (tolerated(link)) return "";
    return link + " is " + (S_ISLNK(st.st_mode) ? "-> " + read_link(link) : "not a link") +
           ", not -> " + want;
}

// The plugin id a path inside a plugin directory belongs to, or -1.
int plugin_in(const std::string &target) {
    const std::string root = std::string(kPluginRoot) + "/";
    if (target.compare(0, root.size(), root) != 0) return -1;
    const std::size_t end = target.find('/', root.size());
    const std::string digits = target.substr(root.size(), end - root.size());
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) return -1;
    return std::atoi(digits.c_str());
}

// The installed ids the names give (all installed when none); a line in *problems for a name
// not installed.
std::vector<int> chosen_ids(const std::vector<std::string> &names, const plugin_swid_map *map,
                            const std::vector<int> &ids, std::vector<std::string> *problems) {
    if (names.empty()) return ids;
    std::vector<int> chosen;
    for (const std::string &name : names) {
        const bool number = name.find_first_not_of("0123456789") == std::string::npos;
        const int id = number ? std::atoi(name.c_str()) : plugin_swid_map_get_id(map, name.c_str());
        if (std::find(ids.begin(), ids.end(), id) == ids.end())
            problems->push_back(name + ": not installed");
        else
            chosen.push_back(id);
    }
    return chosen;
}

// One installed plugin's own checks: its directory, each manifest entry in the root tree, its
// record and record link.  Its link names go to *places.
void plugin_problems(int id, const plugin_swid_map *map, std::set<std::string> *places,
                     std::vector<std::string> *problems) {
    const std::string swid = swid_of(map, id);
    const std::string who = "plugin " + std::to_string(id) + " (" + swid + "): ";
    const std::vector<std::string> entries = manifest_entries(manifest_path(id));
    for (const std::string &entry : entries) places->insert("/" + entry);
    struct stat st;
    if (::stat(plugin_dir(id).c_str(), &st) != 0) {
        problems->push_back(who + "directory " + plugin_dir(id) + " missing");
        return;
    }
    for (const std::string &entry : entries) {
        if (excluded("/" + entry)) continue;
        const std::string state = entry_state(id, entry);
        if (!state.empty()) problems->push_back(who + state);
    }
    const std::string record = plugin_dir(id) + "/plugin.sro";
    const std::string link = std::string(kSrgDir) + "/plugin-" + swid + ".sro";
    const char *held = srg_sw_id_file_get(record.c_str());
    if (held == nullptr)
        problems->push_back(who + "record " + record + " missing or unreadable");
    else if (swid != held)
        problems->push_back(who + "record " + record + " holds " + held);
    if (read_link(link) != record)
        problems->push_back(who + "record link " + link + " does not lead to " + record);
}

// The checks over the whole tree: record links without their record, plugin directories of no
// installed plugin.
void tree_problems(const std::vector<int> &ids, std::vector<std::string> *problems) {
    plugin_intn::Owned<DIR, ::closedir> dir(::opendir(kSrgDir));
    while (dirent *e = dir ? ::readdir(dir.get()) : nullptr) {
        const std::string link = std::string(kSrgDir) + "/" + e->d_name;
        struct stat st;
        if (e->d_name[0] == '.' || ::lstat(link.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            continue;
        const std::string target = read_link(link);
        const char *held = srg_sw_id_file_get(target.c_str());
        if (held == nullptr)
            problems->push_back(link + " -> " + target + ": no record there");
        else if (link != std::string(kSrgDir) + "/plugin-" + held + ".sro")
            problems->push_back(link + " -> " + target + ": the record there is " + held + "'s");
    }
    plugin_intn::Owned<DIR, ::closedir> plugins(::opendir(kPluginRoot));
    while (dirent *e = plugins ? ::readdir(plugins.get()) : nullptr) {
        const int id = plugin_in(std::string(kPluginRoot) + "/" + e->d_name + "/");
        if (id >= 0 && std::find(ids.begin(), ids.end(), id) == ids.end())
            problems->push_back(plugin_dir(id) + ": directory of no installed plugin");
    }
}

}  // namespace

std::vector<Row> Installer::list() {
    std::vector<Row> rows;
    plugin_rc_t rc = PLUGIN_OK;
    MapPtr map = read_map(&rc);
    for (int id : installed_ids()) {
        RecordPtr record = record_of(id);
        Row row{id, swid_of(map.get(), id), deps_of(record.get()), 0, 0, 0};
        for (const std::string &entry : manifest_entries(manifest_path(id))) {
            ++row.entries;
            if (excluded("/" + entry)) continue;
            ++row.to_link;
            row.linked += entry_state(id, entry).empty();
        }
        rows.push_back(row);
    }
    return rows;
}

std::vector<std::string> Installer::verify(const std::vector<std::string> &names) {
    std::vector<std::string> problems;
    plugin_rc_t rc = PLUGIN_OK;
    MapPtr map = read_map(&rc);
    if (!map) return {"the map " + map_path() + " cannot be read"};
    const std::vector<int> ids = installed_ids();
    // Link names to look at for links into vanished plugin directories.
    std::set<std::string> places;
    for (int id : chosen_ids(names, map.get(), ids, &problems))
        plugin_problems(id, map.get(), &places, &problems);
    if (names.empty()) tree_problems(ids, &problems);
    for (const std::string &place : places) {
        struct stat st;
        if (::lstat(place.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) continue;
        const std::string target = read_link(place);
        const int id = plugin_in(target);
        if (id >= 0 && ::stat(plugin_dir(id).c_str(), &st) != 0)
            problems.push_back(place + " -> " + target + ": plugin directory " + plugin_dir(id) +
                               " is gone");
    }
    return problems;
}

}  // namespace installer
