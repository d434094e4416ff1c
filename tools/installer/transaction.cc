// Install, remove and recover: the transactions of installer.h, each step
// written to the journal (journal.cc) before it runs.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "img.h"
#include "tools/installer/archive.h"
#include "tools/installer/check.h"
#include "tools/installer/installer.h"
#include "tools/installer/state.h"
#include "tools/failure.h"

namespace installer {

const char kPluginRoot[] = "/velm/plugin";
const char kSrgDir[] = "/velm/plugin_srg";
const char kLogDir[] = "/velm/plugin_extract_log";

std::string map_path() { return std::string(kLogDir) + "/swid_map"; }
std::string journal_path() { return std::string(kLogDir) + "/installer.journal"; }
std::string plugin_dir(int id) { return std::string(kPluginRoot) + "/" + std::to_string(id); }
std::string plugin_base(int id) { return plugin_dir(id) + "/"; }
std::string manifest_path(int id) {
    return std::string(kLogDir) + "/plugin-" + std::to_string(id) + ".manifest";
}
std::string link_list_path(int id) {
    return std::string(kLogDir) + "/installer/" + std::to_string(id) + ".link";
}

namespace {

std::string srg_link(const std::string &swid) {
    return std::string(kSrgDir) + "/plugin-" + swid + ".sro";
}

bool present(const std::string &path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

std::string strip_slash(std::string name) {
    while (name.size() > 1 && name.back() == '/') name.pop_back();
    return name;
}

// Who holds a link name: "plugin N (SWID)" when it links into a plugin directory.
std::string holder(const std::string &link_name, const plugin_swid_map *map) {
    char buf[4096];
    const ssize_t n = ::readlink(link_name.c_str(), buf, sizeof buf - 1);
    const std::string target = n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : "";
    const std::string root = std::string(kPluginRoot) + "/";
    if (target.compare(0, root.size(), root) != 0) return "the system";
    const int id = std::atoi(target.c_str() + root.size());
    return "plugin " + std::to_string(id) + " (" + swid_of(map, id) + ")";
}

// What link is to create: manifest lines for the directories not there yet and the links
// whose names are free (a name held is a tolerated duplicate, which link would skip).
struct Plan {
    std::vector<std::string> lines;
    // Links whose making link may skip without failing: a tolerated name, or a symbolic link
    // of the plugin (link tolerates by its target); whether they were made is looked at.
    std::vector<std::string> unsure;
    unsigned sure = 0;  // the other links: link fails unless it makes each of them
};

// The extracted entries' file types by their name in the plugin directory ("pkg/bin"), as the
// extraction check found them, so that the conflict check need not look at them again.
using Sources = std::unordered_map<std::string, mode_t>;

// What is at a root-tree name as linking's first pass sees it (stat follows links).  One lstat
// answers for a free name and for most taken ones; a link, or a name that a trailing '/' asks
// to be a directory, is looked at again as stat sees it.  Below a directory found missing
// (missing, the last one: "/pkg/") nothing is looked at: the manifest lists a directory's
// entries after it, so one lstat of a new top directory answers for its whole subtree.
struct AtName {
    bool looked = false;                // false below a missing directory
    bool there = false, taken = false;  // lstat found something; stat found something
    int why = ENOENT;                   // stat's errno when not taken
    struct stat st;
};
AtName at_name(const std::string &link, const std::string &missing) {
    AtName at;
    if (!missing.empty() && link.compare(0, missing.size(), missing) == 0) return at;
    at.looked = true;
    at.there = at.taken = ::lstat(strip_slash(link).c_str(), &at.st) == 0;
    at.why = at.there ? 0 : errno;
    if (at.there && (S_ISLNK(at.st.st_mode) || (link.back() == '/' && !S_ISDIR(at.st.st_mode)))) {
        at.taken = ::stat(link.c_str(), &at.st) == 0;
        at.why = at.taken ? 0 : errno;
    }
    return at;
}

// The file type of an entry in the plugin directory base: as the extraction check found it,
// else looked at; false when there is none.
bool source_type(int base, const Sources &sources, const std::string &entry, mode_t *type) {
    const std::size_t at = entry.find_first_not_of('/');
    const std::string inner = at == std::string::npos ? "." : strip_slash(entry.substr(at));
    const auto known = sources.find(inner);
    struct stat st;
    if (known == sources.end() && ::fstatat(base, inner.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    *type = (known != sources.end() ? known->second : st.st_mode) & S_IFMT;
    return true;
}

// Names the plugin's entries would take in the root tree, by linking's first-pass rule
// (directories never conflict, "xsd" names and the resolver file tolerated), plus what would
// make its second pass fail: a dangling link at a name, a non-directory where the plugin has
// a directory.  *plan gets what link is to create.
std::vector<std::string> conflicts(int base, const std::vector<std::string> &entries,
                                   const Sources &sources, const plugin_swid_map *map, Plan *plan) {
    std::vector<std::string> out;
    std::string missing;
    for (const std::string &entry : entries) {
        const std::string link = "/" + entry;
        if (excluded(link)) continue;
        mode_t type = 0;
        const bool source = source_type(base, sources, entry, &type);
        const bool dir = source && S_ISDIR(type);
        const AtName at = at_name(link, missing);
        if (!at.there) {
            plan->lines.push_back("./" + strip_slash(entry) + (dir ? "/" : ""));
            if (dir && at.looked && at.why == ENOENT) missing = strip_slash(link) + "/";
            if (!dir && (tolerated(link) || (source && S_ISLNK(type))))
                plan->unsure.push_back(strip_slash(link));
            else if (!dir)
                ++plan->sure;
        }
        if (!source) continue;  // link fails on it as the library would
        if (dir) {
            if (at.taken && !S_ISDIR(at.st.st_mode))
                out.push_back(link + " is not a directory here");
        } else if (at.taken && !tolerated(link)) {
            out.push_back(link + " exists (" + holder(link, map) + ")");
        } else if (!at.taken && at.why != ENOENT && at.why != ENOTDIR) {
            out.push_back(link + " cannot be examined: " + std::strerror(at.why));
        } else if (!at.taken && at.there) {
            out.push_back(link + " is a dangling link");
        }
    }
    return out;
}

// The image's newer-fs directory, "/bootflash/<image base name>-newer-fs".
std::string newer_fs_dir(const std::string &image) {
    const std::size_t slash = image.rfind('/');
    return "/bootflash/" + image.substr(slash == std::string::npos ? 0 : slash + 1) + "-newer-fs";
}

// Adds to *out a line for each name below dir (relative to the newer-fs directory: prefix
// and the name) that the overlay must not hand the shell.
void newer_fs_problems(const std::string &dir, const std::string &prefix,
                       std::vector<std::string> *out) {
    plugin_intn::Owned<DIR, ::closedir> own(::opendir(dir.c_str()));
    while (dirent *e = own ? ::readdir(own.get()) : nullptr) {
        const std::string name = e->d_name, path = dir + "/" + name;
        if (name == "." || name == "..") continue;
        const std::string why = installer::check_newer_fs_name(prefix + name);
        if (!why.empty()) out->push_back(installer::printable(path) + ": " + why);
        struct stat st;
        if (::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            newer_fs_problems(path, prefix + name + "/", out);
    }
}

// The image check (check.h), install's first step, before any id is taken or anything is
// written: the archive, then (with the record read) its software id and the names of its
// newer-fs directory.  The newer-fs names are checked whenever the directory exists, whether
// or not the kernel command line lays it over.  False with the check's lines in r->details.
bool image_passes(const std::string &image, const installer::CheckOptions &options, Result *r,
                  std::deque<Declared> *members) {
    std::vector<installer::Problem> problems;
    std::string error;
    const int rc = installer::check_image(image, options, problems, error, members);
    if (rc == installer::kCheckAccepted) return true;
    if (rc == installer::kCheckFailed) r->details.push_back(error);
    for (const installer::Problem &p : problems) r->details.push_back(installer::problem_line(p));
    return false;
}
bool names_pass(const std::string &image, Result *r) {
    const std::string why = installer::check_swid(r->swid);
    if (!why.empty()) r->details.push_back(installer::printable(r->swid) + ": " + why);
    if (present(newer_fs_dir(image))) newer_fs_problems(newer_fs_dir(image), "", &r->details);
    return r->details.empty();
}

// What the extraction failed to produce of the members the check read (a killed tar, a full
// device, a mode tar could not set), in the tree or in the manifest tar wrote.  Members the
// newer-fs overlay replaced are not compared.
bool shortfall(const std::string &image, int base, const std::deque<Declared> &members,
               const std::vector<std::string> &manifest, std::vector<std::string> *out,
               Sources *sources) {
    const std::unordered_set<std::string_view> listed(manifest.begin(), manifest.end(),
                                                      manifest.size());
    sources->reserve(members.size());
    const std::string newer = newer_fs_dir(image) + "/";
    const bool overlaid = present(newer);
    for (const Declared &e : members) {
        if (!listed.count(e.path)) out->push_back(e.path + " missing from the manifest");
        std::string rel = relative_name(e.path);
        if (rel.empty() || (overlaid && present(newer + rel))) continue;
        struct stat st;
        if (::fstatat(base, rel.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            out->push_back(e.path + " missing");
            continue;
        }
        sources->emplace(std::move(rel), st.st_mode);
        if (e.hard ? !S_ISREG(st.st_mode) : (st.st_mode & S_IFMT) != e.type) {
            out->push_back(e.path + " has another type");
        } else if (!e.hard && S_ISREG(st.st_mode) && st.st_size != e.size) {
            out->push_back(e.path + ": " + std::to_string(st.st_size) + " of " +
                           std::to_string(e.size) + " bytes");
        } else if (!S_ISLNK(st.st_mode) && (st.st_mode & 07777) != e.mode) {
            char modes[64];  // a mode tar could not set (it goes on, and the library with it)
            std::snprintf(modes, sizeof modes, " has mode %04o, not %04o",
                          static_cast<unsigned>(st.st_mode & 07777), static_cast<unsigned>(e.mode));
            out->push_back(e.path + modes);
        }
    }
    return !out->empty();
}

// The links and new directories of a plugin's link list (installer/ID.link).
struct LinkList {
    std::vector<std::string> links, dirs;  // link names; dirs as listed (parents first)
};
// False when the list is there but cannot be read (none there: an empty list).
bool read_link_list(int id, LinkList *list) {
    std::vector<std::string> lines;
    if (present(link_list_path(id)) && !read_lines(link_list_path(id), &lines)) return false;
    for (const std::string &entry : entries_of(lines))
        (entry.back() == '/' ? list->dirs : list->links).push_back("/" + entry);
    return true;
}

// Which names are there, as lstat would say, where the names below a directory the plugin
// made are read from one listing of it (a directory that is gone lists nothing): a plugin
// of thousands of links in its own directories costs a few reads, not an lstat each.
class Presence {
public:
    explicit Presence(const std::vector<std::string> &made_dirs)  // "/pkg/d/"
        : made_(made_dirs.begin(), made_dirs.end()) {}
    bool there(const std::string &name) {
        const std::size_t slash = name.rfind('/');
        const std::string dir = name.substr(0, slash + 1);
        if (slash == std::string::npos || !made_.count(dir)) return present(name);
        auto it = listed_.find(dir);
        if (it == listed_.end()) it = listed_.emplace(dir, listing(dir)).first;
        return it->second ? it->second->count(name.substr(slash + 1)) != 0 : present(name);
    }

private:
    // The names in dir; none when it is gone; nullopt when it cannot be read.
    static std::optional<std::unordered_set<std::string>> listing(const std::string &dir) {
        plugin_intn::Owned<DIR, ::closedir> d(::opendir(dir.c_str()));
        if (!d && (errno == ENOENT || errno == ENOTDIR)) return std::unordered_set<std::string>();
        if (!d) return std::nullopt;
        std::unordered_set<std::string> names;
        while (const dirent *e = ::readdir(d.get())) names.insert(e->d_name);
        return names;
    }
    std::unordered_set<std::string> made_;
    std::unordered_map<std::string, std::optional<std::unordered_set<std::string>>> listed_;
};

// Whether the link at a name the plugin created still is the plugin's: it leads into the
// plugin directory, or where the plugin's own symbolic link there leads.
bool ours(int id, const std::string &link) {
    char target[4096];
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target);
    if (n <= 0) return false;
    const std::string now(target, static_cast<std::size_t>(n));
    if (now.compare(0, plugin_base(id).size(), plugin_base(id)) == 0) return true;
    struct stat source;
    const std::string want = expected_target(id, link.substr(1), &source);
    return !want.empty() && want == now;
}

// Hands unlink exactly the links of the list and those of its directories no other
// installed plugin lists (deepest first), removes what unlink leaves of the links (made from
// absolute contents outside the plugin), then the emptied directories.  A directory still
// listed by another installed plugin goes into that plugin's list, which keeps it.  Adds the
// links removed (there before, gone after) to *removed; false when one of the plugin's links
// is still there.
bool unlink_recorded(int id, const LinkList &list, const std::vector<int> &others,
                     unsigned *removed) {
    std::vector<std::string> dirs = list.dirs, unlink_lines;
    std::sort(dirs.rbegin(), dirs.rend());
    for (const std::string &link : list.links) unlink_lines.push_back("." + link);
    std::map<int, std::unordered_set<std::string>> listed;  // others' entries, read once
    for (int other : others) {
        if (other == id || dirs.empty()) continue;
        const std::vector<std::string> entries = manifest_entries(manifest_path(other));
        listed[other].insert(entries.begin(), entries.end());
    }
    for (const std::string &dir : dirs) {
        int heir = -1;
        for (const auto &[other, entries] : listed)
            if (entries.count(dir.substr(1))) heir = other;
        if (heir < 0) {
            unlink_lines.push_back("." + dir);
            continue;
        }
        std::vector<std::string> heir_lines;
        if (!read_lines(link_list_path(heir), &heir_lines)) return false;
        if (std::find(heir_lines.begin(), heir_lines.end(), "." + dir) == heir_lines.end()) {
            heir_lines.push_back("." + dir);
            if (!write_lines(link_list_path(heir), heir_lines)) return false;
        }
    }
    const std::string unlink_list = link_list_path(id) + ".unlink";
    std::vector<bool> there(list.links.size());
    Presence before(list.dirs);
    for (std::size_t i = 0; i < list.links.size(); ++i) there[i] = before.there(list.links[i]);
    if (!list.links.empty() || !list.dirs.empty()) {
        if (!write_lines(unlink_list, unlink_lines)) return false;
        StringsPtr exclude = exclusions();
        (void)plugin_unlink_from_exec_path(unlink_list.c_str(), exclude.get(),
                                           plugin_base(id).c_str());
    }
    Presence after(list.dirs);
    unsigned left = 0;
    for (std::size_t i = 0; i < list.links.size(); ++i) {
        if (!there[i]) continue;
        const std::string &link = list.links[i];
        if (after.there(link)) {  // left by unlink: another's link, or one from absolute contents
            if (!ours(id, link)) continue;
            if (::unlink(link.c_str()) != 0) {
                ++left;
                continue;
            }
        }
        ++*removed;
    }
    for (const std::string &line : unlink_lines)
        if (line.back() == '/') ::rmdir(line.substr(1).c_str());
    return left == 0 && (::unlink(unlink_list.c_str()) == 0 || errno == ENOENT);
}

bool gone(const std::string &path) { return !present(path); }
bool remove_file(const std::string &path) { return ::unlink(path.c_str()) == 0 || errno == ENOENT; }

// Puts on the device what a transaction changed before its journal says it is done: syncfs
// of /velm's filesystem and of each filesystem holding the directories of the plugin's link
// list (not the whole machine's, as sync would).
void sync_plugin(const LinkList &list) {
    std::set<std::string> dirs = {"/velm"};
    for (const auto *names : {&list.links, &list.dirs}) {
        std::string_view last;  // names of one directory come together: one insert for them
        for (const std::string &name : *names) {
            const std::string_view dir(name.data(), name.rfind('/', name.size() - 2));
            if (dir != last) dirs.emplace(dir);
            last = dir;
        }
    }
    std::set<dev_t> done;
    for (const std::string &dir : dirs) {
        struct stat st;
        if (::stat(dir.empty() ? "/" : dir.c_str(), &st) != 0 || !done.insert(st.st_dev).second)
            continue;
        plugin_intn::Fd fd(
            ::open(dir.empty() ? "/" : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (fd) (void)::syncfs(fd.get());
    }
}

// Undoes the steps of an install, last first; each tolerates a step that had not run.  Stops
// at a step it could not undo (false): the journal keeps the install for the next recover.
bool rollback_install(int id, const std::vector<std::string> &steps) {
    unsigned removed = 0;
    LinkList list;
    if (!read_link_list(id, &list)) return false;
    for (auto step = steps.rbegin(); step != steps.rend(); ++step) {
        bool ok = true;
        if (*step == "link") {
            ok = unlink_recorded(id, list, {}, &removed) && remove_file(link_list_path(id));
        } else if (*step == "record 0") {
            ok = plugin_cleanup_sro(id) == PLUGIN_OK && gone(plugin_dir(id) + "/plugin.sro");
        } else if (*step == "record 1") {
            ok = remove_file(plugin_dir(id) + "/plugin.sro");
        } else if (*step == "extract") {
            ok = remove_file(manifest_path(id));
        } else if (*step == "mkdir") {
            ok = plugin_rmdir(plugin_dir(id).c_str()) == PLUGIN_OK && gone(plugin_dir(id));
        }
        if (!ok) return false;
    }
    sync_plugin(list);
    return true;
}

// Runs every step of a remove; each may have run before (an interrupted remove).  Returns
// the first step that did not complete (null when all did): the journal keeps the remove for
// the next recover.
const char *finish_remove(Journal &journal, int id, const std::string &swid, unsigned *removed) {
    std::vector<int> others = installed_ids();
    others.erase(std::remove(others.begin(), others.end(), id), others.end());
    LinkList list;
    if (!read_link_list(id, &list)) return "unlink";
    if (!journal.note("step unlink") || !unlink_recorded(id, list, others, removed))
        return "unlink";
    if (!journal.note("step record")) return "record";
    (void)plugin_cleanup_sro(id);
    // A record already gone (a directory deleted by hand) leaves cleanup no name for the link.
    const std::string record = plugin_dir(id) + "/plugin.sro";
    char target[4096];
    const ssize_t n = ::readlink(srg_link(swid).c_str(), target, sizeof target);
    if (n > 0 && record == std::string(target, static_cast<std::size_t>(n)))
        ::unlink(srg_link(swid).c_str());
    if (!gone(record) || !gone(srg_link(swid))) return "record";
    if (!journal.note("step rmdir") || plugin_rmdir(plugin_dir(id).c_str()) != PLUGIN_OK ||
        !gone(plugin_dir(id)))
        return "rmdir";
    if (!journal.note("step forget") || !remove_file(link_list_path(id)) ||
        !remove_file(manifest_path(id)))
        return "forget";
    sync_plugin(list);
    return journal.note("commit") ? nullptr : "commit";
}

// The installed plugins' software ids and dependencies.
std::map<int, std::pair<std::string, std::vector<std::string>>> installed(
    const plugin_swid_map *map) {
    std::map<int, std::pair<std::string, std::vector<std::string>>> out;
    for (int id : installed_ids()) {
        RecordPtr record = record_of(id);
        out[id] = {swid_of(map, id), deps_of(record.get())};
    }
    return out;
}

// Orders records with the library's load (or unload) order; indices in the given order
// when the library finds none.
std::vector<std::size_t> ordered(std::vector<srg_record *> records, bool unload) {
    std::vector<std::size_t> order(records.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    if (records.empty()) return order;
    std::vector<uint32_t> raw(records.size());
    const uint32_t n = static_cast<uint32_t>(records.size());
    if ((unload ? plugin_find_unload_order : plugin_find_load_order)(n, records.data(),
                                                                     raw.data()) == PLUGIN_OK)
        order.assign(raw.begin(), raw.end());
    return order;
}

// The results in the order the plugins were taken: those refused before ordering first.
std::vector<Result> in_order(std::vector<Result> results, const std::vector<std::size_t> &taken) {
    std::vector<Result> out;
    for (std::size_t i = 0; i < results.size(); ++i)
        if (std::find(taken.begin(), taken.end(), i) == taken.end()) out.push_back(results[i]);
    for (std::size_t i : taken) out.push_back(results[i]);
    return out;
}

// Checks an image and reads its record (check.h, install's first step): false with the step
// ("check", "read record") in r.
bool read_image(const std::string &image, const installer::CheckOptions &check, Result &r,
                RecordPtr &record, std::deque<Declared> *members) {
    r.what = image;
    if (!image_passes(image, check, &r, members)) {
        r.step = "check";
        return false;
    }
    srg_record *raw = nullptr;
    const plugin_rc_t rc = plugin_extract_srg(image.c_str(), &raw);
    record.reset(raw);
    if (rc != PLUGIN_OK || !record || srg_sw_id_get(record.get()) == nullptr) {
        r.step = "read record";
        r.rc = rc;
        return false;
    }
    r.swid = srg_sw_id_get(record.get());
    if (names_pass(image, &r)) return true;
    r.step = "check";
    return false;
}

// Whether a plugin may be installed now (its software id not installed, its dependencies
// installed or forced) and its plugin id, taken in the map when it has none yet; *map gets the
// map.  False with the step in r.
bool admit(Result &r, const srg_record *record, const Options &options, MapPtr *map) {
    auto fail = [&](const char *step, std::optional<uint32_t> rc) {
        r.step = step, r.rc = rc;
        return false;
    };
    plugin_rc_t rc = PLUGIN_OK;
    *map = read_map(&rc);
    if (!*map) return fail("read map", rc);
    const auto now = installed(map->get());
    r.id = plugin_swid_map_get_id(map->get(), r.swid.c_str());
    if (r.id >= 0 && now.count(r.id)) {
        r.details.push_back(r.swid + " is installed as plugin " + std::to_string(r.id));
        return fail("check", std::nullopt);
    }
    for (const std::string &dep : deps_of(record)) {
        bool held = false;
        for (const auto &[id, plugin] : now) held = held || plugin.first == dep;
        if (!held) r.details.push_back("missing dependency " + dep);
    }
    if (!r.details.empty() && !options.force_depends) return fail("dependencies", std::nullopt);
    r.details.clear();
    if (r.id < 0) {
        plugin_swid_map *m = map->release();
        r.id = plugin_swid_map_append(&m, r.swid.c_str());
        map->reset(m);
        if (r.id < 0) return fail("plugin id", std::nullopt);
        if ((rc = write_map(map->get())) != PLUGIN_OK) return fail("plugin id", rc);
    }
    if (!present(plugin_dir(r.id))) return true;
    r.details.push_back(plugin_dir(r.id) + " exists");
    return fail("mkdir", std::nullopt);
}

// One install's journal: each step written before it runs; a failed step names itself in the
// result and undoes those made.
struct Steps {
    Journal &journal;
    Result &r;
    std::vector<std::string> made;
    bool step(const std::string &name) {
        made.push_back(name);
        return journal.note("step " + name);
    }
    bool undo(const char *name, std::optional<uint32_t> code) {
        r.step = name, r.rc = code;
        r.pending = !rollback_install(r.id, made) || !journal.note("abort");
        return false;
    }
};

// The plugin directory, the extraction, its check against the archive and the names it would
// take in the root tree; *plan gets what link is to create.
bool extract_plugin(Steps &s, const std::string &image, const std::deque<Declared> &members,
                    const plugin_swid_map *map, Plan *plan) {
    Result &r = s.r;
    const int id = r.id;
    if (!s.step("mkdir") || ::mkdir(plugin_dir(id).c_str(), 0755) != 0) {
        r.details.push_back(std::strerror(errno));
        return s.undo("mkdir", std::nullopt);
    }
    plugin_rc_t rc = PLUGIN_OK;
    if (!s.step("extract") || (rc = plugin_extract_image(image.c_str(), plugin_dir(id).c_str(),
                                                         manifest_path(id).c_str())) != PLUGIN_OK)
        return s.undo("extract", rc);
    std::vector<std::string> lines;
    if (!read_lines(manifest_path(id), &lines)) r.details.push_back("manifest unreadable");
    // Both checks look at the extracted entries relative to the plugin directory (-1 when it
    // cannot be opened: every entry is then missing).
    const plugin_intn::Fd base(::open(plugin_dir(id).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    Sources sources;
    if (!r.details.empty() || shortfall(image, base.get(), members, lines, &r.details, &sources))
        return s.undo("extract check", std::nullopt);
    r.details = conflicts(base.get(), entries_of(lines), sources, map, plan);
    return r.details.empty() || s.undo("conflicts", std::nullopt);
}

// The record, the link of the plan, the modes of the directories it made, the commit.
bool link_plugin(Steps &s, srg_record *record, const Plan &plan, const plugin_strings *exclude) {
    Result &r = s.r;
    const int id = r.id;
    plugin_rc_t rc = PLUGIN_OK;
    const bool had_link = present(srg_link(r.swid));
    if (!s.step(had_link ? "record 1" : "record 0") ||
        (rc = plugin_save_sro(id, record)) != PLUGIN_OK)
        return s.undo("record", rc);
    if (!s.step("link") || !write_lines(link_list_path(id), plan.lines))
        return s.undo("link", std::nullopt);
    if ((rc = plugin_link_to_exec_path(link_list_path(id).c_str(), exclude,
                                       plugin_base(id).c_str())) != PLUGIN_OK)
        return s.undo("link", rc);
    if (!s.step("modes")) return s.undo("modes", std::nullopt);
    LinkList made;  // the list as written
    for (const std::string &line : entries_of(plan.lines))
        (line.back() == '/' ? made.dirs : made.links).push_back("/" + line);
    bool modes = true;
    for (const std::string &dir : made.dirs) {
        struct stat st;
        modes = modes && ::lstat((plugin_base(id) + dir).c_str(), &st) == 0 &&
                ::chmod(dir.c_str(), st.st_mode & 07777) == 0;
    }
    if (!modes) return s.undo("modes", std::nullopt);
    // link returned PLUGIN_OK: it made every sure link; the unsure ones are looked at.
    r.links = plan.sure;
    for (const std::string &link : plan.unsure) r.links += present(link);
    sync_plugin(made);
    return s.journal.note("commit") || s.undo("commit", std::nullopt);
}

}  // namespace

bool Installer::open(std::string *error) {
    for (const char *place : {"/velm", kPluginRoot, kSrgDir, kLogDir})
        if (::mkdir(place, 0755) != 0 && errno != EEXIST)
            return tools::fail_errno(error, std::string("cannot make ") + place);
    const std::string own = std::string(kLogDir) + "/installer";
    if (::mkdir(own.c_str(), 0755) != 0 && errno != EEXIST)
        return tools::fail_errno(error, "cannot make " + own);
    if (!lock_.take(lock_path_of(map_path()), error)) return false;
    if (recover()) return true;
    return tools::fail(error, "recover: the transaction in " + journal_path() +
                                  " could not be finished; nothing else was done");
}

bool Installer::recover() {
    // A file written beside its place and renamed into it (write_lines, write_map) that is
    // still there was cut short: nobody else writes them while the lock is held.
    remove_file(map_path() + ".new");
    plugin_intn::Owned<DIR, ::closedir> own(
        ::opendir((std::string(kLogDir) + "/installer").c_str()));
    while (dirent *e = own ? ::readdir(own.get()) : nullptr) {
        const std::string name = e->d_name;
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".new") == 0)
            remove_file(std::string(kLogDir) + "/installer/" + name);
    }
    const std::vector<std::string> lines = journal_.lines();
    if (lines.empty() || lines.back() == "commit" || lines.back() == "abort") return true;
    std::istringstream head(lines.front());
    std::string begin, kind, swid;
    int id = -1;
    if (!(head >> begin >> kind >> id >> swid) || begin != "begin" || id < 0) return true;
    std::vector<std::string> steps;
    for (const std::string &line : lines)
        if (line.compare(0, 5, "step ") == 0) steps.push_back(line.substr(5));
    const std::string where = steps.empty() ? "begin" : steps.back();
    if (kind == "install") {
        if (!rollback_install(id, steps) || !journal_.note("abort")) return false;
        recovered_.push_back("recover: undid the install of " + swid + " as plugin " +
                             std::to_string(id) + " (interrupted at " + where + ")");
    } else if (kind == "remove") {
        unsigned removed = 0;
        if (finish_remove(journal_, id, swid, &removed) != nullptr) return false;
        recovered_.push_back("recover: finished the remove of " + swid + " (plugin " +
                             std::to_string(id) + ", interrupted at " + where + ")");
    }
    return true;
}

std::vector<Result> Installer::install(const std::vector<std::string> &images,
                                       const Options &options) {
    std::vector<Result> results(images.size());
    std::vector<RecordPtr> records(images.size());
    std::vector<std::deque<Declared>> members(images.size());  // as the check read them
    std::vector<srg_record *> readable;
    std::vector<std::size_t> index;  // readable's image indices
    for (std::size_t i = 0; i < images.size(); ++i) {
        if (!read_image(images[i], options.check, results[i], records[i], &members[i])) continue;
        readable.push_back(records[i].get());
        index.push_back(i);
    }
    const StringsPtr exclude = exclusions();
    std::vector<std::size_t> taken;
    for (std::size_t k : ordered(readable, false)) {
        const std::size_t i = index[k];
        taken.push_back(i);
        Result &r = results[i];
        MapPtr map;
        if (!admit(r, records[i].get(), options, &map)) continue;
        if (!journal_.begin("begin install " + std::to_string(r.id) + " " + r.swid + " " +
                            images[i])) {
            r.step = "journal", r.rc = std::nullopt;
            continue;
        }
        Steps steps{journal_, r, {}};
        Plan plan;
        r.ok = extract_plugin(steps, images[i], members[i], map.get(), &plan) &&
               link_plugin(steps, records[i].get(), plan, exclude.get());
    }
    return in_order(std::move(results), taken);
}

std::vector<Result> Installer::remove(const std::vector<std::string> &names,
                                      const Options &options) {
    std::vector<Result> results(names.size());
    plugin_rc_t rc = PLUGIN_OK;
    MapPtr map = read_map(&rc);
    const auto now = installed(map.get());
    std::vector<RecordPtr> records;
    std::vector<srg_record *> readable;
    std::vector<std::size_t> index;
    std::set<int> leaving;
    for (std::size_t i = 0; i < names.size(); ++i) {
        Result &r = results[i];
        r.what = names[i];
        const std::string &name = names[i];
        const bool number =
            !name.empty() && name.find_first_not_of("0123456789") == std::string::npos;
        r.id = number ? std::atoi(name.c_str()) : plugin_swid_map_get_id(map.get(), name.c_str());
        if (r.id < 0 || !now.count(r.id)) {
            r.swid = number ? swid_of(map.get(), r.id) : name;
            r.step = "check";
            r.details.push_back(name + " is not installed");
            continue;
        }
        r.swid = now.at(r.id).first;
        leaving.insert(r.id);
        records.push_back(record_of(r.id));
        if (records.back()) {
            readable.push_back(records.back().get());
            index.push_back(i);
        }
    }
    std::vector<std::size_t> order;  // plugins without a readable record first
    for (std::size_t i = 0; i < names.size(); ++i)
        if (results[i].step.empty() && std::find(index.begin(), index.end(), i) == index.end())
            order.push_back(i);
    for (std::size_t k : ordered(readable, true)) order.push_back(index[k]);
    for (std::size_t i : order) {
        Result &r = results[i];
        for (const auto &[id, plugin] : now)
            if (!leaving.count(id) &&
                std::count(plugin.second.begin(), plugin.second.end(), r.swid))
                r.details.push_back("needed by " + plugin.first + " (plugin " + std::to_string(id) +
                                    ")");
        if (!r.details.empty() && !options.force_depends) {
            r.step = "dependants";
            leaving.erase(r.id);
            continue;
        }
        r.details.clear();
        if (!journal_.begin("begin remove " + std::to_string(r.id) + " " + r.swid)) {
            r.step = "journal";
            continue;
        }
        const char *failed = finish_remove(journal_, r.id, r.swid, &r.links);
        r.ok = failed == nullptr;
        if (failed) r.step = failed, r.pending = true;
    }
    return in_order(std::move(results), order);
}

}  // namespace installer
