// pluginctl by the shell in the test sandbox, row after row on one tree: each subcommand's stdout
// (result line last) and exit status, a shell check of what it did, and refused command lines.
#include <algorithm>
#include <cstdlib>

#include "tests/support/fixture.h"

namespace {

#define EXTRACT(x, n) \
    PI_PLUGINCTL " extract /tmp/" x ".img /velm/plugin/" n " --manifest /velm/" x ".log"
#define OK "PLUGIN_OK (0x00000000)\n"
#define IMAGE(dir, swid, out)                                        \
    PI_SRGTOOL " make --swid " swid " -o /tmp/r.sro && " PI_MKPLUGIN \
               " --record /tmp/r.sro -o " out " " dir
#define REC(swid, dep, out) " && " PI_SRGTOOL " make --swid " swid dep " -o /tmp/" out ".sro"

// stdout "x*" is a prefix, "*x" a suffix; status 2 also wants the usage on stderr.  err, when
// given, is pluginctl's own line: the last of stderr, or for status 2 the whole of it.
struct Row {
    const char *args, *out;
    int status;
    const char *check = "", *setup = "", *err = "";
};
#define USAGE \
    "usage: pluginctl [--debug] [--dry-run] SUBCOMMAND [ARGS...]  (pluginctl --help lists them)\n"
#define LINK_USAGE "usage: pluginctl [--debug] [--dry-run] link LOG DIR [--exclude PATH]...\n"
#define WARN "pluginctl: warning: "
#define GIVE_DIR "; give the directory the plugin was extracted into"
const Row kRows[] = {
    {"record show /tmp/a.img", "swid alpha-1\ndepends base-1\nsize*", 0,
     "[ ! -e /tmp/plugin_imgsrg.sro ]",
     "mkdir -p /tmp/p/usr/bin /tmp/p/opt/a /velm/plugin/1 /velm/plugin_srg && echo a "
     ">/tmp/p/usr/bin/alpha && "
     "echo d >/tmp/p/opt/a/data && " IMAGE("/tmp/p", "alpha-1 --dep base-1", "/tmp/a.img")},
    {"record save 1 /tmp/a.img", OK, 0,
     "cmp /tmp/r.sro /velm/plugin/1/plugin.sro && [ $(readlink "
     "/velm/plugin_srg/plugin-alpha-1.sro) = /velm/plugin/1/plugin.sro ]"},
    {"record cleanup 1", OK, 0,
     "[ ! -e /velm/plugin/1/plugin.sro ] && [ ! -e /velm/plugin_srg/plugin-alpha-1.sro ]"},
    {"check /tmp/a.img", "/tmp/a.img: accepted\n", 0},
    {"check /tmp/a.img --max-unpacked 1",
     "./opt/a/data: unpacked size passes the limit of 1 bytes\n/tmp/a.img: refused, 1 problem\n",
     1},
    {"check /tmp/r.sro", "", 1},
    {"extract /tmp/a.img /velm/plugin/1 --manifest /tmp/a.log", OK, 0,
     "grep -qx ./usr/bin/alpha /tmp/a.log"},
    {"link /tmp/a.log /velm/plugin/1 --exclude /opt/a", "No Patching support on this platform\n" OK,
     0, "[ $(readlink /usr/bin/alpha) = /velm/plugin/1/usr/bin/alpha ] && [ ! -e /opt/a ]"},
    {"owner /usr/bin/alpha /opt/a /usr/bin/sh",
     "/usr/bin/alpha: plugin /velm/plugin/1, swid alpha-1, entry ./usr/bin/alpha of "
     "/velm/plugin_extract_log/a.log\n/opt/a: not a plugin file\n/usr/bin/sh: not a plugin file\n",
     1, "",
     "mkdir -p /velm/plugin_extract_log && cp /tmp/a.log /velm/plugin_extract_log/ && " PI_PLUGINCTL
     " record save 1 /tmp/a.img"},
    {"files /tmp/f.log /velm/plugin/1 --exclude /opt/a/data",
     "linked /usr/bin/\nlinked /usr/bin/alpha -> /velm/plugin/1/usr/bin/alpha\n"
     "missing /opt/a/\nexcluded /opt/a/data\nabsent /none (no /velm/plugin/1/none)\nheld "
     "/opt/h -> /velm/plugin/1/opt/h (now a file)\n",
     0, "rm /opt/h /velm/plugin/1/opt/h",
     "printf './usr/bin/\\n./usr/bin/alpha\\n./opt/a/\\n./opt/a/data\\n./none\\n\\n./\\nopt/h' "
     ">/tmp/f.log && echo h >/opt/h && echo h >/velm/plugin/1/opt/h"},
    {"link /tmp/a.log /velm/plugin/1", "PLUGIN_ERR_LINK (0x40ea001f)\n", 1},
    {"unlink /tmp/none.log /tmp", "PLUGIN_ERR_OPEN (0x40ea0017)\n", 1},
    {"unlink /tmp/a.log /velm/plugin/1 --exclude /opt/a", OK, 0,
     "[ ! -e /usr/bin/alpha ] && [ -e /usr/bin/sh ]"},
    {"excluded //etc/xyz --exclude /usr --exclude /etc/x", "excluded\n", 0},
    {"excluded /a/etc/x --exclude /etc/x", "not excluded\n", 0},
    {"newer-fs /tmp/a.img /tmp/b.log /velm/plugin/1", "", 0,
     "grep -q opt/newer /tmp/b.log && [ -f /velm/plugin/1/opt/newer ]",
     "mkdir -p /bootflash/a.img-newer-fs/opt && echo new >/bootflash/a.img-newer-fs/opt/newer"},
    {"extract-member /opt/sd", "*" OK, 0, "[ -f /opt/sd/f ]",
     "mkdir -p /tmp/s/opt/sd /var/sysmgr/ftp/img-sync && echo s >/tmp/s/opt/sd/f && " IMAGE(
         "/tmp/s", "sys-1", "/var/sysmgr/ftp/img-sync/curr-velm.img")},
    {"swid-map create /tmp/m --strings 1 --bytes 8", OK, 0},
    {"swid-map create /tmp/m", "", 1},
    {"swid-map append /tmp/m pkg-a pkg-b pkg-a", "0 pkg-a\n1 pkg-b\n0 pkg-a\n" OK, 0},
    {"swid-map get /tmp/m pkg-b", "1\n" OK, 0},
    {"swid-map list /tmp/m", "0 pkg-a\n1 pkg-b\n" OK, 0},
    {"swid-map check /tmp/m", "intact yes\n*", 0},
    {"order load /tmp/app.sro /tmp/lib.sro /tmp/base.sro", "base-1\nlib-1\napp-1\n" OK, 0, "",
     "true" REC("app-1", " --dep lib-1", "app") REC("lib-1", " --dep base-1", "lib")
         REC("base-1", "", "base")},
    {"order unload /tmp/base.sro /tmp/app.sro /tmp/lib.sro", "app-1\nlib-1\nbase-1\n" OK, 0},
    {"order load /tmp/app.sro /tmp/lib.sro /tmp/base.sro", "PLUGIN_ERR_DEP_CYCLE (0x40ea0009)\n", 1,
     "", "true" REC("base-1", " --dep app-1", "base")},
    {"order matrix 001 100 000", "2\n0\n1\n" OK, 0},
    {"order matrix 01 10", "PLUGIN_ERR_DEP_CYCLE (0x40ea0009)\n", 1},
    {"cmdline get plugins", "3,4+5\n", 0},
    {"cmdline get pdebug", "", 1},
    {"cmdline plugins 3,4+5 --all", "3\n4\n5\n", 0},
    {"cmdline plugins 1+2,3+4", "", 1},
    {"conf-names /tmp/img.conf", "first.img\nsecond.img\nfc_plugin\n" OK, 0, "",
     "printf '# images\\nfirst.img\\n\\nsecond.img\\n' >/tmp/img.conf && touch "
     "/mnt/pss/load-fcplugin"},
    {"stage-boot write 7 0x10 010", OK, 0, "", "mkdir -p /velm/plugin_extract_log"},
    {"stage-boot read", "0x00000007\n*", 0},
    {"--debug syscall 'echo hi; exit 1'", "hi\n256\n", 0},
    {"patch load-committed", "No Patching support on this platform\n", 0},
    {"mkdir /opt/made --mode 0711", OK, 0, "[ $(stat -c %a /opt/made) = 711 ]"},
    {"rmdir /opt/made", OK, 0, "[ ! -e /opt/made ]"},
    {"", "", 2},
    {"link only-a-log", "", 2},
    {"extract a b c", "", 2},
    {"record save seven f.sro", "", 2},
    {"swid-map create f --strings -1", "", 2},
    {"order matrix 01 1", "", 2},
    {"mkdir /tmp/x --mode 9", "", 2},
    {"patch unknown", "", 2},
    {"extract-member relative", "", 2},
    {"swid-map get /tmp/m nothere-1.0", "", 1, "", "",
     "pluginctl: nothere-1.0 is not in /tmp/m; add it with: pluginctl swid-map append /tmp/m "
     "nothere-1.0"},
    {"swid-map append /tmp/none x-1", "PLUGIN_ERR_NOENT (0x40ea0020)\n", 1, "", "",
     "pluginctl: /tmp/none does not exist; make the map first: pluginctl swid-map create "
     "/tmp/none"},
    {"link /tmp/a.log /velm/plugin/1 --dry-run", "", 2, "", "",
     "pluginctl: --dry-run goes before the subcommand: pluginctl --dry-run link ...\n" LINK_USAGE},
    {"--exclude /x link /tmp/a.log /velm/plugin/1", "", 2, "", "",
     "pluginctl: --exclude is an option of link, unlink, excluded, files; it goes after the "
     "subcommand\n" USAGE},
    {"link /tmp/a.log /velm/plugin/1 --exlude /x", "", 2, "", "",
     "pluginctl: unknown option --exlude; did you mean --exclude?\n" LINK_USAGE},
    {"--dryrun link /tmp/a.log /velm/plugin/1", "", 2, "", "",
     "pluginctl: unknown option --dryrun; did you mean --dry-run?\n" USAGE},
    {"lnk /tmp/a.log /velm/plugin/1", "", 2, "", "",
     "pluginctl: unknown subcommand lnk; did you mean link?\n" USAGE},
    {"swid-map gte /tmp/m x", "", 2, "", "",
     "pluginctl: unknown subcommand swid-map gte; did you mean swid-map get?\n" USAGE},
    {"help swid-map get", "usage: pluginctl [--debug] [--dry-run] swid-map get FILE SWID\n*", 0},
    {"extract /tmp/none.img /velm/plugin/1", "PLUGIN_ERR_IMG_OPEN (0x40ea0013)\n", 1, "", "",
     "pluginctl: /tmp/none.img does not exist; give the path of a plugin image (mkplugin "
     "makes one)"},
    {"record show /tmp/none.img", "PLUGIN_ERR_IMG_OPEN (0x40ea0013)\n", 1, "", "",
     "pluginctl: /tmp/none.img does not exist; give a record file (srgtool make) or a plugin "
     "image"},
    {"record save 3 /tmp/a.img", "PLUGIN_ERR_OPEN (0x40ea0017)\n", 1, "", "",
     "pluginctl: /velm/plugin/3 does not exist; make it first: mkdir -p /velm/plugin/3 "
     "/velm/plugin_srg"},
    {"mkdir /none/x", "PLUGIN_ERR_FAILED (0x40ea0001)\n", 1, "", "",
     "pluginctl: /none does not exist; make it first: mkdir -p /none"},
    {"link /tmp/none.log /velm/plugin/1", "PLUGIN_ERR_OPEN (0x40ea0017)\n", 1, "", "",
     "pluginctl: /tmp/none.log does not exist; give the manifest that extract --manifest wrote"},
    {"link /tmp/a.log /velm/plugin/9", "PLUGIN_ERR_STAT (0x40ea001c)\n", 1, "", "",
     "pluginctl: /velm/plugin/9 does not exist" GIVE_DIR " (pluginctl link LOG DIR)"},
    {"extract /tmp/a.img /velm/none --manifest /tmp/e.log", OK, 0, "", "",
     WARN "/velm/none does not exist, so nothing was extracted; make it first (mkdir -p "
          "/velm/none) and extract again"},
    {"link /tmp/e.log /velm/plugin/1", "*" OK, 0, "", "echo ./ >/tmp/e.log",
     WARN "/tmp/e.log lists no file, so nothing was linked; give the manifest that extract "
          "--manifest wrote"},
    {"link /velm/plugin/1 /tmp/a.log", "*" OK, 0, "", "",
     WARN "/velm/plugin/1 is a directory and /tmp/a.log a file: the arguments look swapped; the "
          "manifest comes first (pluginctl link LOG DIR)"},
    {"unlink /tmp/a.log /velm/plugin/5", OK, 0, "", "mkdir /velm/plugin/5",
     WARN "/velm/plugin/5 holds none of the files of /tmp/a.log, so nothing was unlinked" GIVE_DIR},
    {"unlink /tmp/a.log /velm/plugin/9", OK, 0, "", "",
     WARN "/velm/plugin/9 does not exist, so nothing was unlinked" GIVE_DIR
          " (pluginctl unlink LOG DIR)"},
    {"check /tmp/a.img --max-unpacked 1k", "", 2},
};

class PluginctlTest : public test_support::SandboxTest {};

TEST_F(PluginctlTest, EverySubcommandGivesItsResultLineAndStatus) {
    ::setenv("PLUGIN_MAX_ALLOWED_ZELL", "2", 1);
    sandbox::set_cmdline("use_newer_fs=yes plugins=3,4+5\n");
    for (const Row &r : kRows) {
        ASSERT_TRUE(test_support::sh(*r.setup ? r.setup : "true")) << r.setup;
        std::string out, err, want = r.out, args = r.args;
        int status = test_support::captured(
            [&] { return test_support::shell(PI_PLUGINCTL " " + args); }, &out, &err);
        if (!want.empty() && want.back() == '*')
            out = out.substr(0, want.size() - 1), want.pop_back();
        if (want[0] == '*')
            out = out.substr(out.size() - std::min(out.size(), want.size() - 1)), want.erase(0, 1);
        bool usage = r.status != 2 || err.find("usage: pluginctl") != err.npos;
        if (*r.err)
            usage = (status == 2 || err.empty() ? err : test_support::lines(err).back()) == r.err;
        EXPECT_EQ(std::tie(out, status, usage), std::make_tuple(want, r.status, true))
            << args << "\n"
            << err;
        EXPECT_TRUE(test_support::sh(*r.check ? r.check : "true")) << args << ": " << r.check;
    }
}

// A dry run, then the real run on the same tree: the dry run leaves the tree as it was, gives
// the real run's result line and status, and lists exactly what the real run then changes.
const Row kDryRows[] = {
    {"link /velm/d.log /velm/plugin/2", "No Patching support on this platform\n" OK, 0, "",
     "mkdir -p /tmp/d/usr/bin /tmp/d/opt/d /tmp/e/usr/bin /velm/plugin/2 /velm/plugin/3 && "
     "echo d >/tmp/d/usr/bin/dup && echo d >/tmp/d/opt/d/f && echo e >/tmp/e/usr/bin/a-e && "
     "echo e >/tmp/e/usr/bin/dup && " IMAGE("/tmp/d", "d-1", "/tmp/d.img") " && " IMAGE(
         "/tmp/e", "e-1", "/tmp/e.img") " && " EXTRACT("d", "2") " && " EXTRACT("e", "3")},
    {"link /velm/e.log /velm/plugin/3", "*PLUGIN_ERR_LINK (0x40ea001f)\n",
     1},  // a-e linked, then undone at dup
    {"unlink /velm/d.log /velm/plugin/2", OK, 0},
    {"swid-map create /velm/m", OK, 0},
    {"swid-map append /velm/m x-1", "0 x-1\n" OK, 0},
};

// "+ PATH", "- PATH", "~ PATH" (" -> TARGET" for a link) for what differs between two snapshots.
std::vector<std::string> changes(const test_support::Snapshot &before,
                                 const test_support::Snapshot &after) {
    std::vector<std::string> out;
    auto link = [](const std::string &what) {
        auto at = what.find(" -> ");
        return at == what.npos ? "" : what.substr(at);
    };
    for (const auto &[path, what] : after)
        if (!before.count(path) || before.at(path) != what)
            out.push_back((before.count(path) ? "~ " : "+ ") + path + link(what));
    for (const auto &[path, what] : before)
        if (!after.count(path)) out.push_back("- " + path);
    std::sort(out.begin(), out.end(),
              [](const std::string &a, const std::string &b) { return a.substr(2) < b.substr(2); });
    return out;
}

TEST_F(PluginctlTest, ADryRunChangesNothingAndListsWhatTheRealRunChanges) {
    for (const Row &r : kDryRows) {
        ASSERT_TRUE(test_support::sh(*r.setup ? r.setup : "true")) << r.setup;
        std::string dry, real, err, want = r.out;
        auto tree = [] { return test_support::snapshot({"/usr", "/opt", "/velm", "/etc"}); };
        const test_support::Snapshot before = tree();
        int dry_status = test_support::captured(
            [&] { return test_support::shell(PI_PLUGINCTL " --dry-run " + std::string(r.args)); },
            &dry, &err);
        ASSERT_EQ(tree(), before) << r.args << "\n" << err;
        int status = test_support::captured(
            [&] { return test_support::shell(PI_PLUGINCTL " " + std::string(r.args)); }, &real,
            &err);
        std::vector<std::string> listed, data;
        for (const std::string &line : test_support::lines(dry))
            (line.find_first_of("+-~") == 0 && line[1] == ' ' ? listed : data).push_back(line);
        EXPECT_EQ(listed, changes(before, tree())) << r.args;
        EXPECT_EQ(std::make_tuple(data, dry_status),
                  std::make_tuple(test_support::lines(real), status))
            << r.args;
        if (want[0] == '*')
            real = real.substr(real.size() - std::min(real.size(), want.size() - 1)),
            want.erase(0, 1);
        EXPECT_EQ(std::tie(real, status), std::tie(want, r.status)) << r.args;
    }
}

}  // namespace
