// The image check (check.h): one pass over the archive for the rules of each
// member, then the rules over the whole archive (links, paths through links).
#include "tools/installer/check.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string_view>

#include "tools/installer/archive.h"

namespace installer {
namespace {

constexpr char kArchive[] = "(archive)";
constexpr uint64_t kRatio = 64;  // default limit: this many times the image's size
constexpr int kMaxLinks = 40;    // links followed in one walk, as the kernel's limit
constexpr std::size_t kLinkPathMax = 255;

// The '/'-separated components of a path, empty ones included.
class Parts {
public:
    explicit Parts(std::string_view path) : rest_(path) {}
    bool next(std::string_view &part) {
        if (done_) return false;
        const std::size_t slash = rest_.find('/');
        part = rest_.substr(0, slash);
        done_ = slash == std::string_view::npos;
        if (!done_) rest_.remove_prefix(slash + 1);
        return true;
    }

private:
    std::string_view rest_;
    bool done_ = false;
};

// A finding's entry for a member name as stored.
std::string shown(std::string_view name) { return name.empty() ? "(unnamed)" : printable(name); }

// Where a text lies in Checker::text_.
struct Span {
    std::size_t at = 0, size = 0;
};

// What the rules over the whole archive need of a member.
struct Member {
    Span name;             // the normal name: "." and empty components dropped
    std::size_t hash = 0;  // of the normal name
    Span stored;           // the name as stored
    bool link = false;     // a symbolic link
    Span target;           // its target
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
        problems_.push_back({kArchive,
                             "truncated or corrupt archive" +
                                 (any_ ? " after " + shown(last_) : std::string()) + " (" +
                                 (why.empty() ? "no detail" : why) + ")",
                             false});
    }

private:
    void refuse(std::string_view name, std::string reason, bool allowed = false) {
        problems_.push_back({shown(name), std::move(reason), allowed});
    }
    void name_rules(std::string_view name, bool dir);
    void mode_rules(std::string_view name, const installer::Entry &e);
    Walk walk(std::string &at, std::string_view target, int &links) const;

    std::string_view view(Span s) const { return std::string_view(text_).substr(s.at, s.size); }
    Span append(std::string_view s) {
        const Span span{text_.size(), s.size()};
        text_ += s;
        return span;
    }
    Span append_normal(std::string_view name);
    // The member of that normal name; null when there is none.
    const Member *find(std::string_view name) const { return find(name, hash(name)); }
    const Member *find(std::string_view name, std::size_t hash) const;
    // Adds m, unless a member of its normal name is there already (false).
    bool add(const Member &m);
    static std::size_t hash(std::string_view name) { return std::hash<std::string_view>{}(name); }

    const CheckOptions &options_;
    const uint64_t limit_;
    std::vector<Problem> &problems_;
    uint64_t total_ = 0;
    bool any_ = false;                // a member was read
    std::string last_;                // the name of the member last read, as stored
    std::string text_;                // the names and targets of members_
    std::vector<Member> members_;     // in archive order, one of each normal name
    std::vector<std::size_t> slots_;  // members_ by normal name: index + 1, 0 for none
};

Span Checker::append_normal(std::string_view name) {
    const std::size_t at = text_.size();
    std::string_view p;
    for (Parts parts(name); parts.next(p);) {
        if (p.empty() || p == ".") continue;
        if (text_.size() != at) text_ += '/';
        text_ += p;
    }
    return {at, text_.size() - at};
}

const Member *Checker::find(std::string_view name, std::size_t hash) const {
    if (slots_.empty()) return nullptr;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask; slots_[i] != 0; i = (i + 1) & mask) {
        const Member &m = members_[slots_[i] - 1];
        if (m.hash == hash && view(m.name) == name) return &m;
    }
    return nullptr;
}

bool Checker::add(const Member &m) {
    if (find(view(m.name), m.hash)) return false;
    if (2 * (members_.size() + 1) > slots_.size()) {  // at most half full
        slots_.assign(std::max<std::size_t>(1024, 2 * slots_.size()), 0);
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t k = 0; k < members_.size(); ++k) {
            std::size_t i = members_[k].hash & mask;
            while (slots_[i] != 0) i = (i + 1) & mask;
            slots_[i] = k + 1;
        }
    }
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = m.hash & mask;
    while (slots_[i] != 0) i = (i + 1) & mask;
    members_.push_back(m);
    slots_[i] = members_.size();
    return true;
}

