// String sets of libplugin_str: capacities, lookups, copies, relocation and
// damaged blocks.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/plugin_strings.h"
#include "tests/support/fixture.h"

namespace {

class StringsTest : public pit::SandboxTest {};

struct SetDeleter {
    void operator()(plugin_strings *s) const { plugin_strings_free(s); }
};
using SetPtr = std::unique_ptr<plugin_strings, SetDeleter>;

// A set of n strings whose lengths plus terminators total b is accepted,
// under the append test space_used + L + 1 < max_size; one byte more is not.
TEST_F(StringsTest, ExactByteCapacityFitsAndOneMoreByteDoesNot) {
    // 3 strings, 4 + 3 + 5 = 12 bytes with terminators.
    SetPtr set(plugin_strings_malloc(3, 12));
    ASSERT_TRUE(set);
    EXPECT_EQ(plugin_strings_max_size(set.get()), int32_t(plugin_strings_memory_size(12, 3)));
    EXPECT_EQ(plugin_strings_max_strings_get(set.get()), 3u);
    EXPECT_EQ(plugin_strings_num_strings_get(set.get()), 0u);
    EXPECT_EQ(plugin_strings_append(set.get(), "abc"), 0);
    EXPECT_EQ(plugin_strings_append(set.get(), "de"), 0);
    // The last string of 4 characters: exactly fits.
    int32_t used = plugin_strings_space_used(set.get());
    EXPECT_LT(used + 4 + 1, plugin_strings_max_size(set.get()));
    EXPECT_EQ(plugin_strings_append(set.get(), "fghi"), 0);
    EXPECT_EQ(plugin_strings_num_strings_get(set.get()), 3u);
    EXPECT_STREQ(plugin_strings_get(set.get(), 2), "fghi");

    // Same capacities; the last string one character longer does not fit,
    // and the set is unchanged.
    SetPtr tight(plugin_strings_malloc(3, 12));
    ASSERT_TRUE(tight);
    ASSERT_EQ(plugin_strings_append(tight.get(), "abc"), 0);
    ASSERT_EQ(plugin_strings_append(tight.get(), "de"), 0);
    used = plugin_strings_space_used(tight.get());
    EXPECT_EQ(used + 5 + 1, plugin_strings_max_size(tight.get()));  // equal: strict test fails
    EXPECT_LT(plugin_strings_append(tight.get(), "fghij"), 0);
    EXPECT_EQ(plugin_strings_num_strings_get(tight.get()), 2u);
    EXPECT_EQ(plugin_strings_space_used(tight.get()), used);
    EXPECT_EQ(plugin_strings_get(tight.get(), 2), nullptr);
    // A shorter string still fits.
    EXPECT_EQ(plugin_strings_append(tight.get(), "fgh"), 0);
}

TEST_F(StringsTest, CountLimitHoldsEvenWithBytesToSpare) {
    SetPtr set(plugin_strings_malloc(2, 100));
    ASSERT_TRUE(set);
    EXPECT_EQ(plugin_strings_append(set.get(), "a"), 0);
    EXPECT_EQ(plugin_strings_append(set.get(), "b"), 0);
    EXPECT_LT(plugin_strings_append(set.get(), "c"), 0);
    EXPECT_EQ(plugin_strings_num_strings_get(set.get()), 2u);

    // Zero capacities: a usable empty set that accepts nothing, not even "".
    SetPtr empty(plugin_strings_malloc(0, 0));
    ASSERT_TRUE(empty);
    EXPECT_EQ(plugin_strings_num_strings_get(empty.get()), 0u);
    EXPECT_LT(plugin_strings_append(empty.get(), ""), 0);
    // One string of capacity 1 byte holds exactly the empty string.
    SetPtr one(plugin_strings_malloc(1, 1));
    ASSERT_TRUE(one);
    EXPECT_LT(plugin_strings_append(one.get(), "x"), 0);
    EXPECT_EQ(plugin_strings_append(one.get(), ""), 0);
    EXPECT_STREQ(plugin_strings_get(one.get(), 0), "");
}

TEST_F(StringsTest, GetAndFindStayInRange) {
    SetPtr set(plugin_strings_malloc(4, 64));
    ASSERT_TRUE(set);
    EXPECT_EQ(plugin_strings_get(set.get(), 0), nullptr);
    EXPECT_LT(plugin_strings_find(set.get(), ""), 0);
    for (const char *s : {"alpha", "beta", "alpha"})
        ASSERT_EQ(plugin_strings_append(set.get(), s), 0);
    EXPECT_EQ(plugin_strings_find(set.get(), "alpha"), 0);  // lowest index of duplicates
    EXPECT_EQ(plugin_strings_find(set.get(), "beta"), 1);
    EXPECT_LT(plugin_strings_find(set.get(), "gamma"), 0);
    EXPECT_LT(plugin_strings_find(set.get(), "alph"), 0);
    EXPECT_STREQ(plugin_strings_get(set.get(), 2), "alpha");
    EXPECT_EQ(plugin_strings_get(set.get(), 3), nullptr);
    EXPECT_EQ(plugin_strings_get(set.get(), UINT32_MAX), nullptr);
    // The strings point into the block.
    const char *p = plugin_strings_get(set.get(), 1);
    const char *base = reinterpret_cast<const char *>(set.get());
    EXPECT_GE(p, base);
    EXPECT_LT(p, base + plugin_strings_max_size(set.get()));
}

TEST_F(StringsTest, NullAndBadArgumentsGiveFailureValues) {
    EXPECT_LT(plugin_strings_max_size(nullptr), 0);
    EXPECT_LT(plugin_strings_space_used(nullptr), 0);
    EXPECT_EQ(plugin_strings_max_strings_get(nullptr), 0u);
    EXPECT_EQ(plugin_strings_num_strings_get(nullptr), 0u);
    EXPECT_LT(plugin_strings_append(nullptr, "a"), 0);
    EXPECT_EQ(plugin_strings_get(nullptr, 0), nullptr);
    EXPECT_LT(plugin_strings_find(nullptr, "a"), 0);
    EXPECT_LT(plugin_strings_copy(nullptr, nullptr), 0);
    EXPECT_LT(plugin_strings_init(nullptr, 1, 100), 0);
    plugin_strings_free(nullptr);

    SetPtr set(plugin_strings_malloc(2, 8));
    ASSERT_TRUE(set);
    EXPECT_LT(plugin_strings_append(set.get(), nullptr), 0);
    EXPECT_LT(plugin_strings_find(set.get(), nullptr), 0);
    EXPECT_LT(plugin_strings_copy(set.get(), nullptr), 0);
    EXPECT_LT(plugin_strings_copy(nullptr, set.get()), 0);
}

TEST_F(StringsTest, HugeCapacitiesFailInsteadOfOverflowing) {
    EXPECT_EQ(plugin_strings_memory_size(UINT32_MAX, 0), 0u);
    EXPECT_EQ(plugin_strings_memory_size(0, UINT32_MAX), 0u);
    EXPECT_EQ(plugin_strings_memory_size(0x7fffffffu, 1), 0u);
    EXPECT_EQ(plugin_strings_malloc(UINT32_MAX, UINT32_MAX), nullptr);
    EXPECT_EQ(plugin_strings_malloc(0x40000000u, 0), nullptr);
    EXPECT_NE(plugin_strings_memory_size(0, 0), 0u);

    // init checks M against the string capacity.
    std::vector<unsigned char> buf(64);
    auto *set = reinterpret_cast<plugin_strings *>(buf.data());
    uint32_t m = plugin_strings_memory_size(0, 11);  // more than 64 bytes
    ASSERT_GT(m, 64u);
    EXPECT_LT(plugin_strings_init(set, 11, 64), 0);
    EXPECT_EQ(plugin_strings_init(set, 10, 64), 0);  // 61 bytes needed: room for 3 bytes of text
    EXPECT_LT(plugin_strings_init(set, 0, plugin_strings_memory_size(0, 0) - 1), 0);
    EXPECT_LT(plugin_strings_init(set, UINT32_MAX, 64), 0);
    EXPECT_EQ(plugin_strings_init(set, 0, plugin_strings_memory_size(0, 0)), 0);
}

// A block initialised in a caller's buffer (as the software-id map embeds
// one), copied byte for byte to another address - here an odd one - works there.
TEST_F(StringsTest, BlockWorksAfterMovingToAnotherAddress) {
    uint32_t m = plugin_strings_memory_size(32, 3);
    std::vector<unsigned char> first(m);
    auto *a = reinterpret_cast<plugin_strings *>(first.data());
    ASSERT_EQ(plugin_strings_init(a, 3, m), 0);
    ASSERT_EQ(plugin_strings_append(a, "one"), 0);
    ASSERT_EQ(plugin_strings_append(a, "two"), 0);

    std::vector<unsigned char> second(m + 1);
    memcpy(second.data() + 1, first.data(), m);
    std::fill(first.begin(), first.end(), 0xEE);  // the old copy is gone
    auto *b = reinterpret_cast<plugin_strings *>(second.data() + 1);
    EXPECT_EQ(plugin_strings_max_size(b), int32_t(m));
    EXPECT_EQ(plugin_strings_num_strings_get(b), 2u);
    EXPECT_STREQ(plugin_strings_get(b, 0), "one");
    EXPECT_STREQ(plugin_strings_get(b, 1), "two");
    EXPECT_EQ(plugin_strings_find(b, "two"), 1);
    EXPECT_EQ(plugin_strings_append(b, "three"), 0);
    EXPECT_STREQ(plugin_strings_get(b, 2), "three");
}

TEST_F(StringsTest, CopyUsesTheDestinationsOwnCapacities) {
    SetPtr src(plugin_strings_malloc(3, 64));
    ASSERT_TRUE(src);
    for (const char *s : {"x1", "yy2", "zzz3"})
        ASSERT_EQ(plugin_strings_append(src.get(), s), 0);  // 3 + 4 + 5 = 12 bytes

    // Larger destination: same strings at the same indices, room to grow.
    SetPtr big(plugin_strings_malloc(6, 100));
    ASSERT_TRUE(big);
    EXPECT_EQ(plugin_strings_copy(big.get(), src.get()), 0);
    EXPECT_EQ(plugin_strings_num_strings_get(big.get()), 3u);
    EXPECT_EQ(plugin_strings_max_strings_get(big.get()), 6u);
    EXPECT_STREQ(plugin_strings_get(big.get(), 0), "x1");
    EXPECT_STREQ(plugin_strings_get(big.get(), 2), "zzz3");
    EXPECT_EQ(plugin_strings_append(big.get(), "w"), 0);

    // Exactly large enough.
    SetPtr exact(plugin_strings_malloc(3, 12));
    ASSERT_TRUE(exact);
    EXPECT_EQ(plugin_strings_copy(exact.get(), src.get()), 0);
    EXPECT_STREQ(plugin_strings_get(exact.get(), 1), "yy2");
    EXPECT_LT(plugin_strings_append(exact.get(), ""), 0);

    // One byte short, or one string short: failure, destination unchanged.
    SetPtr short_bytes(plugin_strings_malloc(3, 11));
    ASSERT_TRUE(short_bytes);
    ASSERT_EQ(plugin_strings_append(short_bytes.get(), "keep"), 0);
    std::vector<unsigned char> before(plugin_strings_max_size(short_bytes.get()));
    memcpy(before.data(), short_bytes.get(), before.size());
    EXPECT_LT(plugin_strings_copy(short_bytes.get(), src.get()), 0);
    EXPECT_EQ(memcmp(before.data(), short_bytes.get(), before.size()), 0);
    SetPtr short_count(plugin_strings_malloc(2, 100));
    ASSERT_TRUE(short_count);
    EXPECT_LT(plugin_strings_copy(short_count.get(), src.get()), 0);
    EXPECT_EQ(plugin_strings_num_strings_get(short_count.get()), 0u);

    // An empty source gives an empty destination.
    SetPtr none(plugin_strings_malloc(0, 0));
    ASSERT_TRUE(none);
    EXPECT_EQ(plugin_strings_copy(short_count.get(), none.get()), 0);
    EXPECT_EQ(plugin_strings_num_strings_get(short_count.get()), 0u);
}

// A block read from a file may be damaged: the accessors never read past its
// end (checked by the sanitizers: the buffer holds exactly max_size bytes).
TEST_F(StringsTest, DamagedBlockIsNeverReadOutside) {
    uint32_t m = plugin_strings_memory_size(16, 2);
    auto fresh = [&] {
        std::vector<unsigned char> v(m);
        auto *s = reinterpret_cast<plugin_strings *>(v.data());
        EXPECT_EQ(plugin_strings_init(s, 2, m), 0);
        EXPECT_EQ(plugin_strings_append(s, "abc"), 0);
        EXPECT_EQ(plugin_strings_append(s, "defg"), 0);
        return v;
    };
    auto put = [](std::vector<unsigned char> &v, size_t off, uint32_t val) {
        memcpy(v.data() + off, &val, 4);
    };
    auto as_set = [](std::vector<unsigned char> &v) {
        return reinterpret_cast<plugin_strings *>(v.data());
    };

    // Bad magic: nothing is answered.
    auto v = fresh();
    v[0] ^= 0xFF;
    EXPECT_LT(plugin_strings_max_size(as_set(v)), 0);
    EXPECT_EQ(plugin_strings_num_strings_get(as_set(v)), 0u);
    EXPECT_EQ(plugin_strings_get(as_set(v), 0), nullptr);
    EXPECT_LT(plugin_strings_append(as_set(v), "x"), 0);

    // A string offset pointing beyond the text: that string is not handed out.
    v = fresh();
    put(v, 20 + 4, 1000);
    EXPECT_STREQ(plugin_strings_get(as_set(v), 0), "abc");
    EXPECT_EQ(plugin_strings_get(as_set(v), 1), nullptr);
    EXPECT_LT(plugin_strings_find(as_set(v), "defg"), 0);

    // The terminator of the last string overwritten: not handed out either.
    v = fresh();
    // The text area is the last 17 bytes; "abc\0defg\0": its byte 8 ends "defg".
    v[m - 17 + 8] = 'X';
    EXPECT_EQ(plugin_strings_get(as_set(v), 1), nullptr);
    EXPECT_LT(plugin_strings_find(as_set(v), "defgX"), 0);

    // A count above the capacity, a capacity beyond the block, or a used size
    // beyond the text area: the block is refused as a whole.
    for (auto [off, val] : std::vector<std::pair<size_t, uint32_t>>{
             {12, 3}, {8, 1000}, {8, 0x7fffffff}, {16, 17}, {4, 0xffffffffu}}) {
        v = fresh();
        put(v, off, val);
        EXPECT_EQ(plugin_strings_get(as_set(v), 0), nullptr) << off;
        EXPECT_LT(plugin_strings_find(as_set(v), "abc"), 0) << off;
        EXPECT_LT(plugin_strings_append(as_set(v), "z"), 0) << off;
    }
}

TEST_F(StringsTest, AllocationFailureGivesNull) {
    pit::faults::fail_nth(1);
    plugin_strings *s = plugin_strings_malloc(2, 10);
    bool fired = pit::faults::fired();
    pit::faults::disarm();
    EXPECT_TRUE(fired);
    EXPECT_EQ(s, nullptr);
    plugin_strings_free(s);
}

}  // namespace
