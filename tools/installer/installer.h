// The installer: a plugin's whole road (record, id, directory, extraction,
// checks, record file, link) as one transaction, its removal, and the queries
// over what is installed, built on libplugin_intn's exported operations only.
//
// Files (the library's own places first):
//   /velm/plugin/ID                      the plugin directory (ID: its index in the map)
//   /velm/plugin_srg/plugin-SWID.sro     the record link, as plugin_save_sro makes it
//   /velm/plugin_extract_log/swid_map    the software-id map (made when absent)
//   /velm/plugin_extract_log/plugin-ID.manifest   the extraction's manifest; a
//                                        plugin is installed while it exists
//   /velm/plugin_extract_log/installer/ID.link    the manifest handed to link and
//                                        unlink: the directories that did not
//                                        exist before and the links to make, that
//                                        is exactly what the link created
//   /velm/plugin_extract_log/swid_map.lock, installer.journal   (journal.cc)
// Link and unlink get the plugin path "/velm/plugin/ID/": with its trailing
// '/' no other plugin's path extends it, so the undo of plugin 1 never takes
// plugin 10's links.  The library's places are excluded from every link.
#ifndef PI_INSTALLER_INSTALLER_H
#define PI_INSTALLER_INSTALLER_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/installer/check.h"
#include "tools/installer/journal.h"

namespace installer {

extern const char kPluginRoot[];  // "/velm/plugin"
extern const char kSrgDir[];      // "/velm/plugin_srg"
extern const char kLogDir[];      // "/velm/plugin_extract_log"

std::string map_path();
std::string journal_path();
std::string plugin_dir(int id);      // /velm/plugin/ID
std::string plugin_base(int id);     // /velm/plugin/ID/ (what link and unlink get)
std::string manifest_path(int id);   // /velm/plugin_extract_log/plugin-ID.manifest
std::string link_list_path(int id);  // /velm/plugin_extract_log/installer/ID.link

// What became of one plugin of a command.
struct Result {
    std::string what;  // the image or the SWID|ID as given
    std::string swid;
    int id = -1;
    bool ok = false;
    std::string step;                  // the step that failed
    std::optional<uint32_t> rc;        // the library's result at that step, if it gave one
    std::vector<std::string> details;  // missing dependencies, conflicts, shortfalls
    unsigned links = 0;                // symbolic links made (install) or removed (remove)
    bool pending = false;              // left in the journal for the next recover to finish
};

struct Options {
    bool force_depends = false;
    installer::CheckOptions check;  // the image check, install's first step
};

// One row of list.
struct Row {
    int id;
    std::string swid;
    std::vector<std::string> deps;
    unsigned entries, linked, to_link;  // manifest entries; of those linkable, how many are
};

class Installer {
public:
    // Makes the library's places when absent, takes the lock and recovers an
    // interrupted transaction (what it did: recovered()).  False with *error.
    bool open(std::string *error);
    const std::vector<std::string> &recovered() const { return recovered_; }

    std::vector<Result> install(const std::vector<std::string> &images, const Options &options);
    std::vector<Result> remove(const std::vector<std::string> &names, const Options &options);
    std::vector<Row> list();
    // One line per problem; only the named plugins' own checks when names are given.
    std::vector<std::string> verify(const std::vector<std::string> &names);

private:
    bool recover();
    Lock lock_;
    Journal journal_{journal_path()};
    std::vector<std::string> recovered_;
};

}  // namespace installer

#endif
