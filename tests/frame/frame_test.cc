// The library frame: debug switch and logging, the command runner, the directory operations, the
// patching stubs and the exported data.
#include <signal.h>

#include "tests/support/fixture.h"

namespace {

void marker(int) {}

class FrameTest : public test_support::SandboxTest {
protected:
    std::string out_, err_;
};

TEST_F(FrameTest, DataIsZeroAtLoad) {
    for (const void *data :
         {plugin_thread_q, plugin_sdwrap_syslog_key_datum, plugin_sdwrap_debug_key_datum})
        EXPECT_EQ(data, nullptr);
    EXPECT_EQ(plugin_sdwrap_syslog_key, 0u);
    EXPECT_EQ(plugin_sdwrap_debug_key, 0u);
}

TEST_F(FrameTest, SyscallReturnsTheWaitStatusWritesDebugLinesOnlyAndPutsSigchldBack) {
    ASSERT_NE(signal(SIGCHLD, marker), SIG_ERR);
    const struct {
        const char *command;
        int debug;
        int32_t status;
        std::string err;
    } rows[] = {
        {"true", 0, 0, ""},
        {"echo hi >&2; exit 3", 7, 768,
         "plugin_syscall echo hi >&2; exit 3\nhi\nplugin_syscall rc system 768\n"},
        {"kill -9 $$", 0, 9, ""},
        {nullptr, 1, -1, "plugin_syscall (null)\n"},
    };
    for (const auto &row : rows) {
        libplugin_intn_debug = row.debug;
        auto call = [&] { return plugin_syscall(row.command); };
        EXPECT_EQ(test_support::captured(call, &out_, &err_), row.status);
        EXPECT_EQ(err_, row.err);
        EXPECT_EQ(out_, "");
        EXPECT_EQ(signal(SIGCHLD, marker), marker);
    }
}

// A refused handler: the line is written always, nothing runs.
TEST_F(FrameTest, SyscallRunsNothingWhenTheHandlerIsRefused) {
    test_support::doubles::signal = [](int, void (*)(int)) {
        errno = EINVAL;
        return SIG_ERR;
    };
    EXPECT_EQ(
        test_support::captured([] { return plugin_syscall("touch /velm/ran"); }, &out_, &err_), -1);
    EXPECT_EQ(err_, "plugin_syscall SIG_ERR touch /velm/ran, errno:22\n");
    EXPECT_EQ(test_support::captured([] { return plugin_rmdir("/velm"); }, &out_, &err_),
              PLUGIN_ERR_FAILED);
    EXPECT_FALSE(test_support::exists("/velm/ran"));
}

TEST_F(FrameTest, TheHandlerReapsAChildThatEndedDuringTheCommand) {
    pid_t child = fork();
    if (child == 0) {
        pause();
        _exit(0);
    }
    const std::string pid = std::to_string(child);
    // Under qemu-user the SIGCHLD reaches the guest late.
    const std::string wait_zombie =
        "kill -9 " + pid + "; until grep -q ') Z' /proc/" + pid + "/stat; do :; done; sleep 0.2";
    EXPECT_EQ(plugin_syscall(wait_zombie.c_str()), 0);
    EXPECT_EQ(waitpid(child, nullptr, WNOHANG), -1);  // already reaped
}

TEST_F(FrameTest, MkdirGivesExactlyTheModeAndRestoresTheUmask) {
    const mode_t old = umask(022);
    struct stat st {};
    EXPECT_EQ(plugin_mkdir("/velm/d", 0777), PLUGIN_OK);
    ASSERT_EQ(stat("/velm/d", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0777u);
    EXPECT_EQ(plugin_mkdir("/velm/d", 0700), PLUGIN_ERR_FAILED);
    EXPECT_EQ(plugin_mkdir(nullptr, 0), PLUGIN_ERR_FAILED);
    EXPECT_EQ(umask(old), 022u);
}

// rmdir hands its path to "rm -fr": several paths, a missing one, a read-only file system.
TEST_F(FrameTest, RmdirHandsThePathToTheShell) {
    ASSERT_TRUE(
        test_support::sh("mkdir -p /velm/t/a /opt/ro && touch /velm/t/a/f /velm/x1 /velm/x2"));
    ASSERT_TRUE(test_support::sh("touch /velm/u /opt/ro/f"));
    ASSERT_TRUE(sandbox::bind_readonly("/opt/ro"));
    for (const char *path : {"/velm/t", "/velm/t", "/velm/x1 /velm/u", "/opt/ro/f"})
        EXPECT_EQ(plugin_rmdir(path), PLUGIN_OK) << path;
    EXPECT_TRUE(test_support::sh("ls /velm /opt/ro | tr '\\n' ' ' > /tmp/ls"));
    EXPECT_EQ(test_support::read_file("/tmp/ls"), "/opt/ro: f  /velm: x2 ");
    plugin_intn_debug_on();
    EXPECT_EQ(test_support::captured([] { return plugin_rmdir(""); }, &out_, &err_), PLUGIN_OK);
    EXPECT_EQ(err_, "plugin_syscall rm -fr \nplugin_syscall rc system 0\n");
    sandbox::unbind("/opt/ro");
}

// The other patching names are this stub's address (exports.match_list).
TEST_F(FrameTest, ThePatchingStubWritesItsLineAndReturnsZero) {
    EXPECT_EQ(test_support::captured(plugin_patching_supported, &out_, &err_), 0);
    EXPECT_EQ(out_, "No Patching support on this platform\n");
}

}  // namespace
