// The one reader of a plugin image's archive: the gzip tar after the image's
// header block, read with libarchive.  The installer checks an extraction
// against it; the image check walks it as well.
#ifndef PI_INSTALLER_ARCHIVE_H
#define PI_INSTALLER_ARCHIVE_H

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>

namespace inst {

// One member of the archive, as the archive states it.
struct Entry {
    std::string path;      // the member name as stored ("./usr/bin/foo", "./usr/")
    mode_t type = 0;       // S_IFREG, S_IFDIR, S_IFLNK, ... (S_IFMT bits)
    int64_t size = 0;      // declared size in bytes (regular files)
    mode_t mode = 0;       // permission bits, setuid, setgid and sticky included
    std::string target;    // a symbolic link's contents
    std::string hardlink;  // the member a hard link names, else ""
};

// Called for each member in archive order; false stops the walk (which then
// returns true: the caller chose to stop).
using EntryFn = std::function<bool(const Entry &)>;

// Opens the image (img_open for the header block's size), reads every member
// after the header block and hands each to fn.  False with *error set when
// the image cannot be opened or the archive stream is truncated or corrupt.
bool walk_archive(const std::string &image, const EntryFn &fn, std::string *error);

// A member name as a path relative to the plugin directory: one leading "./"
// and a trailing '/' dropped ("" for the root itself).
std::string relative_name(const std::string &member);

}  // namespace inst

#endif
