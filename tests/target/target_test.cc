// The platform stand-ins as the library relies on them, and byte order: the map and the stage_boot
// record are stored in the machine's order; records and images made on the build host read the
// same on every machine.

#include "platform/img.h"
#include "platform/srg_bytes.h"
#include "platform/system_zell.h"
#include "tests/support/fixture.h"

namespace {

const std::string kFix = PI_FIXTURES;
std::string stored(std::string big) {
    return __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__ ? big : std::string(big.rbegin(), big.rend());
}
class TargetTest : public test_support::SandboxTest {};

// A record made here and one made on the build host: swid, a dependency, bytes as stored.
TEST_F(TargetTest, RecordsReadTheSameWhereverTheyWereMade) {
    const std::string here = srg_format::record_bytes("a.1", {{"b", "c.2"}});
    ASSERT_TRUE(test_support::write_file("/tmp/r.sro", here));
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
                  test_support::read_file(row.path));
        std::free(rec);
    }
}

TEST_F(TargetTest, ImagesAndTheZellLimitReadAsTheLibraryExpects) {
    int32_t status = -1;
    img_handle *img = img_open((kFix + "/plug-a.img").c_str(), &status);
    ASSERT_NE(img, nullptr);
    EXPECT_EQ(img->block_size, 512u);
    EXPECT_EQ(img_extract_vendor_info(img, "/tmp/v.sro"), 0u);
    EXPECT_EQ(img_close(img), 0);
    EXPECT_EQ(test_support::read_file("/tmp/v.sro"), test_support::read_file(kFix + "/plug-a.sro"));
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
    const std::string file = test_support::read_file("/tmp/map");
    EXPECT_EQ(file.substr(0, 4), stored("PLUG"));
    EXPECT_EQ(file.substr(file.size() - 4), stored("SWID"));
    uint32_t rec[4] = {0, 7, 8, 9};
    setenv("PLUGIN_MAX_ALLOWED_ZELL", "2", 1);
    ASSERT_EQ(test_support::captured([&] { return plugin_read_remaining_load(rec, 16); }, nullptr,
                                     nullptr),
              PLUGIN_OK);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(rec), 4), stored("BOOT"));
}

}  // namespace
