// The image check (check.h): one pass over the archive for the rules of each
// member, then the rules over the whole archive (links, paths through links).
#include "tools/installer/check.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string_view>

#include "tools/installer/archive.h"

namespace installer {
namespace {

constexpr char kArchive[] = "(archive)";
constexpr uint64_t kRatio = 64;  // default limit: this many times the image's size
constexpr int kMaxLinks = 40;    // links followed in one walk, as the kernel's limit
constexpr std::size_t kLinkPathMax = 255;

std::vector<std::string_view> split(std::string_view path) {
    std::vector<std::string_view> parts;
    for (std::size_t at = 0;;) {
        const std::size_t slash = path.find('/', at);
        parts.push_back(path.substr(at, slash - at));
        if (slash == std::string_view::npos) return parts;
        at = slash + 1;
    }
}

std::string join(const std::vector<std::string> &parts) {
    std::string out;
    for (const std::string &p : parts) out += (out.empty() ? "" : "/") + p;
    return out;
}

// The name relative to the plugin directory: "." and empty components dropped.
std::vector<std::string> normal(std::string_view name) {
    std::vector<std::string> parts;
    for (const std::string_view p : split(name))
        if (!p.empty() && p != ".") parts.emplace_back(p);
    return parts;
}

// What the rules over the whole archive need of a member.
struct Member {
    std::string entry;   // printable name as stored
    bool link = false;   // a symbolic link
    std::string target;  // its target
};

enum class Walk { kInside, kOut, kLoop };

class Checker {
public:
    Checker(const CheckOptions &options, uint64_t limit, std::vector<Problem> &problems)
        : options_(options), limit_(limit), problems_(problems) {}

    // The rules of one member; false when reading stops here (the size limit).
    bool member(const installer::Entry &e);
    // The rules over the whole archive, after its last member.
    void whole();
    // The stream failed after the member last read.
    void broken(const std::string &why) {
        refuse(kArchive, "truncated or corrupt archive" + (last_.empty() ? "" : " after " + last_) +
                             " (" + (why.empty() ? "no detail" : why) + ")");
    }

private:
    void refuse(const std::string &entry, std::string reason, bool allowed = false) {
        problems_.push_back({entry, std::move(reason), allowed});
    }
    void name_rules(const std::string &entry, std::string_view name, bool dir);
    void mode_rules(const std::string &entry, const installer::Entry &e);
    Walk walk(std::vector<std::string> &at, std::string_view target, int &links) const;

