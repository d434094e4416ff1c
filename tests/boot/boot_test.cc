// Boot selection and state: /proc/cmdline, the plugin names of an image configuration, the boot-stage record.
// The key lookup and plugin list rules are checked by the fuzz_cmdline_scan and fuzz_from_cmdline corpora.
#include <sys/stat.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "tests/support/fixture.h"

namespace {

using pit::captured;
using Strings = std::vector<std::string>;
namespace dbl = pit::dbl;
#define GC "plugin_get_cmdline: "
#define NC "plugin_get_names_from_conf: "

class BootTest : public pit::SandboxTest {};

TEST_F(BootTest, CmdlineFile) {
    pit::SyslogSink socket;  // a socket at /dev/log: open() refuses it, as root too
    const std::string text = "root=/dev/ram pdebug=1 quiet\n",
                      asked = GC "Expected cmdline: pdebug\n";
    const std::string eio = GC "read cmdline failed (Input/output error) (512)\n";
    const std::string none = GC "read cmdline failed (Success) (512)\n";
    const struct {
        const char *what, *text, *over, *value;
        std::string err;
    } rows[] = {
        // over: bound on the file
        {"empty file", "", nullptr, nullptr, asked + none + none},
        {"read fails", "", "/proc/self/mem", nullptr, asked + eio + eio},  // read at address 0
        {"cannot open", "", "/dev/log", nullptr,
         asked + GC "Open cmdline failed: No such device or address\n"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        pit::set_cmdline(row.text);
        if (row.over) {
            ASSERT_TRUE(pit::bind(row.over, "/proc/cmdline"));
        }
        int fds = pit::open_fds();
        std::string err;
        const char *value = captured([] { return plugin_get_cmdline("pdebug"); }, nullptr, &err);
        EXPECT_EQ(pit::open_fds(), fds);
        if (row.over) {
            EXPECT_TRUE(pit::unbind("/proc/cmdline"));
        }
        EXPECT_STREQ(value, row.value);
        EXPECT_EQ(err, row.err);
    }
    // The value is cut out of the one static buffer in place; the next call refills that buffer under it.
    pit::set_cmdline(text);
    const char *value = captured([] { return plugin_get_cmdline("pdebug"); }, nullptr, nullptr);
    ASSERT_NE(value, nullptr);
    EXPECT_STREQ(value - 21, "root=/dev/ram pdebug=1");
    pit::set_cmdline("a=2345678901234567890123 q\n");
    EXPECT_STREQ(captured([] { return plugin_get_cmdline("a"); }, nullptr, nullptr),
                 "2345678901234567890123");
    EXPECT_STREQ(value, "123");
}

TEST_F(BootTest, ConfigurationNames) {
    const char *img = "/opt/img.conf", *other = "/opt/other.conf", *empty = "/opt/img.conf.d/empty";
    const Strings ab = {"alpha.img", "beta.img"},
                  abfv = {"alpha.img", "beta.img", "fc_plugin", "virt_plugin"};
    const std::string fc = NC "Included FC Plugin for plugin string malloc\n" NC
                              "Included virtualization Plugin for "
                              "plugin string malloc\n" NC "Appending fc_plugin to the namelist\n";
    const std::string dbg = fc + NC "Appending virt_plugin to the namelist\n";
    const std::string nomem = NC "strings malloc failed. Number of strings ",
                      count = NC "get plugin image name failed";
    // flags: f (FC marker), v (virtualisation marker, a directory: existence counts), d (debug on); fail: the double
    // that fails, at its call number `at` (from 0); rc: the result, and what a failing configuration call returns.
    const struct {
        const char *what, *flags, *path;
        std::string fail;
        int at;
        plugin_rc_t rc;
        Strings names;
        std::string err;
    } rows[] = {
        {"no markers", "", img, "", 0, 0, ab, ""},
        {"both markers", "fv", img, "", 0, 0, abfv, ""},
        {"FC marker", "f", img, "", 0, 0, {"alpha.img", "beta.img", "fc_plugin"}, ""},
        {"virtualisation marker", "v", img, "", 0, 0, {"alpha.img", "beta.img", "virt_plugin"}, ""},
        {"not an img.conf", "fv", other, "", 0, 0, {"alpha.img"}, ""},
        {"img.conf inside the path", "fv", empty, "", 0, 0, {"fc_plugin", "virt_plugin"}, ""},
        {"empty configuration", "", empty, "", 0, 0, {}, ""},
        {"debug lines", "fvd", img, "", 0, 0, abfv, dbg},
        {"no file",
         "",
         "/opt/none",
         "",
         0,
         PLUGIN_ICF_ERR_OPEN,
         {},
         NC "open /opt/none failed. (rc = 0x1c0f0002)\n"},
        {"open",
         "fv",
         img,
         "open",
         0,
         0xABCDEF01,
         {},
         NC "open /opt/img.conf failed. (rc = 0xabcdef01)\n"},
        {"counting", "fv", img, "get_name", 2, 0x1234, {}, count + ". (rc = 4660)\n"},
        {"restart",
         "fv",
         img,
         "first",
         0,
         77,
         {},
         NC "get first plugin image name failed. (rc = 77)\n"},
        {"filling", "", img, "get_name", 3, 0x40EA0017, {}, count + ". (rc = 0x40ea0017)\n"},
        {"no set", "fv", img, "malloc", 0, PLUGIN_ERR_NOMEM, {}, nomem + "(4), size(41)\n"},
        {"no empty set", "", empty, "malloc", 0, PLUGIN_ERR_NOMEM, {}, nomem + "(0), size(0)\n"},
        {"markers alone",
         "fv",
         empty,
         "malloc",
         0,
         PLUGIN_ERR_NOMEM,
         {},
         nomem + "(2), size(22)\n"},
        {"image name",
         "fv",
         img,
         "append",
         1,
         PLUGIN_ERR_FAILED,
         {},
         NC "failed to append beta.img sto strings\n"},
        {"fc_plugin", "fv", img, "append", 2, PLUGIN_ERR_FAILED, {}, ""},
        {"virt",
         "fvd",
         img,
         "append",
         3,
         PLUGIN_ERR_FAILED,
         {},
         dbg + NC "failed to append virt_plugin sto strings\n"},
    };
    const auto *row = rows;
    std::map<std::string, int> calls;
    plugin_icf *opened = nullptr;
    int closes = 0, sets = 0;
    uint32_t strings = 0, bytes = 0;
    bool restart =
        false;  // the reader's restart calls get_name itself: not a call of the library's
    auto fails = [&](const char *fn) { return row->fail == fn && calls[fn]++ == row->at; };
    dbl::plugin_icf_open = [&](const char *p, plugin_icf **h) {
        uint32_t rc = PI_REAL(plugin_icf_open)(p, h);
        return opened = *h, fails("open") ? row->rc : rc;
    };
    dbl::plugin_icf_get_name = [&](plugin_icf *h, const char **n) {
        return !restart && fails("get_name") ? row->rc : PI_REAL(plugin_icf_get_name)(h, n);
    };
    dbl::plugin_icf_first_img_name = [&](plugin_icf *h, const char **n) {
        restart = !fails("first");
        uint32_t rc = restart ? PI_REAL(plugin_icf_first_img_name)(h, n) : row->rc;
        return restart = false, rc;
    };
    dbl::plugin_icf_close = [&](plugin_icf *h) {
        return closes += h == opened ? 1 : 9, PI_REAL(plugin_icf_close)(h);
    };
    dbl::plugin_strings_malloc = [&](uint32_t s, uint32_t b) {
        plugin_strings *set = fails("malloc") ? nullptr : PI_REAL(plugin_strings_malloc)(s, b);
        return strings = s, bytes = b, sets += set != nullptr, set;
    };
    dbl::plugin_strings_append = [&](plugin_strings *s, const char *t) {
        return fails("append") ? -1 : PI_REAL(plugin_strings_append)(s, t);
    };
    dbl::plugin_strings_free = [&](plugin_strings *s) {
        sets -= s != nullptr, PI_REAL(plugin_strings_free)(s);
    };
    ASSERT_TRUE(pit::write_file(img, "alpha.img\nbeta.img\n") &&
                pit::write_file(other, "alpha.img\n"));
    ASSERT_TRUE(pit::write_file(empty, ""));
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        std::remove("/mnt/pss/load-fcplugin"), std::remove("/mnt/pss/load-virtplugin");
        if (std::strchr(r.flags, 'f')) {
            ASSERT_TRUE(pit::write_file("/mnt/pss/load-fcplugin", ""));
        }
        if (std::strchr(r.flags, 'v')) {
            ASSERT_EQ(mkdir("/mnt/pss/load-virtplugin", 0755), 0);
        }
        std::strchr(r.flags, 'd') ? plugin_intn_debug_on() : plugin_intn_debug_off();
        row = &r, calls.clear(), opened = nullptr, closes = sets = 0;
        plugin_strings *set = reinterpret_cast<plugin_strings *>(0x1);
        std::string err;
        EXPECT_EQ(captured([&] { return plugin_get_names_from_conf(r.path, &set); }, nullptr, &err),
                  r.rc);
        EXPECT_EQ(err, r.err);
        EXPECT_EQ(closes, opened ? 1 : 0);
        EXPECT_EQ(sets, r.rc == PLUGIN_OK);  // a set is made once and handed out, or freed
        EXPECT_EQ(set == nullptr, r.rc != PLUGIN_OK);
        if (r.rc != PLUGIN_OK || set == nullptr) continue;
        Strings got;
        uint32_t want = 0;
        for (uint32_t i = 0; i < plugin_strings_num_strings_get(set); ++i)
            got.emplace_back(plugin_strings_get(set, i)),
                want += static_cast<uint32_t>(got.back().size() + 1);
        EXPECT_EQ(got, r.names);
        EXPECT_EQ(std::make_pair(strings, bytes),
                  std::make_pair(uint32_t(r.names.size()), want));  // the room needed
        plugin_strings_free(set);
    }
}

TEST_F(BootTest, StageBootRecord) {
    const char *dir = "/velm/plugin_extract_log", *path = "/velm/plugin_extract_log/stage_boot";
    using Words = std::array<uint32_t, 10>;
    const Words words = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10},
                boot = {0x424F4F54, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    auto bytes = [](const Words &w) {
        return std::string(reinterpret_cast<const char *>(w.data()), sizeof w);
    };
    const std::string b = bytes(words), fresh = bytes(boot), f = "0123456789abcdefghijABCDEFGHIJ<>",
                      g = f + "!@#$%^&*";
    // file: stage_boot beforehand: its bytes, null (absent), "<no dir>", or a node bound on it (/dev/log: a socket,
    // /dev/full); err "<size>": the size-mismatch line; after: stage_boot's bytes; record: the buffer's bytes.
    const struct {
        const char *what;
        int32_t zell;
        const char *file;
        bool write;
        int32_t size;
        plugin_rc_t rc;
        std::string err, after, record;
    } rows[] = {
        {"fresh boot", 6, nullptr, false, 32, 0, "", "", fresh},
        {"fresh boot, no directory", 6, "<no dir>", false, 32, 0, "", "", fresh},
        {"first write", 6, nullptr, true, 32, 0, "", b.substr(0, 32), b},
        {"read back", 6, f.c_str(), false, 32, 0, "", f, f + b.substr(32)},
        {"longer file written", 6, g.c_str(), true, 32, 0, "", b.substr(0, 32) + g.substr(32), b},
        {"larger limit", 8, g.c_str(), false, 40, 0, "", g, g},
        {"smaller limit", 5, g.c_str(), false, 28, 0, "", g, g.substr(0, 28) + b.substr(28)},
        {"short file", 6, "01234567", false, 32, PLUGIN_ERR_READ,
         "plugin_read_remaining_load: read fails (8/32)\n", "01234567", "01234567" + b.substr(8)},
        {"unopenable read", 6, "/dev/log", false, 32, PLUGIN_ERR_OPEN, "", "", b},
        {"unopenable write", 6, "/dev/log", true, 32, PLUGIN_ERR_OPEN, "", "", b},
        {"write, no directory", 6, "<no dir>", true, 32, PLUGIN_ERR_OPEN, "", "", b},
        {"refused write", 6, "/dev/full", true, 32, PLUGIN_ERR_WRITE, "", "", b},
        {"read too short", 6, g.c_str(), false, 28, PLUGIN_ERR_INVALID_ARG, "<size>", g, b},
        {"write too long", 6, g.c_str(), true, 36, PLUGIN_ERR_INVALID_ARG, "<size>", g, b},
        {"status word alone", -1, nullptr, false, 4, 0, "", "", fresh},
        {"no word at all", -2, nullptr, false, 0, PLUGIN_ERR_INVALID_ARG, "<size>", "", b},
    };
    pit::SyslogSink socket;  // a socket at /dev/log: open() refuses it, as root too
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        const std::string file = r.file ? r.file : "";
        std::remove(path), std::remove(dir);
        if (file != "<no dir>") pit::mkdir_p(dir);
        if (r.file && file != "<no dir>") {
            ASSERT_TRUE(pit::write_file(path, file[0] == '/' ? "" : file));
        }
        if (file[0] == '/') {
            ASSERT_TRUE(pit::bind(file, path));
        }
        Words buffer = words;
        uint32_t *p = buffer.data();
        dbl::get_max_allowed_zell = [&r] { return r.zell; };
        std::string err;
        auto op = [&] {
            return r.write ? plugin_write_remaining_load(p, r.size)
                           : plugin_read_remaining_load(p, r.size);
        };
        EXPECT_EQ(captured(op, nullptr, &err), r.rc);
        if (file[0] == '/') {
            EXPECT_TRUE(pit::unbind(path));
        }
        char line[160];
        std::snprintf(line, sizeof line,
                      "plugin_%s_remaining_load: boot_status= %x size= %d len= %d\n",
                      r.write ? "write" : "read", unsigned(reinterpret_cast<uintptr_t>(p)), r.size,
                      4 * r.zell + 8);
        EXPECT_EQ(err, r.err == "<size>" ? line : r.err);
        EXPECT_EQ(pit::read_file(path), r.after);
        EXPECT_EQ(bytes(buffer), r.record);
    }
}

}  // namespace
