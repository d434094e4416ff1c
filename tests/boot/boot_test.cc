// Boot selection and state: /proc/cmdline, the plugin names of an image configuration, the
// boot-stage record.  The key lookup and plugin list rules are checked by the fuzz_cmdline_scan
// and fuzz_from_cmdline corpora.
#include <sys/stat.h>

#include <array>
#include <cstdio>
#include <map>
#include <string>

#include "tests/support/fixture.h"

namespace {

using test_support::captured;
#define GC "plugin_get_cmdline: "
#define NC "plugin_get_names_from_conf: "

class BootTest : public test_support::SandboxTest {};

// over: a node bound on /proc/cmdline (/dev/log is a socket, which open() refuses, as root too).
TEST_F(BootTest, CmdlineFileThatCannotBeRead) {
    const std::string asked = GC "Expected cmdline: pdebug\n";
    const std::string none = GC "read cmdline failed (Success) (512)\n";
    const struct {
        const char *over;
        std::string err;
    } rows[] = {
        {nullptr, asked + none + none},
        {"/dev/log", asked + GC "Open cmdline failed: No such device or address\n"},
    };
    test_support::SyslogSink socket;
    sandbox::set_cmdline("");
    for (const auto &row : rows) {
        SCOPED_TRACE(row.over ? row.over : "empty file");
        ASSERT_TRUE(!row.over || sandbox::bind(row.over, "/proc/cmdline"));
        int fds = test_support::open_fds();
        std::string err;
        EXPECT_EQ(captured([] { return plugin_get_cmdline("pdebug"); }, nullptr, &err), nullptr);
        EXPECT_EQ(test_support::open_fds(), fds);
        EXPECT_EQ(err, row.err);
        EXPECT_TRUE(!row.over || sandbox::unbind("/proc/cmdline"));
    }
}

// flags: f (FC marker file), v (virtualisation marker, a directory), d (debug on).  fail: the
// double that fails at its call number `at` (from 0), answering rc.  names: the set handed out;
// asked: the count and bytes the set was made with.
struct ConfRow {
    const char *what, *flags, *path, *fail;
    int at;
    plugin_rc_t rc;
    const char *names, *asked;
    std::string err;
};

class ConfNamesTest : public test_support::SandboxTest {
protected:
    const ConfRow *row_ = nullptr;
    std::map<std::string, int> calls_;
    plugin_icf *opened_ = nullptr;
    int closes_ = 0, sets_ = 0;
    std::string asked_;
    bool restart_ = false;  // the reader's restart calls get_name itself: not the library's call

