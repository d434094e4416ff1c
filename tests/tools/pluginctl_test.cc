// pluginctl, run as a child process inside the test sandbox: argument errors
// and their exit status, the help texts, and one run of every subcommand.
// (sandbox-run has a test of its own, sandbox_run_test.sh: a sandbox made
// inside the test sandbox would mirror the mirrors.)
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/fixture.h"

namespace {

struct Result {
    int status = -1;  // exit status, or -1 when the child did not exit
    std::string out, err;
};

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
}

bool exists(const std::string &path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

std::string link_target(const std::string &path) {
    char buf[512];
    ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
    return n < 0 ? "" : std::string(buf, static_cast<std::size_t>(n));
}

// Runs program with args; stdout and stderr go to files that are read back.
Result exec(const std::string &program, const std::vector<std::string> &args,
            const std::vector<std::string> &env = {}) {
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        int out = ::open("/tmp/.run.out", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = ::open("/tmp/.run.err", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0) ::_exit(99);
        ::dup2(out, 1);
        ::dup2(err, 2);
        for (const auto &e : env) ::putenv(const_cast<char *>(e.c_str()));
        std::vector<char *> argv{const_cast<char *>(program.c_str())};
        for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(98);
    }
    Result r;
    int status = 0;
    if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status)) r.status = WEXITSTATUS(status);
    r.out = read_file("/tmp/.run.out");
    r.err = read_file("/tmp/.run.err");
    ::unlink("/tmp/.run.out");
    ::unlink("/tmp/.run.err");
    return r;
}

Result ctl(const std::vector<std::string> &args, const std::vector<std::string> &env = {}) {
    return exec(PI_PLUGINCTL, args, env);
}

void sh(const std::string &command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }

// The result line that ends stdout.
std::string last_line(const std::string &out) {
    std::string s = out;
    if (!s.empty() && s.back() == '\n') s.pop_back();
    std::size_t nl = s.rfind('\n');
    return nl == std::string::npos ? s : s.substr(nl + 1);
}

const char kOk[] = "PLUGIN_OK (0x00000000)";

class PluginctlTest : public pit::SandboxTest {
protected:
    // A record file and a plugin image of the tree at dir (made with the
    // project's srgtool and mkplugin).
    static void make_record(const std::string &path, const std::string &swid,
                            const std::vector<std::string> &deps = {}) {
        std::string cmd = std::string(PI_SRGTOOL) + " make --swid " + swid;
        for (const auto &d : deps) cmd += " --dep " + d;
        sh(cmd + " -o " + path);
    }
    static void make_image(const std::string &image, const std::string &dir, const std::string &swid,
                           const std::vector<std::string> &deps = {}) {
        make_record(image + ".sro", swid, deps);
        sh(std::string(PI_MKPLUGIN) + " --record " + image + ".sro -o " + image + " " + dir);
    }
    // /tmp/p/{usr/bin/alpha, usr/bin/al -> alpha, opt/alpha/data} as alpha.img.
    static void make_alpha() {
        sh("mkdir -p /tmp/p/usr/bin /tmp/p/opt/alpha && echo a > /tmp/p/usr/bin/alpha && "
           "ln -s alpha /tmp/p/usr/bin/al && echo d > /tmp/p/opt/alpha/data");
        make_image("/tmp/alpha.img", "/tmp/p", "alpha-1", {"base-1"});
    }
};

// ------------------------------------------------------------------ arguments

TEST_F(PluginctlTest, BadArgumentsPrintUsageAndExitTwo) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"--frobnicate"},
        {"no-such-subcommand"},
        {"link", "only-a-log"},
        {"extract", "a", "b", "c"},
        {"extract", "a", "b", "--manifest"},
        {"extract", "a", "b", "--manifest", "x", "--manifest", "y"},
        {"link", "log", "dir", "--nope"},
        {"record"},
        {"record", "frob", "x"},
        {"record", "save", "seven", "file.sro"},
        {"record", "cleanup", "12x"},
        {"swid-map", "append", "only-the-file"},
        {"swid-map", "create", "f", "--strings", "-1"},
        {"order", "matrix", "01", "1"},
        {"order", "matrix", "2"},
        {"cmdline", "plugins", "1,2", "--all", "--all"},
        {"extract-member", "relative/path"},
        {"mkdir", "/tmp/x", "--mode", "9"},
        {"patch", "unknown"},
        {"stage-boot", "read", "extra"},
        {"stage-boot", "write", "banana"},
    };
    for (const auto &args : cases) {
        std::string shown;
        for (const auto &a : args) shown += a + " ";
        Result r = ctl(args);
        EXPECT_EQ(r.status, 2) << shown;
        EXPECT_EQ(r.out, "") << shown;
        EXPECT_EQ(r.err.rfind("pluginctl: ", 0), 0u) << shown << r.err;
        EXPECT_NE(r.err.find("usage: pluginctl"), std::string::npos) << shown << r.err;
    }
    // A record with more words than the limit allows is an argument error too.
    Result r = ctl({"stage-boot", "write", "1", "2", "3", "4"}, {"PLUGIN_MAX_ALLOWED_ZELL=1"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("3 words"), std::string::npos) << r.err;
    EXPECT_FALSE(exists("/velm/plugin_extract_log/stage_boot"));
}

