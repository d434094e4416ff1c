// plugin_syscall: all shell work of the library goes through here.
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <sys/wait.h>

#include "frame/export.h"
#include "frame/log.h"
#include "plugin_intn.h"

namespace {

// Reaps one ended child.  WNOHANG: a child of the caller that has not ended
// never holds the caller up here.
void reap_one_child(int) {
    int saved = errno;
    int status = 0;
    (void)::waitpid(-1, &status, WNOHANG);
    errno = saved;
}

}  // namespace

// verbatim: the three lines begin with the name and a blank, no colon.
extern "C" PI_EXPORT int32_t plugin_syscall(const char *command) {
    plugin_intn::debug("plugin_syscall %s\n", command ? command : "(null)");
    if (!command) return -1;

    sighandler_t old = ::signal(SIGCHLD, reap_one_child);
    if (old == SIG_ERR) {
        plugin_intn::log("plugin_syscall SIG_ERR %s, errno:%d\n", command, errno);
        return -1;
    }
    int status = ::system(command);
    (void)::signal(SIGCHLD, old);
    plugin_intn::debug("plugin_syscall rc system %d\n", status);
    return status;
}
