// Linking a plugin into the root tree and unlinking it again, row by row: each
// row builds a plugin tree and its manifest, prepares the root tree, runs one
// operation and compares the result code, stderr byte for byte, syslog, the
// patch hook's calls and what the root tree holds afterwards.
#include <sys/stat.h>
#include <syslog.h>

#include <sstream>
#include <string>
#include <vector>

#include "platform/plugin_strings.h"
#include "tests/support/fixture.h"
#include "tests/support/fs.h"

namespace {

const std::string kLog = "/velm/m.log";
const std::string kPlain = "console=ttyS0 quiet\n", kPdebug = "root=/dev/ram pdebug=1 quiet\n";

struct Case {
    std::string name{};
    bool unlink = false;              // plugin_unlink_from_exec_path instead of linking
    bool pdebug = false;              // "pdebug" on the kernel command line
    std::vector<std::string> tree{};  // "d DIR/", "f FILE", "l LINK CONTENTS", "m RAW LINE"
    std::string setup{};              // shell run on the root tree after the plugin is built
    std::string readonly{};           // bound read-only before the call
    std::vector<std::string> exclude{};  // empty: no set
    std::string plugin = "/velm/plugin/3";
    std::string log = kLog;
    plugin_rc_t rc = PLUGIN_OK;
    std::string err{};                // stderr after the start line, see expand()
    std::vector<std::string> checks{};  // "l PATH TARGET", "d PATH [MODE]", "f PATH TEXT", "- PATH"
    int hook = 0;                     // calls of the patch hook
    std::vector<std::string> dups{};  // link names in the syslog lines
    bool untouched = false;           // root tree afterwards exactly as before the call
};
void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

std::string replace_all(std::string s, const std::string &from, const std::string &to) {
    for (auto at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
    return s;
}

// "L: ", "U: ", "X: " at a line's start stand for the three functions' names,
// a line "@U" for the start line of the undo, "@load" for the patch line, $P
// for the row's plugin path.
std::string expand(const Case &c, const std::string &text) {
    std::string out;
    for (const std::string &line : pit::lines(replace_all(text, "$P", c.plugin))) {
        if (line == "@U")
            out += "plugin_unlink_from_exec_path: plugin_path = " + c.plugin + ",  tar_log = " + c.log + "\n";
        else if (line == "@load") out += "Loading the committed patches...\n";
        else if (line.rfind("L: ", 0) == 0) out += "plugin_link_to_exec_path" + line.substr(1) + "\n";
        else if (line.rfind("U: ", 0) == 0) out += "plugin_unlink_from_exec_path" + line.substr(1) + "\n";
        else if (line.rfind("X: ", 0) == 0)
            out += "plugin_file_is_excluded_from_exec_path" + line.substr(1) + "\n";
        else out += line + "\n";
    }
    return out;
}

// What plugin_get_cmdline writes while the link operation looks up "pdebug".
std::string pdebug_lookup(const std::string &cmdline) {
    std::string text = "plugin_get_cmdline: Expected cmdline: pdebug\nplugin_get_cmdline: File read ====> " +
                       cmdline + "\nplugin_get_cmdline: Read === > " + cmdline;
    return cmdline == kPlain ? text + "plugin_get_cmdline: can't find pdebug\n" : text;
}

std::string syslog_line(const std::string &link, const std::string &plugin) {
    return "plugin_link_to_exec_path: Duplicate file '" + link + "' found while extracting plugin '" +
           plugin + "'.  Please remove duplicate file from corresponding plugin.\n";
}

// Builds the plugin tree under the plugin path and writes the manifest.
void build(const Case &c) {
    std::string manifest;
    for (const std::string &e : c.tree) {
        const std::string kind = e.substr(0, 1), rest = e.substr(2), name = rest.substr(0, rest.find(' '));
        const std::string path = c.plugin + "/" + name;
        manifest += (kind == "m" ? rest : "./" + name) + "\n";
        if (kind == "d") pit::mkdirs(path);
        EXPECT_TRUE(kind != "f" || pit::write_file(path, "data\n")) << path;
        if (kind != "l") continue;
        pit::mkdirs(path.substr(0, path.rfind('/')));
        EXPECT_EQ(::symlink(rest.substr(name.size() + 1).c_str(), path.c_str()), 0) << path;
    }
    ASSERT_TRUE(pit::write_file(kLog, manifest));
}

void check(const Case &c, const std::string &text) {
    std::istringstream in(replace_all(text, "$P", c.plugin));
    std::string kind, path, want;
    in >> kind >> path >> want;
    struct stat st {};
    EXPECT_TRUE(kind != "l" || pit::link_target(path) == want) << path;
    EXPECT_TRUE(kind != "f" || pit::read_file(path) == want + "\n") << path;
    EXPECT_TRUE(kind != "-" || !pit::exists(path)) << path;
    if (kind != "d") return;
    ASSERT_EQ(::lstat(path.c_str(), &st), 0) << path;
    EXPECT_TRUE(S_ISDIR(st.st_mode)) << path;
    EXPECT_TRUE(want.empty() || std::stoul(want, nullptr, 8) == (st.st_mode & 0777u)) << path;
}

class ExecPathTest : public pit::SandboxTest, public ::testing::WithParamInterface<Case> {};

TEST_P(ExecPathTest, Row) {
    const Case &c = GetParam();
    pit::set_cmdline(c.pdebug ? kPdebug : kPlain);
    build(c);
    ASSERT_TRUE(pit::sh(replace_all(c.setup, "$P", c.plugin))) << c.setup;
    ASSERT_TRUE(c.readonly.empty() || pit::bind_readonly(c.readonly));
    plugin_strings *set = nullptr;
    if (!c.exclude.empty()) set = plugin_strings_malloc(8, 512);
    for (const std::string &s : c.exclude) ASSERT_GE(plugin_strings_append(set, s.c_str()), 0);
    int hook = 0;
    pit::dbl::plugin_load_committed_patch = [&] { return ++hook, PI_REAL(plugin_load_committed_patch)(); };
    const auto before = pit::snapshot({"/usr/bin", "/opt", "/etc", "/velm"});
    pit::SyslogSink sink;
    ASSERT_TRUE(sink.ok());
    const mode_t umask = ::umask(022);
    plugin_intn_debug_on();

    std::string out, err;
    const plugin_rc_t rc = pit::captured([&] {
        return (c.unlink ? plugin_unlink_from_exec_path : plugin_link_to_exec_path)(c.log.c_str(), set,
                                                                                     c.plugin.c_str());
    }, &out, &err);

    EXPECT_EQ(rc, c.rc);
    const std::string start = c.unlink ? "" : pdebug_lookup(c.pdebug ? kPdebug : kPlain) +
        "plugin_link_to_exec_path: plugin_path = " + c.plugin + ", tar_log = " + c.log + "\n";
    EXPECT_EQ(err, start + expand(c, c.unlink ? "@U\n" + c.err : c.err));
    std::string stub;
    for (int i = 0; i < c.hook; ++i) stub += "No Patching support on this platform\n";
    EXPECT_EQ(hook, c.hook);
    EXPECT_EQ(out, stub);
    EXPECT_EQ(::umask(umask), 022u);
    EXPECT_EQ(libplugin_intn_debug, c.unlink ? 1 : 0);
    for (const std::string &text : c.checks) check(c, text);
    if (c.untouched) { EXPECT_EQ(pit::snapshot({"/usr/bin", "/opt", "/etc", "/velm"}), before); }
    const std::vector<std::string> grams = sink.drain();
    ASSERT_EQ(grams.size(), c.dups.size());
    for (std::size_t i = 0; i < grams.size(); ++i) {
        int pri = -1;
        std::string msg;
        EXPECT_TRUE(pit::parse_syslog(grams[i], &pri, &msg)) << grams[i];
        EXPECT_EQ(pri, LOG_USER | LOG_CRIT);
        EXPECT_EQ(msg, syslog_line(c.dups[i], c.plugin));
    }
    ::closelog();
    plugin_strings_free(set);
}

std::vector<Case> cases() {
    const std::string l236(236, 'L'), l250(250, 'L'), c299(299, 'c');
    const std::vector<std::string> dup_tree = {"d usr/", "d usr/bin/", "f usr/bin/a", "f usr/bin/dup", "f usr/bin/z"};
    return {
        {.name = "WorkedExample",
         .tree = {"m ./", "m ", "d usr/", "d usr/bin/", "f usr/bin/foo", "d usr/lib/", "l usr/lib/libfoo.so libfoo.so.1",
                  "l usr/bin/bar /usr/bin/foo", "l usr/bin/y ../lib/x", "d opt/new/",
                  "f opt/" + l236, "m ./opt/" + l250 + "/tail", "l usr/bin/c /" + c299},
         .err = "@load",
         .checks = {"l /usr/bin/foo $P/usr/bin/foo", "l /usr/lib/libfoo.so $P/usr/lib/libfoo.so.1",
                    "l /usr/bin/bar /usr/bin/foo", "l /usr/bin/y $P/usr/bin/../lib/x", "d /opt/new 777",
                    "l /opt/" + l250 + " $P/opt/" + l236, "l /usr/bin/c /" + c299.substr(0, 254)},
         .hook = 1},
        {.name = "DuplicateFileFailsPassTwoAndIsUndone", .tree = dup_tree, .setup = "echo mine > /usr/bin/dup",
         .rc = PLUGIN_ERR_LINK,
         .err = "L: /usr/bin/dup exists\n@U\nU: remove /usr/bin/a\nU: readlink /usr/bin/dup failed (errno 22)",
         .dups = {"/usr/bin/dup"}, .untouched = true},
        {.name = "DuplicateDirectoryTolerated", .pdebug = true, .tree = dup_tree,
         .setup = "mkdir /usr/bin/dup && echo mine > /usr/bin/dup/keep", .rc = PLUGIN_ERR_LINK,
         .err = "L: /usr/bin/dup exists\n@U\nU: remove /usr/bin/a", .dups = {"/usr/bin/dup"}, .untouched = true},
        {.name = "DuplicateIsTheResultWhenPassTwoCompletes", .tree = dup_tree, .setup = "echo mine > /usr/bin/dup",
         .plugin = "/velm/plugin/xsd3", .rc = PLUGIN_ERR_DUPLICATE,
         .err = "L: /usr/bin/dup exists\n@load\n@U\nU: remove /usr/bin/a\n"
                "U: readlink /usr/bin/dup failed (errno 22)\nU: remove /usr/bin/z",
         .hook = 1, .dups = {"/usr/bin/dup"}, .untouched = true},
        {.name = "DuplicateToleratedWhenPassTwoCompletes", .pdebug = true, .tree = dup_tree,
         .setup = "echo mine > /usr/bin/dup", .plugin = "/velm/plugin/xsd3",
         .err = "L: /usr/bin/dup exists\n@load", .checks = {"l /usr/bin/z $P/usr/bin/z", "f /usr/bin/dup mine"},
         .hook = 1, .dups = {"/usr/bin/dup"}},
        {.name = "DanglingLinkIsNoDuplicateButFailsTheSymlink", .tree = dup_tree,
         .setup = "ln -s /nowhere /usr/bin/dup", .rc = PLUGIN_ERR_LINK,
         .err = "@U\nU: remove /usr/bin/a\nU: readlink /nowhere, plugin_path $P ", .untouched = true},
        {.name = "ResolverFileIsReportedButTolerated",
         .tree = {"d velm/etc/routing-sw/", "f velm/etc/routing-sw/tamo_resolv.conf", "f velm/etc/routing-sw/tamo_resolv",
                  "d usr/bin/", "f usr/bin/x"},
         .setup = "mkdir -p /velm/etc/routing-sw && cd /velm/etc/routing-sw && echo ns > tamo_resolv.conf && "
                  "echo ns > tamo_resolv",
         .err = "L: /velm/etc/routing-sw/tamo_resolv.conf exists\nL: /velm/etc/routing-sw/tamo_resolv exists\n@load",
         .checks = {"f /velm/etc/routing-sw/tamo_resolv.conf ns", "l /usr/bin/x $P/usr/bin/x"}, .hook = 1,
         .dups = {"/velm/etc/routing-sw/tamo_resolv.conf", "/velm/etc/routing-sw/tamo_resolv"}},
        {.name = "XsdNamesAreNeitherReportedNorFatal",
         .tree = {"d usr/share/xsd/", "f usr/share/xsd/a.xsd", "d usr/bin/", "f usr/bin/x"},
         .setup = "mkdir -p /usr/share/xsd && echo mine > /usr/share/xsd/a.xsd", .err = "@load",
         .checks = {"f /usr/share/xsd/a.xsd mine", "l /usr/bin/x $P/usr/bin/x"}, .hook = 1},
        {.name = "ExcludedEntryHasALinePerPass", .tree = {"d etc/", "f etc/x", "d usr/bin/", "f usr/bin/a"},
         .setup = "echo host > /etc/x", .exclude = {"/etc/x"},
         .err = "X: /etc/x is excluded from linking\nX: /etc/x is excluded from linking\n@load",
         .checks = {"f /etc/x host", "l /usr/bin/a $P/usr/bin/a"}, .hook = 1},
        {.name = "MissingEntryFailsPassOne", .tree = {"d usr/bin/", "f usr/bin/a", "d opt/new/", "m ./usr/bin/missing"},
         .rc = PLUGIN_ERR_STAT, .err = "L: stat $P/usr/bin/missing failed", .untouched = true},
        {.name = "LinkNameThatCannotBeStatedFailsPassOne", .tree = {"d usr/bin/", "f usr/bin/a", "f usr/bin/loop"},
         .setup = "ln -s /usr/bin/loop /usr/bin/loop", .rc = PLUGIN_ERR_STAT, .err = "L: stat /usr/bin/loop failed",
         .untouched = true},
        {.name = "RefusedMkdirIsUndone", .tree = {"d usr/bin/", "f usr/bin/a", "d opt/new/", "f opt/new/b"},
         .readonly = "/opt", .rc = PLUGIN_ERR_MKDIR, .err = "L: mkdir /opt/new/ failed\n@U\nU: remove /usr/bin/a",
         .untouched = true},
        {.name = "RelativeTargetOverTheBufferIsUndone",
         .tree = {"d usr/bin/", "f usr/bin/a", "l usr/bin/long " + std::string(60, 't')},
         .plugin = "/velm/" + std::string(200, 'p'), .rc = PLUGIN_ERR_LINK,
         .err = "L: link target for $P/usr/bin/long longer than 255 characters\n@U\nU: remove /usr/bin/a",
         .untouched = true},
        {.name = "UnseekableManifest", .tree = {"d usr/"},
         .setup = "mkfifo /tmp/fifo && { cat /velm/m.log > /tmp/fifo 2>/dev/null & }", .log = "/tmp/fifo",
         .rc = PLUGIN_ERR_SEEK, .err = "L: fseek /tmp/fifo failed"},
        {.name = "UnopenableManifest", .log = "/velm/none", .rc = PLUGIN_ERR_OPEN},
        {.name = "UnlinkOwnershipIsATextPrefix", .unlink = true,
         .tree = {"m ./opt/mine", "m ./opt/ten", "m ./opt/exact", "m ./opt/long", "m ./opt/file", "m ./opt/none"},
         .setup = "ln -s /velm/plugin/1/a /opt/mine && ln -s /velm/plugin/10/a /opt/ten && ln -s /velm/plugin/1 "
                  "/opt/exact && ln -s /" + c299 + " /opt/long && echo x > /opt/file",
         .plugin = "/velm/plugin/1",
         .err = "U: remove /opt/mine\nU: remove /opt/ten\nU: readlink /velm/plugin/1, plugin_path $P \n"
                "U: readlink /" + c299.substr(0, 254) + ", plugin_path $P \nU: readlink /opt/file failed (errno 22)",
         .checks = {"- /opt/mine", "- /opt/ten", "l /opt/exact /velm/plugin/1", "f /opt/file x"}},
        {.name = "UnlinkRemovesDirectoriesEmptyAtTheirTurn", .unlink = true,
         .tree = {"m ./opt/a/", "m ./opt/a/b/", "m ./opt/pre/", "m ./opt/full/", "m ./opt/to-dir", "m ./opt/to-file"},
         .setup = "mkdir -p /opt/a/b /opt/pre /opt/full /opt/dir && echo x > /opt/full/x && "
                  "ln -s /opt/dir /opt/to-dir && ln -s /usr/bin/env /opt/to-file",
         .err = "U: readlink /opt/dir, plugin_path $P \nU: readlink /usr/bin/env, plugin_path $P ",
         .checks = {"d /opt/a", "- /opt/a/b", "- /opt/pre", "f /opt/full/x x", "- /opt/to-dir", "d /opt/dir",
                    "l /opt/to-file /usr/bin/env"}},
        {.name = "UnlinkLeavesExcludedEntries", .unlink = true, .tree = {"m ./opt/keep/", "m ./opt/x"},
         .setup = "mkdir /opt/keep && ln -s $P/x /opt/x", .exclude = {"/opt/keep", "/opt/x"},
         .err = "X: /opt/keep/ is excluded from linking\nX: /opt/x is excluded from linking\n"
                "X: /opt/keep/ is excluded from linking\nX: /opt/x is excluded from linking",
         .checks = {"d /opt/keep", "l /opt/x $P/x"}},
        {.name = "UnlinkUnopenableManifest", .unlink = true, .log = "/velm/none", .rc = PLUGIN_ERR_OPEN},
    };
}

INSTANTIATE_TEST_SUITE_P(Rows, ExecPathTest, ::testing::ValuesIn(cases()),
                         [](const auto &info) { return info.param.name; });

}  // namespace
