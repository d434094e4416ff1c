// The library frame: debug switch, command runner, directory operations,
// patching stubs and exported data.
#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "tests/support/fixture.h"

namespace {

using pit::captured;

class FrameTest : public pit::SandboxTest {};

void marker_handler(int) {}

TEST_F(FrameTest, DataObjectsAreZeroAtLoadAndDebugSwitchFollowsOnOff) {
    EXPECT_EQ(plugin_thread_q, nullptr);
    EXPECT_EQ(plugin_sdwrap_syslog_key, 0u);
    EXPECT_EQ(plugin_sdwrap_syslog_key_datum, nullptr);
    EXPECT_EQ(plugin_sdwrap_debug_key, 0u);
    EXPECT_EQ(plugin_sdwrap_debug_key_datum, nullptr);
    plugin_intn_debug_on();
    EXPECT_EQ(libplugin_intn_debug, 1);
    plugin_intn_debug_off();
    EXPECT_EQ(libplugin_intn_debug, 0);
}

TEST_F(FrameTest, SyscallWritesNothingWithDebugOffAndTwoLinesWithDebugOn) {
    std::string out, err;
    EXPECT_EQ(captured([] { return plugin_syscall("true"); }, &out, &err), 0);
    EXPECT_EQ(err, "");
    EXPECT_EQ(out, "");

    // Any non-zero value of the exported variable counts, read at each line.
    libplugin_intn_debug = 7;
    EXPECT_EQ(captured([] { return plugin_syscall("echo hi >&2"); }, &out, &err), 0);
    EXPECT_EQ(err, "plugin_syscall echo hi >&2\nhi\nplugin_syscall rc system 0\n");
}

TEST_F(FrameTest, SyscallReturnsTheWaitStatusNotTheExitCode) {
    EXPECT_EQ(plugin_syscall("exit 1"), 256);
    EXPECT_EQ(plugin_syscall("exit 3"), 3 << 8);
    EXPECT_EQ(plugin_syscall("kill -9 $$"), 9);
}

TEST_F(FrameTest, SyscallPutsTheCallersSigchldDispositionBack) {
    struct sigaction mine {};
    mine.sa_handler = marker_handler;
    ASSERT_EQ(sigaction(SIGCHLD, &mine, nullptr), 0);
    EXPECT_EQ(plugin_syscall("true"), 0);
    struct sigaction now {};
    ASSERT_EQ(sigaction(SIGCHLD, nullptr, &now), 0);
    EXPECT_EQ(now.sa_handler, marker_handler);

    ASSERT_EQ(signal(SIGCHLD, SIG_IGN), marker_handler);
    EXPECT_EQ(plugin_syscall("exit 2"), 512);
    EXPECT_EQ(signal(SIGCHLD, SIG_DFL), SIG_IGN);
}

TEST_F(FrameTest, NullCommandRunsNothingAndLeavesSigchldAlone) {
    ASSERT_NE(signal(SIGCHLD, marker_handler), SIG_ERR);
    std::string out, err;
    plugin_intn_debug_on();
    EXPECT_EQ(captured([] { return plugin_syscall(nullptr); }, &out, &err), -1);
    EXPECT_EQ(err, "plugin_syscall (null)\n");
    EXPECT_EQ(signal(SIGCHLD, SIG_DFL), marker_handler);
}

TEST_F(FrameTest, MkdirGivesExactlyTheModeAndRestoresTheUmask) {
    mode_t old = umask(022);
    EXPECT_EQ(plugin_mkdir("/velm/d", 0777), PLUGIN_OK);
    struct stat st {};
    ASSERT_EQ(stat("/velm/d", &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0777u);
    EXPECT_EQ(umask(022), 022u);

    // An existing path fails, and the umask is back too.
    EXPECT_EQ(plugin_mkdir("/velm/d", 0700), PLUGIN_ERR_FAILED);
    EXPECT_EQ(umask(022), 022u);
    EXPECT_EQ(plugin_mkdir("/velm/missing/d", 0700), PLUGIN_ERR_FAILED);
    EXPECT_EQ(plugin_mkdir(nullptr, 0700), PLUGIN_ERR_INVALID_ARG);
    EXPECT_EQ(umask(old), 022u);
}

TEST_F(FrameTest, RmdirRemovesTreesAndCountsAFailedRmAsDone) {
    ASSERT_EQ(system("mkdir -p /velm/t/a/b && touch /velm/t/a/b/f /velm/u"), 0);
    EXPECT_EQ(plugin_rmdir("/velm/t"), PLUGIN_OK);
    EXPECT_NE(access("/velm/t", F_OK), 0);
    EXPECT_EQ(plugin_rmdir("/velm/t"), PLUGIN_OK);  // nothing there: still 0

    // The path goes to the shell verbatim: it splits and expands it.
    ASSERT_EQ(system("touch /velm/x1 /velm/x2"), 0);
    EXPECT_EQ(plugin_rmdir("/velm/x1 /velm/u"), PLUGIN_OK);
    EXPECT_NE(access("/velm/x1", F_OK), 0);
    EXPECT_NE(access("/velm/u", F_OK), 0);
    EXPECT_EQ(access("/velm/x2", F_OK), 0);

    // rm fails (read-only tree), the command ran: 0.
    ASSERT_EQ(system("mkdir -p /opt/ro && touch /opt/ro/f"), 0);
    ASSERT_TRUE(pit::bind_readonly("/opt/ro"));
    EXPECT_EQ(plugin_rmdir("/opt/ro/f"), PLUGIN_OK);
    EXPECT_EQ(access("/opt/ro/f", F_OK), 0);
    pit::unbind("/opt/ro");
}

TEST_F(FrameTest, RmdirOfTheEmptyPathRunsBareRm) {
    std::string out, err;
    plugin_intn_debug_on();
    EXPECT_EQ(captured([] { return plugin_rmdir(""); }, &out, &err), PLUGIN_OK);
    EXPECT_EQ(err, "plugin_syscall rm -fr \nplugin_syscall rc system 0\n");
    EXPECT_EQ(plugin_rmdir(nullptr), PLUGIN_ERR_INVALID_ARG);
}

TEST_F(FrameTest, RmdirReportsAFailedAllocationAndRunsNothing) {
    ASSERT_EQ(system("touch /velm/keep"), 0);
    pit::faults::fail_nth(1);
    EXPECT_EQ(plugin_rmdir("/velm/keep"), PLUGIN_ERR_NOMEM);
    EXPECT_TRUE(pit::faults::fired());
    pit::faults::disarm();
    EXPECT_EQ(access("/velm/keep", F_OK), 0);
}

TEST_F(FrameTest, EveryPatchingNameWritesTheStubLineAndReturnsZero) {
    int (*const names[])(void) = {__plugin_no_patching_support, plugin_patch_setup_repos,
                                  plugin_load_committed_patch, plugin_sync_patches_on_standby,
                                  plugin_patching_supported};
    for (auto *fn : names) {
        std::string out, err;
        EXPECT_EQ(captured(fn, &out, &err), 0);
        EXPECT_EQ(out, "No Patching support on this platform\n");
        EXPECT_EQ(err, "");
    }
}

}  // namespace
