// Plugin images unpacked by the real dd and tar with the newer-fs overlay, system-image
// members, and software record files; images made by mkplugin, records by the encoder.
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "platform/srg.h"
#include "platform/srg_bytes.h"
#include "tests/support/fixture.h"

namespace {

using std::string;
using test_support::sh;

const string kImg = "/bootflash/plug.img", kNewer = kImg + "-newer-fs", kDir = "/velm/plugin/1";
const string kLog = "/velm/log/plug.log", kList = kLog + "-newer-fs";
const string kVelm = "/var/sysmgr/ftp/img-sync/curr-velm.img";
const string kListing = "./\n./usr/\n./usr/bin/\n./usr/bin/foo\n./usr/lib/\n./usr/lib/x\n";
const string kAdded = "opt/\nopt/tool/\nopt/tool/run\n", kUsr = "usr/\nusr/bin/\nusr/bin/foo\n";
const string kYes = "console=ttyS0 use_newer_fs=yes quiet\n";
const string kFit = "/velm/" + string(143, 'd');  // the longest target without manifest
const string kDeep = "/velm/" + string(240, 'a') + "/" + string(240, 'b');  // 487 characters
const string kFile = "/velm/plugin/3/plugin.sro", kLink = "/velm/plugin_srg/plugin-acme.sro";
const string kTmp = "/tmp/plugin_imgsrg.sro", kSame = "cmp /opt/acme.sro " + kFile;
const string kStored = "cp /opt/acme.sro " + kFile + "; ln -s " + kFile + " " + kLink;

const string kExec = "Executing \"cp -af " + kNewer + "/* " + kDir + "\"\n";
string skipped() {  // the overlay's lines for kDeep, below which nothing fits
    string s;
    for (const string &e : test_support::lines(kAdded + kUsr))
        s += "plugin_do_newer_fs: path of " + e + " below " + kDeep +
             " does not fit, entry skipped\n";
    return s + "plugin_do_newer_fs: copy command for " + kDeep + " does not fit, not run\n";
}
string linked(const string &to) { return "[ $(readlink " + kLink + ") = " + to + " ]"; }

const string kLong(228, 's');  // the shortest software id whose link path does not fit

// The lines plugin_save_sro writes before it opens the record file of plugin id 3.
const string kTrace = "plugin_save_sro id 3 swid !acme!\nsro path !" + kFile +
                      "!\nextract path !/velm/plugin/3!\nsro_link !" + kLink + "!\n";

void tree(const std::vector<std::pair<string, string>> &files) {
    for (const auto &[path, text] : files)
        ASSERT_TRUE(test_support::write_file(path, text)) << path;
}

// A plugin image of the tree at src whose record names swid.
void image(const string &img, const string &src, const string &swid, int block) {
    tree({{img + ".sro", srg_format::record_bytes(swid, std::nullopt)}});
    ASSERT_TRUE(sh(string(PI_MKPLUGIN) + " --record " + img + ".sro --block-size " +
                   std::to_string(block) + " -o " + img + " " + src + " >/dev/null && rm " + img +
                   ".sro"));
}

enum Op { kExtract, kOverlay, kMember, kClone, kSrg, kSave, kCleanup };

struct Row {
    const char *name;
    Op op = kExtract;
    string arg = kImg;                // image, member or record file
    string dir = kDir;                // target of the extraction and the overlay
    bool log = true;                  // a manifest is given
    string cmdline{}, prep = "true";  // kernel command line; shell command run first
    const char *refuse = nullptr;     // commands that begin with it are not run:
    int answer = -1;                  // the runner answers this instead
    uint32_t clone = 0;               // non-zero: srg_file_clone fails
    bool full = false;                // the record file is the full device
    bool stale = false;               // img_open fails but hands back a non-null pointer
    string swid{};                    // the saved record's software id, when not "acme"
    plugin_rc_t rc = PLUGIN_OK;
    string err{}, manifest{};
    int tree = 0;               // usr/bin/foo of dir: 0 none, 1 extracted, 2 with the overlay
    string check = "true";      // a shell condition that holds afterwards
    const char *got = nullptr;  // the record handed out: its swid, or "null"; else untouched
};
void PrintTo(const Row &r, std::ostream *os) { *os << r.name; }  // names the ctest test

const Row kRows[] = {
    {.name = "manifest_replaced_not_selected",
     .cmdline = "use_newer_fs=plug.img2\n",
     .prep = "echo old >" + kLog,
     .manifest = kListing,
     .tree = 1},
    {.name = "yes", .cmdline = kYes, .err = kExec, .manifest = kListing + kAdded, .tree = 2},
    {.name = "yesplease",
     .cmdline = "use_newer_fs=yesplease\n",
     .err = kExec,
     .manifest = kListing + kAdded,
     .tree = 2},
    {.name = "copy_only", .log = false, .cmdline = kYes, .err = kExec, .tree = 2},
    {.name = "tar_failed",
     .cmdline = kYes,
     .refuse = "dd ",
     .answer = 256,
     .err = kExec,
     .manifest = kAdded + kUsr,
     .tree = 2},
    {.name = "not_run", .cmdline = kYes, .refuse = "dd ", .rc = PLUGIN_ERR_EXTRACT},
    {.name = "list_not_run",
     .cmdline = kYes,
     .refuse = "cd ",
     .err = "cd " + kNewer + "; tar -cvf /dev/null * > " + kList + " failed\n" + kExec,
     .manifest = kListing,
     .tree = 2},
    {.name = "list_missing",
     .cmdline = kYes,
     .refuse = "cd ",
     .answer = 0,
     .err = "open " + kList + " failed\n" + kExec,
     .manifest = kListing,
     .tree = 2},
    {.name = "addition_not_run",
     .cmdline = kYes,
     .refuse = "echo opt/ ",
     .err = "echo opt/ >> " + kLog + " failed\n" + kExec,
     .manifest = kListing + "opt/tool/\nopt/tool/run\n",
     .tree = 2},
    {.name = "copy_not_run",
     .cmdline = kYes,
     .refuse = "cp ",
     .err = kExec + "cp -af " + kNewer + "/* " + kDir + " failed\n",
     .manifest = kListing + kAdded,
     .tree = 1},
    {.name = "fits", .dir = kFit, .log = false, .tree = 1},
    {.name = "too_long",
     .dir = kFit + "e",
     .log = false,
     .rc = PLUGIN_ERR_EXTRACT,
     .err = "plugin_extract_image: command for " + kImg + " does not fit, not run\n"},
    {.name = "image_failed_open_handle", .cmdline = kYes, .stale = true, .rc = PLUGIN_ERR_IMG_OPEN},
    {.name = "overlay_base_without_slash",
     .op = kOverlay,
     .arg = "plug.img",
     .cmdline = "use_newer_fs=plug\n",
     .err = kExec,
     .manifest = kAdded + kUsr,
     .tree = 2},
    {.name = "overlay_long_target",
     .op = kOverlay,
     .dir = kDeep,
     .cmdline = kYes,
     .err = skipped()},
    {.name = "overlay_no_directory",
     .op = kOverlay,
     .arg = "/bootflash/other.img",
     .cmdline = kYes},
    {.name = "member_file",
     .op = kMember,
     .arg = "/opt/velm/etc/a.conf",
     .log = false,
     .check = "test -f /opt/velm/etc/a.conf && ! test -e /opt/velm/lib"},
    {.name = "member_directory",
     .op = kMember,
     .arg = "/opt/velm/lib",
     .prep = "echo ./earlier >" + kLog,
     .manifest = "./earlier\n./opt/velm/lib/\n./opt/velm/lib/"
                 "one.so\n./opt/velm/lib/sub/\n./opt/velm/lib/sub/two.so\n",
     .check = "test -f /opt/velm/lib/sub/two.so && ! test -e /opt/velm/etc"},
    {.name = "member_not_run",
     .op = kMember,
     .arg = "/opt/velm/lib",
     .log = false,
     .refuse = "dd ",
     .rc = PLUGIN_ERR_EXTRACT,
     .check = "! test -e /opt/velm"},
    {.name = "member_image_not_open",
     .op = kMember,
     .arg = "/opt/velm/lib",
     .prep = "echo junk >" + kVelm,
     .rc = PLUGIN_ERR_IMG_OPEN,
     .check = "! test -e /opt/velm"},
    {.name = "clone", .op = kClone, .arg = "/opt/acme.sro", .got = "acme"},
    {.name = "clone_empty",
     .op = kClone,
     .arg = "/opt/empty",
     .prep = ": >/opt/empty",
     .rc = PLUGIN_ERR_SRG_EMPTY,
     .err = "plugin_clone_srg: /opt/empty is empty\n"},
    {.name = "srg", .op = kSrg, .check = "! test -e " + kTmp, .got = "image"},
    {.name = "srg_failed_open_handle",
     .op = kSrg,
     .stale = true,
     .rc = PLUGIN_ERR_IMG_OPEN,
     .check = "! test -e " + kTmp},
    {.name = "srg_clone_fails",
     .op = kSrg,
     .clone = SRG_ERR_READ,
     .rc = SRG_ERR_READ,
     .err = "plugin_clone_srg: clone " + kTmp + " failed\n",
     .check = "! test -e " + kTmp,
     .got = "null"},
    {.name = "srg_planted_link",
     .op = kSrg,
     .prep = "echo keep >/opt/victim && ln -s /opt/victim " + kTmp,
     .rc = IMG_ERR_WRITE,
     .check = "grep -qx keep /opt/victim && test -L " + kTmp},
    {.name = "save",
     .op = kSave,
     .prep = "printf %4000s >" + kFile,
     .err = kTrace,
     .check = kSame + " && " + linked(kFile)},
    {.name = "save_dangling_link",
     .op = kSave,
     .prep = "ln -s /velm/plugin/9 " + kLink,
     .rc = PLUGIN_ERR_LINK,
     .err = kTrace + "symlink fail\nplugin_save_sro: failed to symlink " + kLink + " to " + kFile +
            "\n",
     .check = kSame + " && " + linked("/velm/plugin/9")},
    {.name = "save_through_link",
     .op = kSave,
     .prep = "echo keep >/opt/victim && ln -s /opt/victim " + kFile,
     .rc = PLUGIN_ERR_OPEN,
     .err = kTrace + "open fail\nplugin_save_sro: open " + kFile + " failed\n",
     .check = "grep -qx keep /opt/victim && test -L " + kFile + " && ! test -e " + kLink},
    {.name = "save_short_write",
     .op = kSave,
     .prep = "touch " + kFile,
     .full = true,
     .rc = PLUGIN_ERR_WRITE,
     .err = kTrace + "write fail\nplugin_save_sro: write to " + kFile + " failed\n",
     .check = "! test -e " + kLink},
    {.name = "save_link_path_too_long",
     .op = kSave,
     .swid = kLong,
     .rc = PLUGIN_ERR_LINK,
     .err = "plugin_save_sro id 3 swid !" + kLong +
            "!\nsro path !/velm/plugin/3/plugin.sro!\nextract path !/velm/plugin/3!\n"
            "sro_link !" +
            ("/velm/plugin_srg/plugin-" + kLong + ".sro").substr(0, 255) +
            "!\nplugin_save_sro: link path for swid " + kLong +
            " does not fit, record not stored\n",
     .check = "! test -e " + kFile},
    {.name = "save_link_kept",
     .op = kSave,
     .prep = "touch /opt/x; ln -s /opt/x " + kLink,
     .err = kTrace,
     .check = kSame + " && " + linked("/opt/x")},
    {.name = "cleanup",
     .op = kCleanup,
     .prep = kStored,
     .check = "! test -e " + kLink + " && ! test -e " + kFile +
              " && test -d /velm/plugin/3 && test -d /velm/plugin_srg"},
    {.name = "cleanup_no_file",
     .op = kCleanup,
     .prep = "ln -s " + kFile + " " + kLink,
     .check = "test -L " + kLink},
    {.name = "cleanup_not_run",
     .op = kCleanup,
     .prep = kStored,
     .refuse = "rm ",
     .rc = PLUGIN_ERR_FAILED,
     .check = kSame + " && test -L " + kLink},
};

class ImageTest : public test_support::SandboxTest, public testing::WithParamInterface<Row> {};

TEST_P(ImageTest, Row) {
    const Row &r = GetParam();
    const string acme = srg_format::record_bytes("acme", std::nullopt);
    tree({{"/opt/src/usr/bin/foo", "foo v1\n"},
          {"/opt/src/usr/lib/x", "x\n"},
          {"/opt/acme.sro", acme},
          {kNewer + "/usr/bin/foo", "foo v2\n"},
          {kNewer + "/opt/tool/run", "run\n"}});
    image(kImg, "/opt/src", "image", 4096);
    if (r.op == kMember) {
        tree({{"/opt/sys/opt/velm/etc/a.conf", "a\n"},
              {"/opt/sys/opt/velm/lib/one.so", "1\n"},
              {"/opt/sys/opt/velm/lib/sub/two.so", "2\n"}});
        image(kVelm, "/opt/sys", "velm", 2048);
    }
    if (!r.cmdline.empty()) sandbox::set_cmdline(r.cmdline);
    ASSERT_TRUE(
        sh("mkdir -p " + r.dir + " /velm/log /velm/plugin/3 /velm/plugin_srg && " + r.prep));
    ASSERT_TRUE(!r.full || sandbox::bind("/dev/full", kFile));
    if (r.refuse)
        test_support::doubles::plugin_syscall = [&r](const char *c) {
            return string(c).rfind(r.refuse, 0) == 0 ? r.answer : PI_REAL(plugin_syscall)(c);
        };
    if (r.clone)
        test_support::doubles::srg_file_clone = [&r](srg_record *, const char *, uint32_t) {
            return r.clone;
        };
    static char half_made;  // what a failing img_open hands back: nothing is open to close
    int stale_closes = 0;
    if (r.stale) {
        test_support::doubles::img_open = [](const char *, int32_t *status) {
            *status = static_cast<int32_t>(IMG_ERR_OPEN);
            return reinterpret_cast<img_handle *>(&half_made);
        };
        test_support::doubles::img_close = [&stale_closes](img_handle *) {
            ++stale_closes;
            return 0;
        };
    }
    string saved = r.swid.empty() ? acme : srg_format::record_bytes(r.swid, std::nullopt);
    static char mark;
    srg_record *const untouched = reinterpret_cast<srg_record *>(&mark), *rec = untouched;
    const char *a = r.arg.c_str(), *log = r.log ? kLog.c_str() : nullptr;
    const int fds = test_support::open_fds();
    string out, err;
    EXPECT_EQ(test_support::captured(
                  [&] {
                      switch (r.op) {
                      case kExtract:
                          return plugin_extract_image(a, r.dir.c_str(), log);
                      case kOverlay:
                          plugin_do_newer_fs(a, log, r.dir.c_str());
                          return PLUGIN_OK;
                      case kMember:
                          return plugin_extract_plugin_from_velm_image(a, log);
                      case kClone:
                          return plugin_clone_srg(a, &rec);
                      case kSrg:
                          return plugin_extract_srg(a, &rec);
                      case kSave:
                          return plugin_save_sro(3, reinterpret_cast<srg_record *>(saved.data()));
                      default:
                          return plugin_cleanup_sro(3);
                      }
                  },
                  &out, &err),
              r.rc);
    EXPECT_EQ(test_support::open_fds(), fds);
    EXPECT_EQ(stale_closes, 0);
    EXPECT_TRUE(!r.full || sandbox::unbind(kFile));
    string want_out, want_err = r.err, kept;
    if (r.op == kMember) {  // each line on stderr, stdout and stderr as far as the call got
        const string self = "plugin_extract_plugin_from_velm_image: ";
        const string cmd = "dd if=" + kVelm + " bs=2048 2>/dev/null | tar -x" + (log ? "v" : "") +
                           "kPpmz -C / ." + r.arg + (log ? " >> " + kLog : "");
        const string path = self + "img_path: " + r.arg + "\n";
        const string about =
            r.rc != PLUGIN_ERR_IMG_OPEN ? self + "About to run command '" + cmd + "'\n" : "";
        const string done = r.rc == PLUGIN_OK ? self + "command '" + cmd + "' successful. \n" : "";
        want_out = path + about + done, want_err = path + path + about + about + done;
    }
    for (const string &l : test_support::lines(err))  // without the command-line lookup's lines
        if (!l.empty() && l.rfind("plugin_get_cmdline: ", 0) != 0) kept += l + "\n";
    EXPECT_EQ(out, want_out);
    EXPECT_EQ(kept, want_err);
    EXPECT_EQ(test_support::read_file(kLog), r.manifest);
    EXPECT_TRUE(sh(r.check)) << r.check;
    EXPECT_EQ(test_support::read_file(r.dir + "/usr/bin/foo"),
              (std::vector<string>{"", "foo v1\n", "foo v2\n"}[r.tree]));
    EXPECT_EQ(test_support::exists(r.dir + "/opt/tool/run"), r.tree == 2);
    EXPECT_FALSE(test_support::exists(kList));
    if (!r.got || r.got == string("null")) {
        EXPECT_EQ(rec, r.got ? nullptr : untouched);
        return;
    }
    ASSERT_TRUE(rec != nullptr && rec != untouched);
    EXPECT_EQ(string(reinterpret_cast<char *>(rec), srg_size(rec)),
              srg_format::record_bytes(r.got, std::nullopt));
    std::free(rec);
}

INSTANTIATE_TEST_SUITE_P(Image, ImageTest, testing::ValuesIn(kRows));

}  // namespace
