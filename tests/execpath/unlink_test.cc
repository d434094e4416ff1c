// plugin_unlink_from_exec_path and plugin_file_is_excluded_from_exec_path;
// and the library's own patching stub as the link operation's hook.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "tests/execpath/execpath_util.h"
#include "tests/support/fixture.h"

namespace {

using namespace ept;
using pit::captured;

const std::string kP = "/velm/plugin/1";
const std::string kLog = "/velm/m.log";
const std::string kFn = "plugin_unlink_from_exec_path: ";

class ExcludeTest : public pit::SandboxTest {
protected:
    int check(const char *path, const plugin_strings *set) {
        return captured([&] { return plugin_file_is_excluded_from_exec_path(path, set); }, &out_,
                        &err_);
    }
    std::string out_, err_;
};

TEST_F(ExcludeTest, PrefixToleratingLeadingSlashes) {
    Exclude ex{"/usr/lib", "/etc/x"};
    // The path's first character is never examined: x/etc/x counts as /etc/x.
    for (const char *path : {"/etc/x", "//etc/x", "/etc/xyz", "///etc/x/y", "x/etc/x"}) {
        EXPECT_EQ(check(path, ex.get()), 1) << path;
        EXPECT_EQ(err_, excluded(path));
    }
    for (const char *path : {"/a/etc/x", "/etc/", "/et/x", "", "x/y/etc/x"}) {
        EXPECT_EQ(check(path, ex.get()), 0) << path;
        EXPECT_EQ(err_, "");
    }
}

TEST_F(ExcludeTest, NullEmptyAndUnanchoredStrings) {
    Exclude ex{"/etc/x"};
    EXPECT_EQ(check(nullptr, ex.get()), 0);
    EXPECT_EQ(check("/etc/x", nullptr), 0);
    Exclude none{};
    EXPECT_EQ(check("/etc/x", none.get()), 0);
    EXPECT_EQ(err_, "");

    // Not beginning with '/': only a match at the path's first character counts.
    Exclude rel{"etc/x"};
    EXPECT_EQ(check("/etc/x", rel.get()), 0);
    EXPECT_EQ(check("etc/x/y", rel.get()), 1);

    // The empty string occurs at the first character of every path.
    Exclude empty{"/nothing", ""};
    EXPECT_EQ(check("/usr/bin/foo", empty.get()), 1);
    EXPECT_EQ(err_, excluded("/usr/bin/foo"));
    EXPECT_EQ(check("", empty.get()), 1);
}

class UnlinkTest : public pit::SandboxTest {
protected:
    plugin_rc_t unlink(const std::string &log, const plugin_strings *ex = nullptr,
                       const std::string &plugin = kP) {
        return captured(
            [&] { return plugin_unlink_from_exec_path(log.c_str(), ex, plugin.c_str()); }, &out_,
            &err_);
    }
    void manifest(const std::string &text) { ASSERT_TRUE(pit::write_file(kLog, text)); }
    std::string out_, err_;
};

TEST_F(UnlinkTest, OwnershipIsAPlainTextPrefixOfTheContents) {
    mkdirs("/opt/t");
    ::symlink("/velm/plugin/1/a", "/opt/t/mine");
    ::symlink("/velm/plugin/10/a", "/opt/t/ten");        // prefix, no '/' check: belongs
    ::symlink("/velm/plugin/1", "/opt/t/exact");         // not longer: stays
    ::symlink("/velm/plugin/2/a", "/opt/t/other");       // stays
    pit::write_file("/opt/t/file", "x\n");               // EINVAL: stays
    manifest("./opt/t/mine\n./opt/t/ten\n./opt/t/exact\n./opt/t/other\n./opt/t/file\n"
             "./opt/t/none\n");
    EXPECT_EQ(unlink(kLog), PLUGIN_OK);
    EXPECT_EQ(err_, unlink_start(kP, kLog) + kFn + "remove /opt/t/mine\n" + kFn +
                        "remove /opt/t/ten\n" + kFn +
                        "readlink /velm/plugin/1, plugin_path /velm/plugin/1 \n" + kFn +
                        "readlink /velm/plugin/2/a, plugin_path /velm/plugin/1 \n" + kFn +
                        "readlink /opt/t/file failed (errno 22)\n");
    EXPECT_TRUE(absent("/opt/t/mine"));
    EXPECT_TRUE(absent("/opt/t/ten"));
    EXPECT_EQ(link_contents("/opt/t/exact"), "/velm/plugin/1");
    EXPECT_EQ(link_contents("/opt/t/other"), "/velm/plugin/2/a");
    EXPECT_TRUE(is_file("/opt/t/file"));
}

TEST_F(UnlinkTest, EmptyPluginPathOwnsEveryLink) {
    mkdirs("/opt/t");
    ::symlink("/usr/bin/env", "/opt/t/a");
    ::symlink("rel", "/opt/t/b");
    manifest("./opt/t/a\n./opt/t/b\n");
    EXPECT_EQ(unlink(kLog, nullptr, ""), PLUGIN_OK);
    EXPECT_TRUE(absent("/opt/t/a"));
    EXPECT_TRUE(absent("/opt/t/b"));
}

TEST_F(UnlinkTest, DirectoriesGoWhenEmptyAtTheirTurnOnlyOnce) {
    // /opt/a/ is listed before /opt/a/b/: tried while b still exists, it stays.
    mkdirs("/opt/a/b");
    mkdirs("/opt/pre");  // existed before any plugin: removed all the same
    mkdirs("/opt/full");
    pit::write_file("/opt/full/x", "x\n");
    mkdirs("/opt/target");
    ::symlink("/opt/target", "/opt/to-dir");  // a link leading to a directory
    ::symlink("/usr/bin/env", "/opt/to-file");
    manifest("./opt/a/\n./opt/a/b/\n./opt/pre/\n./opt/full/\n./opt/to-dir\n./opt/to-file\n");
    EXPECT_EQ(unlink(kLog), PLUGIN_OK);
    EXPECT_TRUE(is_dir("/opt/a"));
    EXPECT_TRUE(absent("/opt/a/b"));
    EXPECT_TRUE(absent("/opt/pre"));
    EXPECT_TRUE(is_file("/opt/full/x"));
    EXPECT_TRUE(absent("/opt/to-dir"));
    EXPECT_TRUE(is_dir("/opt/target"));
    EXPECT_EQ(link_contents("/opt/to-file"), "/usr/bin/env");

    // A second call: nothing of the plugin's left, the directories tried again.
    EXPECT_EQ(unlink(kLog), PLUGIN_OK);
    EXPECT_TRUE(absent("/opt/a"));
    EXPECT_EQ(err_, unlink_start(kP, kLog) + kFn +
                        "readlink /usr/bin/env, plugin_path /velm/plugin/1 \n");
}

TEST_F(UnlinkTest, ExcludedEntriesAreLeftAloneInBothPasses) {
    mkdirs("/opt/keep");
    ::symlink("/velm/plugin/1/x", "/opt/x");
    manifest("./opt/keep/\n./opt/x\n");
    Exclude ex{"/opt/keep", "/opt/x"};
    EXPECT_EQ(unlink(kLog, ex.get()), PLUGIN_OK);
    EXPECT_EQ(err_, unlink_start(kP, kLog) + excluded("/opt/keep/") + excluded("/opt/x") +
                        excluded("/opt/keep/") + excluded("/opt/x"));
    EXPECT_TRUE(is_dir("/opt/keep"));
    EXPECT_EQ(link_contents("/opt/x"), "/velm/plugin/1/x");
}

TEST_F(UnlinkTest, ArgumentsManifestAndRewind) {
    plugin_intn_debug_on();
    const mode_t old = ::umask(027);
    EXPECT_EQ(unlink("/velm/none"), PLUGIN_ERR_OPEN);
    EXPECT_EQ(err_, unlink_start(kP, "/velm/none"));
    EXPECT_EQ(captured([] { return plugin_unlink_from_exec_path(nullptr, nullptr, "/p"); }, &out_,
                       &err_),
              PLUGIN_ERR_INVALID_ARG);
    EXPECT_EQ(captured([] { return plugin_unlink_from_exec_path("/m", nullptr, nullptr); }, &out_,
                       &err_),
              PLUGIN_ERR_INVALID_ARG);
    EXPECT_EQ(err_, "");
    // Neither the umask nor the debug switch is touched.
    EXPECT_EQ(::umask(old), 027u);
    EXPECT_EQ(libplugin_intn_debug, 1);

    // A manifest that cannot be rewound: pass 2 is skipped, the result is 0.
    mkdirs("/opt/d");
    ::symlink("/velm/plugin/1/l", "/opt/l");
    ASSERT_EQ(::mkfifo("/tmp/fifo", 0600), 0);
    pid_t child = ::fork();
    if (child == 0) {
        pit::write_file("/tmp/fifo", "./opt/d/\n./opt/l\n");
        ::_exit(0);
    }
    EXPECT_EQ(unlink("/tmp/fifo"), PLUGIN_OK);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(absent("/opt/l"));
    EXPECT_TRUE(is_dir("/opt/d"));
}

// Every allocation of an unlink fails in turn: a documented code, and with
// 0 the work is done; no descriptor stays open.
TEST_F(UnlinkTest, AllocationFailureSweep) {
    std::string text;
    for (int i = 0; i < 20; ++i) text += "./opt/l" + std::to_string(i) + "\n";
    text += "./opt/" + std::string(300, 'x') + "\n./opt/d/\n";  // the buffer grows
    manifest(text);
    const int fds = open_fds();
    long injected = 0;
    for (long n = 1; n < 10000; ++n) {
        for (int i = 0; i < 20; ++i)
            ::symlink("/velm/plugin/1/f", ("/opt/l" + std::to_string(i)).c_str());
        ::mkdir("/opt/d", 0755);
        pit::Capture quiet;
        pit::faults::fail_nth(n);
        const plugin_rc_t rc = plugin_unlink_from_exec_path(kLog.c_str(), nullptr, kP.c_str());
        const bool hit = pit::faults::fired();
        pit::faults::disarm();
        quiet.stop();
        EXPECT_EQ(open_fds(), fds) << "n=" << n;
        if (!hit) {
            EXPECT_EQ(rc, PLUGIN_OK);
            EXPECT_TRUE(absent("/opt/l19"));
            EXPECT_TRUE(absent("/opt/d"));
            break;
        }
        ++injected;
        EXPECT_TRUE(rc == PLUGIN_OK || rc == PLUGIN_ERR_NOMEM || rc == PLUGIN_ERR_OPEN)
            << "n=" << n << " rc=" << std::hex << rc;
        if (rc != PLUGIN_OK) {
            EXPECT_EQ(link_contents("/opt/l0"), "/velm/plugin/1/f");
        }
    }
    EXPECT_GE(injected, 2);
}

// Without a hook of its own in the process, the link operation reaches the
// library's patching stub, which writes its line to stdout.
TEST_F(UnlinkTest, LinkCallsTheLibrarysPatchingStub) {
    manifest("./\n");
    std::string out, err;
    EXPECT_EQ(captured([] { return plugin_link_to_exec_path(kLog.c_str(), nullptr, kP.c_str()); },
                       &out, &err),
              PLUGIN_OK);
    EXPECT_EQ(out, "No Patching support on this platform\n");
    EXPECT_EQ(err, pdebug_lookup(kPlainCmdline) + link_start(kP, kLog) + kLoading);
}

}  // namespace
