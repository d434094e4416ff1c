// The software-id map: appends and growth, integrity, the file and its locks.  Damaged file bytes
// are cases of the fuzz_swid_map corpus.
#include <fcntl.h>
#include <sys/file.h>

#include <sstream>
#include <thread>

#include "frame/own.h"
#include "tests/support/fixture.h"

namespace {

using Map = plugin_swid_map;
constexpr const char *kPath = "/tmp/swid_map";
auto *const kUntouched = reinterpret_cast<Map *>(0x1234);

std::string bytes(const Map *m) {
    return std::string(reinterpret_cast<const char *>(m), plugin_swid_map_size(m));
}
std::vector<std::string> words(const std::string &text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

class SwidTest : public test_support::SandboxTest {
protected:
    Map *map_ = nullptr;
    void TearDown() override {
        plugin_swid_map_free(map_);
        test_support::SandboxTest::TearDown();
    }
};

// A map made with (strings, bytes) takes the swids in turn; sizes: the map's size after each
// append (a map of n strings and b bytes is 33 + 4n + b bytes).  In the swids, "xN" stands for N
// x's and "-" for the empty string.
TEST_F(SwidTest, AppendsGrowTheMapOnlyWhenTheSwidDoesNotFit) {
    const struct {
        uint32_t strings, bytes;
        const char *swids, *sizes;
    } rows[] = {
        {4, 64, "a b a", "113 113 113"},
        // the fourth swid finds no string slot: 6 slots, 2 * 55 bytes; then 12 and 2 * 84
        {3, 4096, "alpha beta gamma delta epsilon zeta eta", "4141 4141 4141 167 167 167 249"},
        // 1 byte left, then 0 bytes left: 4 slots and 2 * 93 bytes
        {8, 40, "first x33 -", "105 105 235"},
        {8, 40, "first x34", "105 227"},
        // an empty map grows to 4 slots
        {0, 0, "swid-1 swid-2", "103 103"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.swids);
        plugin_swid_map_free(map_);
        map_ = plugin_swid_map_alloc(row.strings, row.bytes);
        std::vector<std::string> held, sizes = words(row.sizes);
        for (std::string swid : words(row.swids)) {
            if (swid == "-") swid = "";
            if (swid[0] == 'x') swid = std::string(std::stoul(swid.substr(1)), 'x');
            EXPECT_EQ(plugin_swid_map_append(&map_, swid.c_str()), int32_t(held.size()));
            EXPECT_EQ(std::to_string(plugin_swid_map_size(map_)), sizes[held.size()]);
            held.push_back(swid);
        }
        EXPECT_EQ(plugin_swid_map_integrity_ok(map_), 1);
        EXPECT_EQ(plugin_swid_map_next_avail(map_), int32_t(held.size()));
        for (std::size_t id = 0; id < held.size(); ++id) {
            EXPECT_EQ(plugin_swid_map_get_swid(map_, id), held[id]);
            auto first = std::find(held.begin(), held.end(), held[id]) - held.begin();
            EXPECT_EQ(plugin_swid_map_get_id(map_, held[id].c_str()), first);
        }
    }
}

// The string set refusing the new swid, in place and in a grown map: -1, the map as it was.
TEST_F(SwidTest, AppendRefusedByTheStringSetLeavesTheMap) {
    test_support::doubles::plugin_strings_append = [](plugin_strings *, const char *) {
        return -1;
    };
    for (uint32_t strings : {4u, 0u}) {
        plugin_swid_map_free(map_);
        map_ = plugin_swid_map_alloc(strings, 64);
        Map *before = map_;
        const std::string image = bytes(map_);
        EXPECT_EQ(plugin_swid_map_append(&map_, "plug-a.1"), -1);
        EXPECT_EQ(map_, before);
        EXPECT_EQ(bytes(map_), image);
    }
}

// One byte changed at an offset (from the end when negative): only the magic and the trailer
// behind the block's size count; a map not intact is not written.
TEST_F(SwidTest, IntegrityLooksAtMagicAndTrailerOnly) {
    for (auto [at, intact] :
         {std::pair{0, false}, {4, true}, {8, false}, {28, true}, {-4, false}}) {
        SCOPED_TRACE(at);
        plugin_swid_map_free(map_);
        map_ = plugin_swid_map_alloc(2, 32);
        reinterpret_cast<unsigned char *>(map_)[at < 0 ? 73 + at : at] ^= 0x40;
        EXPECT_EQ(plugin_swid_map_integrity_ok(map_), intact);
        if (intact) continue;
        std::string err;
        auto write = [this] { return plugin_write_swid_map(kPath, map_); };
        EXPECT_EQ(test_support::captured(write, nullptr, &err), PLUGIN_ERR_CORRUPT);
        EXPECT_EQ(err, "plugin_write_swid_map: corrupted swid_map_\n");
        EXPECT_FALSE(test_support::exists(kPath));
    }
}

// A write replaces the file's first size-word bytes and keeps a longer tail; the file reads back
// whole (the out pointer untouched until the file is opened, null after a failure) and writing
// what was read changes nothing.
TEST_F(SwidTest, WrittenMapsReadBack) {
    map_ = plugin_swid_map_alloc(4, 64);
    ASSERT_EQ(plugin_swid_map_append(&map_, "pkg.alpha"), 0);
    ASSERT_EQ(plugin_swid_map_append(&map_, "pkg.beta"), 1);
    const std::string image = bytes(map_), zeros(4096, '\0');
    const std::string no_write = "plugin_write_swid_map: open ";
    const struct {
        const char *path, *setup;
        plugin_rc_t wrote, read;
        std::string file;
        Map *out;
    } rows[] = {
        {kPath, "true", PLUGIN_OK, PLUGIN_OK, image, nullptr},
        {kPath, "head -c 4096 /dev/zero >/tmp/swid_map", PLUGIN_OK, PLUGIN_OK,
         image + zeros.substr(image.size()), nullptr},
        {"/tmp/nodir/map", "true", PLUGIN_ERR_OPEN, PLUGIN_ERR_NOENT, "", kUntouched},
        {"/tmp/f/map", "echo x >/tmp/f", PLUGIN_ERR_OPEN, PLUGIN_ERR_STAT, "", kUntouched},
        {kPath, "mkdir /tmp/swid_map", PLUGIN_ERR_OPEN, PLUGIN_ERR_READ, "", nullptr},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.setup);
        ASSERT_TRUE(test_support::sh(std::string("rm -rf /tmp/swid_map /tmp/f && ") + row.setup));
        std::string err;
        auto write = [&] { return plugin_write_swid_map(row.path, map_); };
        EXPECT_EQ(test_support::captured(write, nullptr, &err), row.wrote);
        EXPECT_EQ(err, row.wrote ? no_write + row.path + " for write failed\n" : "");
        EXPECT_EQ(test_support::read_file(row.path), row.file);
        Map *back = kUntouched;
        auto read = [&] { return plugin_read_swid_map(row.path, &back); };
        EXPECT_EQ(test_support::captured(read, nullptr, &err), row.read);
        EXPECT_EQ(err, "");
        if (row.read != PLUGIN_OK) {
            EXPECT_EQ(back, row.out);
            continue;
        }
        EXPECT_EQ(std::string(reinterpret_cast<char *>(back), row.file.size()), row.file);
        EXPECT_EQ(plugin_write_swid_map(row.path, back), PLUGIN_OK);
        EXPECT_EQ(test_support::read_file(row.path), row.file);
        plugin_swid_map_free(back);
    }
}

// A read waits for a writer's lock, then reads the map as the writer left it (a smaller one
// meanwhile, the smallest there is); a write waits for a reader's lock (/proc/locks: "->").
TEST_F(SwidTest, ReadAndWriteWaitForTheFileLock) {
    Map *first = plugin_swid_map_alloc(4, 64), *out = nullptr;
    map_ = plugin_swid_map_alloc(0, 0);
    const std::string smallest = bytes(map_);
    for (bool reading : {true, false}) {
        SCOPED_TRACE(reading ? "reading" : "writing");
        ASSERT_TRUE(test_support::write_file(kPath, bytes(first)));
        plugin_intn::Fd fd(::open(kPath, O_RDWR | O_CLOEXEC));
        ASSERT_EQ(::flock(fd.get(), reading ? LOCK_EX : LOCK_SH), 0);
        plugin_rc_t rc = 1;
        std::thread t([&] {
            rc = reading ? plugin_read_swid_map(kPath, &out) : plugin_write_swid_map(kPath, map_);
        });
        const std::string waiter =
            "grep -q -e '->.* " + std::to_string(::getpid()) + " ' /proc/locks";
        EXPECT_TRUE(test_support::sh("for i in $(seq 3000); do " + waiter +
                                     " && exit; sleep 0.01; done; false"));
        EXPECT_EQ(test_support::read_file(kPath), bytes(first));
        if (reading) test_support::write_file(kPath, smallest);
        fd.reset();
        t.join();
        EXPECT_EQ(rc, PLUGIN_OK);
        const std::string got = reading ? bytes(out) : test_support::read_file(kPath);
        EXPECT_EQ(got.substr(0, smallest.size()), smallest);
    }
    plugin_swid_map_free(first);
    plugin_swid_map_free(out);
}

}  // namespace
