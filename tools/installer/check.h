// check.h - the image check: what the installer refuses before anything of an
// image is written, and the rules for the names it hands to the library.
//
// The library trusts an image completely (tar runs with -P and -p, see the
// Security section of README.md).  check_image reads the whole gzip tar after
// the image's header block (its size from img_open) with the installer's one
// archive reader (archive.h, over libarchive), so that a
// truncated or corrupt stream fails here, before extraction, and refuses, naming
// each offending member with its reason:
//   - an absolute name, or a name with a ".." component;
//   - a name with a control character or a backslash (tar's listing escapes
//     them, so the manifest would not name the file), or with a component
//     starting with '-';
//   - a directory member without its trailing '/', or a '/' ending another
//     member;
//   - a member that replaces an earlier one (the same name once "." and empty
//     components are dropped), and a "plugin.sro" at the top (the record file);
//   - a member whose path passes through a symbolic link of the image (tar
//     would write through it);
//   - a symbolic link whose target is absolute or leads out of the plugin: the
//     target is walked from the link's directory, through the image's own
//     links, as the kernel would walk it;
//   - a hard link; a device node, fifo or any other special file;
//   - setuid, setgid and sticky bits, write permission for others, an owner or
//     group other than root (tar -p keeps them as stored);
//   - the member with which the unpacked size (the sum of the regular files'
//     sizes) passes the limit; reading stops there.
// What honest plugins hold passes: names with blanks and non-ASCII letters,
// long names, deep trees, relative links inside the plugin, empty directories,
// executables.  (Non-ASCII names reach the manifest unescaped only when the
// extraction runs in a UTF-8 locale: run the service in one.)
#ifndef PI_TOOLS_INSTALLER_CHECK_H
#define PI_TOOLS_INSTALLER_CHECK_H

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/installer/archive.h"

namespace installer {

struct CheckOptions {
    // A trusted image: setuid and setgid bits are named as allowed, not refused.
    bool allow_setid = false;
    // The unpacked-size limit in bytes; unset: 64 times the image file's size.
    // Either way never more than the free space of /velm (statvfs), when /velm
    // can be queried.
    std::optional<uint64_t> max_unpacked;
};

// One finding.  entry is the member's name as stored, each control character
// and backslash written as \ooo (octal), so that the line can be printed
// ("(unnamed)" for an empty name); "(archive)" for the stream itself (not gzip;
// truncated or corrupt, after the member last read).  An allowed finding
// (allow_setid) refuses nothing.
struct Problem {
    std::string entry, reason;
    bool allowed = false;
};

enum CheckResult {
    kCheckAccepted = 0,  // no finding refuses the image (allowed ones may be listed)
    kCheckRefused = 1,   // problems holds at least one refusing finding
    kCheckFailed = 2,    // the image could not be checked: error says why
};

// The line pluginctl check prints for a finding: "MEMBER: REASON", with
// " (allowed: --allow-setid)" after an allowed one.
std::string problem_line(const Problem &problem);

// name with each control character and backslash written \ooo (octal).
std::string printable(std::string_view name);

// Checks the image at path; appends its findings, in archive order, to
// problems (a member's name rules first, those over the whole archive after).
// Writes nothing.  Returns a CheckResult.  With members, also hands back
// every member read, in archive order (what the install then checks its
// extraction against, so the extraction answers to the members checked).
int check_image(const std::string &image, const CheckOptions &options,
                std::vector<Problem> &problems, std::string &error,
                std::deque<installer::Declared> *members = nullptr);

// A name in a newer-fs directory (a path relative to it): these reach the
// shell, so only [A-Za-z0-9._+@%=:,/-] and no leading '-'.  Returns the reason
// it is refused, empty when it passes.
std::string check_newer_fs_name(const std::string &name);

// A record's software id: [A-Za-z0-9._+:~-]+, and its link path
// "/velm/plugin_srg/plugin-<swid>.sro" within 255 bytes.  Returns the reason it
// is refused, empty when it passes.
std::string check_swid(const std::string &swid);

}  // namespace installer

#endif
