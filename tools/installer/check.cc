// The image check (check.h): one pass over the archive for the rules of each
// member, then the rules over the whole archive (links, paths through links).
#include "tools/installer/check.h"

#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
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

// Texts written once and kept where they are: blocks of 64 KiB, a longer text
// in a block of its own (nothing is copied as they grow).
class Texts {
public:
    // Room for n bytes, which stay where they are.
    char *room(std::size_t n) {
        if (left_ < n) {
            left_ = std::max(kBlock, n);
            blocks_.push_back(std::make_unique_for_overwrite<char[]>(left_));
            next_ = blocks_.back().get();
        }
        return next_;
    }
    // Keeps the first n bytes of the last room.
    void keep(std::size_t n) {
        next_ += n;
        left_ -= n;
    }

private:
    static constexpr std::size_t kBlock = 64 * 1024;
    std::vector<std::unique_ptr<char[]>> blocks_;
    char *next_ = nullptr;
    std::size_t left_ = 0;
};

// What the rules over the whole archive need of a member.
struct Member {
    // The normal name ("." and empty components dropped), then the name as stored
    // when it is kept (kKept), then a link's target; and their sizes.
    const char *text = nullptr;
    std::size_t name = 0, stored = 0, target = 0;
    uint32_t hash = 0;  // of the normal name
    uint8_t form = 0;   // the name as stored: kKept, or the normal one with kDot and kSlash
    bool link = false;  // a symbolic link
};
constexpr int kDot = 1, kSlash = 2, kKept = 4;  // "./" before, "/" after; kept as it is

std::string_view name_of(const Member &m) { return {m.text, m.name}; }
std::string_view target_of(const Member &m) { return {m.text + m.name + m.stored, m.target}; }
std::string stored_of(const Member &m) {
    if (m.form == kKept) return std::string(m.text + m.name, m.stored);
    return (m.form & kDot ? "./" : "") + std::string(name_of(m)) + (m.form & kSlash ? "/" : "");
}

// How name as stored is made of its normal name.
uint8_t form_of(std::string_view name, std::string_view normal) {
    for (const int form : {0, kDot, kSlash, kDot | kSlash}) {
        const std::size_t lead = form & kDot ? 2 : 0, tail = form & kSlash ? 1 : 0;
        if (name.size() == lead + normal.size() + tail && (!lead || name.starts_with("./")) &&
            (!tail || name.back() == '/') && name.substr(lead, normal.size()) == normal)
            return static_cast<uint8_t>(form);
    }
    return kKept;
}

// Writes the normal name of name at out; returns its size (at most name's).
std::size_t write_normal(std::string_view name, char *out) {
    std::size_t size = 0;
    std::string_view p;
    for (Parts parts(name); parts.next(p);) {
        if (p.empty() || p == ".") continue;
        if (size != 0) out[size++] = '/';
        p.copy(out + size, p.size());
        size += p.size();
    }
    return size;
}

// SipHash-1-3 of s under key: names hash as no image can foresee, so that none
// can make the table's probes long (its names are the image maker's choice).
// Loads are in the host's byte order: the hashes live in this process only.
uint64_t keyed_hash(const uint64_t key[2], std::string_view s) {
    uint64_t v0 = 0x736f6d6570736575ULL ^ key[0], v1 = 0x646f72616e646f6dULL ^ key[1];
    uint64_t v2 = 0x6c7967656e657261ULL ^ key[0], v3 = 0x7465646279746573ULL ^ key[1];
    const auto rotl = [](uint64_t x, int b) { return (x << b) | (x >> (64 - b)); };
    const auto round = [&](uint64_t m) {
        v3 ^= m;
        v0 += v1, v1 = rotl(v1, 13), v1 ^= v0, v0 = rotl(v0, 32);
        v2 += v3, v3 = rotl(v3, 16), v3 ^= v2;
        v0 += v3, v3 = rotl(v3, 21), v3 ^= v0;
        v2 += v1, v1 = rotl(v1, 17), v1 ^= v2, v2 = rotl(v2, 32);
        v0 ^= m;
    };
    std::size_t at = 0;
    for (; s.size() - at >= 8; at += 8) {
        uint64_t m;
        std::memcpy(&m, s.data() + at, 8);
        round(m);
    }
    uint64_t last = static_cast<uint64_t>(s.size()) << 56;
    for (std::size_t i = 0; at + i < s.size(); ++i)
        last |= static_cast<uint64_t>(static_cast<unsigned char>(s[at + i])) << (8 * i);
    round(last);
    v2 ^= 0xff;
    for (int i = 0; i < 3; ++i) round(0);
    return v0 ^ v1 ^ v2 ^ v3;
}

enum class Walk { kInside, kOut, kLoop };

