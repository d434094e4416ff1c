// Byte order.  The map and the stage_boot record are stored in the machine's order: on the
// big-endian target the map file begins "PLUG", ends "SWID", and the fresh-boot mark reads "BOOT".
// Records and images are order-neutral: the fixtures, made on the build host, read the same here.
#include "platform/img.h"
#include "tests/support/fixture.h"

namespace {

const std::string kFix = PI_FIXTURES;
std::string stored(std::string big) {  // a word's bytes as this machine stores it
    return __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__ ? big : std::string(big.rbegin(), big.rend());
}
class ByteOrderTest : public pit::SandboxTest {};

TEST_F(ByteOrderTest, MapAndBootMarkInMachineOrderHostMadeRecordAndImageReadTheSame) {
    setenv("PLUGIN_MAX_ALLOWED_ZELL", "2", 1);
    plugin_swid_map *map = plugin_swid_map_alloc(4, 64);
    ASSERT_EQ(plugin_swid_map_append(&map, "plug-a.1"), 0);
    ASSERT_EQ(plugin_write_swid_map("/tmp/map", map), 0u);
    std::string file = pit::read_file("/tmp/map");
    EXPECT_EQ(file.substr(0, 4) + file.substr(file.size() - 4), stored("PLUG") + stored("SWID"));
    uint32_t rec[4] = {0, 7, 8, 9};
    ASSERT_EQ(pit::captured([&] { return plugin_read_remaining_load(rec, 16); }, nullptr, nullptr), 0u);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(rec), 4), stored("BOOT"));
    srg_record *record = nullptr;
    ASSERT_EQ(plugin_clone_srg((kFix + "/plug-a.sro").c_str(), &record), 0u);
    const sysmgr_strings *deps = nullptr;
    ASSERT_EQ(srg_dependency_strings_get(record, 0, &deps), 0u);
    EXPECT_EQ(std::string(srg_sw_id_get(record)) + sysmgr_strings_get(deps, 0) + sysmgr_strings_get(deps, 1), "plug-a.1baselib-x.2");
    int32_t status = -1;
    img_handle *img = img_open((kFix + "/plug-a.img").c_str(), &status);
    ASSERT_NE(img, nullptr);
    EXPECT_EQ(img->block_size, 512);
    EXPECT_EQ(img_extract_vendor_info(img, "/tmp/v.sro"), 0u);
    EXPECT_EQ(pit::read_file("/tmp/v.sro"), pit::read_file(kFix + "/plug-a.sro"));
    pit::mkdirs("/velm/plugin/1");
    EXPECT_EQ(pit::captured([&] { return plugin_extract_image((kFix + "/plug-a.img").c_str(), "/velm/plugin/1", nullptr); }, nullptr, nullptr), 0u);
    EXPECT_EQ(pit::read_file("/velm/plugin/1/usr/bin/hello"), "hello from the build host\n");
    img_close(img);
    std::free(record);
    plugin_swid_map_free(map);
}

}  // namespace
