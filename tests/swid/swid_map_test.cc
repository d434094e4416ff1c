// The software-id map in memory: layout, ids, the fit test and growth.
#include <cstring>
#include <string>
#include <vector>

#include "platform/plugin_strings.h"
#include "tests/swid/swid_support.h"

namespace {

using pit::swid::block;
using pit::swid::bytes_of;
using pit::swid::word_at;

class SwidMapTest : public pit::SandboxTest {};

TEST_F(SwidMapTest, FreshMapIsIntactEmptyAndLaidOutAroundItsBlock) {
    plugin_swid_map *map = plugin_swid_map_alloc(4, 64);
    ASSERT_NE(map, nullptr);
    uint32_t m = plugin_strings_memory_size(64, 4);
    EXPECT_EQ(plugin_swid_map_integrity_ok(map), 1);
    EXPECT_EQ(plugin_swid_map_size(map), static_cast<int32_t>(m + 12));
    EXPECT_EQ(plugin_strings_max_size(block(map)), static_cast<int32_t>(m));
    EXPECT_EQ(plugin_strings_max_strings_get(block(map)), 4u);
    EXPECT_EQ(word_at(map, 0), 0x504C5547u);
    EXPECT_EQ(word_at(map, 4), m + 12);
    EXPECT_EQ(word_at(map, 8 + m), 0x53574944u);
    EXPECT_EQ(plugin_swid_map_next_avail(map), 0);
    EXPECT_LT(plugin_swid_map_get_id(map, "a"), 0);
    EXPECT_LT(plugin_swid_map_get_id(map, ""), 0);
    EXPECT_EQ(plugin_swid_map_get_swid(map, 0), nullptr);
    plugin_swid_map_free(map);
}

TEST_F(SwidMapTest, AppendsGiveConsecutiveIdsAndAHeldSwidASecondId) {
    plugin_swid_map *map = plugin_swid_map_alloc(4, 64);
    ASSERT_NE(map, nullptr);
    plugin_swid_map *before = map;
    EXPECT_EQ(plugin_swid_map_append(&map, "a"), 0);
    EXPECT_EQ(plugin_swid_map_append(&map, "b"), 1);
    EXPECT_EQ(map, before);
    EXPECT_EQ(plugin_swid_map_get_id(map, "b"), 1);
    EXPECT_EQ(plugin_swid_map_get_id(map, "a"), 0);
    EXPECT_STREQ(plugin_swid_map_get_swid(map, 0), "a");
    EXPECT_EQ(plugin_swid_map_next_avail(map), 2);

    EXPECT_EQ(plugin_swid_map_append(&map, "a"), 2);
    EXPECT_STREQ(plugin_swid_map_get_swid(map, 0), "a");
    EXPECT_STREQ(plugin_swid_map_get_swid(map, 2), "a");
    EXPECT_EQ(plugin_swid_map_get_id(map, "a"), 0);
    EXPECT_EQ(plugin_swid_map_get_swid(map, 3), nullptr);
    EXPECT_EQ(plugin_swid_map_get_swid(map, -1), nullptr);
    EXPECT_EQ(plugin_swid_map_integrity_ok(map), 1);
    plugin_swid_map_free(map);
}

// A swid of length L fits when space_used + L + 1 < max_size (strictly).
TEST_F(SwidMapTest, TheExactFillBoundaryGrowsAndOneByteLessFitsInPlace) {
    for (int fill : {0, 1}) {
        plugin_swid_map *map = plugin_swid_map_alloc(8, 40);
        ASSERT_NE(map, nullptr);
        ASSERT_EQ(plugin_swid_map_append(&map, "first"), 0);
        int32_t used = plugin_strings_space_used(block(map));
        int32_t max = plugin_strings_max_size(block(map));
        // fill 1: used + L + 1 == max, fill 0: one byte less.
        std::string swid(static_cast<std::size_t>(max - used - 2 + fill), 'x');
        plugin_swid_map *before = map;
        ASSERT_EQ(plugin_swid_map_append(&map, swid.c_str()), 1) << "fill " << fill;
        if (fill) {
            EXPECT_NE(map, before);
            int64_t needed = static_cast<int64_t>(used) + static_cast<int64_t>(swid.size()) + 1;
            EXPECT_EQ(plugin_strings_max_strings_get(block(map)), 2u);
            EXPECT_EQ(plugin_strings_max_size(block(map)),
                      static_cast<int32_t>(plugin_strings_memory_size(static_cast<uint32_t>(2 * needed), 2)));
        } else {
            EXPECT_EQ(map, before);
        }
        EXPECT_STREQ(plugin_swid_map_get_swid(map, 0), "first");
        EXPECT_EQ(plugin_swid_map_get_swid(map, 1), swid);
        EXPECT_TRUE(pit::swid::consistent(map));
        plugin_swid_map_free(map);
    }
}

TEST_F(SwidMapTest, AFullStringCapacityGrowsKeepingEveryIdAndFreesTheOldMap) {
    plugin_swid_map *map = plugin_swid_map_alloc(3, 4096);
    ASSERT_NE(map, nullptr);
    const char *names[] = {"alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta"};
    for (int i = 0; i < 3; ++i) ASSERT_EQ(plugin_swid_map_append(&map, names[i]), i);
    plugin_swid_map *before = map;
    int32_t used = plugin_strings_space_used(block(map));
    ASSERT_EQ(plugin_swid_map_append(&map, names[3]), 3);
    ASSERT_NE(map, before);
    // Twice the count as string capacity, twice the needed bytes: the grown
    // map follows the bytes in use and is smaller than the 4096-byte one.
    EXPECT_EQ(plugin_strings_max_strings_get(block(map)), 6u);
    uint32_t needed = static_cast<uint32_t>(used) + 5 + 1;
    EXPECT_EQ(plugin_swid_map_size(map), static_cast<int32_t>(plugin_strings_memory_size(2 * needed, 6) + 12));
    EXPECT_LT(plugin_swid_map_size(map), static_cast<int32_t>(plugin_strings_memory_size(4096, 3) + 12));
    EXPECT_TRUE(pit::swid::consistent(map));
    for (int i = 4; i < 7; ++i) ASSERT_EQ(plugin_swid_map_append(&map, names[i]), i);
    for (int i = 0; i < 7; ++i) {
        EXPECT_STREQ(plugin_swid_map_get_swid(map, i), names[i]);
        EXPECT_EQ(plugin_swid_map_get_id(map, names[i]), i);
    }
    EXPECT_EQ(plugin_swid_map_next_avail(map), 7);
    plugin_swid_map_free(map);
}

TEST_F(SwidMapTest, AMapHoldingNoSwidGrowsWithRoomForOne) {
    for (uint32_t strings : {0u, 5u}) {
        plugin_swid_map *map = plugin_swid_map_alloc(strings, 0);
        ASSERT_NE(map, nullptr);
        plugin_swid_map *before = map;
        ASSERT_EQ(plugin_swid_map_append(&map, "software-id-1"), 0) << strings;
        EXPECT_NE(map, before);
        EXPECT_EQ(plugin_strings_max_strings_get(block(map)), 4u);
        EXPECT_STREQ(plugin_swid_map_get_swid(map, 0), "software-id-1");
        EXPECT_EQ(plugin_swid_map_append(&map, "software-id-2"), 1);
        EXPECT_TRUE(pit::swid::consistent(map));
        plugin_swid_map_free(map);
    }
}

TEST_F(SwidMapTest, EveryFailingAllocationOfAGrowingAppendLeavesTheMapAsItWas) {
    plugin_swid_map *map = plugin_swid_map_alloc(2, 64);
    ASSERT_NE(map, nullptr);
    ASSERT_EQ(plugin_swid_map_append(&map, "one"), 0);
    ASSERT_EQ(plugin_swid_map_append(&map, "two"), 1);
    std::string image = bytes_of(map);
    plugin_swid_map *before = map;

    int32_t id = 0;
    long injected = pit::faults::sweep([&] { id = plugin_swid_map_append(&map, "three"); },
                                       [&](long n) {
                                           EXPECT_EQ(id, -1) << n;
                                           EXPECT_EQ(map, before) << n;
                                           EXPECT_EQ(bytes_of(map), image) << n;
                                       });
    EXPECT_GE(injected, 1);
    EXPECT_EQ(id, 2);
    EXPECT_NE(map, before);
    plugin_swid_map_free(map);

    long alloc_injected = pit::faults::sweep([&] { map = plugin_swid_map_alloc(4, 64); },
                                             [&](long n) { EXPECT_EQ(map, nullptr) << n; });
    EXPECT_GE(alloc_injected, 1);
    ASSERT_NE(map, nullptr);
    plugin_swid_map_free(map);
}

TEST_F(SwidMapTest, NullArgumentsGiveTheDocumentedValues) {
    EXPECT_EQ(plugin_swid_map_size(nullptr), -1);
    EXPECT_EQ(plugin_swid_map_integrity_ok(nullptr), 0);
    EXPECT_EQ(plugin_swid_map_get_id(nullptr, "a"), -1);
    EXPECT_EQ(plugin_swid_map_get_swid(nullptr, 0), nullptr);
    EXPECT_EQ(plugin_swid_map_next_avail(nullptr), -1);
    plugin_swid_map_free(nullptr);

    EXPECT_EQ(plugin_swid_map_append(nullptr, "a"), -1);
    plugin_swid_map *none = nullptr;
    EXPECT_EQ(plugin_swid_map_append(&none, "a"), -1);
    EXPECT_EQ(none, nullptr);

    plugin_swid_map *map = plugin_swid_map_alloc(2, 16);
    ASSERT_NE(map, nullptr);
    plugin_swid_map *before = map;
    EXPECT_EQ(plugin_swid_map_append(&map, nullptr), -1);
    EXPECT_EQ(map, before);
    EXPECT_EQ(plugin_swid_map_get_id(map, nullptr), -1);
    EXPECT_EQ(plugin_swid_map_next_avail(map), 0);
    plugin_swid_map_free(map);
}

TEST_F(SwidMapTest, IntegrityLooksAtMagicAndTrailerButNotTheSizeWord) {
    plugin_swid_map *map = plugin_swid_map_alloc(2, 32);
    ASSERT_NE(map, nullptr);
    auto *bytes = reinterpret_cast<unsigned char *>(map);
    uint32_t size = static_cast<uint32_t>(plugin_swid_map_size(map));

    bytes[4] ^= 0xFF;
    EXPECT_EQ(plugin_swid_map_integrity_ok(map), 1);
    bytes[4] ^= 0xFF;
    bytes[0] ^= 0x01;
    EXPECT_EQ(plugin_swid_map_integrity_ok(map), 0);
    bytes[0] ^= 0x01;
    bytes[size - 1] ^= 0x80;
    EXPECT_EQ(plugin_swid_map_integrity_ok(map), 0);
    bytes[size - 1] ^= 0x80;
    EXPECT_EQ(plugin_swid_map_integrity_ok(map), 1);
    plugin_swid_map_free(map);
}

TEST_F(SwidMapTest, AMapAtAnOddAddressWorksLikeAnyOther) {
    plugin_swid_map *map = plugin_swid_map_alloc(4, 64);
    ASSERT_NE(map, nullptr);
    ASSERT_EQ(plugin_swid_map_append(&map, "odd"), 0);
    std::string image = bytes_of(map);
    std::vector<unsigned char> buffer(image.size() + 1);
    std::memcpy(buffer.data() + 1, image.data(), image.size());
    auto *moved = reinterpret_cast<plugin_swid_map *>(buffer.data() + 1);
    EXPECT_EQ(plugin_swid_map_integrity_ok(moved), 1);
    EXPECT_EQ(plugin_swid_map_size(moved), static_cast<int32_t>(image.size()));
    EXPECT_STREQ(plugin_swid_map_get_swid(moved, 0), "odd");
    EXPECT_EQ(plugin_swid_map_get_id(moved, "odd"), 0);
    plugin_swid_map_free(map);
}

}  // namespace
