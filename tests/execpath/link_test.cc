// plugin_link_to_exec_path in a sandbox whose root tree is the test's own.
// This binary supplies its own plugin_load_committed_patch, which the library
// calls through the exported name: every test checks how often it ran.
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <string>

#include "tests/execpath/execpath_util.h"
#include "tests/support/fixture.h"

namespace {
int g_hook_calls = 0;
}

extern "C" int plugin_load_committed_patch(void) {
    ++g_hook_calls;
    return 77;  // ignored by the caller
}

namespace {

using namespace ept;
using pit::captured;

const std::string kP = "/velm/plugin/3";
const std::string kLog = "/velm/plugin/3.log";

class LinkTest : public pit::SandboxTest {
protected:
    void SetUp() override {
        pit::SandboxTest::SetUp();
        g_hook_calls = 0;
        saved_umask_ = ::umask(022);
    }
    void TearDown() override {
        ::umask(saved_umask_);
        ::closelog();  // the process's syslog connection, opened by the first duplicate
        pit::SandboxTest::TearDown();
    }
    plugin_rc_t link(const std::string &log, const plugin_strings *ex = nullptr,
                     const std::string &plugin = kP) {
        return captured([&] { return plugin_link_to_exec_path(log.c_str(), ex, plugin.c_str()); },
                        &out_, &err_);
    }
    plugin_rc_t unlink(const std::string &log, const plugin_strings *ex = nullptr,
                       const std::string &plugin = kP) {
        return captured(
            [&] { return plugin_unlink_from_exec_path(log.c_str(), ex, plugin.c_str()); }, &out_,
            &err_);
    }
    // The plugin of the worked example.
    static Plugin example() {
        Plugin p(kP);
        p.line("./").dir("usr/").dir("usr/bin/").file("usr/bin/foo").dir("usr/lib/");
        p.symlink("usr/lib/libfoo.so", "libfoo.so.1").symlink("usr/bin/bar", "/usr/bin/foo");
        p.dir("opt/new/");
        return p;
    }
    std::string out_, err_;
    mode_t saved_umask_ = 0;
};

TEST_F(LinkTest, WorkedExampleLinksThenUnlinks) {
    const std::string log = example().manifest(kLog);
    const auto before = snapshot({"/usr", "/opt"});

    EXPECT_EQ(link(log), PLUGIN_OK);
    EXPECT_EQ(err_, pdebug_lookup(kPlainCmdline) + link_start(kP, log) + kLoading);
    EXPECT_EQ(out_, "");
    EXPECT_EQ(g_hook_calls, 1);
    EXPECT_EQ(link_contents("/usr/bin/foo"), "/velm/plugin/3/usr/bin/foo");
    EXPECT_EQ(link_contents("/usr/lib/libfoo.so"), "/velm/plugin/3/usr/lib/libfoo.so.1");
    EXPECT_EQ(link_contents("/usr/bin/bar"), "/usr/bin/foo");
    struct stat st;
    ASSERT_EQ(::stat("/opt/new", &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0777u) << "made under umask 0, not the caller's 022";
    EXPECT_EQ(current_umask(), 022u);

    EXPECT_EQ(unlink(log), PLUGIN_OK);
    EXPECT_EQ(err_, unlink_start(kP, log) +
                        "plugin_unlink_from_exec_path: remove /usr/bin/foo\n"
                        "plugin_unlink_from_exec_path: remove /usr/lib/libfoo.so\n"
                        "plugin_unlink_from_exec_path: readlink /usr/bin/foo, plugin_path "
                        "/velm/plugin/3 \n");
    EXPECT_TRUE(absent("/usr/bin/foo"));
    EXPECT_TRUE(absent("/usr/lib/libfoo.so"));
    EXPECT_TRUE(absent("/opt/new"));
    EXPECT_EQ(link_contents("/usr/bin/bar"), "/usr/bin/foo") << "not the plugin's: stays, dangling";
    auto after = snapshot({"/usr", "/opt"});
    after.erase("/usr/bin/bar");
    EXPECT_EQ(after, before);
    EXPECT_EQ(g_hook_calls, 1);
}

TEST_F(LinkTest, RelativeContentsAreJoinedToTheSourceDirectoryWithoutNormalising) {
    Plugin p(kP);
    p.dir("usr/").dir("usr/bin/").symlink("usr/bin/y", "../lib/x");
    EXPECT_EQ(link(p.manifest(kLog)), PLUGIN_OK);
    EXPECT_EQ(link_contents("/usr/bin/y"), "/velm/plugin/3/usr/bin/../lib/x");
}

TEST_F(LinkTest, EmptyOrDirectoryOnlyManifestsStillCallTheHook) {
    Plugin p(kP);
    p.line("./").line("").line("./").dir("opt/a/").dir("opt/a/b/").dir("usr/");
    EXPECT_EQ(link(p.manifest(kLog)), PLUGIN_OK);
    EXPECT_EQ(err_, pdebug_lookup(kPlainCmdline) + link_start(kP, kLog) + kLoading);
    EXPECT_TRUE(is_dir("/opt/a/b"));
    EXPECT_EQ(g_hook_calls, 1);

    ASSERT_TRUE(pit::write_file(kLog, ""));
    EXPECT_EQ(link(kLog), PLUGIN_OK);
    EXPECT_EQ(g_hook_calls, 2);
}

// A plugin whose entry usr/bin/dup meets something already in the root tree,
// between a linked entry before it and one after it.
Plugin dup_plugin(const std::string &root = kP) {
    Plugin p(root);
    p.dir("usr/").dir("usr/bin/").file("usr/bin/a").file("usr/bin/dup").file("usr/bin/z");
    return p;
}

std::string syslog_line(const std::string &link, const std::string &plugin) {
    return "plugin_link_to_exec_path: Duplicate file '" + link +
           "' found while extracting plugin '" + plugin +
           "'.  Please remove duplicate file from corresponding plugin.\n";
}

struct DupCase {
    const char *name;
    bool tolerate;
    void (*make)();
    std::string undo_line;  // what the undo says about the thing in the way
};

void PrintTo(const DupCase &c, std::ostream *os) { *os << c.name; }

// Not empty, so that the undo's directory pass leaves it.
void make_dup_dir() {
    ::mkdir("/usr/bin/dup", 0755);
    pit::write_file("/usr/bin/dup/keep", "mine\n");
}

class DuplicateTest : public LinkTest, public ::testing::WithParamInterface<DupCase> {};

TEST_P(DuplicateTest, IsReportedAndFailsPassTwoWithAnUndo) {
    const DupCase &c = GetParam();
    if (c.tolerate) pit::set_cmdline(kPdebugCmdline);
    c.make();
    const auto before = snapshot({"/usr"});
    const std::string log = dup_plugin().manifest(kLog);
    pit::SyslogSink sink;
    ASSERT_TRUE(sink.ok());

    EXPECT_EQ(link(log), PLUGIN_ERR_LINK);
    EXPECT_EQ(err_, pdebug_lookup(c.tolerate ? kPdebugCmdline : kPlainCmdline) +
                        link_start(kP, log) + "plugin_link_to_exec_path: /usr/bin/dup exists\n" +
                        unlink_start(kP, log) + "plugin_unlink_from_exec_path: remove /usr/bin/a\n" +
                        c.undo_line);
    EXPECT_EQ(g_hook_calls, 0);
    EXPECT_EQ(snapshot({"/usr"}), before) << "the link made before it is undone";

    auto grams = sink.drain();
    ASSERT_EQ(grams.size(), 1u);
    int pri = -1;
    std::string msg;
    ASSERT_TRUE(pit::parse_syslog(grams[0], &pri, &msg)) << grams[0];
    EXPECT_EQ(pri, 10);  // LOG_CRIT, default facility LOG_USER
    EXPECT_EQ(msg, syslog_line("/usr/bin/dup", kP));
}

INSTANTIATE_TEST_SUITE_P(
    InTheWay, DuplicateTest,
    ::testing::Values(
        DupCase{"File", false, [] { pit::write_file("/usr/bin/dup", "mine\n"); },
                "plugin_unlink_from_exec_path: readlink /usr/bin/dup failed (errno 22)\n"},
        DupCase{"FileTolerated", true, [] { pit::write_file("/usr/bin/dup", "mine\n"); },
                "plugin_unlink_from_exec_path: readlink /usr/bin/dup failed (errno 22)\n"},
        DupCase{"Directory", false, make_dup_dir, ""},
        DupCase{"DirectoryTolerated", true, make_dup_dir, ""},
        DupCase{"WorkingLink", false, [] { ::symlink("/usr/bin/env", "/usr/bin/dup"); },
                "plugin_unlink_from_exec_path: readlink /usr/bin/env, plugin_path /velm/plugin/3 \n"},
        DupCase{"WorkingLinkTolerated", true, [] { ::symlink("/usr/bin/env", "/usr/bin/dup"); },
                "plugin_unlink_from_exec_path: readlink /usr/bin/env, plugin_path /velm/plugin/3 \n"}),
    [](const auto &info) { return std::string(info.param.name); });

// With "xsd" in the plugin path pass 2 skips the failing symlink silently, so
// the duplicate of pass 1 decides: PLUGIN_ERR_DUPLICATE after a complete pass
// 2 (hook called, links undone) without the tolerance, 0 with it.
TEST_F(LinkTest, DuplicateIsTheResultOnlyWhenPassTwoCompletes) {
    const std::string plugin = "/velm/plugin/xsd3";
    const std::string log = dup_plugin(plugin).manifest("/velm/xsd3.log");
    pit::write_file("/usr/bin/dup", "mine\n");
    pit::SyslogSink sink;

    EXPECT_EQ(link(log, nullptr, plugin), PLUGIN_ERR_DUPLICATE);
    EXPECT_EQ(g_hook_calls, 1);
    EXPECT_EQ(err_, pdebug_lookup(kPlainCmdline) + link_start(plugin, log) +
                        "plugin_link_to_exec_path: /usr/bin/dup exists\n" + kLoading +
                        unlink_start(plugin, log) +
                        "plugin_unlink_from_exec_path: remove /usr/bin/a\n"
                        "plugin_unlink_from_exec_path: readlink /usr/bin/dup failed (errno 22)\n"
                        "plugin_unlink_from_exec_path: remove /usr/bin/z\n");
    EXPECT_TRUE(absent("/usr/bin/a"));
    EXPECT_TRUE(is_file("/usr/bin/dup"));
    EXPECT_EQ(sink.drain().size(), 1u);

    pit::set_cmdline(kPdebugCmdline);
    EXPECT_EQ(link(log, nullptr, plugin), PLUGIN_OK);
    EXPECT_EQ(g_hook_calls, 2);
    EXPECT_EQ(link_contents("/usr/bin/z"), plugin + "/usr/bin/z");
    EXPECT_EQ(pit::read_file("/usr/bin/dup"), "mine\n");
}

TEST_F(LinkTest, DanglingLinkInTheWayIsNoDuplicateButFailsTheSymlink) {
    ::symlink("/nowhere", "/usr/bin/dup");
    const std::string log = dup_plugin().manifest(kLog);
    pit::SyslogSink sink;
    plugin_intn_debug_on();  // forced off by the call: no debug line below
    EXPECT_EQ(link(log), PLUGIN_ERR_LINK);
    EXPECT_EQ(err_, pdebug_lookup(kPlainCmdline) + link_start(kP, log) + unlink_start(kP, log) +
                        "plugin_unlink_from_exec_path: remove /usr/bin/a\n"
                        "plugin_unlink_from_exec_path: readlink /nowhere, plugin_path "
                        "/velm/plugin/3 \n");
    EXPECT_EQ(libplugin_intn_debug, 0);
    EXPECT_TRUE(sink.drain().empty());
    EXPECT_EQ(g_hook_calls, 0);
    EXPECT_EQ(link_contents("/usr/bin/dup"), "/nowhere");
}

TEST_F(LinkTest, ResolverFileInTheWayIsReportedButTolerated) {
    const std::string rdir = "/velm/etc/routing-sw";
    mkdirs(rdir);
    pit::write_file(rdir + "/tamo_resolv.conf", "nameserver 1\n");
    pit::write_file(rdir + "/tamo_resolv", "a leading part of the path\n");
    Plugin p(kP);
    p.dir("velm/").dir("velm/etc/").dir("velm/etc/routing-sw/");
    p.file("velm/etc/routing-sw/tamo_resolv.conf").file("velm/etc/routing-sw/tamo_resolv");
    p.dir("usr/").dir("usr/bin/").file("usr/bin/x");
    const std::string log = p.manifest(kLog);
    pit::SyslogSink sink;

    EXPECT_EQ(link(log), PLUGIN_OK);
    EXPECT_EQ(err_, pdebug_lookup(kPlainCmdline) + link_start(kP, log) +
                        "plugin_link_to_exec_path: /velm/etc/routing-sw/tamo_resolv.conf exists\n"
                        "plugin_link_to_exec_path: /velm/etc/routing-sw/tamo_resolv exists\n" +
                        kLoading);
    EXPECT_EQ(g_hook_calls, 1);
    EXPECT_EQ(pit::read_file(rdir + "/tamo_resolv.conf"), "nameserver 1\n");
    EXPECT_EQ(link_contents("/usr/bin/x"), kP + "/usr/bin/x");
    auto grams = sink.drain();
    ASSERT_EQ(grams.size(), 2u);
    std::string msg;
    ASSERT_TRUE(pit::parse_syslog(grams[0], nullptr, &msg));
    EXPECT_EQ(msg, syslog_line(rdir + "/tamo_resolv.conf", kP));
}

TEST_F(LinkTest, XsdNamesInTheWayAreNeitherReportedNorFatal) {
    mkdirs("/usr/share/xsd");
    pit::write_file("/usr/share/xsd/a.xsd", "mine\n");
    Plugin p(kP);
    p.dir("usr/").dir("usr/share/").dir("usr/share/xsd/").file("usr/share/xsd/a.xsd");
    p.dir("usr/bin/").file("usr/bin/x");
    pit::SyslogSink sink;
    EXPECT_EQ(link(p.manifest(kLog)), PLUGIN_OK);
    EXPECT_EQ(err_, pdebug_lookup(kPlainCmdline) + link_start(kP, kLog) + kLoading);
    EXPECT_TRUE(sink.drain().empty());
    EXPECT_EQ(pit::read_file("/usr/share/xsd/a.xsd"), "mine\n");
    EXPECT_EQ(g_hook_calls, 1);
}

TEST_F(LinkTest, ExcludedEntriesAreSkippedWithALinePerPass) {
    pit::write_file("/etc/x", "host's\n");  // would be a duplicate
    Plugin p(kP);
    p.dir("etc/").file("etc/x").dir("usr/").dir("usr/bin/").file("usr/bin/a");
    const std::string log = p.manifest(kLog);
    Exclude ex{"/etc/x"};
    EXPECT_EQ(link(log, ex.get()), PLUGIN_OK);
    EXPECT_EQ(err_, pdebug_lookup(kPlainCmdline) + link_start(kP, log) + excluded("/etc/x") +
                        excluded("/etc/x") + kLoading);
    EXPECT_EQ(pit::read_file("/etc/x"), "host's\n");
    EXPECT_EQ(link_contents("/usr/bin/a"), kP + "/usr/bin/a");

    // The empty string excludes every entry.
    Exclude all{""};
    ASSERT_TRUE(pit::write_file(kLog, "./usr/bin/a\n./opt/new/\n"));
    EXPECT_EQ(link(kLog, all.get()), PLUGIN_OK);
    EXPECT_EQ(err_, pdebug_lookup(kPlainCmdline) + link_start(kP, kLog) + excluded("/usr/bin/a") +
                        excluded("/opt/new/") + excluded("/usr/bin/a") + excluded("/opt/new/") +
                        kLoading);
    EXPECT_EQ(g_hook_calls, 2);
}

TEST_F(LinkTest, MissingEntryFailsPassOneBeforeAnythingIsCreated) {
    Plugin p(kP);
    p.dir("usr/").dir("usr/bin/").file("usr/bin/a").dir("opt/new/").line("./usr/bin/missing");
    const std::string log = p.manifest(kLog);
    const auto before = snapshot({"/usr", "/opt"});
    EXPECT_EQ(link(log), PLUGIN_ERR_STAT);
    EXPECT_EQ(err_, pdebug_lookup(kPlainCmdline) + link_start(kP, log) +
                        "plugin_link_to_exec_path: stat /velm/plugin/3/usr/bin/missing failed\n");
    EXPECT_EQ(snapshot({"/usr", "/opt"}), before);
    EXPECT_EQ(g_hook_calls, 0);
}

TEST_F(LinkTest, LinkNameThatCannotBeStatedFailsPassOne) {
    ::symlink("/usr/bin/loop", "/usr/bin/loop");  // ELOOP
    Plugin p(kP);
    p.dir("usr/").dir("usr/bin/").file("usr/bin/a").file("usr/bin/loop");
    EXPECT_EQ(link(p.manifest(kLog)), PLUGIN_ERR_STAT);
    EXPECT_EQ(err_, pdebug_lookup(kPlainCmdline) + link_start(kP, kLog) +
                        "plugin_link_to_exec_path: stat /usr/bin/loop failed\n");
    EXPECT_TRUE(absent("/usr/bin/a"));
    EXPECT_EQ(g_hook_calls, 0);
}

TEST_F(LinkTest, RefusedMkdirFailsAndUndoesTheLinksMade) {
    Plugin p(kP);
    p.dir("usr/").dir("usr/bin/").file("usr/bin/a").dir("opt/new/").file("opt/new/b");
    const std::string log = p.manifest(kLog);
    ASSERT_TRUE(pit::bind_readonly("/opt"));
    EXPECT_EQ(link(log), PLUGIN_ERR_MKDIR);
    EXPECT_EQ(err_, pdebug_lookup(kPlainCmdline) + link_start(kP, log) +
                        "plugin_link_to_exec_path: mkdir /opt/new/ failed\n" +
                        unlink_start(kP, log) + "plugin_unlink_from_exec_path: remove /usr/bin/a\n");
    EXPECT_TRUE(absent("/usr/bin/a"));
    EXPECT_EQ(g_hook_calls, 0);
    EXPECT_EQ(current_umask(), 022u);
}

TEST_F(LinkTest, RelativeTargetOverTheBufferFailsTheEntry) {
    const std::string plugin = "/velm/" + std::string(200, 'p');
    Plugin p(plugin);
    p.dir("usr/").dir("usr/bin/").file("usr/bin/a").symlink("usr/bin/long", std::string(60, 't'));
    const std::string log = p.manifest("/velm/long.log");
    EXPECT_EQ(link(log, nullptr, plugin), PLUGIN_ERR_LINK);
    EXPECT_EQ(err_, pdebug_lookup(kPlainCmdline) + link_start(plugin, log) +
                        "plugin_link_to_exec_path: link target for " + plugin +
                        "/usr/bin/long longer than 255 characters\n" + unlink_start(plugin, log) +
                        "plugin_unlink_from_exec_path: remove /usr/bin/a\n");
    EXPECT_TRUE(absent("/usr/bin/long"));
    EXPECT_EQ(g_hook_calls, 0);
}

TEST_F(LinkTest, SourcePathWithoutSlashCannotLocateItsDirectory) {
    // A relative plugin path of 300 characters: the source path is cut to
    // its first 255 characters, which name a link in the working directory.
    mkdirs("/tmp/w");
    ASSERT_EQ(::chdir("/tmp/w"), 0);
    ASSERT_EQ(::symlink("x", std::string(255, 'a').c_str()), 0);
    ASSERT_TRUE(pit::write_file("/tmp/m", "./e\n"));
    EXPECT_EQ(link("/tmp/m", nullptr, std::string(300, 'a')), PLUGIN_ERR_LINK);
    EXPECT_EQ(err_, pdebug_lookup(kPlainCmdline) + link_start(std::string(300, 'a'), "/tmp/m"));
    EXPECT_TRUE(absent("/e"));
    ASSERT_EQ(::chdir("/"), 0);
}

TEST_F(LinkTest, NamesAreCutAt255Characters) {
    // Entry opt/<250 L>/tail: the link name is cut to "/opt/<250 L>", the
    // source path to "/velm/plugin/3/opt/<236 L>", which the plugin holds.
    Plugin p(kP);
    p.dir("opt/").file("opt/" + std::string(236, 'L'), "cut\n");
    p.line("./opt/" + std::string(250, 'L') + "/tail");
    EXPECT_EQ(link(p.manifest(kLog)), PLUGIN_OK);
    EXPECT_EQ(link_contents("/opt/" + std::string(250, 'L')), kP + "/opt/" + std::string(236, 'L'));
    EXPECT_EQ(link_contents("/opt/" + std::string(236, 'L')), kP + "/opt/" + std::string(236, 'L'));

    // Symbolic link contents are read up to 255 bytes.
    const std::string contents = "/" + std::string(299, 'c');
    Plugin q("/velm/q");
    q.dir("usr/").dir("usr/bin/").symlink("usr/bin/c", contents);
    EXPECT_EQ(link(q.manifest("/velm/q.log"), nullptr, "/velm/q"), PLUGIN_OK);
    EXPECT_EQ(link_contents("/usr/bin/c"), contents.substr(0, 255));
}

TEST_F(LinkTest, BadArgumentsAndUnopenableManifest) {
    plugin_intn_debug_on();
    EXPECT_EQ(captured([] { return plugin_link_to_exec_path(nullptr, nullptr, kP.c_str()); },
                       &out_, &err_),
              PLUGIN_ERR_INVALID_ARG);
    EXPECT_EQ(err_, pdebug_lookup(kPlainCmdline));
    EXPECT_EQ(libplugin_intn_debug, 0);
    EXPECT_EQ(current_umask(), 022u);

    plugin_intn_debug_on();
    EXPECT_EQ(captured([] { return plugin_link_to_exec_path(kLog.c_str(), nullptr, nullptr); },
                       &out_, &err_),
              PLUGIN_ERR_INVALID_ARG);
    EXPECT_EQ(err_, pdebug_lookup(kPlainCmdline));
    EXPECT_EQ(libplugin_intn_debug, 0);
    EXPECT_EQ(current_umask(), 022u);

    plugin_intn_debug_on();
    EXPECT_EQ(link("/velm/none.log"), PLUGIN_ERR_OPEN);
    EXPECT_EQ(err_, pdebug_lookup(kPlainCmdline) + link_start(kP, "/velm/none.log"));
    EXPECT_EQ(libplugin_intn_debug, 0);
    EXPECT_EQ(current_umask(), 022u);
    EXPECT_EQ(g_hook_calls, 0);
}

TEST_F(LinkTest, UnseekableManifestFailsTheRewind) {
    mkdirs(kP + "/usr/bin");
    ASSERT_EQ(::mkfifo("/tmp/fifo", 0600), 0);
    pid_t child = ::fork();
    if (child == 0) {
        pit::write_file("/tmp/fifo", "./usr/\n./usr/bin/\n");
        ::_exit(0);
    }
    EXPECT_EQ(link("/tmp/fifo"), PLUGIN_ERR_SEEK);
    EXPECT_EQ(err_, pdebug_lookup(kPlainCmdline) + link_start(kP, "/tmp/fifo") +
                        "plugin_link_to_exec_path: fseek /tmp/fifo failed\n");
    EXPECT_EQ(g_hook_calls, 0);
    int status = 0;
    ::waitpid(child, &status, 0);
}

// Every allocation of a link operation fails in turn: the result is one of
// the documented codes, nothing is left half made but what the undo leaves,
// no descriptor stays open and the umask is the caller's.
TEST_F(LinkTest, AllocationFailureSweep) {
    Plugin p = example();
    p.dir("opt/").file("opt/" + std::string(236, 'L'));
    p.line("./opt/" + std::string(250, 'L') + "/tail");  // makes the line buffer grow
    const std::string log = p.manifest(kLog);
    const auto before = snapshot({"/usr", "/opt"});
    const int fds = open_fds();
    const char *made[] = {"/usr/bin/foo", "/usr/bin/bar", "/usr/lib/libfoo.so"};
    long injected = 0;
    for (long n = 1; n < 10000; ++n) {
        for (const char *m : made) ::unlink(m);
        ::unlink(("/opt/" + std::string(250, 'L')).c_str());
        ::unlink(("/opt/" + std::string(236, 'L')).c_str());
        ::rmdir("/opt/new");
        pit::Capture quiet;
        pit::faults::fail_nth(n);
        const plugin_rc_t rc = plugin_link_to_exec_path(log.c_str(), nullptr, kP.c_str());
        const bool hit = pit::faults::fired();
        pit::faults::disarm();
        quiet.stop();
        if (!hit) {
            EXPECT_EQ(rc, PLUGIN_OK);
            break;
        }
        ++injected;
        EXPECT_TRUE(rc == PLUGIN_OK || rc == PLUGIN_ERR_NOMEM || rc == PLUGIN_ERR_OPEN)
            << "n=" << n << " rc=" << std::hex << rc;
        if (rc != PLUGIN_OK) {
            EXPECT_EQ(snapshot({"/usr", "/opt"}), before) << "n=" << n;
        }
        EXPECT_EQ(open_fds(), fds) << "n=" << n;
        EXPECT_EQ(current_umask(), 022u) << "n=" << n;
    }
    EXPECT_GE(injected, 2);  // the line buffer and the stream, at least
}

// A generated plugin of 1,000 entries linked and unlinked: the root tree is
// as it was, apart from what unlinking leaves by design: the new directory
// listed before its subdirectories (tried while they still existed) and the
// links made from absolute contents outside the plugin.
TEST_F(LinkTest, RoundTripOfAThousandEntries) {
    const std::string plugin = "/velm/plugin/7";
    Plugin p(plugin);
    p.line("./").dir("usr/").dir("usr/bin/").dir("usr/lib/").dir("opt/").dir("opt/gen/");
    int entries = 5;
    for (int d = 0; d < 19; ++d) {
        const std::string dir = "opt/gen/d" + std::to_string(d) + "/";
        p.dir(dir);
        ++entries;
        for (int f = 0; f < 40; ++f, ++entries) {
            const std::string name = dir + "f" + std::to_string(f);
            if (f % 10 == 3) p.symlink(name, "f0");
            else if (f % 10 == 7) p.symlink(name, plugin + "/" + dir + "f1");
            else p.file(name);
        }
    }
    for (int i = 0; entries < 995; ++i, ++entries) p.file("usr/bin/gen-" + std::to_string(i));
    for (int i = 0; entries < 1000; ++i, ++entries)
        p.symlink("usr/lib/out-" + std::to_string(i), "/usr/bin/env");
    const std::string log = p.manifest("/velm/plugin/7.log");
    const auto before = snapshot({"/usr", "/etc", "/opt", "/velm"});

    ASSERT_EQ(link(log, nullptr, plugin), PLUGIN_OK);
    EXPECT_EQ(g_hook_calls, 1);
    EXPECT_EQ(link_contents("/opt/gen/d4/f3"), plugin + "/opt/gen/d4/f0");
    EXPECT_EQ(link_contents("/opt/gen/d4/f7"), plugin + "/opt/gen/d4/f1");
    EXPECT_EQ(link_contents("/usr/bin/gen-0"), plugin + "/usr/bin/gen-0");

    ASSERT_EQ(unlink(log, nullptr, plugin), PLUGIN_OK);
    auto after = snapshot({"/usr", "/etc", "/opt", "/velm"});
    for (int i = 0; i < 5; ++i) {
        const std::string out = "/usr/lib/out-" + std::to_string(i);
        EXPECT_EQ(link_contents(out), "/usr/bin/env");
        after.erase(out);
    }
    EXPECT_TRUE(is_dir("/opt/gen"));
    after.erase("/opt/gen");
    EXPECT_EQ(after, before);
}

}  // namespace