    const CheckOptions &options_;
    const uint64_t limit_;
    std::vector<Problem> &problems_;
    uint64_t total_ = 0;
    std::string last_;
    std::map<std::string, Member> members_;  // by normal name
    std::vector<std::string> order_;         // normal names in archive order
};

void Checker::name_rules(const std::string &entry, std::string_view name, bool dir) {
    if (name.empty()) return refuse(entry, "empty name");
    if (name.front() == '/') refuse(entry, "absolute name");
    for (const unsigned char c : name)
        if (c < 0x20 || c == 0x7f) {
            refuse(entry, "control character in the name");
            break;
        }
    if (name.find('\\') != std::string_view::npos) refuse(entry, "backslash in the name");
    bool dots = false, dash = false;
    for (const std::string_view p : split(name)) {
        dots = dots || p == "..";
        dash = dash || (!p.empty() && p.front() == '-');
    }
    if (dots) refuse(entry, "\"..\" component in the name");
    if (dash) refuse(entry, "name component starting with '-'");
    if (dir && name.back() != '/') refuse(entry, "directory without its trailing '/'");
    if (!dir && name.back() == '/') refuse(entry, "trailing '/' on a member that is no directory");
}

void Checker::mode_rules(const std::string &entry, const installer::Entry &e) {
    const mode_t mode = e.mode;
    if (mode & S_ISUID) refuse(entry, "setuid bit", options_.allow_setid);
    if (mode & S_ISGID) refuse(entry, "setgid bit", options_.allow_setid);
    if (mode & S_ISVTX) refuse(entry, "sticky bit");
    if (mode & S_IWOTH) refuse(entry, "writable by others");
    const auto root = [](const std::string &n) { return n.empty() || n == "root"; };
    if (e.uid != 0 || e.gid != 0 || !root(e.uname) || !root(e.gname))
        refuse(entry, "owner or group other than root");
}

bool Checker::member(const installer::Entry &e) {
    const std::string_view name = e.path;
    const std::string entry = name.empty() ? "(unnamed)" : printable(name);
    last_ = entry;
    const mode_t type = e.type;
    const bool dir = type == S_IFDIR && !e.hard;
    name_rules(entry, name, dir);

    const std::vector<std::string> parts = normal(name);
    const std::string key = join(parts);
    if (parts.size() == 1 && key == "plugin.sro")
        refuse(entry, "takes the place of the plugin's record file plugin.sro");
    Member m{entry, false, ""};
    if (e.hard) {
        refuse(entry, "hard link");
    } else if (type == S_IFLNK) {
        m.link = true;
        m.target = e.target;
        if (m.target.empty())
            refuse(entry, "symbolic link without a target");
        else if (m.target.front() == '/')
            refuse(entry, "symbolic link to an absolute path");
    } else if (type == S_IFCHR || type == S_IFBLK) {
        refuse(entry, "device node");
    } else if (type == S_IFIFO) {
        refuse(entry, "fifo");
    } else if (type != S_IFREG && type != S_IFDIR) {
        refuse(entry, "special file (neither file, directory nor symbolic link)");
    }
    if (type != S_IFLNK) mode_rules(entry, e);
    if (!members_.emplace(key, m).second)
        refuse(entry, "replaces an earlier member");
    else
        order_.push_back(key);

    if (type != S_IFREG || e.hard || !e.size_set) return true;
    const uint64_t size = static_cast<uint64_t>(std::max<int64_t>(e.size, 0));
    if (size <= limit_ - total_) {  // total_ never passes limit_
        total_ += size;
        return true;
    }
    refuse(entry, "unpacked size passes the limit of " + std::to_string(limit_) + " bytes");
    return false;
}

// Walks target from the directory at, following the image's own links; at ends
// where it leads.
Walk Checker::walk(std::vector<std::string> &at, std::string_view target, int &links) const {
    if (!target.empty() && target.front() == '/') return Walk::kOut;
    for (const std::string_view p : split(target)) {
        if (p.empty() || p == ".") continue;
        if (p == "..") {
            if (at.empty()) return Walk::kOut;
            at.pop_back();
            continue;
        }
        at.emplace_back(p);
        const auto it = members_.find(join(at));
        if (it == members_.end() || !it->second.link) continue;
        if (++links > kMaxLinks) return Walk::kLoop;  // the kernel gives up: reaches nothing
        at.pop_back();
        const Walk w = walk(at, it->second.target, links);
        if (w != Walk::kInside) return w;
    }
    return Walk::kInside;
}

void Checker::whole() {
    for (const std::string &key : order_) {
        const Member &m = members_.at(key);
        std::vector<std::string> dir = normal(key);
        if (!dir.empty()) dir.pop_back();
        std::vector<std::string> prefix;
        for (const std::string &p : dir) {
            prefix.push_back(p);
            const auto it = members_.find(join(prefix));
            if (it != members_.end() && it->second.link) {
                refuse(m.entry, "path passes through the symbolic link " + it->second.entry);
                break;
            }
        }
        int links = 0;
        if (m.link && !m.target.empty() && m.target.front() != '/' &&
            walk(dir, m.target, links) == Walk::kOut)
            refuse(m.entry, "symbolic link leads out of the plugin");
    }
}

// The unpacked-size limit for an image of size bytes.
uint64_t size_limit(const CheckOptions &options, uint64_t size) {
    uint64_t limit =
        options.max_unpacked.value_or(size > UINT64_MAX / kRatio ? UINT64_MAX : size * kRatio);
    struct statvfs fs;
    if (::statvfs("/velm", &fs) == 0) {
        const uint64_t avail = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
        if (avail < limit) limit = avail;
    }
    return limit;
}

// Whether text holds only ASCII letters, digits and the characters of extra.
bool only(const std::string &text, std::string_view extra) {
    for (const char c : text)
        if (!(c >= 'a' && c <= 'z') && !(c >= 'A' && c <= 'Z') && !(c >= '0' && c <= '9') &&
            extra.find(c) == std::string_view::npos)
            return false;
    return true;
}

}  // namespace

int check_image(const std::string &image, const CheckOptions &options,
                std::vector<Problem> &problems, std::string &error,
                std::vector<installer::Entry> *members) {
    const std::size_t before = problems.size();
    std::optional<Checker> check;  // made once the image's size is known
    installer::WalkOptions walk;
    walk.gzip_only = true;
    walk.opened = [&](uint64_t size) {
        check.emplace(options, size_limit(options, size), problems);
    };
    std::string why;
    const installer::WalkEnd end = installer::walk_archive(
        image,
        [&](const installer::Entry &e) {
            if (members) members->push_back(e);
            return check->member(e);
        },
        walk, &why);
    switch (end) {
    case installer::WalkEnd::kUnopened:
        error = why;
        return kCheckFailed;
    case installer::WalkEnd::kBroken:
        check->broken(why);
        break;
    case installer::WalkEnd::kNotGzip:
        problems.push_back({kArchive, "not a gzip-compressed archive", false});
        break;
    case installer::WalkEnd::kAll:
        check->whole();
        break;
    case installer::WalkEnd::kStopped:
        break;
    }
    for (std::size_t i = before; i < problems.size(); ++i)
        if (!problems[i].allowed) return kCheckRefused;
    return kCheckAccepted;
}

std::string printable(std::string_view name) {
    std::string out;
    for (const unsigned char c : name) {
        if (c >= 0x20 && c != 0x7f && c != '\\') {
            out += static_cast<char>(c);
            continue;
        }
        const char octal[] = {'\\', char('0' + (c >> 6)), char('0' + ((c >> 3) & 7)),
                              char('0' + (c & 7))};
        out.append(octal, sizeof octal);
    }
    return out;
}

std::string problem_line(const Problem &problem) {
    return problem.entry + ": " + problem.reason +
           (problem.allowed ? " (allowed: --allow-setid)" : "");
}

std::string check_newer_fs_name(const std::string &name) {
    if (name.empty()) return "empty name";
    if (name.front() == '-') return "name starting with '-'";
    if (!only(name, "._+@%=:,/-")) return "character outside [A-Za-z0-9._+@%=:,/-] in the name";
    return "";
}

std::string check_swid(const std::string &swid) {
    if (swid.empty()) return "empty software id";
    if (!only(swid, "._+:~-")) return "character outside [A-Za-z0-9._+:~-] in the software id";
    if (std::strlen("/velm/plugin_srg/plugin-.sro") + swid.size() > kLinkPathMax)
        return "software id too long for its link path (255 bytes)";
    return "";
}

}  // namespace installer
