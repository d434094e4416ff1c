// The image check over hostile and honest images made by the tests' own writer (image_writer.h),
// and the name rules of software ids and newer-fs names: each row refused naming member and
// reason, or accepted.
#include <cstdio>
#include <string>
#include <vector>

#include "tests/installer/image_writer.h"
#include "tests/support/fixture.h"
#include "tests/support/fs.h"
#include "tools/installer/check.h"

namespace {

using pit::Member;
using std::string;

Member F(const string &n, unsigned mode = 0644, const string &data = "x") {
    return {n, AE_IFREG, mode, data};
}
Member D(const string &n, unsigned mode = 0755) { return {n, AE_IFDIR, mode}; }
Member L(const string &n, const string &to) { return {n, AE_IFLNK, 0777, "", to}; }

std::vector<Member> deep() {  // 40 levels and a file at the bottom
    std::vector<Member> m;
    for (string d = "./d/"; m.size() < 40; d += "d/") m.push_back(D(d));
    return m.push_back(F(m.back().name + "bottom", 0755)), m;
}

string noise() {  // 96 KiB that gzip cannot shrink (libarchive reads 64 KiB ahead)
    string s;
    for (uint32_t x = 1; s.size() < 98304; x = x * 1103515245 + 12345) s += char(x >> 24);
    return s;
}

const string kDemo =
    "mkdir -p /opt/t/usr/bin /opt/t/usr/lib/demo /opt/t/etc/demo && cd /opt/t && "
    "echo x >usr/bin/demo-base && chmod 755 usr/bin/demo-base && echo l "
    ">usr/lib/demo/libdemo.so.1 && ln -s libdemo.so.1 usr/lib/demo/libdemo.so && "
    "echo 1 >etc/demo/base.conf && " PI_SRGTOOL
    " make --swid demo-base-1.0 -o "
    "/opt/r.sro && " PI_MKPLUGIN " --record /opt/r.sro -o /opt/p.img /opt/t";
const char kLimit[] = "unpacked size passes the limit of ";

enum Tamper { kNone, kCut, kPlain, kHuge, kNoSlash };

struct Row {
    const char *name;
    std::vector<Member> members{};
    std::vector<string> want{};  // beginnings of "MEMBER: REASON", in order; none: accepted
    installer::CheckOptions options{};
    Tamper tamper = kNone;   // 30 bytes cut off; a tar without gzip; the first member says 8 GiB
    string prep{};           // a shell command that makes /opt/p.img instead
    string swid{}, newer{};  // a software id or newer-fs name to check, not an image
};
void PrintTo(const Row &r, std::ostream *os) { *os << r.name; }

const Row kRows[] = {
    {"absolute", {F("/opt/x")}, {"/opt/x: absolute name"}},
    {"dot_dot", {F("./../../../opt/x")}, {"./../../../opt/x: \"..\" component in the name"}},
    {"through_link",
     {L("./d", "/opt"), F("./d/x")},
     {"./d: symbolic link to an absolute path",
      "./d/x: path passes through the symbolic link ./d"}},
    {"link_out", {D("./usr/"), L("./usr/l", "../../x")}, {"./usr/l: symbolic link leads out"}},
    {"link_out_by_link",
     {D("./s/"), L("./s/b", ".."), L("./s/c", "b/..")},
     {"./s/c: symbolic link leads out"}},
    {"hard_link", {F("./a"), {"./b", AE_IFREG, 0644, "", "./a", true}}, {"./b: hard link"}},
    {"device", {{"./null", AE_IFCHR}}, {"./null: device node"}},
    {"fifo", {{"./p", AE_IFIFO}}, {"./p: fifo"}},
    {"setuid", {F("./su", 04755)}, {"./su: setuid bit"}},
    {"setgid", {F("./sg", 02755)}, {"./sg: setgid bit"}},
    {"sticky", {D("./t/", 01755)}, {"./t/: sticky bit"}},
    {"setid_allowed",
     {F("./su", 06755)},
     {"./su: setuid bit (allowed)", "./su: setgid bit (allowed)"},
     {.allow_setid = true, .max_unpacked = {}}},
    {"world_writable", {F("./w", 0646)}, {"./w: writable by others"}},
    {"owner", {{.name = "./o", .uid = 1000}}, {"./o: owner or group other than root"}},
    {"control", {F("./a\nb")}, {"./a\\012b: control character in the name"}},
    {"backslash", {F("./a\\b")}, {"./a\\134b: backslash in the name"}},
    {"dash",
     {F("./--checkpoint-action=exec=sh x.sh")},
     {"./--checkpoint-action=exec=sh x.sh: name component starting with '-'"}},
    {"dir_without_slash",
     {D("./bin/")},
     {"./bin: directory without its trailing '/'"},
     {},
     kNoSlash},
    {"replaced", {F("./a", 0755), F("a")}, {"a: replaces an earlier member"}},
    {"record_file", {F("./plugin.sro"), F("./x/plugin.sro")}, {"./plugin.sro: takes the place"}},
    {"limit",
     {F("./a", 0644, "1234"), F("./b", 0644, "123456"), F("./c")},
     {"./c: unpacked size passes the limit of 10 bytes"},
     {.allow_setid = false, .max_unpacked = 10}},
    {"bomb", {F("./zeros", 0644, string(1 << 20, '\0'))}, {string("./zeros: ") + kLimit}},
    {"declares_8_gib", {F("./big"), F("./after")}, {string("./big: ") + kLimit}, {}, kHuge},
    {"truncated",
     {F("./a"), F("./b", 0644, noise())},
     {"(archive): truncated or corrupt archive after ./b ("},
     {},
     kCut},
    {"not_gzip", {F("./a")}, {"(archive): not a gzip-compressed archive"}, {}, kPlain},
    {"blanks_non_ascii", {D("./my dir/"), F("./my dir/caf\xc3\xa9 na\xc3\xafve.txt")}},
    {"long_name", {F("./" + string(198, 'n'))}},
    {"deep_tree", deep()},
    {"links_inside",
     {D("./usr/"), D("./usr/bin/"), D("./usr/lib/"), F("./usr/lib/libx.so.1"),
      L("./usr/lib/libx.so", "libx.so.1"), L("./usr/bin/l", "../lib/libx.so"),
      L("./top", "usr/bin"), L("./usr/bin/via", "../../top/l"), D("./s/"), L("./s/up", "..")}},
    {"empty_dirs_executables", {D("./"), D("./e/"), D("./e/f/"), F("./run", 0755, "#!/bin/sh\n")}},
    {"demo_image", {}, {}, {}, kNone, kDemo},
    {"swid_debian", {}, {}, {}, kNone, {}, "1:7.2+dfsg-7~b3"},
    {"swid_shell", {}, {"character outside [A-Za-z0-9._+:~-]"}, {}, kNone, {}, "x$(touch /opt/p)"},
    {"swid_blank", {}, {"character outside"}, {}, kNone, {}, "x /opt/victim #"},
    {"swid_slash", {}, {"character outside"}, {}, kNone, {}, "a/../b"},
    {"swid_fits", {}, {}, {}, kNone, {}, string(227, 's')},
    {"swid_too_long", {}, {"software id too long"}, {}, kNone, {}, string(228, 's')},
    {"newer_fs_name", {}, {}, {}, kNone, {}, {}, "usr/lib/x-1.0+b@%=:,so"},
    {"newer_fs_shell", {}, {"character outside [A-Za-z0-9._+@%=:,/-]"}, {}, kNone, {}, {}, "a$(c)"},
    {"newer_fs_semicolon", {}, {"character outside"}, {}, kNone, {}, {}, "b;cmd;"},
    {"newer_fs_dash", {}, {"name starting with '-'"}, {}, kNone, {}, {}, "--checkpoint=1"},
};

class CheckTest : public pit::SandboxTest, public testing::WithParamInterface<Row> {};

TEST_P(CheckTest, Row) {
    const Row &r = GetParam();
    std::vector<string> got;
    const auto rule = [&got](const string &reason) {
        if (!reason.empty()) got.push_back(reason);
    };
    int rc = installer::kCheckAccepted, fds = pit::open_fds();
    if (!r.swid.empty() || !r.newer.empty()) {
        rule(r.newer.empty() ? installer::check_swid(r.swid)
                             : installer::check_newer_fs_name(r.newer));
    } else {
        string tar = pit::archive_bytes(r.members, nullptr), error;
        if (r.tamper == kHuge)  // base-256 2^33
            tar.replace(124, 12, string("\x80\0\0\0\0\0\0\x02\0\0\0\0", 12));
        if (r.tamper == kNoSlash) tar[tar.find('\0') - 1] = '\0';
        if (r.tamper == kHuge || r.tamper == kNoSlash) {  // the first header's checksum again
            tar.replace(148, 8, 8, ' ');
            unsigned sum = 0;
            for (int i = 0; i < 512; ++i) sum += static_cast<unsigned char>(tar[i]);
            std::snprintf(&tar[148], 7, "%06o", sum);
        }
        string img = pit::header_block() + (r.tamper == kPlain ? tar : pit::gzip(tar));
        if (r.tamper == kCut) img.resize(img.size() - 30);
        ASSERT_TRUE(r.prep.empty() ? pit::write_file("/opt/p.img", img) : pit::sh(r.prep));
        std::vector<installer::Problem> problems;
        rc = installer::check_image("/opt/p.img", r.options, problems, error);
        EXPECT_EQ(error, "");
        for (const auto &p : problems)
            got.push_back(p.entry + ": " + p.reason + (p.allowed ? " (allowed)" : ""));
    }
    EXPECT_EQ(pit::open_fds(), fds);
    ASSERT_EQ(got.size(), r.want.size()) << testing::PrintToString(got);
    bool refused = false;
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].substr(0, r.want[i].size()), r.want[i]);
        refused = refused || r.want[i].find("(allowed)") == string::npos;
    }
    EXPECT_EQ(rc, refused && r.swid.empty() && r.newer.empty() ? installer::kCheckRefused
                                                               : installer::kCheckAccepted);
}

INSTANTIATE_TEST_SUITE_P(Check, CheckTest, testing::ValuesIn(kRows));

}  // namespace
