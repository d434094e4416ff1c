// The platform stand-ins as the library relies on them, and byte order: the map and the stage_boot
// record are stored in the machine's order (on the big-endian target the map file begins "PLUG" and
// ends "SWID", the fresh-boot mark reads "BOOT"); records and images made on the build host read
// the same on every machine.
#include <sstream>

#include "platform/img.h"
#include "platform/srg_bytes.h"
#include "platform/system_zell.h"
#include "tests/support/fixture.h"

namespace {

const std::string kFix = PI_FIXTURES;
std::string stored(std::string big) {
    return __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__ ? big : std::string(big.rbegin(), big.rend());
}
class TargetTest : public pit::SandboxTest {};

// A set of (strings, bytes) takes the appends in turn ("-" is the empty string); a refused append
// leaves the set as it was.
TEST_F(TargetTest, AStringSetTakesAStringWhileItHasASlotAndRoomForItsBytes) {
    const struct {
        uint32_t strings, bytes;
        const char *appends, *results;
        int32_t used;  // space used afterwards
    } rows[] = {
        {2, 8, "abc abc a", "taken taken refused", 36},
        {4, 8, "abcdefg - -", "taken refused refused", 44},
        {1, 1, "- -", "taken refused", 25},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.appends);
        plugin_strings *set = plugin_strings_malloc(row.strings, row.bytes);
        std::istringstream appends(row.appends);
        std::string results, first;
        for (std::string s; appends >> s;) {
            if (s == "-") s = "";
            if (results.empty()) first = s;
            if (!results.empty()) results += " ";
            results += plugin_strings_append(set, s.c_str()) < 0 ? "refused" : "taken";
        }
        EXPECT_EQ(results, row.results);
        EXPECT_EQ(plugin_strings_space_used(set), row.used);
        // The block holds no pointer: a copy of its bytes is a set too.
        std::string moved(reinterpret_cast<const char *>(set), plugin_strings_max_size(set));
        auto *copy = reinterpret_cast<plugin_strings *>(moved.data());
        EXPECT_EQ(plugin_strings_find(copy, first.c_str()), 0);
        plugin_strings_free(set);
    }
}

// A record made here and one made on the build host: swid, a dependency, bytes as stored.
TEST_F(TargetTest, RecordsReadTheSameWhereverTheyWereMade) {
    const std::string here = pit::record_bytes("a.1", {{"b", "c.2"}});
    ASSERT_TRUE(pit::write_file("/tmp/r.sro", here));
    const struct {
        std::string path;
        const char *swid, *second_dependency;
    } rows[] = {{"/tmp/r.sro", "a.1", "c.2"}, {kFix + "/plug-a.sro", "plug-a.1", "lib-x.2"}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.path);
        srg_record *rec = nullptr;
        const sysmgr_strings *deps = nullptr;
        ASSERT_EQ(plugin_clone_srg(row.path.c_str(), &rec), PLUGIN_OK);
        ASSERT_EQ(srg_dependency_strings_get(rec, 0, &deps), 0u);
        EXPECT_STREQ(srg_sw_id_get(rec), row.swid);
        EXPECT_STREQ(srg_sw_id_file_get(row.path.c_str()), row.swid);
        EXPECT_STREQ(sysmgr_strings_get(deps, 1), row.second_dependency);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(rec), srg_size(rec)),
                  pit::read_file(row.path));
        std::free(rec);
    }
}

TEST_F(TargetTest, ImagesConfigurationsAndTheZellLimitReadAsTheLibraryExpects) {
    int32_t status = -1;
    img_handle *img = img_open((kFix + "/plug-a.img").c_str(), &status);
    ASSERT_NE(img, nullptr);
    EXPECT_EQ(img->block_size, 512u);
    EXPECT_EQ(img_extract_vendor_info(img, "/tmp/v.sro"), 0u);
    EXPECT_EQ(img_close(img), 0);
    EXPECT_EQ(pit::read_file("/tmp/v.sro"), pit::read_file(kFix + "/plug-a.sro"));
    plugin_strings *names = nullptr;  // comments and blank lines skipped, names trimmed
    pit::write_file("/tmp/img.conf", "# c\n\n  a.img \t\nb.img");
    ASSERT_EQ(plugin_get_names_from_conf("/tmp/img.conf", &names), PLUGIN_OK);
    EXPECT_EQ(plugin_strings_num_strings_get(names), 2u);
    EXPECT_STREQ(plugin_strings_get(names, 0), "a.img");
    EXPECT_STREQ(plugin_strings_get(names, 1), "b.img");
    plugin_strings_free(names);
    unsetenv("PLUGIN_MAX_ALLOWED_ZELL");
    EXPECT_EQ(get_max_allowed_zell(), 30);
    setenv("PLUGIN_MAX_ALLOWED_ZELL", "2", 1);
    EXPECT_EQ(get_max_allowed_zell(), 2);
}

TEST_F(TargetTest, TheMapAndTheFreshBootMarkAreStoredInTheMachinesOrder) {
    plugin_swid_map *map = plugin_swid_map_alloc(4, 64);
    ASSERT_EQ(plugin_swid_map_append(&map, "plug-a.1"), 0);
    ASSERT_EQ(plugin_write_swid_map("/tmp/map", map), PLUGIN_OK);
    plugin_swid_map_free(map);
    const std::string file = pit::read_file("/tmp/map");
    EXPECT_EQ(file.substr(0, 4), stored("PLUG"));
    EXPECT_EQ(file.substr(file.size() - 4), stored("SWID"));
    uint32_t rec[4] = {0, 7, 8, 9};
    setenv("PLUGIN_MAX_ALLOWED_ZELL", "2", 1);
    ASSERT_EQ(pit::captured([&] { return plugin_read_remaining_load(rec, 16); }, nullptr, nullptr),
              PLUGIN_OK);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(rec), 4), stored("BOOT"));
}

}  // namespace
