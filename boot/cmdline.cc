// Kernel command line: key lookup in /proc/cmdline (plugin_get_cmdline).
//
// The text is read into one static buffer shared by every call; the value
// handed back points into it and is cut out in place.  Nothing is allocated:
// one open, one read of at most 511 bytes, one close.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "frame/export.h"
#include "frame/log.h"
#include "frame/own.h"

namespace {

constexpr std::size_t kCmdlineSize = 512;
char g_cmdline[kCmdlineSize];

}  // namespace

extern "C" PI_EXPORT char *plugin_get_cmdline(const char *key) {
    PI_OPERATION();
    if (key == nullptr) {
        plugin_intn::log("Null cmdline parameter\n");  // verbatim: no name
        return nullptr;
    }
    PI_LOG("Expected cmdline: %s\n", key);

    plugin_intn::Fd fd(::open("/proc/cmdline", O_RDONLY | O_CLOEXEC));
    if (!fd) {
        PI_LOG("Open cmdline failed: %s\n", std::strerror(errno));
        return nullptr;
    }
    errno = 0;  // an empty file reads 0 bytes and sets no errno
    const ssize_t got = ::read(fd.get(), g_cmdline, kCmdlineSize - 1);
    const int read_errno = errno;
    fd.reset();
    if (got <= 0) {
        // verbatim: the same line twice
        const char *why = std::strerror(read_errno);
        PI_LOG("read cmdline failed (%s) (%d)\n", why, static_cast<int>(kCmdlineSize));
        PI_LOG("read cmdline failed (%s) (%d)\n", why, static_cast<int>(kCmdlineSize));
        return nullptr;
    }
    g_cmdline[got] = '\0';

    PI_LOG("File read ====> %s\n", g_cmdline);
    PI_LOG("Read === > %s", g_cmdline);  // verbatim: ends with the text's own line feed

    char *match = std::strstr(g_cmdline, key);
    if (match == nullptr) {
        PI_LOG("can't find %s\n", key);
        return nullptr;
    }
    // The first "=" from the match onward; none before the end of the text
    // means the key has no value.
    char *eq = std::strchr(match, '=');
    if (eq == nullptr) return nullptr;
    char *value = eq + 1;
    if (*value == ' ') {
        *value = '\0';
        return value;
    }
    // The value ends at the first blank after its first character; a line
    // feed inside the text is part of the value.
    char *end = value + (*value != '\0');
    while (*end != '\0' && *end != ' ') ++end;
    // A value that runs to the end of the text stops before the kernel's
    // final line feed.
    if (*end == '\0' && end > value && end[-1] == '\n') --end;
    *end = '\0';
    return value;
}