void Checker::name_rules(std::string_view name, bool dir) {
    if (name.empty()) return refuse(name, "empty name");
    if (name.front() == '/') refuse(name, "absolute name");
    for (const unsigned char c : name)
        if (c < 0x20 || c == 0x7f) {
            refuse(name, "control character in the name");
            break;
        }
    if (name.find('\\') != std::string_view::npos) refuse(name, "backslash in the name");
    bool dots = false, dash = false;
    std::string_view p;
    for (Parts parts(name); parts.next(p);) {
        dots = dots || p == "..";
        dash = dash || (!p.empty() && p.front() == '-');
    }
    if (dots) refuse(name, "\"..\" component in the name");
    if (dash) refuse(name, "name component starting with '-'");
    if (dir && name.back() != '/') refuse(name, "directory without its trailing '/'");
    if (!dir && name.back() == '/') refuse(name, "trailing '/' on a member that is no directory");
}

void Checker::mode_rules(std::string_view name, const installer::Entry &e) {
    const mode_t mode = e.mode;
    if (mode & S_ISUID) refuse(name, "setuid bit", options_.allow_setid);
    if (mode & S_ISGID) refuse(name, "setgid bit", options_.allow_setid);
    if (mode & S_ISVTX) refuse(name, "sticky bit");
    if (mode & S_IWOTH) refuse(name, "writable by others");
    const auto root = [](std::string_view n) { return n.empty() || n == "root"; };
    if (e.uid != 0 || e.gid != 0 || !root(e.uname) || !root(e.gname))
        refuse(name, "owner or group other than root");
}

bool Checker::member(const installer::Entry &e) {
    const std::string_view name = e.path;
    last_.assign(name);
    any_ = true;
    const mode_t type = e.type;
    const bool dir = type == S_IFDIR && !e.hard;
    name_rules(name, dir);

    Member m;
    m.stored = append(name);
    m.name = append_normal(name);
    m.hash = hash(view(m.name));
    if (view(m.name) == "plugin.sro")
        refuse(name, "takes the place of the plugin's record file plugin.sro");
    if (e.hard) {
        refuse(name, "hard link");
    } else if (type == S_IFLNK) {
        m.link = true;
        m.target = append(e.target);
        if (e.target.empty())
            refuse(name, "symbolic link without a target");
        else if (e.target.front() == '/')
            refuse(name, "symbolic link to an absolute path");
    } else if (type == S_IFCHR || type == S_IFBLK) {
        refuse(name, "device node");
    } else if (type == S_IFIFO) {
        refuse(name, "fifo");
    } else if (type != S_IFREG && type != S_IFDIR) {
        refuse(name, "special file (neither file, directory nor symbolic link)");
    }
    if (type != S_IFLNK) mode_rules(name, e);
    if (!add(m)) {
        refuse(name, "replaces an earlier member");
        text_.resize(m.stored.at);  // its texts are not kept
    }

    if (type != S_IFREG || e.hard || !e.size_set) return true;
    const uint64_t size = static_cast<uint64_t>(std::max<int64_t>(e.size, 0));
    if (size <= limit_ - total_) {  // total_ never passes limit_
        total_ += size;
        return true;
    }
    refuse(name, "unpacked size passes the limit of " + std::to_string(limit_) + " bytes");
    return false;
}

// Walks target from the directory at (a normal name, "" for the top), following
// the image's own links; at ends where it leads.
Walk Checker::walk(std::string &at, std::string_view target, int &links) const {
    if (!target.empty() && target.front() == '/') return Walk::kOut;
    std::string_view p;
    for (Parts parts(target); parts.next(p);) {
        if (p.empty() || p == ".") continue;
        if (p == "..") {
            if (at.empty()) return Walk::kOut;
            const std::size_t slash = at.rfind('/');
            at.resize(slash == std::string::npos ? 0 : slash);
            continue;
        }
        const std::size_t before = at.size();
        if (!at.empty()) at += '/';
        at += p;
        const Member *via = find(at);
        if (!via || !via->link) continue;
        if (++links > kMaxLinks) return Walk::kLoop;  // the kernel gives up: reaches nothing
        at.resize(before);
        const Walk w = walk(at, view(via->target), links);
        if (w != Walk::kInside) return w;
    }
    return Walk::kInside;
}

void Checker::whole() {
    std::string at;
    for (const Member &m : members_) {
        const std::string_view name = view(m.name);
        // Its directories from the top down: the name up to each '/'.
        for (std::size_t slash = name.find('/'); slash != std::string_view::npos;
             slash = name.find('/', slash + 1)) {
            const Member *via = find(name.substr(0, slash));
            if (via && via->link) {
                refuse(view(m.stored),
                       "path passes through the symbolic link " + shown(view(via->stored)));
                break;
            }
        }
        const std::string_view target = view(m.target);
        if (!m.link || target.empty() || target.front() == '/') continue;
        const std::size_t slash = name.rfind('/');
        at.assign(name.substr(0, slash == std::string_view::npos ? 0 : slash));
        int links = 0;
        if (walk(at, target, links) == Walk::kOut)
            refuse(view(m.stored), "symbolic link leads out of the plugin");
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