TEST_F(PluginctlTest, HelpListsEverySubcommandAndEachHasItsOwn) {
    Result all = ctl({"--help"});
    ASSERT_EQ(all.status, 0);
    EXPECT_EQ(all.err, "");
    const std::vector<std::string> subcommands = {
        "extract", "newer-fs", "extract-member", "link", "unlink", "excluded", "record show", "record save",
        "record cleanup", "swid-map create", "swid-map append", "swid-map get", "swid-map list",
        "swid-map check", "order load", "order unload", "order matrix", "cmdline get", "cmdline plugins",
        "conf-names", "stage-boot read", "stage-boot write", "syscall", "mkdir", "rmdir", "patch"};
    for (const auto &name : subcommands) {
        EXPECT_TRUE(all.out.find("\n  " + name + " ") != std::string::npos ||
                    all.out.find("\n  " + name + "\n") != std::string::npos)
            << name;
        std::vector<std::string> args;
        std::istringstream words(name);
        for (std::string w; words >> w;) args.push_back(w);
        args.push_back("--help");
        Result one = ctl(args);
        EXPECT_EQ(one.status, 0) << name;
        EXPECT_EQ(one.out.rfind("usage: pluginctl [--debug] " + name, 0), 0u) << one.out;
    }
    Result group = ctl({"swid-map", "--help"});
    EXPECT_EQ(group.status, 0);
    EXPECT_NE(group.out.find("swid-map check FILE"), std::string::npos) << group.out;
}

// ------------------------------------------------------------------ one run of each

