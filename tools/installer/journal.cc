// The installer's write-ahead journal and lock.
//
// Lock: MAP.lock beside the software-id map (/velm/plugin_extract_log/
// swid_map.lock), an empty file made when absent, taken with flock(LOCK_EX)
// for the whole of an installer command (recover, then every transaction of
// the command) and around each read-append-write of `pluginctl swid-map
// append`.  The library's own flock on the map covers one read or one write;
// this one covers what lies between them, so two installers never interleave
// and two appenders never give one id twice.
//
// Journal: /velm/plugin_extract_log/installer.journal, a text file that holds
// the transaction under way, one line per record, each written, flushed and
// fsynced before the step it names begins:
//
//   begin install ID SWID IMAGE    an install of IMAGE as plugin ID starts
//   begin remove ID SWID           a remove of plugin ID starts
//   step NAME [ARG]                the step NAME is about to run
//   commit                         the transaction is done
//
// Install steps, in order: "mkdir", "extract", "record 0|1" (1: the record
// link existed before), "link", "modes".  A journal whose last transaction
// has no "commit" is rolled back by recover: each step named is undone in
// reverse, whether it had run, partly run or not yet begun (every undo
// tolerates all three).  An install commits once its link has succeeded.
// Remove steps: "unlink", "record", "rmdir", "forget"; an uncommitted remove
// is finished: every step is run again from the start (each is idempotent).
// The next "begin" empties the journal.  With PLUGIN_INSTALLER_CRASH_AT=N in
// the environment (tests only) the process kills itself with SIGKILL right
// after its N-th journal record is on the device.
#include "tools/installer/journal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "tools/failure.h"

namespace installer {
namespace {

void crash_point() {
    static int written = 0;
    static const char *at = std::getenv("PLUGIN_INSTALLER_CRASH_AT");
    if (at != nullptr && ++written == std::atoi(at)) ::raise(SIGKILL);
}

}  // namespace

std::string lock_path_of(const std::string &map) { return map + ".lock"; }

bool Lock::take(const std::string &path, std::string *error) {
    fd_.reset(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!fd_) return tools::fail_errno(error, "cannot open lock " + path);
    while (::flock(fd_.get(), LOCK_EX) != 0)
        if (errno != EINTR) return tools::fail_errno(error, "cannot lock " + path);
    return true;
}

bool sync_file(const std::string &path) {
    plugin_intn::Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    return fd && ::fsync(fd.get()) == 0;
}

bool sync_dir_of(const std::string &path) {
    const std::size_t slash = path.rfind('/');
    return sync_file(slash == 0 ? "/" : path.substr(0, slash));
}

bool Journal::write(const std::string &text, bool truncate) {
    plugin_intn::Fd fd(::open(
        path_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (truncate ? O_TRUNC : O_APPEND), 0644));
    if (!fd) return false;
    const ssize_t n = ::write(fd.get(), text.data(), text.size());
    if (n != static_cast<ssize_t>(text.size()) || ::fsync(fd.get()) != 0) return false;
    if (fd.reset() != 0) return false;
    if (truncate && !sync_dir_of(path_)) return false;
    crash_point();
    return true;
}

bool Journal::begin(const std::string &line) { return write(line + "\n", true); }
bool Journal::note(const std::string &line) { return write(line + "\n", false); }

std::vector<std::string> Journal::lines() const {
    std::vector<std::string> out;
    std::ifstream in(path_);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) out.push_back(line);
    return out;
}

}  // namespace installer
