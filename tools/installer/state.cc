// The installed state the installer reads (state.h).
#include "tools/installer/state.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "tools/installer/installer.h"
#include "tools/installer/journal.h"

namespace installer {
namespace {

const char *const kPlaces[] = {"/velm/plugin/", "/velm/plugin_srg/", "/velm/plugin_extract_log/"};
constexpr char kResolver[] = "/velm/etc/routing-sw/tamo_resolv.conf";

std::string read_link(const std::string &path) {
    char buf[4096];
    const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
    return n < 0 ? "" : std::string(buf, static_cast<std::size_t>(n));
}

}  // namespace

MapPtr read_map(plugin_rc_t *rc) {
    plugin_swid_map *raw = nullptr;
    *rc = plugin_read_swid_map(map_path().c_str(), &raw);
    MapPtr map(raw);
    if (*rc == PLUGIN_ERR_NOENT) {
        map.reset(plugin_swid_map_alloc(8, 256));
        *rc = map ? PLUGIN_OK : PLUGIN_ERR_NOMEM;
    }
    if (*rc != PLUGIN_OK) map.reset();
    return map;
}

plugin_rc_t write_map(const plugin_swid_map *map) {
    const std::string fresh = map_path() + ".new";
    ::unlink(fresh.c_str());
    plugin_rc_t rc = plugin_write_swid_map(fresh.c_str(), map);
    if (rc == PLUGIN_OK && (!sync_file(fresh) || ::rename(fresh.c_str(), map_path().c_str()) != 0))
        rc = PLUGIN_ERR_WRITE;
    if (rc != PLUGIN_OK) {
        ::unlink(fresh.c_str());
        return rc;
    }
    return sync_dir_of(map_path()) ? PLUGIN_OK : PLUGIN_ERR_WRITE;
}

std::string swid_of(const plugin_swid_map *map, int id) {
    const char *swid = map ? plugin_swid_map_get_swid(map, id) : nullptr;
    return swid ? swid : "";
}

std::vector<int> installed_ids() {
    std::vector<int> ids;
    plugin_intn::Owned<DIR, ::closedir> dir(::opendir(kLogDir));
    while (dirent *e = dir ? ::readdir(dir.get()) : nullptr) {
        int id = -1, end = 0;
        if (std::sscanf(e->d_name, "plugin-%d.manifest%n", &id, &end) == 1 &&
            e->d_name[end] == '\0' && id >= 0 &&
            manifest_path(id) == std::string(kLogDir) + "/" + e->d_name)
            ids.push_back(id);
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

RecordPtr record_of(int id) {
    srg_record *raw = nullptr;
    const std::string path = plugin_dir(id) + "/plugin.sro";
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return nullptr;
    const plugin_rc_t rc = plugin_clone_srg(path.c_str(), &raw);
    RecordPtr record(raw);
    return rc == PLUGIN_OK ? std::move(record) : nullptr;
}

std::vector<std::string> deps_of(const srg_record *record) {
    std::vector<std::string> deps;
    const sysmgr_strings *list = nullptr;
    if (record == nullptr || srg_dependency_strings_get(record, 0, &list) != 0) return deps;
    for (uint32_t i = 0; i < sysmgr_strings_num_strings_get(list); ++i)
        if (const char *d = sysmgr_strings_get(list, i)) deps.push_back(d);
    return deps;
}

bool read_lines(const std::string &path, std::vector<std::string> *lines) {
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) lines->push_back(line);
    return in.eof() && !in.bad();
}

std::vector<std::string> entries_of(const std::vector<std::string> &lines) {
    std::vector<std::string> out;
    for (const std::string &line : lines) {
        const std::string entry = line.compare(0, 2, "./") == 0 ? line.substr(2) : line;
        if (!entry.empty()) out.push_back(entry);
    }
    return out;
}

std::vector<std::string> manifest_entries(const std::string &path) {
    std::vector<std::string> lines;
    read_lines(path, &lines);
    return entries_of(lines);
}

bool write_lines(const std::string &path, const std::vector<std::string> &lines) {
    const std::string fresh = path + ".new";
    bool written = false;
    {
        plugin_intn::File f = plugin_intn::open_file(fresh.c_str(), "w");
        if (f) {
            for (const std::string &line : lines) std::fprintf(f.get(), "%s\n", line.c_str());
            written = std::fflush(f.get()) == 0 && ::fsync(fileno(f.get())) == 0;
            written = plugin_intn::close_now(f) == 0 && written;
        }
    }
    if (written && ::rename(fresh.c_str(), path.c_str()) == 0) return sync_dir_of(path);
    ::unlink(fresh.c_str());  // nothing half-made stays
    return false;
}

StringsPtr exclusions() {
    uint32_t bytes = 0;
    for (const char *p : kPlaces) bytes += static_cast<uint32_t>(std::strlen(p) + 1);
    StringsPtr set(plugin_strings_malloc(std::size(kPlaces), bytes));
    for (const char *p : kPlaces)
        if (!set || plugin_strings_append(set.get(), p) < 0) return nullptr;
    return set;
}

bool excluded(const std::string &link_name) {
    // Leading slashes count as one, as in the library's exclusion test.
    const std::size_t start = link_name.find_first_not_of('/');
    if (start == 0 || start == std::string::npos) return false;
    for (const char *p : kPlaces)
        if (link_name.compare(start - 1, std::strlen(p), p) == 0) return true;
    return false;
}

std::string expected_target(int id, const std::string &entry, struct stat *source) {
    const std::string path = plugin_base(id) + "/" + entry;
    if (::lstat(path.c_str(), source) != 0) return "";
    if (!S_ISLNK(source->st_mode)) return path;
    const std::string contents = read_link(path);
    return contents.compare(0, 1, "/") == 0 ? contents
                                            : path.substr(0, path.rfind('/') + 1) + contents;
}

bool tolerated(const std::string &link_name) {
    return link_name.find("xsd") != std::string::npos ||
           std::strncmp(link_name.c_str(), kResolver, link_name.size()) == 0;
}

}  // namespace installer
