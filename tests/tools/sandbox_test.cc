// A test places files anywhere and the next finds the host's tree; sandbox-run keeps its --state.
#include <unistd.h>

#include "tests/support/fixture.h"
#include "tests/support/fs.h"

namespace {

class SandboxRootTest : public test_support::SandboxTest {};

TEST_F(SandboxRootTest, AFilePlacedAnywhereIsGoneAfterTheResetAndARemovedOneIsBack) {
    ASSERT_EQ(sandbox::sandbox_kind(), sandbox::SandboxKind::kCopyOnWrite);
    if (::getuid() != 0) GTEST_SKIP() << "the host's directories are root's";
    const std::string victim = "/usr/share/common-licenses/GPL-3";  // Debian's base-files
    const char *const placed[] = {"/usr/share/doc/pi-x/y", "/etc/default/pi-z", "/srv/pi/a",
                                  "/var/lib/pi/b"};
    for (const char *path : placed) {
        ASSERT_TRUE(test_support::sh(std::string("install -D /dev/null ") + path)) << path;
        EXPECT_FALSE(test_support::exists(std::string("/.host") + path)) << path;
    }
    ASSERT_TRUE(test_support::sh("rm " + victim) && !test_support::exists(victim));
    sandbox::sandbox_reset();
    for (const char *path : placed) EXPECT_FALSE(test_support::exists(path)) << path;
    EXPECT_TRUE(test_support::exists(victim)) << victim;
}

// sandbox-run with a state directory in the build tree.
struct RunRow {
    const char *args;  // after "sandbox-run "
    int status;
    const char *out, *err;  // err "*": any
};
const RunRow kRunRows[] = {
    {"--state $S/new --bind /nonexistent -- true", 2, "",
     "sandbox-run: --bind /nonexistent: No such file or directory\n"},
    {"--state $S/s --cmdline pdebug -- sh -c 'find /velm /mnt/pss /var/sysmgr /tmp /opt "
     "-mindepth 1 | wc -l && mkdir -p /srv/pi && echo k >/srv/pi/kept && echo t >/tmp/t && "
     "cat /proc/cmdline'",
     0, "0\npdebug\n", ""},
    {"--state $S/s -- sh -c 'cat /srv/pi/kept /tmp/t /proc/cmdline; ls /.host/srv/pi'", 2,
     "k\nt\nconsole=ttyS0 quiet\n", "*"},
    {"--state $S/s --reset -- cat /srv/pi/kept", 1, "", "*"},
    {"--state $S/s --frob -- true", 2, "", "*"},
};

TEST_F(SandboxRootTest, SandboxRunKeepsItsChangesInTheStateDirectoryAndRefusesAMissingBind) {
    // Known gap: an ordinary user's state directory is read-only in nested user namespaces.
    if (::getuid() != 0) GTEST_SKIP() << "sandbox-run nested in the test sandbox: root only";
    char dir[] = PI_BINARY_DIR "/sandbox-test.XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    ::setenv("S", dir, 1);
    for (const RunRow &r : kRunRows) {
        std::string out, err;
        const int status = test_support::captured(
            [&] { return test_support::shell(PI_SANDBOX_RUN " " + std::string(r.args)); }, &out,
            &err);
        EXPECT_EQ(status, r.status) << r.args << "\n" << err;
        EXPECT_EQ(out, r.out) << r.args;
        EXPECT_EQ(*r.err == '*' ? "*" : err, r.err) << r.args;
    }
    ASSERT_TRUE(test_support::sh(PI_SANDBOX_RUN " --help >/tmp/help"));
    const std::string help = test_support::read_file("/tmp/help");
    for (const char *text : {"--state DIR", "--reset", "--cmdline TEXT", "--bind PATH",
                             "\"console=ttyS0 quiet\"", PI_SOURCE_DIR, PI_BINARY_DIR})
        EXPECT_NE(help.find(text), std::string::npos) << text;
    EXPECT_TRUE(test_support::sh(std::string("rm -rf ") + dir));
}

}  // namespace
