// The image check over hostile and honest images (image_writer.h), and the software id and
// newer-fs name rules: each row refused naming member and reason, or accepted.
#include <cstdio>
#include <string>
#include <vector>

#include "tests/installer/image_writer.h"
#include "tests/support/fixture.h"
#include "tests/support/fs.h"
#include "tools/installer/check.h"

namespace {

using std::string;
using test_support::Member;

Member F(string n, unsigned mode = 0644, string data = "x") { return {n, AE_IFREG, mode, data}; }
Member D(const string &n, unsigned mode = 0755) { return {n, AE_IFDIR, mode}; }
Member L(const string &n, const string &to) { return {n, AE_IFLNK, 0777, "", to}; }
std::vector<Member> many(int n) {  // files ./f0 to ./f(n-1), then ./f0 again
    std::vector<Member> m(n + 1, F("./f0"));
    for (int i = 1; i < n; ++i) m[i].name = "./f" + std::to_string(i);
    return m;
}

enum Tamper { kNone, kCut, kPlain, kHuge, kNoSlash, kNoHeader };

struct Row {
    const char *name;
    std::vector<Member> members{};
    std::vector<string> want{};  // beginnings of "MEMBER: REASON", in order; none: accepted
    string swid{}, newer{};      // a software id or newer-fs name to check instead of an image
    Tamper tamper = kNone;  // 30 bytes cut, no gzip, 8 GiB member, no final '/', no header block
    installer::CheckOptions options{};
};
void PrintTo(const Row &r, std::ostream *os) { *os << r.name; }

// clang-format off
const Row kRows[] = {
    {"absolute", {F("/opt/x")}, {"/opt/x: absolute name"}},
    {"dot_dot", {F("./../../../opt/x")}, {"./../../../opt/x: \"..\" component in the name"}},
    {"through_link", {L("./d", "/opt"), F("./d/x")},
     {"./d: symbolic link to an absolute path", "./d/x: path passes through the symbolic link"}},
    {"link_out", {L("./usr/lib/l", "../../../x")}, {"./usr/lib/l: symbolic link leads out"}},
    {"link_forms", {L("./", "x"), L("a", "/o"), F("a//x"), F("./b/y"), F("./c")},
     {"./: trailing", "a: symbolic link to", "a//x: path passes through the symbolic link a"}},
    {"link_out_by_link", {L("./s/b", ".."), L("./s/c", "b/..")}, {"./s/c: symbolic link leads"}},
    {"hard_link", {F("./a"), {"./b", AE_IFREG, 0644, "", "./a", true}}, {"./b: hard link"}},
    {"node_fifo", {{"./null", AE_IFCHR}, {"./p", AE_IFIFO}}, {"./null: device node", "./p: fifo"}},
    {"mode_bits", {D("./t/", 07755)}, {"./t/: setuid bit", "./t/: setgid bit", "./t/: sticky bit"}},
    {"setid_allowed", {F("./s", 06755)}, {"./s: setuid bit (allowed)", "./s: setgid bit (allowed)"},
     {}, {}, kNone, {true, {}}},
    {"world_writable", {F("./w", 0646)}, {"./w: writable by others"}},
    {"owner", {{.name = "./o", .uid = 1000}}, {"./o: owner or group other than root"}},
    {"owner_names", {{.name = "./u", .uname = "daemon"}, {.name = "./g", .gname = "staff"},
                     {.name = "./r", .uname = "root", .gname = "root"}},
     {"./u: owner or group other than root", "./g: owner or group other than root"}},
    {"control", {F("./a\x1f\nb")}, {"./a\\037\\012b: control character in the name"}},
    {"backslash", {F("./a\\b")}, {"./a\\134b: backslash in the name"}},
    {"dash", {F("./--checkpoint-action=exec=sh")}, {"./--checkpoint-action=exec=sh: name comp"}},
    {"dir_without_slash", {D("./bin/")}, {"./bin: directory without its trailing '/'"}, {}, {},
     kNoSlash},
    {"slash_on_link", {L("./x/", "y")}, {"./x/: trailing '/' on a member that is no directory"}},
    {"replaced", {F("./a", 0755), F("a")}, {"a: replaces an earlier member"}},
    {"replaced_among_many", many(600), {"./f0: replaces an earlier member"}},
    {"record_file", {F("./plugin.sro"), F("./x/plugin.sro")}, {"./plugin.sro: takes the place"}},
    {"limit", {F("./a", 0644, "1234"), F("./b", 0644, "123456"), F("./c")},
     {"./c: unpacked size passes the limit of 10 bytes"}, {}, {}, kNone, {false, 10}},
    {"bomb", {F("./zeros", 0644, string(1 << 20, '\0'))}, {"./zeros: unpacked size passes"}},
    {"declares_8_gib", {F("./big"), F("./after")}, {"./big: unpacked size passes"}, {}, {}, kHuge},
    {"truncated", {F("./a"), F("./b", 0644, string(1 << 20, '\0'))},
     {"(archive): truncated or corrupt archive after ./b ("}, {}, {}, kCut, {false, 1 << 21}},
    {"not_gzip", {F("./a")}, {"(archive): not a gzip-compressed archive"}, {}, {}, kPlain},
    {"blanks_non_ascii", {D("./my dir/"), F("./my dir/caf\xc3\xa9 na\xc3\xafve.txt")}},
    {"long_name", {F("./" + string(198, 'n'))}},
    {"deep_tree", {F("./d/d/d/d/d/d/d/d/d/d/d/d/d/d/d/d/d/d/d/d/"  // 40 levels
                     "d/d/d/d/d/d/d/d/d/d/d/d/d/d/d/d/d/d/d/d/bottom", 0755)}},
    {"links_inside", {D("./usr/"), D("./usr/bin/"), D("./usr/lib/"), F("./usr/lib/libx.so.1"),
                      L("./usr/lib/libx.so", "libx.so.1"), L("./usr/bin/l", "../lib/libx.so"),
                      L("./top", "usr/bin"), L("./usr/bin/via", "../../top/l"), L("./s/up", "..")}},
    {"link_loop", {L("./a", "b"), L("./b", "a")}},
    {"empty_dirs_executables", {D("./"), D("./e/"), D("./e/f/"), F("./run", 0755, "#!/bin/sh\n")}},
    {"not_image", {F("./a")}, {"error: /opt/p.img: not a plugin image"}, {}, {}, kNoHeader},
    {"swid_debian", {}, {}, "1:7.2+dfsg-7~b3"},
    {"swid_shell", {}, {"character outside [A-Za-z0-9._+:~-]"}, "x$(touch /opt/p)"},
    {"swid_fits", {}, {}, string(227, 's')},
    {"swid_too_long", {}, {"software id too long"}, string(228, 's')},
    {"newer_fs_name", {}, {}, {}, "usr/lib/x-1.0+b@%=:,so"},
    {"newer_fs_shell", {}, {"character outside [A-Za-z0-9._+@%=:,/-]"}, {}, "b;cmd;"},
    {"newer_fs_dash", {}, {"name starting with '-'"}, {}, "--checkpoint=1"},
};
// clang-format on

class CheckTest : public test_support::SandboxTest, public testing::WithParamInterface<Row> {};

TEST_P(CheckTest, Row) {
    const Row &r = GetParam();
    std::vector<installer::Problem> problems;
    string tar = test_support::archive_bytes(r.members, nullptr), error;
    if (r.tamper == kHuge) tar.replace(124, 12, string("\x80\0\0\0\0\0\0\x02\0\0\0\0", 12));
    if (r.tamper == kNoSlash) tar[tar.find('\0') - 1] = '\0';
    tar.replace(148, 8, 8, ' ');  // the first header's checksum again
    unsigned sum = 0;
    for (int i = 0; i < 512; ++i) sum += static_cast<unsigned char>(tar[i]);
    std::snprintf(&tar[148], 7, "%06o", sum);
    string img = (r.tamper == kNoHeader ? "" : test_support::header_block()) +
                 (r.tamper == kPlain ? tar : test_support::gzip(tar));
    img.resize(img.size() - (r.tamper == kCut ? 30 : 0));
    ASSERT_TRUE(test_support::write_file("/opt/p.img", img));
    const int fds = test_support::open_fds();
    const bool image = r.swid.empty() && r.newer.empty();
    const int rc = image ? installer::check_image("/opt/p.img", r.options, problems, error)
                         : installer::kCheckAccepted;
    EXPECT_EQ(test_support::open_fds(), fds);
    if (!error.empty()) problems.push_back({"error", error});
    std::vector<string> got;
    for (const auto &p : problems)
        got.push_back(p.entry + ": " + p.reason + (p.allowed ? " (allowed)" : ""));
    const string rule = image            ? ""
                        : r.swid.empty() ? installer::check_newer_fs_name(r.newer)
                                         : installer::check_swid(r.swid);
    if (!rule.empty()) got.push_back(rule);
    ASSERT_EQ(got.size(), r.want.size()) << testing::PrintToString(got);
    int want = installer::kCheckAccepted;
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].substr(0, r.want[i].size()), r.want[i]);
        if (image && r.want[i].find("(allowed)") == string::npos)
            want = r.want[i].rfind("error: ", 0) == 0 ? installer::kCheckFailed
                                                      : installer::kCheckRefused;
    }
    EXPECT_EQ(rc, want);
}

INSTANTIATE_TEST_SUITE_P(Check, CheckTest, testing::ValuesIn(kRows));

}  // namespace