    bool fails(const char *fn) { return std::string(row_->fail) == fn && calls_[fn]++ == row_->at; }
    void arm();
    void run(const ConfRow &row);
};

void ConfNamesTest::arm() {
    namespace doubles = test_support::doubles;
    doubles::plugin_icf_open = [this](const char *p, plugin_icf **h) {
        uint32_t rc = PI_REAL(plugin_icf_open)(p, h);
        opened_ = *h;
        return fails("open") ? row_->rc : rc;
    };
    doubles::plugin_icf_get_name = [this](plugin_icf *h, const char **n) {
        if (!restart_ && fails("get_name")) return row_->rc;
        return PI_REAL(plugin_icf_get_name)(h, n);
    };
    doubles::plugin_icf_first_img_name = [this](plugin_icf *h, const char **n) {
        if (fails("first")) return row_->rc;
        restart_ = true;
        uint32_t rc = PI_REAL(plugin_icf_first_img_name)(h, n);
        restart_ = false;
        return rc;
    };
    doubles::plugin_icf_close = [this](plugin_icf *h) {
        closes_ += h == opened_ ? 1 : 9;
        return PI_REAL(plugin_icf_close)(h);
    };
    doubles::plugin_strings_malloc = [this](uint32_t s, uint32_t b) -> plugin_strings * {
        asked_ = std::to_string(s) + " " + std::to_string(b);
        ++sets_;
        return PI_REAL(plugin_strings_malloc)(s, b);
    };
    doubles::plugin_strings_append = [this](plugin_strings *s, const char *t) {
        return fails("append") ? -1 : PI_REAL(plugin_strings_append)(s, t);
    };
    doubles::plugin_strings_free = [this](plugin_strings *s) {
        if (s) --sets_;
        PI_REAL(plugin_strings_free)(s);
    };
}

void ConfNamesTest::run(const ConfRow &row) {
    SCOPED_TRACE(row.what);
    std::remove("/mnt/pss/load-fcplugin");
    std::remove("/mnt/pss/load-virtplugin");
    const std::string flags = row.flags;
    if (flags.find('f') != flags.npos) test_support::write_file("/mnt/pss/load-fcplugin", "");
    if (flags.find('v') != flags.npos) sandbox::mkdir_p("/mnt/pss/load-virtplugin");
    if (flags.find('d') != flags.npos) plugin_intn_debug_on();
    if (flags.find('d') == flags.npos) plugin_intn_debug_off();
    row_ = &row;
    calls_.clear();
    opened_ = nullptr;
    closes_ = 0;
    sets_ = 0;
    asked_ = "";
    plugin_strings *set = reinterpret_cast<plugin_strings *>(0x1);
    std::string err;
    auto call = [&] { return plugin_get_names_from_conf(row.path, &set); };
    EXPECT_EQ(captured(call, nullptr, &err), row.rc);
    EXPECT_EQ(err, row.err);
    EXPECT_EQ(closes_, opened_ ? 1 : 0);
    EXPECT_EQ(asked_, row.asked);
    if (row.rc != PLUGIN_OK) {
        EXPECT_EQ(set, nullptr);
        EXPECT_EQ(sets_, 0);  // made and freed again
        return;
    }
    ASSERT_NE(set, nullptr);
    EXPECT_EQ(sets_, 1);  // made once and handed out
    std::string names;
    for (uint32_t i = 0; i < plugin_strings_num_strings_get(set); ++i)
        names += std::string(i ? " " : "") + plugin_strings_get(set, i);
    EXPECT_EQ(names, row.names);
    plugin_strings_free(set);
}

TEST_F(ConfNamesTest, Rows) {
    const char *img = "/opt/img.conf", *other = "/opt/other.conf", *empty = "/opt/img.conf.d/empty";
    const char *ab = "alpha.img beta.img", *abfv = "alpha.img beta.img fc_plugin virt_plugin";
    const std::string dbg =
        NC "Included FC Plugin for plugin string malloc\n" NC
           "Included virtualization Plugin for plugin string malloc\n" NC
           "Appending fc_plugin to the namelist\n" NC "Appending virt_plugin to the namelist\n";
    const std::string count = NC "get plugin image name failed. (rc = ";
    const std::string refused = NC "open /opt/img.conf failed. (rc = 0xabcdef01)\n";
    const std::string restart = NC "get first plugin image name failed. (rc = 77)\n";
    const std::string beta = NC "failed to append beta.img sto strings\n";
    const std::string virt = NC "failed to append virt_plugin sto strings\n";
    const ConfRow rows[] = {
        {"no markers", "", img, "", 0, 0, ab, "2 19", ""},
        {"both markers", "fv", img, "", 0, 0, abfv, "4 41", ""},
        {"FC marker", "f", img, "", 0, 0, "alpha.img beta.img fc_plugin", "3 29", ""},
        {"not an img.conf", "fv", other, "", 0, 0, "alpha.img", "1 10", ""},
        {"img.conf inside the path", "fv", empty, "", 0, 0, "fc_plugin virt_plugin", "2 22", ""},
        {"empty configuration", "", empty, "", 0, 0, "", "0 0", ""},
        {"debug lines", "fvd", img, "", 0, 0, abfv, "4 41", dbg},
        {"open", "fv", img, "open", 0, 0xABCDEF01, "", "", refused},
        {"counting", "fv", img, "get_name", 2, 0x1234, "", "", count + "4660)\n"},
        {"restart", "fv", img, "first", 0, 77, "", "4 41", restart},
        {"filling", "", img, "get_name", 3, PLUGIN_ERR_OPEN, "", "2 19", count + "0x40ea0017)\n"},
        {"image name", "fv", img, "append", 1, PLUGIN_ERR_FAILED, "", "4 41", beta},
        {"fc_plugin", "fv", img, "append", 2, PLUGIN_ERR_FAILED, "", "4 41", ""},
        {"virt", "fvd", img, "append", 3, PLUGIN_ERR_FAILED, "", "4 41", dbg + virt},
    };
    ASSERT_TRUE(test_support::write_file(img, "alpha.img\nbeta.img\n"));
    ASSERT_TRUE(test_support::write_file(other, "alpha.img\n"));
    ASSERT_TRUE(test_support::write_file(empty, ""));
    arm();
    for (const ConfRow &row : rows) run(row);
}

// The stage_boot file beforehand: its bytes, "<none>" (absent), or a node bound on it
// (/dev/log: a socket, /dev/full).  size: the mismatch line's "size= len=" part; after:
// stage_boot's bytes; record: the buffer's bytes; slept: the seconds paused between read tries.
struct StageRow {
    const char *what;
    int32_t zell;
    std::string file;
    bool write;
    int32_t size;
    plugin_rc_t rc;
    std::string err, after, record;
    unsigned slept;
};

class StageBootTest : public test_support::SandboxTest {
protected:
    static constexpr const char *kPath = "/velm/plugin_extract_log/stage_boot";
    unsigned slept_ = 0;
    void run(const StageRow &row);
};

using Words = std::array<uint32_t, 10>;
std::string bytes(const Words &w) {
    return std::string(reinterpret_cast<const char *>(w.data()), sizeof w);
}

void StageBootTest::run(const StageRow &r) {
    SCOPED_TRACE(r.what);
    std::remove(kPath);
    const bool node = r.file[0] == '/';
    sandbox::mkdir_p("/velm/plugin_extract_log");
    if (r.file != "<none>") test_support::write_file(kPath, node ? "" : r.file);
    ASSERT_TRUE(!node || sandbox::bind(r.file, kPath));
    Words buffer = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    uint32_t *p = buffer.data();
    test_support::doubles::get_max_allowed_zell = [&r] { return r.zell; };
    slept_ = 0;
    test_support::doubles::sleep = [this](unsigned seconds) {
        slept_ += seconds;
        return 0u;
    };
    std::string err;
    auto op = [&] {
        if (r.write) return plugin_write_remaining_load(p, r.size);
        return plugin_read_remaining_load(p, r.size);
    };
    EXPECT_EQ(captured(op, nullptr, &err), r.rc);
    EXPECT_TRUE(!node || sandbox::unbind(kPath));
    char head[80];
    std::snprintf(head, sizeof head, "plugin_%s_remaining_load: boot_status= %x ",
                  r.write ? "write" : "read", unsigned(reinterpret_cast<uintptr_t>(p)));
    EXPECT_EQ(err, r.err.starts_with("size= ") ? head + r.err : r.err);
    EXPECT_EQ(test_support::read_file(kPath), r.after);
    EXPECT_EQ(bytes(buffer), r.record);
    EXPECT_EQ(slept_, r.slept);
}

TEST_F(StageBootTest, Rows) {
    const std::string b = bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    const std::string fresh = bytes({0x424F4F54, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    const std::string f = "0123456789abcdefghijABCDEFGHIJ<>", g = f + "!@#$%^&*";
    const std::string short_read = "plugin_read_remaining_load: read fails (8/32)\n";
    const std::string g32 = b.substr(0, 32) + g.substr(32);
    const StageRow rows[] = {
        {"fresh boot", 6, "<none>", false, 32, 0, "", "", fresh, 0},
        {"first write", 6, "<none>", true, 32, 0, "", b.substr(0, 32), b, 0},
        {"longer file written", 6, g, true, 32, 0, "", g32, b, 0},
        {"smaller limit", 5, g, false, 28, 0, "", g, g.substr(0, 28) + b.substr(28), 0},
        {"short file: five tries", 6, "01234567", false, 32, PLUGIN_ERR_READ, short_read,
         "01234567", "01234567" + b.substr(8), 4},
        {"unopenable read", 6, "/dev/log", false, 32, PLUGIN_ERR_OPEN, "", "", b, 0},
        {"unopenable write", 6, "/dev/log", true, 32, PLUGIN_ERR_OPEN, "", "", b, 0},
        {"refused write", 6, "/dev/full", true, 32, PLUGIN_ERR_WRITE, "", "", b, 0},
        {"read too short", 6, g, false, 28, PLUGIN_ERR_INVALID_ARG, "size= 28 len= 32\n", g, b, 0},
        {"write too long", 6, g, true, 36, PLUGIN_ERR_INVALID_ARG, "size= 36 len= 32\n", g, b, 0},
        {"status word alone", -1, "<none>", false, 4, 0, "", "", fresh, 0},
        {"no word at all", -2, "<none>", false, 0, PLUGIN_ERR_INVALID_ARG, "size= 0 len= 0\n", "",
         b, 0},
    };
    test_support::SyslogSink socket;  // a socket at /dev/log
    for (const StageRow &row : rows) run(row);
}

}  // namespace
