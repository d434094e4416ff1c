// The software-id map: the fit rule and growth, integrity, the file and its
// locks.  Damaged file bytes are cases of the fuzz_swid_map corpus.
#include <fcntl.h>
#include <sys/file.h>

#include <cstring>
#include <thread>

#include "platform/plugin_strings.h"
#include "tests/support/fixture.h"

namespace {

using Map = plugin_swid_map;
constexpr const char *kPath = "/tmp/swid_map";
auto *const kUntouched = reinterpret_cast<Map *>(0x1234);
class SwidTest : public pit::SandboxTest {};

const plugin_strings *block(const Map *m) {
    return reinterpret_cast<const plugin_strings *>((const char *)m + 8);
}
std::string bytes(const Map *m) {
    return std::string((const char *)m, (std::size_t)plugin_swid_map_size(m));
}

// Every append against the fit rule: in place while used + L + 1 < max size
// and a string slot is free, else a new map of twice the swids (4 for none)
// and twice the needed bytes.  "=k" is a swid that leaves k bytes free.
TEST_F(SwidTest, AppendsFollowTheFitRuleAndKeepEveryId) {
    for (const std::vector<std::string> &row : std::vector<std::vector<std::string>>{
             {"4", "64", "a", "b", "a"},
             {"3", "4096", "alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta"},
             {"8", "40", "first", "=1", "=0"},
             {"8", "40", "first", "=0"},
             {"0", "0", "swid-1", "swid-2"}}) {
        Map *map = plugin_swid_map_alloc(std::stoul(row[0]), std::stoul(row[1]));
        std::vector<std::string> held;
        for (std::size_t k = 2; k < row.size(); ++k) {
            const plugin_strings *b = block(map);
            uint32_t used = plugin_strings_space_used(b), max = plugin_strings_max_size(b),
                     n = held.size();
            std::string s = row[k][0] == '='
                                ? std::string(max - used - 1 - std::stoul(row[k].substr(1)), 'x')
                                : row[k];
            uint32_t needed = used + s.size() + 1, grown = n ? 2 * n : 4,
                     was_max = plugin_strings_max_strings_get(b);
            Map *before = map;
            ASSERT_EQ(plugin_swid_map_append(&map, s.c_str()), (int32_t)n) << row[k];
            held.push_back(s);
            EXPECT_EQ(map == before, needed < max && n < was_max) << row[k];
            EXPECT_EQ(plugin_strings_max_strings_get(block(map)), map == before ? was_max : grown)
                << row[k];
            EXPECT_EQ(plugin_strings_max_size(block(map)),
                      map == before ? max : plugin_strings_memory_size(2 * needed, grown));
        }
        EXPECT_EQ(plugin_swid_map_size(map), plugin_strings_max_size(block(map)) + 12);
        EXPECT_EQ(plugin_swid_map_integrity_ok(map), 1);
        EXPECT_EQ(plugin_swid_map_next_avail(map), (int32_t)held.size());
        for (int32_t id = 0; id < (int32_t)held.size(); ++id) {
            EXPECT_EQ(plugin_swid_map_get_swid(map, id), held[id]);
            EXPECT_EQ(plugin_swid_map_get_id(map, held[id].c_str()),
                      find(held.begin(), held.end(), held[id]) - held.begin());
        }
        plugin_swid_map_free(map);
    }
}

// One byte changed at an offset (from the end when negative): only the magic and
// the trailer behind the block's size count; a map not intact is not written.
TEST_F(SwidTest, IntegrityLooksAtMagicAndTrailerOnly) {
    for (auto [at, intact] :
         {std::pair{0, 0}, {3, 0}, {4, 1}, {7, 1}, {8, 0}, {28, 1}, {-4, 0}, {-1, 0}}) {
        Map *map = plugin_swid_map_alloc(2, 32);
        ((unsigned char *)map)[at < 0 ? plugin_swid_map_size(map) + at : at] ^= 0x40;
        EXPECT_EQ(plugin_swid_map_integrity_ok(map), intact) << at;
        std::string err;
        auto write = [&] { return plugin_write_swid_map(kPath, map); };
        EXPECT_EQ(intact ? PLUGIN_ERR_CORRUPT : pit::captured(write, nullptr, &err),
                  PLUGIN_ERR_CORRUPT);
        EXPECT_EQ(err + (pit::exists(kPath) ? "file" : ""),
                  intact ? "" : "plugin_write_swid_map: corrupted swid_map_\n");
        plugin_swid_map_free(map);
    }
    // Nor in writing and reading: a size word short of the block is written as it says and read back.
    Map *map = plugin_swid_map_alloc(2, 32), *back = nullptr;
    const uint32_t n = plugin_swid_map_size(map), shorter = n - 4;
    ASSERT_EQ(plugin_write_swid_map(kPath, map), PLUGIN_OK);
    std::memcpy(reinterpret_cast<char *>(map) + 4, &shorter, 4);
    EXPECT_EQ(plugin_write_swid_map(kPath, map), PLUGIN_OK);
    ASSERT_EQ(plugin_read_swid_map(kPath, &back), PLUGIN_OK);
    EXPECT_EQ(plugin_swid_map_size(back), int32_t(shorter));
    EXPECT_EQ(pit::read_file(kPath), std::string(reinterpret_cast<char *>(map), n));
    plugin_swid_map_free(back);
    plugin_swid_map_free(map);
}

// A write replaces the file's first size-word bytes and keeps a longer tail;
// the file reads back whole (the out pointer untouched until the file is
// opened, null after a failure) and writing what was read changes nothing.
TEST_F(SwidTest, WrittenMapsReadBack) {
    Map *map = plugin_swid_map_alloc(4, 64);
    ASSERT_EQ(plugin_swid_map_append(&map, "pkg.alpha") + plugin_swid_map_append(&map, "pkg.beta"),
              1);
    for (auto [path, setup, wrote, read] :
         {std::tuple{kPath, "true", PLUGIN_OK, PLUGIN_OK},
          {kPath, "head -c 4096 /dev/zero >/tmp/swid_map", PLUGIN_OK, PLUGIN_OK},
          {kPath, "echo short >/tmp/swid_map", PLUGIN_OK, PLUGIN_OK},
          {"/tmp/nodir/map", "true", PLUGIN_ERR_OPEN, PLUGIN_ERR_NOENT},
          {"/tmp/f/map", "echo x >/tmp/f", PLUGIN_ERR_OPEN, PLUGIN_ERR_STAT},
          {kPath, "mkdir /tmp/swid_map", PLUGIN_ERR_OPEN, PLUGIN_ERR_READ}}) {
        ASSERT_TRUE(pit::sh(std::string("rm -rf /tmp/swid_map /tmp/f && ") + setup));
        std::string before = pit::read_file(path), err, image = bytes(map);
        EXPECT_EQ(pit::captured([&] { return plugin_write_swid_map(path, map); }, nullptr, &err),
                  wrote)
            << setup;
        EXPECT_EQ(err,
                  wrote ? "plugin_write_swid_map: open " + std::string(path) + " for write failed\n"
                        : "");
        std::string file =
            wrote ? before : image + before.substr(std::min(before.size(), image.size()));
        EXPECT_EQ(pit::read_file(path), file) << setup;
        Map *back = kUntouched;
        EXPECT_EQ(pit::captured([&] { return plugin_read_swid_map(path, &back); }, nullptr, &err),
                  read)
            << setup;
        EXPECT_EQ(back, read == PLUGIN_ERR_NOENT || read == PLUGIN_ERR_STAT ? kUntouched
                        : read                                              ? nullptr
                                                                            : back);
        if (read) continue;
        EXPECT_EQ(err + std::string((char *)back, file.size()), file);
        EXPECT_EQ(plugin_write_swid_map(path, back), PLUGIN_OK);
        EXPECT_EQ(pit::read_file(path), file);
        plugin_swid_map_free(back);
    }
    plugin_swid_map_free(map);
}

// A read waits for a writer's lock, then reads the map as the writer left it
// (a smaller one meanwhile, the smallest there is); a write waits for a
// reader's lock.  /proc/locks marks a waiter "->".
TEST_F(SwidTest, ReadAndWriteWaitForTheFileLock) {
    Map *first = plugin_swid_map_alloc(4, 64), *last = plugin_swid_map_alloc(0, 0), *out = nullptr;
    for (bool reading : {true, false}) {
        ASSERT_TRUE(pit::write_file(kPath, bytes(first)));
        int fd = ::open(kPath, O_RDWR | O_CLOEXEC), polls = 0;
        ASSERT_EQ(::flock(fd, reading ? LOCK_EX : LOCK_SH), 0);
        std::string at = " " + std::to_string(::getpid()) + " ", locks;
        plugin_rc_t rc = 1;
        std::thread t([&] {
            rc = reading ? plugin_read_swid_map(kPath, &out) : plugin_write_swid_map(kPath, last);
        });
        for (; polls < 3000 && locks.find("->") == locks.npos; ++polls, ::usleep(10000))
            for (const std::string &l : pit::lines(pit::read_file("/proc/locks")))
                locks += l.find(at) != l.npos ? l : "";
        EXPECT_NE(locks.find("->"), locks.npos) << "no waiter, reading " << reading;
        EXPECT_EQ(pit::read_file(kPath), bytes(first));
        if (reading) pit::write_file(kPath, bytes(last));
        ::close(fd);
        t.join();
        EXPECT_EQ(rc, PLUGIN_OK);
        EXPECT_EQ((reading ? bytes(out) : pit::read_file(kPath)).substr(0, bytes(last).size()),
                  bytes(last));
    }
    for (Map *m : {first, last, out}) plugin_swid_map_free(m);
}

}  // namespace