class Checker {
public:
    Checker(const CheckOptions &options, uint64_t limit, std::vector<Problem> &problems)
        : options_(options), limit_(limit), problems_(problems) {
        // Without the kernel's randomness (not yet there early in boot) the key stays
        // 0: the same findings; only names chosen to collide would slow the check.
        if (::getrandom(key_, sizeof key_, GRND_NONBLOCK) != sizeof key_) key_[0] = key_[1] = 0;
    }

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
    // The first link on the path to the directory dir (a normal name), or null.
    const Member *link_on(std::string_view dir) const;
    // The member of that normal name; null when there is none.
    const Member *find(std::string_view name, uint32_t hash) const;
    const Member *find(std::string_view name) const { return find(name, hash(name)); }
    uint32_t hash(std::string_view name) const {
        return static_cast<uint32_t>(keyed_hash(key_, name));
    }
    // Adds m, unless a member of its normal name is there already (false).
    bool add(const Member &m);

    const CheckOptions &options_;
    const uint64_t limit_;
    std::vector<Problem> &problems_;
    uint64_t total_ = 0;
    bool any_ = false;             // a member was read
    std::string last_;             // the name of the member last read, as stored
    Texts texts_;                  // the texts of members_
    std::deque<Member> members_;   // in archive order, one of each normal name
    std::vector<uint32_t> slots_;  // members_ by normal name: index + 1, 0 for none
    uint64_t key_[2] = {0, 0};     // of the names' hashes
};

const Member *Checker::find(std::string_view name, uint32_t hash) const {
    if (slots_.empty()) return nullptr;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask; slots_[i] != 0; i = (i + 1) & mask) {
        const Member &m = members_[slots_[i] - 1];
        if (m.hash == hash && name_of(m) == name) return &m;
    }
    return nullptr;
}

bool Checker::add(const Member &m) {
    if (find(name_of(m), m.hash)) return false;
    if (2 * (members_.size() + 1) > slots_.size()) {  // at most half full
        slots_.assign(std::max<std::size_t>(1024, 2 * slots_.size()), 0);
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t k = 0; k < members_.size(); ++k) {
            std::size_t i = members_[k].hash & mask;
            while (slots_[i] != 0) i = (i + 1) & mask;
            slots_[i] = static_cast<uint32_t>(k + 1);
        }
    }
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = m.hash & mask;
    while (slots_[i] != 0) i = (i + 1) & mask;
    members_.push_back(m);
    slots_[i] = static_cast<uint32_t>(members_.size());
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
    m.link = type == S_IFLNK && !e.hard;
    const std::string_view target = m.link ? std::string_view(e.target) : std::string_view();
    char *text = texts_.room(2 * name.size() + target.size());
    m.text = text;
    m.name = write_normal(name, text);
    m.hash = hash(name_of(m));
    m.form = form_of(name, name_of(m));
    if (m.form == kKept) {
        name.copy(text + m.name, name.size());
        m.stored = name.size();
    }
    target.copy(text + m.name + m.stored, target.size());
    m.target = target.size();
    if (name_of(m) == "plugin.sro")
        refuse(name, "takes the place of the plugin's record file plugin.sro");
    if (e.hard) {
        refuse(name, "hard link");
    } else if (type == S_IFLNK) {
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
    if (add(m))
        texts_.keep(m.name + m.stored + m.target);
    else
        refuse(name, "replaces an earlier member");

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
        const Walk w = walk(at, target_of(*via), links);
        if (w != Walk::kInside) return w;
    }
    return Walk::kInside;
}

const Member *Checker::link_on(std::string_view dir) const {
    if (dir.empty()) return nullptr;  // the top
    for (std::size_t slash = dir.find('/');; slash = dir.find('/', slash + 1)) {
        const Member *via = find(dir.substr(0, slash));
        if (via && via->link) return via;
        if (slash == std::string_view::npos) return nullptr;
    }
}

void Checker::whole() {
    std::string at;
    std::string_view dir_seen;    // the directory of the member before (members of one
    const Member *via = nullptr;  // directory come together) and the link on its path
    for (const Member &m : members_) {
        const std::string_view name = name_of(m);
        const std::size_t slash = name.rfind('/');
        const std::string_view dir = name.substr(0, slash == std::string_view::npos ? 0 : slash);
        if (dir != dir_seen) {
            dir_seen = dir;
            via = link_on(dir);
        }
        if (via)
            refuse(stored_of(m), "path passes through the symbolic link " + shown(stored_of(*via)));
        const std::string_view target = target_of(m);
        if (!m.link || target.empty() || target.front() == '/') continue;
        at.assign(dir);
        int links = 0;
        if (walk(at, target, links) == Walk::kOut)
            refuse(stored_of(m), "symbolic link leads out of the plugin");
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
                std::deque<installer::Declared> *members) {
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
            if (members) members->push_back({e.path, e.type, e.mode, e.size, e.hard});
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
