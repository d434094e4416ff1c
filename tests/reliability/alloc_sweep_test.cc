// Allocation failures: for every operation that allocates, and each n until a run in which nothing
// failed, the n-th allocation of the call fails.  Each run gives success or one of the row's codes,
// passes the row's check and leaves no descriptor open (leaks: the ASan and valgrind runs).
#include <functional>

#include "platform/srg_bytes.h"
#include "tests/support/fixture.h"

namespace {

using pit::exists;
using pit::read_file;
const std::string kFix = PI_FIXTURES, kImg = kFix + "/plug-a.img", kSro = kFix + "/plug-a.sro";
const uint32_t kNomem = PLUGIN_ERR_NOMEM;
template <typename T> T *untouched() { return reinterpret_cast<T *>(0x5a5a); }
struct Row {  // set-up (before the failure is armed), the call (0: success), failures accepted, check after every run
    const char *name;
    std::function<void()> setup;
    std::function<uint32_t()> call;
    std::vector<uint32_t> codes;
    std::function<void(uint32_t rc)> check;
    bool allocates = true;
};
std::string bytes(const plugin_swid_map *m) { return std::string(reinterpret_cast<const char *>(m), plugin_swid_map_size(m)); }
class AllocSweepTest : public pit::SandboxTest {};

TEST_F(AllocSweepTest, EveryAllocatingOperationFailsCleanly) {
    srg_record *rec = nullptr, *got = nullptr;
    ASSERT_EQ(plugin_clone_srg(kSro.c_str(), &rec), 0u);  // plug-a.1: depends on base, lib-x.2
    std::string base = pit::record_bytes("base", std::nullopt), libx = pit::record_bytes("lib-x.2", {{"base"}}), image, err;
    srg_record *recs[3] = {rec, reinterpret_cast<srg_record *>(base.data()), reinterpret_cast<srg_record *>(libx.data())};
    plugin_swid_map *map = nullptr, *before = nullptr;
    plugin_strings *names = nullptr;
    int32_t *plugins = nullptr;
    uint32_t order[3], row0[3] = {0, 1, 0}, row1[3] = {}, *matrix[3] = {row0, row1, row1}, stage[4] = {1, 2, 3, 4}, back[4];
    pit::Snapshot tree;
    auto fresh_map = [&] { plugin_swid_map_free(map), map = plugin_swid_map_alloc(1, 8), plugin_swid_map_append(&map, "base"), before = map, image = bytes(map); };
    auto sentinels = [&] { std::fill(order, order + 3, 77); };
    auto order_check = [&](std::vector<uint32_t> want) {
        return [&, want](uint32_t rc) {
            EXPECT_EQ(std::vector<uint32_t>(order, order + 3), rc ? std::vector<uint32_t>(3, 77) : want);
            // A failure before the records are listed writes nothing (debug off); the sort's own comes after them.
            EXPECT_TRUE(!rc || err.empty() || err.ends_with("2 lib-x.2 depends on: base \n")) << err;
        };
    };
    auto extracted = [&] {
        pit::sh("rm -rf /velm/plugin/1 /usr/bin/hello /etc/plug.conf; mkdir -p /velm/plugin/1; tar -xvzf " + kImg + " -C /velm/plugin/1 > /velm/1.log");
    };
    auto record_check = [&](uint32_t rc) {  // *record null after an allocation or the clone failed, else untouched
        EXPECT_EQ(rc ? got : nullptr, !rc || rc == kNomem || (rc >> 16) == 0x5E60 ? nullptr : untouched<srg_record>());
        EXPECT_STREQ(rc ? "plug-a.1" : srg_sw_id_get(got), "plug-a.1");
        if (!rc) std::free(got);
    };
    setenv("PLUGIN_MAX_ALLOWED_ZELL", "2", 1), umask(022), pit::mkdirs("/velm/plugin_extract_log");
    pit::write_file("/tmp/img.conf", "# images\nsys-a.img\n\nplug-b.img\n");
    std::vector<Row> rows = {
        {"swid map alloc", [] {}, [&] { return (map = plugin_swid_map_alloc(8, 128)) ? 0 : kNomem; }, {kNomem}, [&](uint32_t) { plugin_swid_map_free(map), map = nullptr; }},
        {"swid map growing append", fresh_map, [&] { return plugin_swid_map_append(&map, "plug-a.1") == 1 ? 0 : kNomem; }, {kNomem},
         [&](uint32_t rc) {  // on a failure *map and its bytes are unchanged
             EXPECT_EQ(map == before, rc != 0);
             EXPECT_EQ(rc ? bytes(map) : plugin_swid_map_get_swid(map, 1), rc ? image : "plug-a.1");
         }},
        {"swid map write", [&] { fresh_map(), unlink("/tmp/map"); }, [&] { return plugin_write_swid_map("/tmp/map", map); },
         {PLUGIN_ERR_OPEN, PLUGIN_ERR_WRITE}, [&](uint32_t rc) { EXPECT_TRUE(rc || read_file("/tmp/map") == image); }},
        {"swid map read", [&] { plugin_swid_map_free(map), map = untouched<plugin_swid_map>(); },
         [&] { return plugin_read_swid_map("/tmp/map", &map); }, {kNomem, PLUGIN_ERR_OPEN, PLUGIN_ERR_READ},
         [&](uint32_t rc) { EXPECT_TRUE(err.empty() && (rc ? map == nullptr : bytes(map) == image)) << err; }},
        {"topological order", sentinels, [&] { return plugin_topological_order_get(3, matrix, order); }, {kNomem}, order_check({1, 0, 2})},
        {"load order", sentinels, [&] { return plugin_find_load_order(3, recs, order); }, {PLUGIN_ERR_FAILED, kNomem}, order_check({1, 2, 0})},
        {"unload order", sentinels, [&] { return plugin_find_unload_order(3, recs, order); }, {PLUGIN_ERR_FAILED, kNomem}, order_check({0, 2, 1})},
        {"rmdir", [] { pit::mkdirs("/tmp/gone"); }, [] { return plugin_rmdir("/tmp/gone"); }, {kNomem},
         [](uint32_t rc) { EXPECT_EQ(exists("/tmp/gone"), rc != 0); }},
        {"record clone", [&] { got = untouched<srg_record>(); }, [&] { return plugin_clone_srg(kSro.c_str(), &got); },
         {kNomem, PLUGIN_ERR_SRG_EMPTY, SRG_ERR_NOMEM, SRG_ERR_OPEN, SRG_ERR_READ}, record_check},
        {"record extract", [&] { got = untouched<srg_record>(); }, [&] { return plugin_extract_srg(kImg.c_str(), &got); },
         {kNomem, PLUGIN_ERR_IMG_OPEN, IMG_ERR_NOMEM, IMG_ERR_OPEN, IMG_ERR_WRITE, PLUGIN_ERR_SRG_EMPTY, SRG_ERR_NOMEM, SRG_ERR_OPEN, SRG_ERR_READ},
         record_check},
        {"record save", [] { pit::sh("rm -rf /velm/plugin /velm/plugin_srg; mkdir -p /velm/plugin/3 /velm/plugin_srg"); },
         [&] { return plugin_save_sro(3, rec); }, {},
         [](uint32_t) { EXPECT_EQ(pit::link_target("/velm/plugin_srg/plugin-plug-a.1.sro"), "/velm/plugin/3/plugin.sro"); }, false},
        {"record cleanup", [&] { pit::captured([&] { return plugin_save_sro(3, rec); }, nullptr, nullptr); }, [] { return plugin_cleanup_sro(3); },
         {kNomem}, [](uint32_t rc) { EXPECT_EQ(exists("/velm/plugin/3/plugin.sro"), rc != 0); }},
        {"image extraction", [] { pit::sh("rm -rf /velm/plugin/1 /velm/1.log; mkdir -p /velm/plugin/1"); },
         [] { return plugin_extract_image(kImg.c_str(), "/velm/plugin/1", "/velm/1.log"); }, {kNomem, PLUGIN_ERR_IMG_OPEN, PLUGIN_ERR_EXTRACT},
         [](uint32_t rc) { EXPECT_EQ(read_file("/velm/plugin/1/usr/bin/hello"), rc ? "" : "hello from the build host\n"); }},
        {"newer-fs overlay", [] { pit::set_cmdline("use_newer_fs=yes\n"), pit::sh("mkdir -p /bootflash/plug-a.img-newer-fs && echo ./ > /velm/1.log"); },
         [] { return plugin_do_newer_fs(kImg.c_str(), "/velm/1.log", "/velm/plugin/1"), 0u; }, {},
         [](uint32_t) { EXPECT_FALSE(exists("/velm/1.log-newer-fs")); }},
        {"system image member", [] { pit::sh("mkdir -p /var/sysmgr/ftp/img-sync; cp " + kImg + " /var/sysmgr/ftp/img-sync/curr-velm.img; rm -f /etc/plug.conf"); },
         [] { return plugin_extract_plugin_from_velm_image("/etc/plug.conf", "/tmp/velm.log"); }, {kNomem, PLUGIN_ERR_IMG_OPEN, PLUGIN_ERR_EXTRACT},
         [](uint32_t rc) { EXPECT_EQ(read_file("/etc/plug.conf"), rc ? "" : "x=1\n"); }},
        {"link", [&] { extracted(), tree = pit::snapshot({"/usr/bin", "/etc"}); },
         [] { return plugin_link_to_exec_path("/velm/1.log", nullptr, "/velm/plugin/1"); }, {kNomem, PLUGIN_ERR_OPEN}, [&](uint32_t rc) {
             EXPECT_EQ(pit::current_umask(), 022u);  // the root tree as before a failure
             EXPECT_TRUE(rc ? pit::snapshot({"/usr/bin", "/etc"}) == tree : read_file("/usr/bin/hello") == "hello from the build host\n");
         }},
        {"unlink", [&] { extracted(), pit::captured([] { return plugin_link_to_exec_path("/velm/1.log", nullptr, "/velm/plugin/1"); }, &err, &err); },
         [] { return plugin_unlink_from_exec_path("/velm/1.log", nullptr, "/velm/plugin/1"); }, {kNomem, PLUGIN_ERR_OPEN},
         [](uint32_t rc) { EXPECT_EQ(exists("/usr/bin/hello"), rc != 0); }},
        {"exclusion check", [&] { names = plugin_strings_malloc(1, 8), plugin_strings_append(names, "/etc"); },
         [&] { return plugin_file_is_excluded_from_exec_path("/etc/x", names) == 1 ? 0u : 1u; }, {}, [&](uint32_t) { plugin_strings_free(names); }, false},
        {"command line key", [] {}, [] { return plugin_get_cmdline("use_newer_fs") ? 0u : 1u; }, {}, [](uint32_t) {}, false},
        {"plugin list", [&] { plugins = untouched<int32_t>(); }, [&] { return plugin_from_cmdline("3,4+5", &plugins, 1) == 3 ? 0 : kNomem; }, {kNomem},
         [&](uint32_t rc) {
             EXPECT_TRUE(rc ? plugins == nullptr && err.find("plugin_from_cmdline: malloc 20 bytes failed\n") != err.npos : plugins[2] == 5) << err;
             std::free(rc ? nullptr : plugins);
         }},
        {"configuration names", [&] { names = untouched<plugin_strings>(); }, [&] { return plugin_get_names_from_conf("/tmp/img.conf", &names); },
         {kNomem, PLUGIN_ICF_ERR_NOMEM, PLUGIN_ICF_ERR_OPEN}, [&](uint32_t rc) {
             EXPECT_STREQ(rc ? (names ? "set" : "plug-b.img") : plugin_strings_get(names, 1), "plug-b.img");
             if (!rc) plugin_strings_free(names);
             EXPECT_TRUE(rc != kNomem || err == "plugin_get_names_from_conf: strings malloc failed. Number of strings (2), size(21)\n") << err;
         }},
        {"stage-boot write", [] { unlink("/velm/plugin_extract_log/stage_boot"); }, [&] { return plugin_write_remaining_load(stage, 16); },
         {PLUGIN_ERR_OPEN}, [](uint32_t rc) { EXPECT_EQ(read_file("/velm/plugin_extract_log/stage_boot").size(), rc ? 0u : 16u); }},
        {"stage-boot read", [&] { std::fill(back, back + 4, 0xee); }, [&] { return plugin_read_remaining_load(back, 16); }, {PLUGIN_ERR_OPEN},
         [&](uint32_t rc) { EXPECT_EQ(back[1], rc ? 0xeeu : 2u); }},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        long n = 1;
        for (bool hit = true; hit; ++n) {
            row.setup();
            int fds = pit::open_fds();
            pit::Capture cap;
            pit::faults::fail_nth(n);
            uint32_t rc = row.call();
            hit = pit::faults::fired();
            pit::faults::disarm();
            cap.stop();
            err = cap.err();
            SCOPED_TRACE("failing allocation " + std::to_string(n) + ", rc " + std::to_string(rc));
            EXPECT_TRUE(pit::open_fds() == fds && (rc == 0 || (hit && std::count(row.codes.begin(), row.codes.end(), rc)))) << err;
            row.check(rc);
        }
        EXPECT_EQ(n > 2, row.allocates) << "allocations failed: " << n - 2;
    }
    std::free(rec);
    plugin_swid_map_free(map);
}

}  // namespace
