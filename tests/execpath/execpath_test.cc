// Linking a plugin into the root tree and unlinking it again: each row builds a plugin tree and its
// manifest, prepares the root tree, runs one operation and checks rc, stderr, syslog, the patch
// hook's calls and the root tree afterwards.
#include <syslog.h>

#include <sstream>

#include "platform/plugin_strings.h"
#include "tests/support/fixture.h"
#include "tests/support/fs.h"

namespace {

const std::string kLog = "/velm/m.log";
const std::string kPlain = "console=ttyS0 quiet\n", kPdebug = "root=/dev/ram pdebug=1 quiet\n";
using Strings = std::vector<std::string>;

struct Case {
    std::string name{};
    bool unlink = false;     // plugin_unlink_from_exec_path instead of linking
    bool pdebug = false;     // "pdebug" on the kernel command line
    Strings tree{};          // "d DIR/", "f FILE", "l LINK CONTENTS", "m RAW MANIFEST LINE"
    std::string setup{};     // shell run on the root tree once the plugin is built
    std::string readonly{};  // bound read-only before the call
    Strings exclude{};       // none: no set
    std::string plugin = "/velm/plugin/3", log = kLog;
    plugin_rc_t rc = PLUGIN_OK;
    std::string err{};       // stderr after the start line, see expand()
    Strings checks{};        // "l PATH TARGET", "d PATH [MODE]", "f PATH TEXT", "- PATH"
    int hook = 0;            // calls of the patch hook
    Strings dups{};          // link names of the syslog lines
    bool untouched = false;  // the root tree afterwards exactly as before the call
};
void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

std::string replace_all(std::string s, const std::string &from, const std::string &to) {
    for (auto at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
    return s;
}

// $P is the row's plugin path; a line beginning "L: ", "U: ", "X: " one of the
// three functions' lines, "@U" the start line of the undo, "@load" the patch line.
std::string expand(const Case &c, const std::string &text) {
    const std::pair<std::string, std::string> abbrev[] = {
        {"L: ", "plugin_link_to_exec_path: "},
        {"U: ", "plugin_unlink_from_exec_path: "},
        {"X: ", "plugin_file_is_excluded_from_exec_path: "},
        {"@load", "Loading the committed patches..."},
        {"@U",
         "plugin_unlink_from_exec_path: plugin_path = " + c.plugin + ",  tar_log = " + c.log}};
    std::string out;
    for (std::string line : test_support::lines(replace_all(text, "$P", c.plugin))) {
        for (const auto &[from, to] : abbrev)
            if (line.rfind(from, 0) == 0) line = to + line.substr(from.size());
        out += line + "\n";
    }
    return out;
}

// Builds the plugin tree under the plugin path and writes the manifest.
void build(const Case &c) {
    std::string manifest;
    for (const std::string &e : c.tree) {
        const std::string kind = e.substr(0, 1), rest = e.substr(2),
                          name = rest.substr(0, rest.find(' '));
        const std::string path = c.plugin + "/" + name;
        manifest += (kind == "m" ? rest : "./" + name) + "\n";
        if (kind == "d") sandbox::mkdir_p(path);
        EXPECT_TRUE(kind != "f" || test_support::write_file(path, "data\n")) << path;
        if (kind != "l") continue;
        sandbox::mkdir_p(path.substr(0, path.rfind('/')));
        EXPECT_EQ(::symlink(rest.substr(name.size() + 1).c_str(), path.c_str()), 0) << path;
    }
    ASSERT_TRUE(test_support::write_file(kLog, manifest));
}

void check(const Case &c, const std::string &text) {
    std::istringstream in(replace_all(text, "$P", c.plugin));
    std::string kind, path, want;
    in >> kind >> path >> want;
    EXPECT_TRUE(kind != "l" || sandbox::read_link(path) == want) << text;
    EXPECT_TRUE(kind != "f" || test_support::read_file(path) == want + "\n") << text;
    EXPECT_TRUE(kind != "-" || !test_support::exists(path)) << text;
    struct stat st {};
    EXPECT_TRUE(kind != "d" ||
                (::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
                 (want.empty() || std::stoul(want, nullptr, 8) == (st.st_mode & 0777u))))
        << text;
}

class ExecPathTest : public test_support::SandboxTest,
                     public ::testing::WithParamInterface<Case> {};

TEST_P(ExecPathTest, Row) {
    const Case &c = GetParam();
    const std::string &cmdline = c.pdebug ? kPdebug : kPlain;
    sandbox::set_cmdline(cmdline);
    build(c);
    ASSERT_TRUE(test_support::sh(replace_all(c.setup, "$P", c.plugin))) << c.setup;
    ASSERT_TRUE(c.readonly.empty() || sandbox::bind_readonly(c.readonly));
    int hook = 0;
    test_support::doubles::plugin_load_committed_patch = [&] {
        ++hook;
        return PI_REAL(plugin_load_committed_patch)();
    };
    const auto before = test_support::snapshot({"/usr/bin", "/opt", "/etc", "/velm"});
    test_support::SyslogSink sink;
    const mode_t umask = ::umask(022);
    plugin_intn_debug_on();
    plugin_strings *set = c.exclude.empty() ? nullptr : plugin_strings_malloc(8, 512);
    for (const std::string &s : c.exclude) EXPECT_GE(plugin_strings_append(set, s.c_str()), 0);

    std::string out, err;
    const plugin_rc_t rc = test_support::captured(
        [&] {
            auto *op = c.unlink ? plugin_unlink_from_exec_path : plugin_link_to_exec_path;
            return op(c.log.c_str(), set, c.plugin.c_str());
        },
        &out, &err);
    plugin_strings_free(set);
    ::closelog();

    EXPECT_EQ(rc, c.rc);
    // The lookup of "pdebug" writes its lines first.
    const std::string start =
        c.unlink ? ""
                 : "plugin_get_cmdline: Expected cmdline: pdebug\n"
                   "plugin_get_cmdline: File read ====> " +
                       cmdline + "\nplugin_get_cmdline: Read === > " + cmdline +
                       (c.pdebug ? "" : "plugin_get_cmdline: can't find pdebug\n") +
                       "plugin_link_to_exec_path: plugin_path = " + c.plugin +
                       ", tar_log = " + c.log + "\n";
    EXPECT_EQ(err, start + expand(c, c.unlink ? "@U\n" + c.err : c.err));
    EXPECT_EQ(hook, c.hook);
    EXPECT_EQ(out, c.hook ? "No Patching support on this platform\n" : "");
    EXPECT_EQ(::umask(umask), 022u);
    EXPECT_EQ(libplugin_intn_debug, c.unlink ? 1 : 0);
    for (const std::string &text : c.checks) check(c, text);
    if (c.untouched) {
        EXPECT_EQ(test_support::snapshot({"/usr/bin", "/opt", "/etc", "/velm"}), before);
    }
    // Each datagram as its priority (user, critical) and the text after "<pri>date tag: ".
    Strings grams, want;
    for (const std::string &g : sink.drain())
        grams.push_back(g.substr(0, 4) + g.substr(g.find(": ") + 2));
    for (const std::string &dup : c.dups)
        want.push_back("<10>plugin_link_to_exec_path: Duplicate file '" + dup +
                       "' found while extracting plugin '" + c.plugin +
                       "'.  Please remove duplicate file from corresponding plugin.\n");
    EXPECT_EQ(grams, want);
}

std::vector<Case> cases() {
    const std::string l236(236, 'L'), l250(250, 'L'), c299(299, 'c');
    const Strings dup_tree = {"d usr/", "d usr/bin/", "f usr/bin/a", "f usr/bin/dup",
                              "f usr/bin/z"};
    return {
        {.name = "WorkedExample",
         .tree = {"m ./", "m ", "d opt/new/", "d usr/", "d usr/bin/", "f usr/bin/foo", "d usr/lib/",
                  "l usr/lib/libfoo.so libfoo.so.1", "l usr/bin/bar /usr/bin/foo",
                  "l usr/bin/y ../lib/x", "l usr/bin/1 x", "f opt/" + l236,
                  "m ./opt/" + l250 + "/tail", "l usr/bin/c /" + c299},
         .err = "@load",
         .checks = {"l /usr/bin/foo $P/usr/bin/foo", "l /usr/lib/libfoo.so $P/usr/lib/libfoo.so.1",
                    "l /usr/bin/bar /usr/bin/foo", "l /usr/bin/y $P/usr/bin/../lib/x",
                    "d /opt/new 777", "l /usr/bin/1 $P/usr/bin/x",
                    "l /opt/" + l250 + " $P/opt/" + l236, "l /usr/bin/c /" + c299.substr(0, 254)},
         .hook = 1},
        {.name = "DuplicateFileFailsPassTwoAndIsUndone",
         .tree = dup_tree,
         .setup = "echo mine > /usr/bin/dup",
         .rc = PLUGIN_ERR_LINK,
         .err = "L: /usr/bin/dup exists\n@U\nU: remove /usr/bin/a\n"
                "U: readlink /usr/bin/dup failed (errno 22)",
         .dups = {"/usr/bin/dup"},
         .untouched = true},
        {.name = "DuplicateIsTheResultWhenPassTwoCompletes",
         .tree = dup_tree,
         .setup = "echo mine > /usr/bin/dup",
         .plugin = "/velm/plugin/xsd3",
         .rc = PLUGIN_ERR_DUPLICATE,
         .err = "L: /usr/bin/dup exists\n@load\n@U\nU: remove /usr/bin/a\n"
                "U: readlink /usr/bin/dup failed (errno 22)\nU: remove /usr/bin/z",
         .hook = 1,
         .dups = {"/usr/bin/dup"},
         .untouched = true},
        {.name = "ExcludedEntryAndToleratedDuplicateWithPassTwoComplete",
         .pdebug = true,
         .tree = dup_tree,
         .setup = "echo host > /usr/bin/a && echo mine > /usr/bin/dup",
         .exclude = {"/usr/bin/a"},
         .plugin = "/velm/plugin/xsd3",
         .err = "X: /usr/bin/a is excluded from linking\nL: /usr/bin/dup exists\n"
                "X: /usr/bin/a is excluded from linking\n@load",
         .checks = {"l /usr/bin/z $P/usr/bin/z", "f /usr/bin/dup mine", "f /usr/bin/a host"},
         .hook = 1,
         .dups = {"/usr/bin/dup"}},
        {.name = "DanglingLinkIsNoDuplicateButFailsTheSymlink",
         .tree = dup_tree,
         .setup = "ln -s /nowhere /usr/bin/dup",
         .rc = PLUGIN_ERR_LINK,
         .err = "@U\nU: remove /usr/bin/a\nU: readlink /nowhere, plugin_path $P ",
         .untouched = true},
        {.name = "XsdNamesAndTheResolverFileAreTolerated",
         .tree = {"d usr/share/xsd/", "f usr/share/xsd/a.xsd", "d velm/etc/routing-sw/",
                  "f velm/etc/routing-sw/tamo_resolv.conf", "f velm/etc/routing-sw/tamo_resolv",
                  "d usr/bin/", "f usr/bin/x"},
         .setup =
             "mkdir -p /usr/share/xsd /velm/etc/routing-sw && echo mine > /usr/share/xsd/a.xsd && "
             "cd /velm/etc/routing-sw && echo ns > tamo_resolv.conf && echo ns > tamo_resolv",
         .err = "L: /velm/etc/routing-sw/tamo_resolv.conf exists\n"
                "L: /velm/etc/routing-sw/tamo_resolv exists\n@load",
         .checks = {"f /usr/share/xsd/a.xsd mine", "f /velm/etc/routing-sw/tamo_resolv.conf ns",
                    "l /usr/bin/x $P/usr/bin/x"},
         .hook = 1,
         .dups = {"/velm/etc/routing-sw/tamo_resolv.conf", "/velm/etc/routing-sw/tamo_resolv"}},
        {.name = "MissingEntryFailsPassOne",
         .tree = {"d usr/bin/", "f usr/bin/a", "d opt/new/", "m ./usr/bin/missing"},
         .rc = PLUGIN_ERR_STAT,
         .err = "L: stat $P/usr/bin/missing failed",
         .untouched = true},
        {.name = "LinkNameThatCannotBeStatedFailsPassOne",
         .tree = {"d usr/bin/", "f usr/bin/a", "f usr/bin/loop"},
         .setup = "ln -s /usr/bin/loop /usr/bin/loop",
         .rc = PLUGIN_ERR_STAT,
         .err = "L: stat /usr/bin/loop failed",
         .untouched = true},
        {.name = "RefusedMkdirIsUndone",
         .tree = {"d usr/bin/", "f usr/bin/a", "d opt/new/", "f opt/new/b"},
         .readonly = "/opt",
         .rc = PLUGIN_ERR_MKDIR,
         .err = "L: mkdir /opt/new/ failed\n@U\nU: remove /usr/bin/a",
         .untouched = true},
        {.name = "RelativeTargetOverTheBufferBeforeAnyLinkNeedsNoUndo",
         .tree = {"d usr/bin/", "l usr/bin/long " + std::string(60, 't'), "f usr/bin/a"},
         .plugin = "/velm/" + std::string(200, 'p'),
         .rc = PLUGIN_ERR_LINK,
         .err = "L: link target for $P/usr/bin/long longer than 255 characters",
         .untouched = true},
        {.name = "UnseekableManifest",
         .tree = {"d usr/"},
         .setup = "mkfifo /tmp/fifo && { cat /velm/m.log > /tmp/fifo 2>/dev/null & }",
         .log = "/tmp/fifo",
         .rc = PLUGIN_ERR_SEEK,
         .err = "L: fseek /tmp/fifo failed"},
        {.name = "UnopenableManifest", .log = "/velm/none", .rc = PLUGIN_ERR_OPEN},
        {.name = "UnlinkOwnershipIsATextPrefix",
         .unlink = true,
         .tree = {"m ./opt/0", "m ./opt/mine", "m ./opt/ten", "m ./opt/exact", "m ./opt/long",
                  "m ./opt/file"},
         .setup = "cd /opt && ln -s /velm/plugin/1/a mine && ln -s /velm/plugin/10/a ten && "
                  "ln -s /velm/plugin/1 exact && ln -s /" +
                  c299 + " long && echo x > file",
         .plugin = "/velm/plugin/1",
         .err = "U: remove /opt/mine\nU: remove /opt/ten\n"
                "U: readlink /velm/plugin/1, plugin_path $P \nU: readlink /" +
                c299.substr(0, 254) +
                ", plugin_path $P \n"
                "U: readlink /opt/file failed (errno 22)",
         .checks = {"- /opt/mine", "- /opt/ten", "l /opt/exact /velm/plugin/1", "f /opt/file x"}},
        {.name = "UnlinkRemovesDirectoriesEmptyAtTheirTurn",
         .unlink = true,
         .tree = {"m ./opt/0", "m ./opt/a/", "m ./opt/a/b/", "m ./opt/pre/", "m ./opt/full/",
                  "m ./opt/to-dir", "m ./opt/to-file"},
         .setup = "cd /opt && mkdir -p a/b pre full dir && echo x > full/x && "
                  "ln -s /opt/dir to-dir && ln -s /usr/bin/env to-file",
         .err = "U: readlink /opt/dir, plugin_path $P \nU: readlink /usr/bin/env, plugin_path $P ",
         .checks = {"d /opt/a", "- /opt/a/b", "- /opt/pre", "f /opt/full/x x", "- /opt/to-dir",
                    "d /opt/dir", "l /opt/to-file /usr/bin/env"}},
        {.name = "UnlinkLeavesExcludedEntries",
         .unlink = true,
         .tree = {"m ./opt/keep/", "m ./opt/x"},
         .setup = "mkdir /opt/keep && ln -s $P/x /opt/x",
         .exclude = {"/opt/keep", "/opt/x"},
         .err = "X: /opt/keep/ is excluded from linking\nX: /opt/x is excluded from linking\n"
                "X: /opt/keep/ is excluded from linking\nX: /opt/x is excluded from linking",
         .checks = {"d /opt/keep", "l /opt/x $P/x"}},
    };
}

INSTANTIATE_TEST_SUITE_P(Rows, ExecPathTest, ::testing::ValuesIn(cases()));

}  // namespace
