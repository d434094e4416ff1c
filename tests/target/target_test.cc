// The platform stand-ins as the library relies on them, and byte order: the map and the stage_boot
// record are stored in the machine's order (on the big-endian target the map file begins "PLUG" and
// ends "SWID", the fresh-boot mark reads "BOOT"); records and images made on the build host read
// the same on every machine.
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

TEST_F(TargetTest, AStringFitsWhileTheCountAllowsAndSpaceUsedPlusLengthPlusOneIsBelowMaxSize) {
    struct {
        uint32_t strings, bytes;
        std::vector<std::string> appends;
    } rows[] = {{2, 8, {"abc", "abc", "a"}},
                {4, 8, {"abcdefg", "", "", ""}},
                {1, 1, {"", ""}},
                {3, 12, {"abcdefghijk", "a"}}};
    for (const auto &row : rows) {
        plugin_strings *set = plugin_strings_malloc(row.strings, row.bytes);
        for (const std::string &s : row.appends) {
            int32_t count = plugin_strings_num_strings_get(set),
                    used = plugin_strings_space_used(set);
            bool fits = count < int32_t(row.strings) &&
                        used + int32_t(s.size()) + 1 < plugin_strings_max_size(set);
            EXPECT_EQ(plugin_strings_append(set, s.c_str()) >= 0, fits)
                << row.bytes << " '" << s << "'";  // else unchanged
            EXPECT_EQ(plugin_strings_num_strings_get(set) - count +
                          (plugin_strings_space_used(set) == used),
                      1u);
        }
        std::string moved(reinterpret_cast<const char *>(set),
                          plugin_strings_max_size(set));  // pointer-free
        EXPECT_EQ(plugin_strings_find(reinterpret_cast<plugin_strings *>(moved.data()),
                                      row.appends[0].c_str()),
                  0);
        plugin_strings_free(set);
    }
}

TEST_F(TargetTest, RecordsImagesConfigurationsAndTheZellLimitReadAsTheLibraryExpects) {
    std::string bytes =
        pit::record_bytes("a.1", {{"b", "c.2"}});  // big-endian words: magic, then size
    ASSERT_TRUE(pit::write_file("/tmp/r.sro", bytes) &&
                bytes.substr(0, 8) == std::string("SRG1\0\0\0", 7) + char(bytes.size()));
    for (const std::string &path :
         {std::string("/tmp/r.sro"), kFix + "/plug-a.sro"}) {  // made here, made on the build host
        srg_record *rec = nullptr;
        const sysmgr_strings *deps = nullptr;
        ASSERT_EQ(plugin_clone_srg(path.c_str(), &rec) | srg_dependency_strings_get(rec, 0, &deps),
                  0u);
        EXPECT_EQ(std::string(srg_sw_id_get(rec)) + srg_sw_id_file_get(path.c_str()) +
                      sysmgr_strings_get(deps, 1),
                  path == "/tmp/r.sro" ? "a.1a.1c.2" : "plug-a.1plug-a.1lib-x.2");
        EXPECT_EQ(std::string(reinterpret_cast<char *>(rec), srg_size(rec)), pit::read_file(path));
        std::free(rec);
    }
    int32_t status = -1;
    img_handle *img = img_open((kFix + "/plug-a.img").c_str(), &status);
    ASSERT_TRUE(img && img->block_size == 512 && img_extract_vendor_info(img, "/tmp/v.sro") == 0 &&
                img_close(img) == 0);
    EXPECT_EQ(pit::read_file("/tmp/v.sro"), pit::read_file(kFix + "/plug-a.sro"));
    plugin_strings *names = nullptr;  // comments and blank lines skipped, names trimmed
    pit::write_file("/tmp/img.conf", "# c\n\n  a.img \t\nb.img");
    ASSERT_EQ(plugin_get_names_from_conf("/tmp/img.conf", &names), 0u);
    EXPECT_EQ(std::string(plugin_strings_get(names, 0)) + plugin_strings_get(names, 1) +
                  std::to_string(plugin_strings_num_strings_get(names)),
              "a.imgb.img2");
    plugin_strings_free(names);
    int32_t zell = (unsetenv("PLUGIN_MAX_ALLOWED_ZELL"), get_max_allowed_zell());
    EXPECT_EQ(zell * 100 + (setenv("PLUGIN_MAX_ALLOWED_ZELL", "2", 1), get_max_allowed_zell()),
              SYSTEM_ZELL_DEFAULT_MAX * 100 + 2);
    plugin_swid_map *map = plugin_swid_map_alloc(4, 64);
    ASSERT_TRUE(plugin_swid_map_append(&map, "plug-a.1") == 0 &&
                plugin_write_swid_map("/tmp/map", map) == 0);
    std::string file = pit::read_file("/tmp/map");
    EXPECT_EQ(file.substr(0, 4) + file.substr(file.size() - 4), stored("PLUG") + stored("SWID"));
    uint32_t rec[4] = {0, 7, 8, 9};
    ASSERT_EQ(pit::captured([&] { return plugin_read_remaining_load(rec, 16); }, nullptr, nullptr),
              0u);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(rec), 4), stored("BOOT"));
    plugin_swid_map_free(map);
}

}  // namespace
