// Plugin images unpacked by the real dd and tar with the newer-fs overlay, system-image
// members, and software record files; images made by mkplugin, records by the encoder.
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/srg.h"
#include "platform/srg_bytes.h"
#include "tests/support/fixture.h"

namespace {

using pit::sh;
using std::string;

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

string exec(const string &dir = kDir) {
    return "Executing \"cp -af " + kNewer + "/* " + dir + "\"\n";
}
string skipped() {  // the overlay's lines for kDeep, below which nothing fits
    string s;
    for (const string &e : pit::lines(kAdded + kUsr))
        s += "plugin_do_newer_fs: path of " + e + " below " + kDeep +
             " does not fit, entry skipped\n";
    return s + "plugin_do_newer_fs: copy command for " + kDeep + " does not fit, not run\n";
}
string linked(const string &to) { return "[ $(readlink " + kLink + ") = " + to + " ]"; }

const string kLong(228, 's');  // the shortest software id whose link path does not fit

// The lines plugin_save_sro writes before it opens the record file of plugin id.
string trace(int id) {
    const string n = std::to_string(id), dir = "/velm/plugin/" + n;
    return "plugin_save_sro id " + n + " swid !acme!\nsro path !" + dir + "/plugin.sro!\n" +
           "extract path !" + dir + "!\nsro_link !" + kLink + "!\n";
}

void tree(const std::vector<std::pair<string, string>> &files) {
    for (const auto &[path, text] : files) ASSERT_TRUE(pit::write_file(path, text)) << path;
}

// A plugin image of the tree at src whose record names swid.
void image(const string &img, const string &src, const string &swid, int block) {
    tree({{img + ".sro", pit::record_bytes(swid, std::nullopt)}});
    ASSERT_TRUE(sh(string(PI_MKPLUGIN) + " --record " + img + ".sro --block-size " +
                   std::to_string(block) + " -o " + img + " " + src + " >/dev/null && rm " + img +
                   ".sro"));
}

enum Op { kExtract, kOverlay, kMember, kClone, kSrg, kSave, kCleanup };

// cmdline: the kernel command line ("" leaves it); prep: shell run first; set: the row's settings,
// "key=value" or "key" joined by ";": arg (image, member or record file; kImg), dir (where the
// image is unpacked; kDir), nolog (no manifest), id (plugin id; 3), refuse (commands beginning
// with it are not run) and answer (what the runner answers for them; -1), vendor (vendor-info
// extraction fails), clone (record cloning fails), size (what srg_size answers), noswid (the saved
// record has no swid), swid (the saved record's), full (the record file is the full device),
// stale (img_open fails but hands back a pointer).  tree: usr/bin/foo of dir: 0 none, 1
// extracted, 2 with the overlay; check: a shell condition that holds afterwards; got: the record
// handed out: its swid, "null", or nullptr (untouched).
struct Row {
    const char *name;
    Op op;
    string cmdline, prep, set;
    plugin_rc_t rc = PLUGIN_OK;
    string err = "", manifest = "";
    int tree = 0;
    string check = "true";
    const char *got = nullptr;
};
void PrintTo(const Row &r, std::ostream *os) { *os << r.name; }  // names the ctest test

const string kOverlaid = kListing + kAdded, kAddedUsr = kAdded + kUsr,
             kNoVelm = "! test -e /opt/velm";
const string kNoTmp = "! test -e " + kTmp, kLib = "arg=/opt/velm/lib";
const Row kRows[] = {
    {"no_manifest", kExtract, "", "", "nolog", 0, "", "", 1},
    {"manifest_replaced", kExtract, "use_newer_fs=no\n", "echo old >" + kLog, "", 0, "", kListing,
     1},
    {"yes", kExtract, kYes, "", "", 0, exec(), kOverlaid, 2},
    {"yesplease", kExtract, "use_newer_fs=yesplease\n", "", "", 0, exec(), kOverlaid, 2},
    {"empty_value", kExtract, "a use_newer_fs= b\n", "", "", 0, exec(), kOverlaid, 2},
    {"whole_base", kExtract, "use_newer_fs=plug.img\n", "", "", 0, exec(), kOverlaid, 2},
    {"longer", kExtract, "use_newer_fs=plug.img2\n", "", "", 0, "", kListing, 1},
    {"not_base", kExtract, "use_newer_fs=bootflash\n", "", "", 0, "", kListing, 1},
    {"copy_only", kExtract, kYes, "", "nolog", 0, exec(), "", 2},
    {"tar_failed", kExtract, kYes, "", "refuse=dd ;answer=256", 0, exec(), kAddedUsr, 2},
    {"not_run", kExtract, kYes, "", "refuse=dd ", PLUGIN_ERR_EXTRACT},
    {"list_not_run", kExtract, kYes, "", "refuse=cd ", 0,
     "cd " + kNewer + "; tar -cvf /dev/null * > " + kList + " failed\n" + exec(), kListing, 2},
    {"list_missing", kExtract, kYes, "", "refuse=cd ;answer=0", 0,
     "open " + kList + " failed\n" + exec(), kListing, 2},
    {"addition_not_run", kExtract, kYes, "", "refuse=echo opt/ ", 0,
     "echo opt/ >> " + kLog + " failed\n" + exec(), kListing + "opt/tool/\nopt/tool/run\n", 2},
    {"copy_not_run", kExtract, kYes, "", "refuse=cp ", 0,
     exec() + "cp -af " + kNewer + "/* " + kDir + " failed\n", kOverlaid, 1},
    {"fits", kExtract, "", "", "nolog;dir=" + kFit, 0, "", "", 1},
    {"too_long", kExtract, "", "", "nolog;dir=" + kFit + "e", PLUGIN_ERR_EXTRACT,
     "plugin_extract_image: command for " + kImg + " does not fit, not run\n"},
    {"image_not_open", kExtract, kYes, "echo junk >" + kImg, "", PLUGIN_ERR_IMG_OPEN},
    {"image_failed_open_handle", kExtract, kYes, "", "stale", PLUGIN_ERR_IMG_OPEN},
    {"overlay_base_without_slash", kOverlay, "use_newer_fs=plug\n", "", "arg=plug.img", 0, exec(),
     kAddedUsr, 2},
    {"overlay_long_target", kOverlay, kYes, "", "dir=" + kDeep, 0, skipped()},
    {"overlay_no_directory", kOverlay, kYes, "", "arg=/bootflash/other.img"},
    {"member_file", kMember, "", "", "nolog;arg=/opt/velm/etc/a.conf", 0, "", "", 0,
     "test -f /opt/velm/etc/a.conf && ! test -e /opt/velm/lib"},
    {"member_directory", kMember, "", "echo ./earlier >" + kLog, kLib, 0, "",
     "./earlier\n./opt/velm/lib/\n./opt/velm/lib/one.so\n./opt/velm/lib/sub/\n"
     "./opt/velm/lib/sub/two.so\n",
     0, "test -f /opt/velm/lib/sub/two.so && ! test -e /opt/velm/etc"},
    {"member_not_run", kMember, "", "", "nolog;refuse=dd ;" + kLib, PLUGIN_ERR_EXTRACT, "", "", 0,
     kNoVelm},
    {"member_image_not_open", kMember, "", "echo junk >" + kVelm, kLib, PLUGIN_ERR_IMG_OPEN, "", "",
     0, kNoVelm},
    {"member_failed_open_handle", kMember, "", "", "stale;" + kLib, PLUGIN_ERR_IMG_OPEN, "", "", 0,
     kNoVelm},
    {"clone", kClone, "", "", "arg=/opt/acme.sro", 0, "", "", 0, "true", "acme"},
    {"clone_empty", kClone, "", ": >/opt/empty", "arg=/opt/empty", PLUGIN_ERR_SRG_EMPTY,
     "plugin_clone_srg: /opt/empty is empty\n"},
    {"clone_fails", kClone, "", "", "arg=/opt/acme.sro;clone", SRG_ERR_READ,
     "plugin_clone_srg: clone /opt/acme.sro failed\n", "", 0, "true", "null"},
    {"srg", kSrg, "", "", "", 0, "", "", 0, kNoTmp, "image"},
    {"srg_not_image", kSrg, "", "", "arg=/opt/acme.sro", PLUGIN_ERR_IMG_OPEN},
    {"srg_failed_open_handle", kSrg, "", "", "stale", PLUGIN_ERR_IMG_OPEN, "", "", 0, kNoTmp},
    {"srg_vendor_fails", kSrg, "", "", "vendor", 0x0BAD0042u, "", "", 0, "grep -qx left " + kTmp},
    {"srg_clone_fails", kSrg, "", "", "clone", SRG_ERR_READ,
     "plugin_clone_srg: clone " + kTmp + " failed\n", "", 0, kNoTmp, "null"},
    {"srg_removal_not_run", kSrg, "", "", "refuse=rm ", 0, "", "", 0, "test -e " + kTmp, "image"},
    {"save", kSave, "", "printf %4000s >" + kFile, "", 0, trace(3), "", 0,
     kSame + " && " + linked(kFile)},
    {"save_dangling_link", kSave, "", "ln -s /velm/plugin/9 " + kLink, "", PLUGIN_ERR_LINK,
     trace(3) + "symlink fail\nplugin_save_sro: failed to symlink " + kLink + " to " + kFile + "\n",
     "", 0, kSame + " && " + linked("/velm/plugin/9")},
    {"save_no_directory", kSave, "", "", "id=7", PLUGIN_ERR_OPEN,
     trace(7) + "open fail\nplugin_save_sro: open /velm/plugin/7/plugin.sro failed\n", "", 0,
     "! test -e /velm/plugin/7 && ! test -e " + kLink},
    {"save_short_write", kSave, "", "touch " + kFile, "full", PLUGIN_ERR_WRITE,
     trace(3) + "write fail\nplugin_save_sro: write to " + kFile + " failed\n", "", 0,
     "! test -e " + kLink},
    {"save_link_path_too_long", kSave, "", "", "swid=" + kLong, PLUGIN_ERR_LINK,
     "plugin_save_sro id 3 swid !" + kLong +
         "!\nsro path !/velm/plugin/3/plugin.sro!\nextract path !/velm/plugin/3!\nsro_link !" +
         ("/velm/plugin_srg/plugin-" + kLong + ".sro").substr(0, 255) +
         "!\nplugin_save_sro: link path for swid " + kLong + " does not fit, record not stored\n",
     "", 0, "! test -e " + kFile},
    {"save_without_swid", kSave, "", "", "noswid", PLUGIN_ERR_FAILED,
     "plugin_save_sro id 3 swid !(null)!\nplugin_save_sro: get swid failed for plugin_id 3\n", "",
     0, "! test -e " + kFile},
    {"save_size_0", kSave, "", "echo old >" + kFile, "size=0", 0, trace(3), "", 0,
     "! test -s " + kFile + " && " + linked(kFile)},
    {"save_size_1", kSave, "", "", "size=1", 0, trace(3), "", 0,
     "[ $(cat " + kFile + ") = S ] && " + linked(kFile)},
    {"save_link_kept", kSave, "", "touch /opt/x; ln -s /opt/x " + kLink, "", 0, trace(3), "", 0,
     kSame + " && " + linked("/opt/x")},
    {"cleanup", kCleanup, "", kStored, "", 0, "", "", 0,
     "! test -e " + kLink + " && ! test -e " + kFile +
         " && test -d /velm/plugin/3 && test -d /velm/plugin_srg"},
    {"cleanup_no_file", kCleanup, "", "ln -s " + kFile + " " + kLink, "", 0, "", "", 0,
     "test -L " + kLink},
    {"cleanup_no_swid", kCleanup, "", kStored, "noswid", 0, "", "", 0,
     "test -L " + kLink + " && ! test -e " + kFile},
    {"cleanup_not_run", kCleanup, "", kStored, "refuse=rm ", PLUGIN_ERR_FAILED, "", "", 0,
     kSame + " && test -L " + kLink},
};

// The row's setting key: its value, "" for a bare key, or fallback when the key is absent.
string setting(const Row &r, const string &key, const string &fallback = "") {
    std::istringstream in(r.set);
    for (string item; std::getline(in, item, ';');) {
        if (item == key) return "";
        if (item.rfind(key + "=", 0) == 0) return item.substr(key.size() + 1);
    }
    return fallback;
}
bool has(const Row &r, const string &key) { return setting(r, key, "\1") != "\1"; }

class ImageTest : public pit::SandboxTest, public testing::WithParamInterface<Row> {
protected:
    char half_made_ = 0;  // what a failing img_open hands back
    int stale_closes_ = 0;
    void arm(const Row &r);
};

// The doubles a row's settings ask for.
void ImageTest::arm(const Row &r) {
    if (has(r, "refuse")) {
        const string prefix = setting(r, "refuse");
        const int answer = std::stoi(setting(r, "answer", "-1"));
        pit::dbl::plugin_syscall = [prefix, answer](const char *c) {
            return string(c).rfind(prefix, 0) == 0 ? answer : PI_REAL(plugin_syscall)(c);
        };
    }
    if (has(r, "vendor"))
        pit::dbl::img_extract_vendor_info = [](img_handle *, const char *p) {
            return pit::write_file(p, "left\n") ? 0x0BAD0042u : 0u;
        };
    if (has(r, "clone"))
        pit::dbl::srg_file_clone = [](srg_record *, const char *, uint32_t) {
            return SRG_ERR_READ;
        };
    if (has(r, "stale")) {
        pit::dbl::img_open = [this](const char *, int32_t *status) {
            *status = static_cast<int32_t>(IMG_ERR_OPEN);
            return reinterpret_cast<img_handle *>(&half_made_);
        };
        pit::dbl::img_close = [this](img_handle *h) {
            if (h != reinterpret_cast<img_handle *>(&half_made_)) return PI_REAL(img_close)(h);
            ++stale_closes_;
            return 0;
        };
        pit::dbl::plugin_syscall = [](const char *c) {
            ADD_FAILURE() << "command run after a failed open: " << c;
            return -1;
        };
    }
    if (has(r, "size")) {
        const uint32_t size = std::stoul(setting(r, "size"));
        pit::dbl::srg_size = [size](const srg_record *) { return size; };
    }
    if (has(r, "noswid"))
        pit::dbl::srg_sw_id_file_get = [](const char *) -> const char * { return nullptr; };
}

// The lines a system-image member extraction writes: each on stderr twice and on stdout once, as
// far as the call got.
void member_lines(const Row &r, bool log, string *out, string *err) {
    const string self = "plugin_extract_plugin_from_velm_image: ", member = setting(r, "arg");
    const string cmd = "dd if=" + kVelm + " bs=2048 2>/dev/null | tar -x" + (log ? "v" : "") +
                       "kPpmz -C / ." + member + (log ? " >> " + kLog : "");
    const string path = self + "img_path: " + member + "\n";
    string about, done;
    if (r.rc != PLUGIN_ERR_IMG_OPEN) about = self + "About to run command '" + cmd + "'\n";
    if (r.rc == PLUGIN_OK) done = self + "command '" + cmd + "' successful. \n";
    *out = path + about + done;
    *err = path + path + about + about + done;
}

TEST_P(ImageTest, Row) {
    const Row &r = GetParam();
    const string acme = pit::record_bytes("acme", std::nullopt);
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
    const string arg = setting(r, "arg", kImg), dir = setting(r, "dir", kDir);
    const bool log = !has(r, "nolog"), full = has(r, "full");
    const int id = std::stoi(setting(r, "id", "3"));
    if (!r.cmdline.empty()) pit::set_cmdline(r.cmdline);
    ASSERT_TRUE(sh("mkdir -p " + dir + " /velm/log /velm/plugin/3 /velm/plugin_srg"));
    ASSERT_TRUE(r.prep.empty() || sh(r.prep));
    ASSERT_TRUE(!full || pit::bind("/dev/full", kFile));
    arm(r);
    string saved = pit::record_bytes(setting(r, "swid", "acme"), std::nullopt);
    if (has(r, "noswid")) saved = pit::record_bytes(std::nullopt, std::nullopt);
    static char mark;
    srg_record *const untouched = reinterpret_cast<srg_record *>(&mark);
    srg_record *rec = untouched;
    const char *a = arg.c_str(), *manifest = log ? kLog.c_str() : nullptr;
    auto call = [&] {
        switch (r.op) {
        case kExtract:
            return plugin_extract_image(a, dir.c_str(), manifest);
        case kOverlay:
            plugin_do_newer_fs(a, manifest, dir.c_str());
            return PLUGIN_OK;
        case kMember:
            return plugin_extract_plugin_from_velm_image(a, manifest);
        case kClone:
            return plugin_clone_srg(a, &rec);
        case kSrg:
            return plugin_extract_srg(a, &rec);
        case kSave:
            return plugin_save_sro(id, reinterpret_cast<srg_record *>(saved.data()));
        default:
            return plugin_cleanup_sro(id);
        }
    };
    const int fds = pit::open_fds();
    string out, err, want_out, want_err = r.err, kept;
    EXPECT_EQ(pit::captured(call, &out, &err), r.rc);
    EXPECT_EQ(pit::open_fds(), fds);
    EXPECT_EQ(stale_closes_, 0);
    EXPECT_TRUE(!full || pit::unbind(kFile));
    if (r.op == kMember) member_lines(r, log, &want_out, &want_err);
    for (const string &l : pit::lines(err))  // without the command-line lookup's lines
        if (!l.empty() && l.rfind("plugin_get_cmdline: ", 0) != 0) kept += l + "\n";
    EXPECT_EQ(out, want_out);
    EXPECT_EQ(kept, want_err);
    EXPECT_EQ(pit::read_file(kLog), r.manifest);
    EXPECT_TRUE(sh(r.check)) << r.check;
    const string foo[] = {"", "foo v1\n", "foo v2\n"};
    EXPECT_EQ(pit::read_file(dir + "/usr/bin/foo"), foo[r.tree]);
    EXPECT_EQ(pit::exists(dir + "/opt/tool/run"), r.tree == 2);
    EXPECT_FALSE(pit::exists(kList));
    if (!r.got || r.got == string("null")) {
        EXPECT_EQ(rec, r.got ? nullptr : untouched);
        return;
    }
    ASSERT_NE(rec, nullptr);
    ASSERT_NE(rec, untouched);
    EXPECT_EQ(string(reinterpret_cast<char *>(rec), srg_size(rec)),
              pit::record_bytes(r.got, std::nullopt));
    std::free(rec);
}

INSTANTIATE_TEST_SUITE_P(Image, ImageTest, testing::ValuesIn(kRows));

}  // namespace
