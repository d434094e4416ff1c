// What the installer reads of the installed state: the map, the installed
// plugins, their records and manifests, and the names an entry gives.
#ifndef PI_INSTALLER_STATE_H
#define PI_INSTALLER_STATE_H

#include <sys/stat.h>

#include <string>
#include <vector>

#include "frame/own.h"
#include "plugin_intn.h"
#include "plugin_strings.h"
#include "srg.h"

namespace installer {

using MapPtr = plugin_intn::Owned<plugin_swid_map, plugin_swid_map_free>;
using RecordPtr = plugin_intn::Owned<srg_record>;
using StringsPtr = plugin_intn::Owned<plugin_strings, plugin_strings_free>;

// The map file read (an empty map when there is none); null with *rc set
// when it cannot be read.
MapPtr read_map(plugin_rc_t *rc);
// Writes the map beside its file and renames it into place, synced.
plugin_rc_t write_map(const plugin_swid_map *map);
std::string swid_of(const plugin_swid_map *map, int id);

// Ids of the installed plugins (those with a manifest), ascending.
std::vector<int> installed_ids();
// The record stored in a plugin's directory; null when unreadable.
RecordPtr record_of(int id);
std::vector<std::string> deps_of(const srg_record *record);

// A file's lines; false when it cannot be read to its end.
bool read_lines(const std::string &path, std::vector<std::string> *lines);
// Entries of manifest lines by linking's line rule (one "./" off; empty lines none).
std::vector<std::string> entries_of(const std::vector<std::string> &lines);
// A manifest's entries (none when it cannot be read).
std::vector<std::string> manifest_entries(const std::string &path);
// Writes lines to path through a fresh file renamed into place, synced.
bool write_lines(const std::string &path, const std::vector<std::string> &lines);

// The library's places, excluded from every link.
StringsPtr exclusions();
bool excluded(const std::string &link_name);
// What link makes the link of an entry point at (the source's own target
// for a symbolic link of the plugin); "" when the source is missing.
std::string expected_target(int id, const std::string &entry, struct stat *source);
// Duplicates the library tolerates: names containing "xsd" and the resolver file.
bool tolerated(const std::string &link_name);

}  // namespace installer

#endif
