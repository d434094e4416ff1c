// How the tools (pluginctl, mkplugin, srgtool, sandbox-run) and their libraries (the sandbox,
// the installer) report a failure: one style for all of them.
//
// A step returns bool (an enum where it can end more than two ways, as walk_archive and
// check_image do) and, when it fails, puts the words that say why in *error; its caller returns
// at once, putting its own words in front where they help.  Only main, or pluginctl's
// dispatcher, prints the words and picks the exit status, so each tool's messages and statuses
// are decided in one place.  Chosen over pluginctl's exceptions and over a result type because
// it is the library's own discipline (a status returned, early returns, no exception across its
// C interface), because every step called here is a C interface (the library, libarchive, the
// kernel) that carries no exception through, because a failing step shows in its signature,
// and because it is already the form in which the sandbox and the image check answer the
// tests.
#ifndef PI_TOOLS_FAILURE_H
#define PI_TOOLS_FAILURE_H

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

namespace tools {

// Sets *error (when error is not null) to words; false, for `return fail(error, "...")`.
inline bool fail(std::string *error, std::string words) {
    if (error) *error = std::move(words);
    return false;
}

// The same with ": " and the text of errno (as the failed call left it) after words.
inline bool fail_errno(std::string *error, const std::string &words) {
    return fail(error, words + ": " + std::strerror(errno));
}

}  // namespace tools

#endif
