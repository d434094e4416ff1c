// The installer's write-ahead journal and its lock (format in journal.cc).
#ifndef PI_INSTALLER_JOURNAL_H
#define PI_INSTALLER_JOURNAL_H

#include <string>
#include <vector>

#include "frame/own.h"

namespace installer {

// The lock file beside a software-id map: MAP.lock.
std::string lock_path_of(const std::string &map);

// An exclusive flock on a lock file, held until the object goes.  Every
// read-append-write of the map and every installer transaction holds it.
class Lock {
public:
    // Creates the lock file when absent and blocks until the lock is ours.
    bool take(const std::string &path, std::string *error);

private:
    plugin_intn::Fd fd_;
};

// The journal of one transaction at a time.
class Journal {
public:
    explicit Journal(std::string path) : path_(std::move(path)) {}
    // Starts a transaction: the journal holds only this line afterwards.
    bool begin(const std::string &line);
    // Appends one line; it is on the device when note returns true.
    bool note(const std::string &line);
    // The lines of the journal as it is ("" lines dropped); empty when absent.
    std::vector<std::string> lines() const;
    const std::string &path() const { return path_; }

private:
    bool write(const std::string &text, bool truncate);
    std::string path_;
};

// Flushes a file's data to the device (fsync of a fresh descriptor), and the
// directory entry of a file that was just made, renamed or removed.
bool sync_file(const std::string &path);
bool sync_dir_of(const std::string &path);

}  // namespace installer

#endif
