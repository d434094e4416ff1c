// The library frame: debug switch and logging, the command runner, the directory operations, the
// patching stubs and the exported data.
#include <signal.h>

#include "tests/support/fixture.h"

namespace {

class FrameTest : public pit::SandboxTest {};
void marker(int) {}
std::string out, err;
TEST_F(FrameTest, DataIsZeroAtLoadAndTheDebugSwitchFollowsOnOff) {
    EXPECT_TRUE(!plugin_thread_q && !plugin_sdwrap_syslog_key && !plugin_sdwrap_syslog_key_datum &&
                !plugin_sdwrap_debug_key && !plugin_sdwrap_debug_key_datum);
    plugin_intn_debug_on();
    int32_t on = libplugin_intn_debug;
    plugin_intn_debug_off();
    EXPECT_EQ(on * 10 + libplugin_intn_debug, 10);
}

TEST_F(FrameTest, SyscallReturnsTheWaitStatusWritesDebugLinesOnlyAndPutsSigchldBack) {
    ASSERT_NE(signal(SIGCHLD, marker), SIG_ERR);
    struct {
        const char *command;
        int debug;
        int32_t status;
        std::string err;
    } rows[] = {{"true", 0, 0, ""},
                {"echo hi >&2; exit 3", 7, 3 << 8,
                 "plugin_syscall echo hi >&2; exit 3\nhi\nplugin_syscall rc system 768\n"},
                {"kill -9 $$", 0, 9, ""},
                {nullptr, 1, -1, "plugin_syscall (null)\n"}};
    for (const auto &row : rows) {
        libplugin_intn_debug = row.debug;
        EXPECT_EQ(pit::captured([&] { return plugin_syscall(row.command); }, &out, &err),
                  row.status);
        EXPECT_TRUE(out + err == row.err && signal(SIGCHLD, marker) == marker) << err;
    }
    libplugin_intn_debug = 0;  // a refused handler: the line is written always, nothing runs
    pit::dbl::signal = [](int, void (*)(int)) { return errno = EINVAL, SIG_ERR; };
    EXPECT_EQ(pit::captured([] { return plugin_syscall("touch /velm/ran"); }, &out, &err), -1);
    EXPECT_EQ(err, "plugin_syscall SIG_ERR touch /velm/ran, errno:22\n");
    EXPECT_EQ(pit::captured([] { return plugin_rmdir("/velm"); }, &out, &err), PLUGIN_ERR_FAILED);
    EXPECT_FALSE(pit::exists("/velm/ran"));
}

TEST_F(FrameTest, TheHandlerReapsAChildThatEndedDuringTheCommand) {
    pid_t child = fork();
    if (child == 0) pause(), _exit(0);
    std::string wait_zombie =
        "kill -9 " + std::to_string(child) + "; until grep -q ') Z' /proc/" +
        std::to_string(child) +
        "/stat; do :; done; sleep 0.2";  // under qemu-user the SIGCHLD reaches the guest late
    EXPECT_TRUE(plugin_syscall(wait_zombie.c_str()) == 0 &&
                waitpid(child, nullptr, WNOHANG) == -1);  // already reaped
}

TEST_F(FrameTest, MkdirGivesExactlyTheModeAndRestoresTheUmaskRmdirHandsThePathToTheShell) {
    mode_t old = umask(022);
    struct stat st {};
    EXPECT_EQ(plugin_mkdir("/velm/d", 0777), PLUGIN_OK);
    EXPECT_EQ(stat("/velm/d", &st) == 0 ? st.st_mode & 07777 : 0, 0777u);
    EXPECT_EQ(plugin_mkdir("/velm/d", 0700) + plugin_mkdir("/velm/no/d", 0700),
              2 * PLUGIN_ERR_FAILED);
    EXPECT_EQ(umask(old), 022u);
    ASSERT_TRUE(pit::sh(
        "mkdir -p /velm/t/a /opt/ro && touch /velm/t/a/f /velm/x1 /velm/x2 /velm/u /opt/ro/f"));
    ASSERT_TRUE(pit::bind_readonly("/opt/ro"));
    EXPECT_EQ(plugin_rmdir("/velm/t") | plugin_rmdir("/velm/t") | plugin_rmdir("/velm/x1 /velm/u") |
                  plugin_rmdir("/opt/ro/f"),
              0u);
    EXPECT_TRUE(pit::sh("ls /velm /opt/ro | tr '\\n' ' ' > /tmp/ls") &&
                pit::read_file("/tmp/ls") == "/opt/ro: f  /velm: d x2 ");
    plugin_intn_debug_on();
    EXPECT_TRUE(pit::captured([] { return plugin_rmdir(""); }, &out, &err) == PLUGIN_OK &&
                err == "plugin_syscall rm -fr \nplugin_syscall rc system 0\n")
        << err;
    pit::unbind("/opt/ro");
}

TEST_F(FrameTest, EveryPatchingNameWritesTheStubLineAndReturnsZero) {
    for (auto *fn :
         {__plugin_no_patching_support, plugin_patch_setup_repos, plugin_load_committed_patch,
          plugin_sync_patches_on_standby, plugin_patching_supported})
        EXPECT_TRUE(pit::captured(fn, &out, &err) == 0 &&
                    out + err == "No Patching support on this platform\n")
            << out + err;
}

}  // namespace
