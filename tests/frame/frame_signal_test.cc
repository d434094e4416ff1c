// plugin_syscall when SIGCHLD cannot be handled.  This binary replaces
// signal() for the whole process, so the library's call lands here.
#include <csignal>
#include <cerrno>
#include <string>

#include "tests/support/fixture.h"

namespace {
bool g_refuse = false;
int g_calls = 0;
}  // namespace

extern "C" sighandler_t signal(int sig, sighandler_t handler) {
    ++g_calls;
    if (g_refuse) {
        errno = EINVAL;
        return SIG_ERR;
    }
    struct sigaction act {}, old {};
    act.sa_handler = handler;
    act.sa_flags = SA_RESTART;
    if (sigaction(sig, &act, &old) != 0) return SIG_ERR;
    return old.sa_handler;
}

namespace {

class FrameSignalTest : public pit::SandboxTest {};

TEST_F(FrameSignalTest, RefusedHandlerIsReportedAlwaysAndNoShellRuns) {
    g_refuse = true;
    std::string out, err;
    int32_t rc = pit::captured([] { return plugin_syscall("touch /velm/ran"); }, &out, &err);
    g_refuse = false;
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(err, "plugin_syscall SIG_ERR touch /velm/ran, errno:22\n");
    EXPECT_NE(access("/velm/ran", F_OK), 0);

    // rmdir sees the negative result as a failure to run its command.
    g_refuse = true;
    plugin_rc_t rmrc = pit::captured([] { return plugin_rmdir("/velm"); }, &out, &err);
    g_refuse = false;
    EXPECT_EQ(rmrc, PLUGIN_ERR_FAILED);
}

TEST_F(FrameSignalTest, HandlerIsInstalledAndPutBackAroundTheCommand) {
    g_calls = 0;
    EXPECT_EQ(plugin_syscall("true"), 0);
    EXPECT_EQ(g_calls, 2);
}

}  // namespace
