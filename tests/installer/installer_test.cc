// pluginctl install/remove/list/verify/recover in the test sandbox: a dependency chain's road with
// its refusals and breakages, a kill at every journal record, the prefix and directory rules.
#include "tests/installer/image_writer.h"
#include "tests/support/fixture.h"
#include "tests/support/fs.h"

namespace {

#define CTL PI_PLUGINCTL " "
// A plugin image of the files given as "path=text ..." below /tmp/src/NAME.
#define PLUGIN(name, swid, files)                                                              \
    "mkdir -p /tmp/src/" name " && cd /tmp/src/" name " && for f in " files                    \
    "; do mkdir -p $(dirname ${f%%=*}) && echo ${f#*=} >${f%%=*}; done && cd / && " PI_SRGTOOL \
    " make --swid " swid " -o /tmp/" name ".sro && " PI_MKPLUGIN " --record /tmp/" name        \
    ".sro -o /tmp/" name ".img /tmp/src/" name " && "
#define IMAGES                                                                  \
    PLUGIN("base", "base-1", "opt/base/bin/tool=b")                             \
    PLUGIN("app", "app-1 --dep base-1", "opt/app/run=a opt/base/bin/app.xsd=x") \
    PLUGIN("dup", "dup-1", "opt/dup=d opt/base/bin/tool=d") "true"

// stdout without the patch stub's line.
struct Row {
    const char *args, *out;
    int status;
    const char *check = "true", *setup = "true";
};
const Row kRoad[] = {
    {"install /tmp/app.img",
     "install app-1 failed at dependencies; the tree is as before\n"
     "  missing dependency base-1\n",
     1, "[ ! -e /velm/plugin/0 ] && [ ! -e /opt/app ]", IMAGES},
    {"install /tmp/app.img /tmp/base.img",
     "installed base-1 as plugin 0: 1 links made\ninstalled app-1 as plugin 1: 2 links made\n", 0,
     "[ $(readlink /opt/app/run) = /velm/plugin/1//opt/app/run ] && [ $(stat -c %a /opt/app) = "
     "755 ]"},
    {"list", "0 base-1 depends: - entries: 4 linked\n1 app-1 depends: base-1 entries: 6 linked\n",
     0},
    {"verify", "", 0},
    {"owner /opt/app/run",
     "/opt/app/run: plugin /velm/plugin/1, swid app-1, entry ./opt/app/run of "
     "/velm/plugin_extract_log/plugin-1.manifest\n",
     0},
    {"install /tmp/dup.img",
     "install dup-1 failed at conflicts; the tree is as before\n"
     "  /opt/base/bin/tool exists (plugin 0 (base-1))\n",
     1,
     "[ ! -e /velm/plugin/2 ] && [ ! -e /opt/dup ] && " CTL "swid-map list "
     "/velm/plugin_extract_log/swid_map | grep -qx '2 dup-1'"},
    {"install /tmp/base.img",
     "install base-1 failed at check; the tree is as before\n"
     "  base-1 is installed as plugin 0\n",
     1},
    {"remove base-1",
     "remove base-1 failed at dependants; the tree is as before\n"
     "  needed by app-1 (plugin 1)\n",
     1, "[ -L /opt/base/bin/tool ]"},
    {"install /tmp/su.img",
     "install /tmp/su.img failed at check; the tree is as before\n  ./opt/su: setuid bit\n", 1,
     "[ ! -e /velm/plugin/3 ] && [ ! -e /opt/su ] && ! " CTL
     "swid-map list /velm/plugin_extract_log/swid_map | grep -q check-1.0"},
    {"install /tmp/bad.img",
     "install a/../b-1 failed at check; the tree is as before\n"
     "  a/../b-1: character outside [A-Za-z0-9._+:~-] in the software id\n",
     1,
     "[ ! -e /velm/plugin/3 ] && ! " CTL
     "swid-map list /velm/plugin_extract_log/swid_map | grep -q b-1",
     PLUGIN("bad", "a/../b-1", "opt/b=b") "true"},
    {"verify", "plugin 1 (app-1): /opt/app/run missing (want -> /velm/plugin/1//opt/app/run)\n", 1,
     "true", "rm /opt/app/run"},
    {"list",
     "0 base-1 depends: - entries: 4 linked\n1 app-1 depends: base-1 entries: 6 partly linked\n",
     0},
    {"verify", "/velm/plugin_srg/plugin-x-1.sro -> /velm/plugin/7/plugin.sro: no record there\n", 1,
     "true",
     "ln -s /velm/plugin/1//opt/app/run /opt/app/run && "
     "ln -s /velm/plugin/7/plugin.sro /velm/plugin_srg/plugin-x-1.sro"},
    {"verify",
     "plugin 1 (app-1): directory /velm/plugin/1 missing\n"
     "/velm/plugin_srg/plugin-app-1.sro -> /velm/plugin/1/plugin.sro: no record there\n"
     "/opt/app/run -> /velm/plugin/1//opt/app/run: plugin directory /velm/plugin/1 is gone\n"
     "/opt/base/bin/app.xsd -> /velm/plugin/1//opt/base/bin/app.xsd: plugin directory "
     "/velm/plugin/1 is gone\n",
     1, "true", "rm /velm/plugin_srg/plugin-x-1.sro && rm -r /velm/plugin/1"},
    {"remove base-1 app-1",
     "removed app-1 (plugin 1): 2 links removed\n"
     "removed base-1 (plugin 0): 1 links removed\n",
     0, "[ ! -e /opt/app ] && [ ! -e /opt/base ] && [ -d /opt ] && [ ! -e /velm/plugin/0 ]"},
    {"install /tmp/base.img", "installed base-1 as plugin 0: 1 links made\n", 0},
};

std::string run(const std::string &args, int *status = nullptr) {
    std::string out, err;
    int ignored = 0;
    *(status ? status : &ignored) =
        test_support::captured([&] { return test_support::shell(CTL + args); }, &out, &err);
    std::string kept;
    for (const std::string &line : test_support::lines(out))
        if (line != "No Patching support on this platform") kept += line + "\n";
    return kept;
}

class InstallerTest : public test_support::SandboxTest {};

TEST_F(InstallerTest, TheRoadOfADependencyChainWithItsRefusalsAndBreakages) {
    const std::string su =
        test_support::archive_bytes({{"./opt/su", AE_IFREG, 04755, "s"}}, nullptr);
    ASSERT_TRUE(test_support::write_file("/tmp/su.img",
                                         test_support::header_block() + test_support::gzip(su)));
    for (const Row &r : kRoad) {
        ASSERT_TRUE(test_support::sh(r.setup)) << r.setup;
        int status = 0;
        const std::string out = run(r.args, &status);
        EXPECT_EQ(std::tie(out, status), std::tie(r.out, r.status)) << r.args;
        EXPECT_TRUE(test_support::sh(r.check)) << r.args << ": " << r.check;
    }
}

// /velm and /opt without the journal and the lock.
test_support::Snapshot tree() {
    test_support::Snapshot s = test_support::snapshot({"/velm", "/opt"});
    s.erase("/velm/plugin_extract_log/installer.journal");
    s.erase("/velm/plugin_extract_log/swid_map.lock");
    return s;
}

TEST_F(InstallerTest, AKillAtEveryJournalRecordRecoversToBeforeOrAfter) {
    ASSERT_TRUE(test_support::sh(IMAGES));
    run("install /tmp/base.img");  // base-1 gets its id for good
    run("remove base-1");
    run("install /tmp/base.img /tmp/app.img");
    const test_support::Snapshot installed = tree();
    run("remove app-1");
    const test_support::Snapshot base_only = tree();
    // Kills in each transaction: begin, mkdir, extract, record, link, modes, commit of an
    // install; begin, unlink, record, rmdir, forget, commit of a remove.
    const struct {
        const char *args;
        const test_support::Snapshot &before, &after;
        int kill_points;
    } kSweeps[] = {{"install /tmp/app.img", base_only, installed, 7},
                   {"remove app-1", installed, base_only, 6}};
    for (const auto &sweep : kSweeps) {
        int kills = 0;
        for (int at = 1;; ++at) {
            ASSERT_EQ(tree(), sweep.before) << sweep.args << " before the kill at " << at;
            const std::string crash = "PLUGIN_INSTALLER_CRASH_AT=" + std::to_string(at) + " ";
            if (test_support::shell(crash + CTL + sweep.args + " >/dev/null 2>&1") != 128 + SIGKILL)
                break;
            ++kills;
            EXPECT_EQ(test_support::shell(CTL "recover >/dev/null 2>&1"), 0);
            const test_support::Snapshot now = tree();
            EXPECT_TRUE(now == sweep.before || now == sweep.after)
                << sweep.args << " killed at " << at;
            EXPECT_EQ(run("verify"), "") << sweep.args << " killed at " << at;
            if (now == sweep.after)  // back to the start
                run(sweep.args[0] == 'i' ? "remove app-1" : "install /tmp/app.img");
        }
        EXPECT_EQ(kills, sweep.kill_points) << sweep.args;
    }
}

TEST_F(InstallerTest, ConcurrentMapAppendersKeepEveryId) {
    ASSERT_TRUE(
        test_support::sh("mkdir -p /velm/m && " CTL "swid-map create /velm/m/map >/dev/null && "
                         "for p in 1 2 3 4; do (for i in $(seq 50); do " CTL
                         "swid-map append /velm/m/map p$p-$i >/dev/null 2>&1; done) & done; wait"));
    // 200 distinct ids and 200 distinct software ids.
    for (const std::string field : {"1", "2"})
        EXPECT_TRUE(test_support::sh(CTL "swid-map list /velm/m/map | sed '$d' | cut -d' ' -f" +
                                     field + " | sort -u | wc -l | grep -qx 200"))
            << field;
}

TEST_F(InstallerTest, ABinDirectoryMemberLeavesTheSystemLinkInPlace) {
    if (sandbox::read_link("/bin") != "usr/bin")
        GTEST_SKIP() << "/bin is not a link to usr/bin here";
    const std::string tar =
        test_support::archive_bytes({{"./bin/", AE_IFDIR, 0755}, {"./bin/t"}}, nullptr);
    ASSERT_TRUE(test_support::write_file("/tmp/bin.img",
                                         test_support::header_block() + test_support::gzip(tar)));
    EXPECT_EQ(run("install /tmp/bin.img"), "installed check-1.0 as plugin 0: 1 links made\n");
    EXPECT_EQ(sandbox::read_link("/usr/bin/t"), "/velm/plugin/0//bin/t");
    EXPECT_EQ(run("remove check-1.0"), "removed check-1.0 (plugin 0): 1 links removed\n");
    EXPECT_EQ(sandbox::read_link("/bin"), "usr/bin");
    EXPECT_FALSE(test_support::exists("/usr/bin/t"));
}

TEST_F(InstallerTest, AFailedLinkOfPlugin1LeavesPlugin10Alone) {
    // Ids 1 and 10 taken in the map by the two plugins; both bring a tolerated duplicate, and
    // plugin 1 must make a directory below a read-only one after linking a file.
    ASSERT_TRUE(test_support::sh(
        "mkdir -p /velm/plugin_extract_log /opt/ro && " CTL
        "swid-map create /velm/plugin_extract_log/swid_map >/dev/null && " CTL
        "swid-map append /velm/plugin_extract_log/swid_map f0 p1-1 f2 f3 f4 f5 f6 f7 f8 f9 p10-1 "
        ">/dev/null && " PLUGIN("p10", "p10-1", "opt/p10=t opt/s.xsd=t")
            PLUGIN("p1", "p1-1", "opt/a1=o opt/s.xsd=o opt/ro/sub/f=o") "true"));
    EXPECT_EQ(run("install /tmp/p10.img"), "installed p10-1 as plugin 10: 2 links made\n");
    const test_support::Snapshot before =
        test_support::snapshot({"/opt", "/velm/plugin", "/velm/plugin_srg"});
    ASSERT_TRUE(sandbox::bind_readonly("/opt/ro"));
    EXPECT_EQ(
        run("install /tmp/p1.img"),
        "install p1-1 failed at link: PLUGIN_ERR_MKDIR (0x40ea001e); the tree is as before\n");
    sandbox::unbind("/opt/ro");
    EXPECT_EQ(test_support::snapshot({"/opt", "/velm/plugin", "/velm/plugin_srg"}), before);
    EXPECT_EQ(sandbox::read_link("/opt/s.xsd"), "/velm/plugin/10//opt/s.xsd");
    // Plugin 10's link where plugin 1's was: removing plugin 1 leaves it.
    EXPECT_EQ(run("install /tmp/p1.img"), "installed p1-1 as plugin 1: 2 links made\n");
    ASSERT_TRUE(test_support::sh("ln -sfn /velm/plugin/10//opt/p10 /opt/a1"));
    EXPECT_EQ(run("remove p1-1"), "removed p1-1 (plugin 1): 1 links removed\n");
    EXPECT_EQ(sandbox::read_link("/opt/a1"), "/velm/plugin/10//opt/p10");
}

}  // namespace
