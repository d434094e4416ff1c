// The software-id map file: reading and writing, damaged files, and a reader
// and a writer in two processes.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/swid/swid_support.h"

namespace {

using pit::captured;
using pit::read_file;
using pit::write_file;
using pit::swid::bytes_of;
using pit::swid::consistent;
using pit::swid::put_word;

constexpr const char *kPath = "/tmp/swid_map";
auto *const kUntouched = reinterpret_cast<plugin_swid_map *>(0x1234);

class SwidFileTest : public pit::SandboxTest {};

plugin_swid_map *sample_map(std::initializer_list<const char *> swids, uint32_t strings = 4,
                            uint32_t bytes = 64) {
    plugin_swid_map *map = plugin_swid_map_alloc(strings, bytes);
    if (!map) return nullptr;
    for (const char *s : swids)
        if (plugin_swid_map_append(&map, s) < 0) {
            plugin_swid_map_free(map);
            return nullptr;
        }
    return map;
}

off_t file_size(const char *path) {
    struct stat st;
    return ::stat(path, &st) == 0 ? st.st_size : -1;
}

TEST_F(SwidFileTest, WrittenMapReadsBackByteForByte) {
    plugin_swid_map *map = sample_map({"pkg.alpha", "pkg.beta", "pkg.gamma"});
    ASSERT_NE(map, nullptr);
    std::string err;
    EXPECT_EQ(captured([&] { return plugin_write_swid_map(kPath, map); }, nullptr, &err), PLUGIN_OK);
    EXPECT_EQ(err, "");
    EXPECT_EQ(read_file(kPath), bytes_of(map));

    plugin_swid_map *back = nullptr;
    EXPECT_EQ(captured([&] { return plugin_read_swid_map(kPath, &back); }, nullptr, &err), PLUGIN_OK);
    EXPECT_EQ(err, "");
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(bytes_of(back), bytes_of(map));
    EXPECT_EQ(plugin_swid_map_get_id(back, "pkg.beta"), 1);
    // A map read back is an ordinary map: it grows and is written again.
    for (int i = 0; i < 6; ++i) ASSERT_EQ(plugin_swid_map_append(&back, "more"), 3 + i);
    EXPECT_EQ(plugin_write_swid_map(kPath, back), PLUGIN_OK);
    EXPECT_EQ(read_file(kPath), bytes_of(back));
    plugin_swid_map_free(back);
    plugin_swid_map_free(map);
}

TEST_F(SwidFileTest, MissingEmptyAndForeignFilesGiveTheirCodes) {
    plugin_swid_map *out = kUntouched;
    EXPECT_EQ(plugin_read_swid_map(kPath, &out), PLUGIN_ERR_NOENT);
    EXPECT_EQ(out, kUntouched);
    // A path through a regular file: ENOTDIR, not ENOENT.
    ASSERT_TRUE(write_file("/tmp/plain", "x"));
    EXPECT_EQ(plugin_read_swid_map("/tmp/plain/map", &out), PLUGIN_ERR_STAT);
    EXPECT_EQ(out, kUntouched);
    ASSERT_TRUE(write_file(kPath, ""));
    EXPECT_EQ(plugin_read_swid_map(kPath, &out), PLUGIN_ERR_EMPTY_FILE);
    EXPECT_EQ(out, kUntouched);

    ASSERT_TRUE(write_file(kPath, std::string(64, 'Z')));
    EXPECT_EQ(plugin_read_swid_map(kPath, &out), PLUGIN_ERR_CORRUPT);
    EXPECT_EQ(out, nullptr);

    EXPECT_EQ(plugin_read_swid_map(nullptr, &out), PLUGIN_ERR_INVALID_ARG);
    EXPECT_EQ(plugin_read_swid_map(kPath, nullptr), PLUGIN_ERR_INVALID_ARG);
    plugin_swid_map *map = sample_map({"a"});
    ASSERT_NE(map, nullptr);
    EXPECT_EQ(plugin_write_swid_map(nullptr, map), PLUGIN_ERR_INVALID_ARG);
    EXPECT_EQ(plugin_write_swid_map(kPath, nullptr), PLUGIN_ERR_INVALID_ARG);
    plugin_swid_map_free(map);
}

TEST_F(SwidFileTest, ADirectoryIsAShortReadAndAnUnreadableFileAnOpenFailure) {
    ASSERT_EQ(::mkdir("/tmp/dir", 0755), 0);
    plugin_swid_map *out = kUntouched;
    // A directory has a size but no bytes to read (a zero size is an empty file).
    if (file_size("/tmp/dir") > 0) {
        EXPECT_EQ(plugin_read_swid_map("/tmp/dir", &out), PLUGIN_ERR_READ);
        EXPECT_EQ(out, nullptr);
    } else {
        EXPECT_EQ(plugin_read_swid_map("/tmp/dir", &out), PLUGIN_ERR_EMPTY_FILE);
        EXPECT_EQ(out, kUntouched);
    }

    plugin_swid_map *map = sample_map({"a"});
    ASSERT_NE(map, nullptr);
    ASSERT_EQ(plugin_write_swid_map(kPath, map), PLUGIN_OK);
    ASSERT_EQ(::chmod(kPath, 0), 0);
    ASSERT_TRUE(pit::drop_capabilities());
    out = kUntouched;
    EXPECT_EQ(plugin_read_swid_map(kPath, &out), PLUGIN_ERR_OPEN);
    EXPECT_EQ(out, nullptr);
    std::string err;
    EXPECT_EQ(captured([&] { return plugin_write_swid_map(kPath, map); }, nullptr, &err), PLUGIN_ERR_OPEN);
    EXPECT_EQ(err, std::string("plugin_write_swid_map: open ") + kPath + " for write failed\n");
    plugin_swid_map_free(map);
}

TEST_F(SwidFileTest, AMapThatIsNotIntactOrWhoseSizeWordIsWrongIsNotWritten) {
    plugin_swid_map *map = sample_map({"a", "b"});
    ASSERT_NE(map, nullptr);
    auto *bytes = reinterpret_cast<unsigned char *>(map);
    std::size_t size = static_cast<std::size_t>(plugin_swid_map_size(map));

    bytes[size - 2] ^= 0x10;  // the trailer
    std::string err;
    EXPECT_EQ(captured([&] { return plugin_write_swid_map(kPath, map); }, nullptr, &err), PLUGIN_ERR_CORRUPT);
    EXPECT_EQ(err, "plugin_write_swid_map: corrupted swid_map_\n");
    EXPECT_EQ(file_size(kPath), -1);
    bytes[size - 2] ^= 0x10;

    // The size word is trusted by nobody: one smaller or larger than the map
    // is refused the same way.
    for (uint32_t wrong : {static_cast<uint32_t>(size - 4), static_cast<uint32_t>(size + 4), 0x7FFFFFFFu}) {
        put_word(map, 4, wrong);
        EXPECT_EQ(captured([&] { return plugin_write_swid_map(kPath, map); }, nullptr, &err), PLUGIN_ERR_CORRUPT);
        EXPECT_EQ(err, "plugin_write_swid_map: corrupted swid_map_\n");
        EXPECT_EQ(file_size(kPath), -1);
    }
    put_word(map, 4, static_cast<uint32_t>(size));
    EXPECT_EQ(plugin_write_swid_map(kPath, map), PLUGIN_OK);
    plugin_swid_map_free(map);
}

TEST_F(SwidFileTest, OpenFailuresAndShortWritesAreReported) {
    plugin_swid_map *map = sample_map({"a"});
    ASSERT_NE(map, nullptr);
    std::string err;
    EXPECT_EQ(captured([&] { return plugin_write_swid_map("/tmp/nodir/map", map); }, nullptr, &err),
              PLUGIN_ERR_OPEN);
    EXPECT_EQ(err, "plugin_write_swid_map: open /tmp/nodir/map for write failed\n");
    EXPECT_EQ(file_size("/tmp/nodir"), -1);

    // /dev/full takes the bytes into the stream and fails the flush.
    EXPECT_EQ(captured([&] { return plugin_write_swid_map("/dev/full", map); }, nullptr, &err), PLUGIN_ERR_WRITE);
    EXPECT_EQ(err, "plugin_write_swid_map: corrupted swid_map_\n");

    // A map larger than the stream's buffer is written through at once.
    plugin_swid_map *big = plugin_swid_map_alloc(4, 65536);
    ASSERT_NE(big, nullptr);
    EXPECT_EQ(captured([&] { return plugin_write_swid_map("/dev/full", big); }, nullptr, &err), PLUGIN_ERR_WRITE);
    EXPECT_EQ(err, "plugin_write_swid_map: corrupted swid_map_\n");
    plugin_swid_map_free(big);
    plugin_swid_map_free(map);
}

TEST_F(SwidFileTest, AShorterMapOverALongerFileKeepsTheFileLengthAndReadsBack) {
    plugin_swid_map *longer = sample_map({"first.long.software.id", "second.long.software.id"}, 8, 512);
    plugin_swid_map *shorter = sample_map({"s"}, 2, 16);
    ASSERT_NE(longer, nullptr);
    ASSERT_NE(shorter, nullptr);
    ASSERT_LT(plugin_swid_map_size(shorter), plugin_swid_map_size(longer));
    ASSERT_EQ(plugin_write_swid_map(kPath, longer), PLUGIN_OK);
    std::string old = read_file(kPath);
    ASSERT_EQ(plugin_write_swid_map(kPath, shorter), PLUGIN_OK);

    std::string now = read_file(kPath);
    ASSERT_EQ(now.size(), old.size());
    std::size_t n = static_cast<std::size_t>(plugin_swid_map_size(shorter));
    EXPECT_EQ(now.substr(0, n), bytes_of(shorter));
    EXPECT_EQ(now.substr(n), old.substr(n));

    plugin_swid_map *back = nullptr;
    ASSERT_EQ(plugin_read_swid_map(kPath, &back), PLUGIN_OK);
    EXPECT_EQ(plugin_swid_map_size(back), static_cast<int32_t>(n));
    EXPECT_EQ(bytes_of(back), bytes_of(shorter));
    EXPECT_EQ(plugin_swid_map_next_avail(back), 1);
    EXPECT_STREQ(plugin_swid_map_get_swid(back, 0), "s");
    // Writing the read map again writes its own bytes only.
    ASSERT_EQ(plugin_write_swid_map(kPath, back), PLUGIN_OK);
    EXPECT_EQ(read_file(kPath), now);
    plugin_swid_map_free(back);
    plugin_swid_map_free(shorter);
    plugin_swid_map_free(longer);
}

// Every damage to a map file is either harmless (the map still reads whole
// and usable) or PLUGIN_ERR_CORRUPT; nothing is read outside the buffer
// (checked by the sanitizers and valgrind).
TEST_F(SwidFileTest, FilesDamagedAtEveryOffsetReadAsCorruptOrAsAUsableMap) {
    plugin_swid_map *map = sample_map({"pkg.one", "pkg.two", "pkg.three"}, 6, 48);
    ASSERT_NE(map, nullptr);
    const std::string good = bytes_of(map);
    const uint32_t size = static_cast<uint32_t>(good.size());
    plugin_swid_map_free(map);

    auto read_back = [](plugin_rc_t *rc) {
        plugin_swid_map *out = kUntouched;
        *rc = plugin_read_swid_map(kPath, &out);
        return out;
    };
    plugin_rc_t rc;

    for (uint32_t len = 1; len < size; ++len) {
        ASSERT_TRUE(write_file(kPath, good.substr(0, len)));
        plugin_swid_map *out = read_back(&rc);
        EXPECT_EQ(rc, PLUGIN_ERR_CORRUPT) << "truncated to " << len;
        EXPECT_EQ(out, nullptr);
        if (rc == PLUGIN_OK) plugin_swid_map_free(out);
    }

    const uint32_t values[] = {0xFFFFFFFFu, 0x7FFFFFFFu, 0x80000000u, 0u, 1u, size, size + 4, 0x00FFFFFFu};
    int corrupt = 0, usable = 0;
    for (uint32_t off = 0; off + 4 <= size; ++off) {
        for (uint32_t v : values) {
            std::string damaged = good;
            put_word(damaged.data(), off, v);
            if (damaged == good) continue;
            ASSERT_TRUE(write_file(kPath, damaged));
            plugin_swid_map *out = read_back(&rc);
            if (rc == PLUGIN_ERR_CORRUPT) {
                EXPECT_EQ(out, nullptr);
                ++corrupt;
                continue;
            }
            ASSERT_EQ(rc, PLUGIN_OK) << "offset " << off << " value " << v;
            ++usable;
            EXPECT_TRUE(consistent(out)) << "offset " << off;
            int32_t count = plugin_swid_map_next_avail(out);
            for (int32_t i = 0; i < count; ++i) {
                const char *s = plugin_swid_map_get_swid(out, i);
                ASSERT_NE(s, nullptr) << "offset " << off << " id " << i;
                EXPECT_GE(plugin_swid_map_get_id(out, s), 0);
            }
            EXPECT_EQ(plugin_write_swid_map("/tmp/copy", out), PLUGIN_OK);
            plugin_swid_map_append(&out, "appended.after.damage");
            plugin_swid_map_free(out);
        }
    }
    // The three words themselves: any change to magic, size or trailer.
    for (uint32_t off : {0u, 4u, size - 4}) {
        std::string damaged = good;
        put_word(damaged.data(), off, 0xA5A5A5A5u);
        ASSERT_TRUE(write_file(kPath, damaged));
        plugin_swid_map *out = read_back(&rc);
        EXPECT_EQ(rc, PLUGIN_ERR_CORRUPT) << "offset " << off;
        if (rc == PLUGIN_OK) plugin_swid_map_free(out);
    }
    EXPECT_GT(corrupt, 0);
    // A longer file with any tail still reads.
    ASSERT_TRUE(write_file(kPath, good + std::string(100, '\xff')));
    plugin_swid_map *out = read_back(&rc);
    EXPECT_EQ(rc, PLUGIN_OK);
    if (rc == PLUGIN_OK) plugin_swid_map_free(out);
    std::printf("damaged files: %d corrupt, %d still usable\n", corrupt, usable);
}

TEST_F(SwidFileTest, EveryFailingAllocationOfAReadOrWriteGivesItsCode) {
    plugin_swid_map *map = sample_map({"x", "y"});
    ASSERT_NE(map, nullptr);
    ASSERT_EQ(plugin_write_swid_map(kPath, map), PLUGIN_OK);

    plugin_swid_map *out = kUntouched;
    plugin_rc_t rc = 0;
    long injected = pit::faults::sweep([&] { out = kUntouched; rc = plugin_read_swid_map(kPath, &out); },
                                       [&](long n) {
                                           // stdio copes without its own buffer: then the read succeeds.
                                           if (rc == PLUGIN_OK) {
                                               EXPECT_EQ(bytes_of(out), bytes_of(map)) << n;
                                               plugin_swid_map_free(out);
                                               return;
                                           }
                                           EXPECT_TRUE(rc == PLUGIN_ERR_NOMEM || rc == PLUGIN_ERR_OPEN) << n << " " << rc;
                                           EXPECT_EQ(out, nullptr) << n;
                                       });
    EXPECT_GE(injected, 1);
    ASSERT_EQ(rc, PLUGIN_OK);
    EXPECT_EQ(bytes_of(out), bytes_of(map));
    plugin_swid_map_free(out);

    injected = pit::faults::sweep([&] { rc = plugin_write_swid_map("/tmp/other", map); },
                                  [&](long n) {
                                      if (rc == PLUGIN_OK)
                                          EXPECT_EQ(read_file("/tmp/other"), bytes_of(map)) << n;
                                      else
                                          EXPECT_EQ(rc, PLUGIN_ERR_OPEN) << n;
                                  });
    EXPECT_EQ(rc, PLUGIN_OK);
    EXPECT_EQ(read_file("/tmp/other"), bytes_of(map));
    plugin_swid_map_free(map);
}

// The map a writer of the two-process test writes in round r: a round-
// dependent number of swids "r<r>.<count>.<i>.ppp", padded longer as the
// rounds go on, so the maps change size from round to round and the file
// keeps growing (the race a reader must survive is a file grown between its
// size query and its lock).
plugin_swid_map *round_map(int r) {
    int count = 20 + (r * 7) % 17;
    plugin_swid_map *map = plugin_swid_map_alloc(static_cast<uint32_t>(count), 16);
    if (!map) return nullptr;
    for (int i = 0; i < count; ++i) {
        std::string s = "r" + std::to_string(r) + "." + std::to_string(count) + "." + std::to_string(i) + "." +
                        std::string(static_cast<std::size_t>(r / 3 + (r * 13 + i) % 7), 'p');
        if (plugin_swid_map_append(&map, s.c_str()) != i) {
            plugin_swid_map_free(map);
            return nullptr;
        }
    }
    return map;
}

// True when the map holds exactly one round's swids, all of them.
bool whole_round(const plugin_swid_map *map) {
    int32_t count = plugin_swid_map_next_avail(map);
    const char *first = plugin_swid_map_get_swid(map, 0);
    if (count < 1 || !first) return false;
    int r = 0, c = 0;
    if (std::sscanf(first, "r%d.%d.", &r, &c) != 2 || c != count) return false;
    plugin_swid_map *expect = round_map(r);
    if (!expect) return false;
    bool same = bytes_of(expect) == bytes_of(map);
    plugin_swid_map_free(expect);
    return same;
}

TEST_F(SwidFileTest, AReaderBesideAWriterAlwaysReadsAWholeMap) {
    constexpr int kRounds = 2000;
    plugin_swid_map *first = round_map(0);
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(plugin_write_swid_map(kPath, first), PLUGIN_OK);
    plugin_swid_map_free(first);

    pid_t writer = ::fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        int failures = 0;
        for (int r = 1; r <= kRounds; ++r) {
            plugin_swid_map *map = round_map(r);
            if (!map || plugin_write_swid_map(kPath, map) != PLUGIN_OK) ++failures;
            plugin_swid_map_free(map);
        }
        ::_exit(failures ? 1 : 0);
    }

    // Read until the writer is done, and at least kRounds times.
    int bad = 0, reads = 0, rounds_seen = 0, last_round = -1;
    bool writer_done = false;
    int status = 0;
    while (!writer_done || reads < kRounds) {
        if (!writer_done) {
            pid_t w = ::waitpid(writer, &status, WNOHANG);
            ASSERT_GE(w, 0);
            writer_done = w == writer;
        }
        plugin_swid_map *map = nullptr;
        plugin_rc_t rc = plugin_read_swid_map(kPath, &map);
        ++reads;
        if (rc != PLUGIN_OK || !whole_round(map)) {
            if (bad++ < 5) ADD_FAILURE() << "read " << reads << ": rc " << std::hex << rc;
        } else {
            int r = 0;
            std::sscanf(plugin_swid_map_get_swid(map, 0), "r%d.", &r);
            if (r != last_round) ++rounds_seen;
            last_round = r;
        }
        plugin_swid_map_free(map);
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(bad, 0) << "of " << reads << " reads";
    // The last read came after the writer's last write.
    EXPECT_EQ(last_round, kRounds);
    std::printf("%d reads saw %d changes of round\n", reads, rounds_seen);
}

}  // namespace
