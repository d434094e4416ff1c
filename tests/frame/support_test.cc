// The test support itself: the sandbox, output capture, the syslog receiver
// and allocation fault injection.  Every other test relies on these.
#include <fcntl.h>
#include <syslog.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "tests/support/fixture.h"

namespace {

class SupportTest : public pit::SandboxTest {};

// A copy through malloc itself (the sanitizer runtime serves strdup without it).
char *copy(const char *s) {
    char *p = static_cast<char *>(malloc(strlen(s) + 1));
    if (p) strcpy(p, s);
    return p;
}

TEST_F(SupportTest, SandboxOwnsTheSystemDirectoriesAndLeavesTheHostAlone) {
    ASSERT_TRUE(pit::in_sandbox());
    for (const char *dir : {"/velm", "/bootflash", "/mnt/pss", "/var/sysmgr", "/tmp", "/opt"}) {
        std::string file = std::string(dir) + "/sandbox-probe";
        ASSERT_TRUE(pit::write_file(file, "x")) << file;
        EXPECT_EQ(pit::read_file(file), "x");
        // The host's directory of the same name does not see it.
        EXPECT_NE(access(("/.host" + file).c_str(), F_OK), 0) << file;
    }
    // The host's tree is read-only from here.
    EXPECT_FALSE(pit::write_file("/.host/tmp/sandbox-probe", "x"));
    EXPECT_EQ(errno, EROFS);
}

TEST_F(SupportTest, RootTreeIsWritableAndTheShellToolsStillWork) {
    ASSERT_TRUE(pit::write_file("/usr/bin/sandbox-probe", "#!/bin/sh\necho probe-ran\n"));
    ASSERT_EQ(chmod("/usr/bin/sandbox-probe", 0755), 0);
    std::string out;
    int rc = pit::captured([] { return system("sandbox-probe; printf 'a\\nb\\n' | tar --version >/dev/null && echo tar-ok"); },
                           &out, nullptr);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(out, "probe-ran\ntar-ok\n");
    EXPECT_NE(access("/.host/usr/bin/sandbox-probe", F_OK), 0);

    // A reset restores the mirror.
    pit::sandbox_reset();
    EXPECT_NE(access("/usr/bin/sandbox-probe", F_OK), 0);
    EXPECT_EQ(access("/usr/bin/sh", X_OK), 0);
}

TEST_F(SupportTest, ProcCmdlineShowsTheTestsText) {
    pit::set_cmdline("root=/dev/ram pdebug=1 quiet\n");
    EXPECT_EQ(pit::read_file("/proc/cmdline"), "root=/dev/ram pdebug=1 quiet\n");
    pit::set_cmdline("");
    EXPECT_EQ(pit::read_file("/proc/cmdline"), "");
}

TEST_F(SupportTest, CaptureTakesStdioAndChildOutputByteForByte) {
    std::string out, err;
    int rc = pit::captured(
        [] {
            std::printf("one");
            std::fflush(stdout);  // the child writes to the same file
            std::fprintf(stderr, "two\n");
            return system("echo x >&2; printf y");
        },
        &out, &err);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(out, "oney");
    EXPECT_EQ(err, "two\nx\n");
}

TEST_F(SupportTest, SyslogLinesArriveWithTheirPriority) {
    pit::SyslogSink sink;
    ASSERT_TRUE(sink.ok());
    syslog(LOG_CRIT, "%s: probe '%s'.  Two blanks.\n", "who", "what");
    closelog();
    auto lines = sink.drain();
    ASSERT_EQ(lines.size(), 1u);
    int priority = -1;
    std::string text;
    ASSERT_TRUE(pit::parse_syslog(lines[0], &priority, &text)) << lines[0];
    EXPECT_EQ(priority, LOG_USER | LOG_CRIT);
    EXPECT_EQ(lines[0].substr(0, 4), "<10>");
    EXPECT_EQ(text, "who: probe 'what'.  Two blanks.\n");
}

TEST_F(SupportTest, InjectedAllocationFailureMakesLibcCallsFail) {
    pit::faults::reset_count();
    char *a = copy("counted");
    EXPECT_GE(pit::faults::allocations(), 1);
    free(a);

    pit::faults::fail_nth(2);
    char *first = copy("first");
    char *second = copy("second");
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_TRUE(pit::faults::fired());
    free(first);

    // stdio allocates its buffer through the same malloc.
    pit::faults::fail_nth(1);
    FILE *f = fopen("/tmp/f", "w");
    pit::faults::disarm();
    EXPECT_EQ(f, nullptr);
    EXPECT_EQ(errno, ENOMEM);
}

TEST_F(SupportTest, SweepInjectsUntilTheOperationRunsClean) {
    int clean_runs = 0;
    long checked = 0;
    long injected = pit::faults::sweep(
        [&] {
            char *a = copy("a");
            char *b = a ? copy("b") : nullptr;
            char *c = b ? copy("c") : nullptr;
            if (a && b && c) ++clean_runs;
            free(a);
            free(b);
            free(c);
        },
        [&](long) { ++checked; });
    EXPECT_EQ(injected, 3);
    EXPECT_EQ(checked, 3);
    EXPECT_EQ(clean_runs, 1);
}

TEST_F(SupportTest, ReadOnlyBindGivesErofsAndDroppedCapabilitiesGiveEacces) {
    ASSERT_EQ(mkdir("/opt/ro", 0755), 0);
    ASSERT_TRUE(pit::bind_readonly("/opt/ro"));
    EXPECT_FALSE(pit::write_file("/opt/ro/f", "x"));
    EXPECT_EQ(errno, EROFS);
    ASSERT_TRUE(pit::unbind("/opt/ro"));
    EXPECT_TRUE(pit::write_file("/opt/ro/f", "x"));

    ASSERT_TRUE(pit::write_file("/opt/secret", "x"));
    ASSERT_EQ(chmod("/opt/secret", 0), 0);
    ASSERT_TRUE(pit::drop_capabilities());
    EXPECT_LT(open("/opt/secret", O_RDONLY), 0);
    EXPECT_EQ(errno, EACCES);
}

}  // namespace
