// The one reader of a plugin image's archive: the gzip tar after the image's
// header block, read with libarchive.  The image check walks it before
// anything is written; the installer checks an extraction against it.
#ifndef PI_INSTALLER_ARCHIVE_H
#define PI_INSTALLER_ARCHIVE_H

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>

namespace installer {

// One member of the archive, as the archive states it.
struct Entry {
    std::string path;          // the member name as stored ("./usr/bin/foo", "./usr/")
    mode_t type = 0;           // S_IFREG, S_IFDIR, S_IFLNK, ... (S_IFMT bits)
    int64_t size = 0;          // declared size in bytes (regular files)
    bool size_set = false;     // whether the archive declares a size at all
    mode_t mode = 0;           // permission bits, setuid, setgid and sticky included
    std::string target;        // a symbolic link's contents
    bool hard = false;         // a hard link (to hardlink)
    std::string hardlink;      // the member a hard link names, else ""
    int64_t uid = 0, gid = 0;  // the owner and group as numbers
    std::string uname, gname;  // and as names ("" when not stored)
};

// What an extraction is checked against, of one member, as the archive states it.
struct Declared {
    std::string path;   // as stored
    mode_t type = 0;    // S_IFMT bits
    mode_t mode = 0;    // permission bits, setuid, setgid and sticky included
    int64_t size = 0;   // declared size in bytes (regular files)
    bool hard = false;  // a hard link
};

// Called for each member in archive order; false stops the walk.  The Entry
// lives for the call only: the walk fills the same one again for the next member.
using EntryFn = std::function<bool(const Entry &)>;

struct WalkOptions {
    // Only a gzip-compressed stream is read (checked at its first member).
    bool gzip_only = false;
    // Called with the image file's size once it is open, before any member.
    std::function<void(uint64_t)> opened;
};

// How a walk ended.
enum class WalkEnd {
    kAll,       // every member was handed to fn
    kStopped,   // fn returned false
    kNotGzip,   // gzip_only, and the stream is not gzip-compressed
    kBroken,    // the stream is truncated or corrupt: *error holds libarchive's words ("" if none)
    kUnopened,  // the image cannot be opened or read: *error is the line saying why
};

// Opens the image (img_open for the header block's size), reads every member
// after the header block and hands each to fn; a member's data is read (not
// just skipped over), so a truncated or corrupt stream ends the walk with
// kBroken after the member last handed over.
WalkEnd walk_archive(const std::string &image, const EntryFn &fn, const WalkOptions &options,
                     std::string *error);

// A member name as a path relative to the plugin directory: one leading "./"
// and a trailing '/' dropped ("" for the root itself).
std::string relative_name(const std::string &member);

}  // namespace installer

#endif