TEST_F(PluginctlTest, RecordShowSaveAndCleanup) {
    make_alpha();
    Result img = ctl({"record", "show", "/tmp/alpha.img"});
    EXPECT_EQ(img.status, 0) << img.err;
    EXPECT_EQ(img.out.substr(0, img.out.find("size")), "swid alpha-1\ndepends base-1\n");
    EXPECT_EQ(last_line(img.out), kOk);
    EXPECT_FALSE(exists("/tmp/plugin_imgsrg.sro"));  // the temporary record file is gone

    Result file = ctl({"record", "show", "/tmp/alpha.img.sro"});
    EXPECT_EQ(file.out, img.out);

    Result bad = ctl({"record", "show", "/tmp/none.img"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.out, "PLUGIN_ERR_IMG_OPEN (0x40ea0013)\n");

    sh("mkdir -p /velm/plugin/7 /velm/plugin_srg");
    Result save = ctl({"record", "save", "7", "/tmp/alpha.img"});
    EXPECT_EQ(save.status, 0) << save.err;
    EXPECT_EQ(save.out, std::string(kOk) + "\n");
    EXPECT_EQ(read_file("/velm/plugin/7/plugin.sro"), read_file("/tmp/alpha.img.sro"));
    EXPECT_EQ(link_target("/velm/plugin_srg/plugin-alpha-1.sro"), "/velm/plugin/7/plugin.sro");
    EXPECT_NE(save.err.find("plugin_save_sro id 7 swid !alpha-1!"), std::string::npos) << save.err;

    Result cleanup = ctl({"record", "cleanup", "7"});
    EXPECT_EQ(cleanup.status, 0);
    EXPECT_EQ(cleanup.out, std::string(kOk) + "\n");
    EXPECT_FALSE(exists("/velm/plugin/7/plugin.sro"));
    EXPECT_FALSE(exists("/velm/plugin_srg/plugin-alpha-1.sro"));

    sh("rm -r /velm/plugin/7");  // the record's directory must exist
    Result nodir = ctl({"record", "save", "7", "/tmp/alpha.img.sro"});
    EXPECT_EQ(nodir.status, 1);
    EXPECT_EQ(nodir.out, "PLUGIN_ERR_OPEN (0x40ea0017)\n");
}

TEST_F(PluginctlTest, ExtractLinkUnlinkAndExclusions) {
    make_alpha();
    sh("mkdir -p /velm/plugin/1");
    Result ex = ctl({"extract", "/tmp/alpha.img", "/velm/plugin/1", "--manifest", "/tmp/alpha.log"});
    EXPECT_EQ(ex.status, 0) << ex.err;
    EXPECT_EQ(ex.out, std::string(kOk) + "\n");
    EXPECT_EQ(read_file("/velm/plugin/1/usr/bin/alpha"), "a\n");
    EXPECT_NE(read_file("/tmp/alpha.log").find("./usr/bin/al\n"), std::string::npos);

    Result link = ctl({"link", "/tmp/alpha.log", "/velm/plugin/1", "--exclude", "/opt/alpha"});
    EXPECT_EQ(link.status, 0) << link.err;
    // The patch hook's line, then the result.
    EXPECT_EQ(link.out, "No Patching support on this platform\n" + std::string(kOk) + "\n");
    EXPECT_EQ(link_target("/usr/bin/alpha"), "/velm/plugin/1/usr/bin/alpha");
    EXPECT_EQ(link_target("/usr/bin/al"), "/velm/plugin/1/usr/bin/alpha");
    EXPECT_FALSE(exists("/opt/alpha"));
    EXPECT_NE(link.err.find("plugin_file_is_excluded_from_exec_path: /opt/alpha/ is excluded from linking"),
              std::string::npos)
        << link.err;

    // The same plugin again: every file is taken now.
    Result again = ctl({"link", "/tmp/alpha.log", "/velm/plugin/1", "--exclude", "/opt/alpha"});
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(again.out, "PLUGIN_ERR_LINK (0x40ea001f)\n");
    EXPECT_NE(again.err.find("plugin_link_to_exec_path: /usr/bin/alpha exists"), std::string::npos);

    Result unlink = ctl({"unlink", "/tmp/alpha.log", "/velm/plugin/1", "--exclude", "/opt/alpha"});
    EXPECT_EQ(unlink.status, 0) << unlink.err;
    EXPECT_EQ(unlink.out, std::string(kOk) + "\n");
    EXPECT_FALSE(exists("/usr/bin/alpha"));
    EXPECT_FALSE(exists("/usr/bin/al"));
    EXPECT_TRUE(exists("/usr/bin/sh"));  // the host's entries stay

    Result missing = ctl({"unlink", "/tmp/none.log", "/velm/plugin/1"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, "PLUGIN_ERR_OPEN (0x40ea0017)\n");

    Result yes = ctl({"excluded", "//etc/xyz", "--exclude", "/usr", "--exclude", "/etc/x"});
    EXPECT_EQ(yes.status, 0);
    EXPECT_EQ(yes.out, "excluded\n");
    EXPECT_EQ(yes.err, "plugin_file_is_excluded_from_exec_path: //etc/xyz is excluded from linking\n");
    Result no = ctl({"excluded", "/a/etc/x", "--exclude", "/etc/x"});
    EXPECT_EQ(no.out, "not excluded\n");
    EXPECT_EQ(no.err, "");
    EXPECT_EQ(ctl({"excluded", "/etc/x"}).out, "not excluded\n");  // no set at all
}

TEST_F(PluginctlTest, NewerFsAndSystemImageMember) {
    make_alpha();
    sh("mkdir -p /velm/plugin/2 /bootflash/alpha.img-newer-fs/opt && echo new > "
       "/bootflash/alpha.img-newer-fs/opt/newer");
    pit::set_cmdline("console=ttyS0 use_newer_fs=yes\n");
    ASSERT_EQ(ctl({"extract", "/tmp/alpha.img", "/velm/plugin/2", "--manifest", "/tmp/a.log"}).status, 0);
    // extract already laid the overlay; newer-fs alone lays it again over a fresh tree.
    sh("rm -rf /velm/plugin/2/opt/newer");
    Result nf = ctl({"newer-fs", "/tmp/alpha.img", "/tmp/b.log", "/velm/plugin/2"});
    EXPECT_EQ(nf.status, 0) << nf.err;
    EXPECT_EQ(nf.out, "");
    EXPECT_EQ(read_file("/velm/plugin/2/opt/newer"), "new\n");
    EXPECT_NE(read_file("/tmp/b.log").find("opt/newer"), std::string::npos) << read_file("/tmp/b.log");

    // The running system image: a member extracted under /.
    sh("mkdir -p /tmp/sys/opt/sysdir /var/sysmgr/ftp/img-sync && echo s > /tmp/sys/opt/sysdir/file");
    make_image("/var/sysmgr/ftp/img-sync/curr-velm.img", "/tmp/sys", "system-1");
    Result m = ctl({"extract-member", "/opt/sysdir", "--manifest", "/tmp/m.log"});
    EXPECT_EQ(m.status, 0) << m.err;
    EXPECT_EQ(last_line(m.out), kOk);
    EXPECT_EQ(read_file("/opt/sysdir/file"), "s\n");
    EXPECT_NE(read_file("/tmp/m.log").find("opt/sysdir/file"), std::string::npos);
    sh("rm /var/sysmgr/ftp/img-sync/curr-velm.img");
    Result gone = ctl({"extract-member", "/opt/sysdir"});
    EXPECT_EQ(gone.status, 1);
    EXPECT_EQ(last_line(gone.out), "PLUGIN_ERR_IMG_OPEN (0x40ea0013)");
}

TEST_F(PluginctlTest, SwidMapSubcommands) {
    const std::string map = "/tmp/swid_map";
    EXPECT_EQ(ctl({"swid-map", "create", map, "--strings", "1", "--bytes", "8"}).out, std::string(kOk) + "\n");
    Result twice = ctl({"swid-map", "create", map});
    EXPECT_EQ(twice.status, 1);
    EXPECT_NE(twice.err.find("exists"), std::string::npos);

    Result app = ctl({"swid-map", "append", map, "pkg-a", "pkg-b", "pkg-a"});  // grows past its capacity
    EXPECT_EQ(app.status, 0) << app.err;
    EXPECT_EQ(app.out, "0 pkg-a\n1 pkg-b\n0 pkg-a\n" + std::string(kOk) + "\n");
    Result held = ctl({"swid-map", "append", map, "pkg-b"});
    EXPECT_EQ(held.out, "1 pkg-b\n" + std::string(kOk) + "\n");
    EXPECT_NE(held.err.find("pkg-b is held already, as 1"), std::string::npos);

    EXPECT_EQ(ctl({"swid-map", "get", map, "pkg-b"}).out, "1\n" + std::string(kOk) + "\n");
    Result none = ctl({"swid-map", "get", map, "pkg-z"});
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.err.find("pkg-z is not in"), std::string::npos);
    EXPECT_EQ(ctl({"swid-map", "list", map}).out, "0 pkg-a\n1 pkg-b\n" + std::string(kOk) + "\n");
    Result check = ctl({"swid-map", "check", map});
    EXPECT_EQ(check.status, 0);
    EXPECT_EQ(check.out.substr(0, 11), "intact yes\n");
    EXPECT_NE(check.out.find("swids 2\n"), std::string::npos);

    write_file("/tmp/bad_map", "not a map at all");
    Result bad = ctl({"swid-map", "check", "/tmp/bad_map"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.out, "PLUGIN_ERR_CORRUPT (0x40ea0022)\n");
    Result missing = ctl({"swid-map", "append", "/tmp/no_map", "x"});
    EXPECT_EQ(missing.out, "PLUGIN_ERR_NOENT (0x40ea0020)\n");
    EXPECT_FALSE(exists("/tmp/no_map"));
}

TEST_F(PluginctlTest, OrderSubcommands) {
    make_record("/tmp/app.sro", "app-1", {"lib-1"});
    make_record("/tmp/lib.sro", "lib-1", {"base-1"});
    make_record("/tmp/base.sro", "base-1");
    Result load = ctl({"order", "load", "/tmp/app.sro", "/tmp/lib.sro", "/tmp/base.sro"});
    EXPECT_EQ(load.status, 0) << load.err;
    EXPECT_EQ(load.out, "base-1\nlib-1\napp-1\n" + std::string(kOk) + "\n");
    Result unload = ctl({"order", "unload", "/tmp/base.sro", "/tmp/app.sro", "/tmp/lib.sro"});
    EXPECT_EQ(unload.out, "app-1\nlib-1\nbase-1\n" + std::string(kOk) + "\n");

    make_record("/tmp/base.sro", "base-1", {"app-1"});  // now a cycle
    Result cycle = ctl({"order", "load", "/tmp/app.sro", "/tmp/lib.sro", "/tmp/base.sro"});
    EXPECT_EQ(cycle.status, 1);
    EXPECT_EQ(cycle.out, "PLUGIN_ERR_DEP_CYCLE (0x40ea0009)\n");

    // 0 depends on 2, 1 on 0.
    EXPECT_EQ(ctl({"order", "matrix", "001", "100", "000"}).out, "2\n0\n1\n" + std::string(kOk) + "\n");
    EXPECT_EQ(ctl({"order", "matrix", "01", "10"}).out, "PLUGIN_ERR_DEP_CYCLE (0x40ea0009)\n");
}

TEST_F(PluginctlTest, BootSubcommands) {
    pit::set_cmdline("console=ttyS0 plugins=3,4+5 quiet\n");
    Result get = ctl({"cmdline", "get", "plugins"});
    EXPECT_EQ(get.status, 0) << get.err;
    EXPECT_EQ(get.out, "3,4+5\n");
    Result absent = ctl({"cmdline", "get", "pdebug"});
    EXPECT_EQ(absent.status, 1);
    EXPECT_EQ(absent.out, "");

    EXPECT_EQ(ctl({"cmdline", "plugins", "3,4+5", "--all"}).out, "3\n4\n5\n");
    EXPECT_EQ(ctl({"cmdline", "plugins", "3,4+5"}).out, "4\n5\n");
    Result bad = ctl({"cmdline", "plugins", "1+2,3+4"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.out, "");

    write_file("/tmp/img.conf", "# images\nfirst.img\n\nsecond.img\n");
    sh("touch /mnt/pss/load-fcplugin");
    Result names = ctl({"conf-names", "/tmp/img.conf"});
    EXPECT_EQ(names.status, 0) << names.err;
    EXPECT_EQ(names.out, "first.img\nsecond.img\nfc_plugin\n" + std::string(kOk) + "\n");
    Result nofile = ctl({"conf-names", "/tmp/none.conf"});
    EXPECT_EQ(nofile.status, 1);
    EXPECT_EQ(nofile.out, "PLUGIN_ICF_ERR_OPEN (0x1c0f0002)\n");

    const std::vector<std::string> two = {"PLUGIN_MAX_ALLOWED_ZELL=2"};
    Result fresh = ctl({"stage-boot", "read"}, two);
    EXPECT_EQ(fresh.status, 0) << fresh.err;
    EXPECT_EQ(fresh.out, "0x424f4f54\n0x00000000\n0x00000000\n0x00000000\n" + std::string(kOk) + "\n");
    Result nodir = ctl({"stage-boot", "write", "1"}, two);
    EXPECT_EQ(nodir.out, "PLUGIN_ERR_OPEN (0x40ea0017)\n");
    sh("mkdir -p /velm/plugin_extract_log");
    EXPECT_EQ(ctl({"stage-boot", "write", "7", "0x10", "010"}, two).out, std::string(kOk) + "\n");
    EXPECT_EQ(ctl({"stage-boot", "read"}, two).out,
              "0x00000007\n0x00000010\n0x00000008\n0x00000000\n" + std::string(kOk) + "\n");
    EXPECT_EQ(read_file("/velm/plugin_extract_log/stage_boot").size(), 16u);
}

TEST_F(PluginctlTest, FrameSubcommandsAndDebug) {
    Result quiet = ctl({"syscall", "echo hello"});
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.out, "hello\n0\n");
    EXPECT_EQ(quiet.err, "");
    Result loud = ctl({"--debug", "syscall", "exit 1"});
    EXPECT_EQ(loud.out, "256\n");
    EXPECT_EQ(loud.err, "plugin_syscall exit 1\nplugin_syscall rc system 256\n");
    EXPECT_EQ(ctl({"syscall", "true", "--debug"}).err, "plugin_syscall true\nplugin_syscall rc system 0\n");

    Result mk = ctl({"mkdir", "/opt/made", "--mode", "0711"});
    EXPECT_EQ(mk.out, std::string(kOk) + "\n");
    struct stat st;
    ASSERT_EQ(::stat("/opt/made", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0711u);
    Result again = ctl({"mkdir", "/opt/made"});
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(again.out, "PLUGIN_ERR_FAILED (0x40ea0001)\n");
    EXPECT_EQ(ctl({"rmdir", "/opt/made"}).out, std::string(kOk) + "\n");
    EXPECT_FALSE(exists("/opt/made"));

    for (const char *op : {"setup-repos", "load-committed", "sync-standby", "supported"}) {
        Result p = ctl({"patch", op});
        EXPECT_EQ(p.status, 0) << op;
        EXPECT_EQ(p.out, "No Patching support on this platform\n") << op;
    }
}

}  // namespace
