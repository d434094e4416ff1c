// What the library relies on of the platform stand-ins: the string-set sizing rule and a block that
// moves, the record's stored form, the configuration reader's line rule, the zell limit.
#include <cstring>
#include <vector>

#include "platform/plugin_icf.h"
#include "platform/srg_bytes.h"
#include "platform/system_zell.h"
#include "tests/support/fixture.h"

namespace {

class PlatformTest : public pit::SandboxTest {};

TEST_F(PlatformTest, AStringFitsWhenTheCountAndSpaceUsedPlusLengthPlusOneBelowMaxSizeAllow) {
    struct { uint32_t strings, bytes; std::vector<std::string> appends; } rows[] = {
        {2, 8, {"abc", "abc", "a"}}, {4, 8, {"abcdefg", "", "", ""}}, {1, 1, {"", ""}}, {3, 12, {"abcdefghijk", "a"}}};
    for (const auto &row : rows) {
        plugin_strings *set = plugin_strings_malloc(row.strings, row.bytes);
        ASSERT_NE(set, nullptr);
        for (const std::string &s : row.appends) {
            uint32_t count = plugin_strings_num_strings_get(set);
            int32_t used = plugin_strings_space_used(set);
            bool fits = count < row.strings && used + int32_t(s.size()) + 1 < plugin_strings_max_size(set);
            EXPECT_EQ(plugin_strings_append(set, s.c_str()) >= 0, fits) << row.bytes << " '" << s << "'";
            EXPECT_EQ(plugin_strings_num_strings_get(set), count + fits);
            EXPECT_EQ(plugin_strings_space_used(set) == used, !fits);
        }
        std::string moved(reinterpret_cast<const char *>(set), plugin_strings_max_size(set));  // pointer-free
        EXPECT_EQ(plugin_strings_find(reinterpret_cast<plugin_strings *>(moved.data()), row.appends[0].c_str()), 0);
        plugin_strings_free(set);
    }
}

TEST_F(PlatformTest, RecordsRoundTripInTheirBigEndianStoredForm) {
    std::string bytes = pit::record_bytes("a.1", {{"b", "c.2"}});
    ASSERT_TRUE(pit::write_file("/tmp/r.sro", bytes));
    EXPECT_EQ(bytes.substr(0, 8), std::string("SRG1\0\0\0", 7) + char(bytes.size()));
    std::vector<char> rec(srg_file_size("/tmp/r.sro"));
    ASSERT_EQ(srg_file_clone(reinterpret_cast<srg_record *>(rec.data()), "/tmp/r.sro", rec.size()), 0u);
    auto *r = reinterpret_cast<srg_record *>(rec.data());
    const sysmgr_strings *deps = nullptr;
    ASSERT_EQ(srg_dependency_strings_get(r, 0, &deps), 0u);
    EXPECT_EQ(std::string(srg_sw_id_get(r)) + srg_sw_id_file_get("/tmp/r.sro") + sysmgr_strings_get(deps, 1), "a.1a.1c.2");
    EXPECT_EQ(std::string(rec.begin(), rec.end()), bytes);
}

TEST_F(PlatformTest, ConfigurationNamesAndTheZellLimit) {
    ASSERT_TRUE(pit::write_file("/tmp/c", "# c\n\n  a.img \t\nb.img"));
    plugin_icf *icf = nullptr;
    const char *a = nullptr, *b = nullptr, *end = "x";
    ASSERT_EQ(plugin_icf_open("/tmp/c", &icf), 0u);
    EXPECT_EQ(plugin_icf_first_img_name(icf, &a) | plugin_icf_get_name(icf, &b) | plugin_icf_get_name(icf, &end), 0u);
    EXPECT_EQ(std::string(a) + "," + b + (end ? end : ","), "a.img,b.img,");
    plugin_icf_close(icf);
    unsetenv("PLUGIN_MAX_ALLOWED_ZELL");
    EXPECT_EQ(get_max_allowed_zell(), SYSTEM_ZELL_DEFAULT_MAX);
    setenv("PLUGIN_MAX_ALLOWED_ZELL", "6", 1);
    EXPECT_EQ(get_max_allowed_zell(), 6);
}

}  // namespace
