// Byte order.  The software-id map and the stage_boot record are stored in
// the machine's byte order: on the big-endian target the map file begins
// "PLUG" (50 4C 55 47) and ends "SWID" (53 57 49 44), and the fresh-boot mark
// reads as "BOOT" (42 4F 4F 54).  Records and images are byte-order neutral:
// the fixtures, made by srgtool and mkplugin on an x86 build host, read the
// same on every machine.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/img.h"
#include "platform/srg.h"
#include "tests/reliability/weak_ops.h"
#include "tests/support/fixture.h"

namespace {

const std::string kFixtures = PI_FIXTURES;
constexpr bool kBigEndian = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;

// The four bytes of a word as this machine stores it, given its big-endian spelling.
std::string stored(const char (&big)[5]) {
    std::string s(big, 4);
    if (!kBigEndian) {
        std::swap(s[0], s[3]);
        std::swap(s[1], s[2]);
    }
    return s;
}

class ByteOrderTest : public pit::SandboxTest {};

TEST_F(ByteOrderTest, SwidMapFileIsFramedByPlugAndSwidInMachineOrder) {
    plugin_swid_map *map = plugin_swid_map_alloc(4, 64);
    ASSERT_NE(map, nullptr);
    ASSERT_EQ(plugin_swid_map_append(&map, "plug-a.1"), 0);
    ASSERT_EQ(plugin_write_swid_map("/tmp/swid_map", map), 0u);
    std::string file = pit::read_file("/tmp/swid_map");
    ASSERT_EQ(file.size(), static_cast<std::size_t>(plugin_swid_map_size(map)));
    EXPECT_EQ(file.substr(0, 4), stored("PLUG"));
    EXPECT_EQ(file.substr(file.size() - 4), stored("SWID"));
    if (kBigEndian) {
        EXPECT_EQ(file.substr(0, 4), "\x50\x4C\x55\x47");
        EXPECT_EQ(file.substr(file.size() - 4), "\x53\x57\x49\x44");
    }
    plugin_swid_map *back = nullptr;
    ASSERT_EQ(plugin_read_swid_map("/tmp/swid_map", &back), 0u);
    EXPECT_STREQ(plugin_swid_map_get_swid(back, 0), "plug-a.1");
    plugin_swid_map_free(back);
    plugin_swid_map_free(map);
}

TEST_F(ByteOrderTest, FreshBootMarkReadsAsBoot) {
    if (!op_present(plugin_read_remaining_load) || !op_present(plugin_write_remaining_load))
        GTEST_SKIP() << "the boot-stage record is not in this build";
    ::setenv("PLUGIN_MAX_ALLOWED_ZELL", "2", 1);
    uint32_t rec[4] = {0, 7, 8, 9};
    std::string err;
    uint32_t rc = pit::captured([&] { return plugin_read_remaining_load(rec, sizeof rec); }, nullptr, &err);
    ASSERT_EQ(rc, 0u);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(rec), 4), stored("BOOT"));
    if (kBigEndian) {
        EXPECT_EQ(std::memcmp(rec, "\x42\x4F\x4F\x54", 4), 0);
    }
    EXPECT_EQ(rec[1], 7u);
    // Stored as it lies in memory: the file's first bytes are the mark's.
    ASSERT_EQ(::mkdir("/velm/plugin_extract_log", 0755), 0);
    ASSERT_EQ(plugin_write_remaining_load(rec, sizeof rec), 0u);
    EXPECT_EQ(pit::read_file("/velm/plugin_extract_log/stage_boot").substr(0, 4), stored("BOOT"));
    ::unsetenv("PLUGIN_MAX_ALLOWED_ZELL");
}

TEST_F(ByteOrderTest, HostMadeRecordReadsTheSame) {
    std::string path = kFixtures + "/plug-a.sro";
    uint32_t n = srg_file_size(path.c_str());
    ASSERT_EQ(n, 69u);
    auto *rec = static_cast<srg_record *>(std::malloc(n));
    ASSERT_EQ(srg_file_clone(rec, path.c_str(), n), 0u);
    EXPECT_STREQ(srg_sw_id_get(rec), "plug-a.1");
    const sysmgr_strings *deps = nullptr;
    ASSERT_EQ(srg_dependency_strings_get(rec, 0, &deps), 0u);
    ASSERT_EQ(sysmgr_strings_num_strings_get(deps), 2u);
    EXPECT_STREQ(sysmgr_strings_get(deps, 0), "base");
    EXPECT_STREQ(sysmgr_strings_get(deps, 1), "lib-x.2");
    if (op_present(plugin_clone_srg)) {
        srg_record *copy = nullptr;
        ASSERT_EQ(plugin_clone_srg(path.c_str(), &copy), 0u);
        EXPECT_EQ(std::memcmp(copy, rec, n), 0);
        std::free(copy);
    }
    std::free(rec);
}

TEST_F(ByteOrderTest, HostMadeImageReadsTheSame) {
    std::string path = kFixtures + "/plug-a.img";
    int32_t status = -1;
    img_handle *img = img_open(path.c_str(), &status);
    ASSERT_NE(img, nullptr);
    EXPECT_EQ(img->block_size, 512);
    ASSERT_EQ(img_extract_vendor_info(img, "/tmp/vendor.sro"), 0u);
    EXPECT_EQ(pit::read_file("/tmp/vendor.sro"), pit::read_file(kFixtures + "/plug-a.sro"));
    img_close(img);
    if (op_present(plugin_extract_image)) {
        ASSERT_EQ(::mkdir("/velm/plugin", 0755), 0);
        ASSERT_EQ(::mkdir("/velm/plugin/1", 0755), 0);
        std::string err;
        uint32_t rc = pit::captured([&] { return plugin_extract_image(path.c_str(), "/velm/plugin/1", "/velm/1.log"); },
                                    nullptr, &err);
        ASSERT_EQ(rc, 0u) << err;
        EXPECT_EQ(pit::read_file("/velm/plugin/1/usr/bin/hello"), "hello from the build host\n");
        EXPECT_EQ(pit::read_file("/velm/plugin/1/etc/plug.conf"), "x=1\n");
    }
}

}  // namespace
