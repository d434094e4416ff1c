// Allocation failures: for every operation that allocates, and for each n until a run in which
// nothing failed, the n-th allocation of the call fails.  Each run must give success or one of the
// row's codes, pass the row's postcondition, and leave no descriptor open (leaks: ASan, valgrind).
#include <cstring>
#include <functional>
#include <vector>

#include "platform/srg_bytes.h"
#include "tests/support/fixture.h"

namespace {

using pit::exists;
using pit::read_file;
using pit::sh;
const std::string kFix = PI_FIXTURES, kImg = kFix + "/plug-a.img", kSro = kFix + "/plug-a.sro";
const uint32_t kNomem = PLUGIN_ERR_NOMEM;
void *const kUntouched = reinterpret_cast<void *>(0x5a5a);
template <typename T> T *untouched() { return static_cast<T *>(kUntouched); }

struct Row {
    const char *name;
    std::function<void()> setup;                                // runs before the failure is armed
    std::function<uint32_t()> call;                             // 0: success
    std::vector<uint32_t> codes;                                // failures the row accepts
    std::function<void(uint32_t rc, const std::string &err)> post;  // after every run
    bool allocates = true;
};

std::string bytes(const plugin_swid_map *m) { return std::string(reinterpret_cast<const char *>(m), plugin_swid_map_size(m)); }

class AllocSweepTest : public pit::SandboxTest {};

TEST_F(AllocSweepTest, EveryAllocatingOperationFailsCleanly) {
    srg_record *rec = nullptr;
    ASSERT_EQ(plugin_clone_srg(kSro.c_str(), &rec), 0u);  // plug-a.1: depends on base, lib-x.2
    std::string base = pit::record_bytes("base", std::nullopt), libx = pit::record_bytes("lib-x.2", {{"base"}});
    srg_record *recs[3] = {rec, reinterpret_cast<srg_record *>(base.data()), reinterpret_cast<srg_record *>(libx.data())};
    plugin_swid_map *map = nullptr, *before = nullptr;
    std::string image;
    srg_record *got = nullptr;
    plugin_strings *names = nullptr;
    int32_t *plugins = nullptr;
    uint32_t order[3], row0[3] = {0, 1, 0}, row1[3] = {}, row2[3] = {}, *matrix[3] = {row0, row1, row2};
    uint32_t stage[8] = {1, 2, 3, 4, 5, 6, 7, 8}, stage_got[8];
    pit::Snapshot tree;
    auto fresh_map = [&] {
        plugin_swid_map_free(map);
        map = plugin_swid_map_alloc(1, 8);
        ASSERT_EQ(plugin_swid_map_append(&map, "base"), 0);
        before = map, image = bytes(map);
    };
    auto order_post = [&](std::vector<uint32_t> want) {
        return [&, want](uint32_t rc, const std::string &err) {
            EXPECT_EQ(std::vector<uint32_t>(order, order + 3), rc ? std::vector<uint32_t>(3, 77) : want);
            // A failure before the records are listed writes nothing (debug off); the sort's own after them.
            if (rc) { EXPECT_TRUE(err.empty() || err.ends_with("2 lib-x.2 depends on: base \n")) << err; }
        };
    };
    auto extracted = [&] {
        sh("rm -rf /velm/plugin/1 /usr/bin/hello /etc/plug.conf && mkdir -p /velm/plugin/1 /usr/bin && tar -xvzf " +
           kImg + " -C /velm/plugin/1 > /velm/1.log");
    };
    auto linked = [&] { extracted(), pit::captured([] { return plugin_link_to_exec_path("/velm/1.log", nullptr, "/velm/plugin/1"); }, nullptr, nullptr); };
    auto record_post = [&](uint32_t rc, const std::string &) {
        // *record is null after an allocation or a clone failed, untouched after the earlier steps.
        if (rc) {
            EXPECT_EQ(got, rc == kNomem || (rc >> 16) == 0x5E60 ? nullptr : untouched<srg_record>());
            return;
        }
        EXPECT_STREQ(srg_sw_id_get(got), "plug-a.1");
        std::free(got);
    };
    setenv("PLUGIN_MAX_ALLOWED_ZELL", "2", 1);
    umask(022);
    pit::mkdirs("/velm/plugin_extract_log");
    ASSERT_TRUE(pit::write_file("/tmp/img.conf", "# images\nsys-a.img\n\nplug-b.img\n"));
    std::vector<Row> rows = {
        {"swid map alloc", [] {}, [&] { return (map = plugin_swid_map_alloc(8, 128)) ? 0 : kNomem; }, {kNomem},
         [&](uint32_t, const std::string &) { plugin_swid_map_free(map), map = nullptr; }},
        {"swid map growing append", fresh_map, [&] { return plugin_swid_map_append(&map, "plug-a.1") == 1 ? 0 : kNomem; }, {kNomem},
         [&](uint32_t rc, const std::string &) {
             EXPECT_EQ(map == before, rc != 0);  // on a failure *map and its bytes unchanged
             EXPECT_EQ(rc ? bytes(map) : plugin_swid_map_get_swid(map, 1), rc ? image : "plug-a.1");
         }},
        {"swid map write", [&] { fresh_map(), ::unlink("/tmp/map"); }, [&] { return plugin_write_swid_map("/tmp/map", map); },
         {PLUGIN_ERR_OPEN, PLUGIN_ERR_WRITE}, [&](uint32_t rc, const std::string &) { EXPECT_EQ(read_file("/tmp/map"), rc ? read_file("/tmp/map") : image); }},
        {"swid map read", [&] { plugin_swid_map_free(map), map = untouched<plugin_swid_map>(); },
         [&] { return plugin_read_swid_map("/tmp/map", &map); }, {kNomem, PLUGIN_ERR_OPEN, PLUGIN_ERR_READ},
         [&](uint32_t rc, const std::string &err) {
             EXPECT_EQ(err, "");
             EXPECT_EQ(rc ? map == nullptr : bytes(map) == image, true);
         }},
        {"topological order", [&] { std::fill(order, order + 3, 77); }, [&] { return plugin_topological_order_get(3, matrix, order); },
         {kNomem}, order_post({1, 0, 2})},
        {"load order", [&] { std::fill(order, order + 3, 77); }, [&] { return plugin_find_load_order(3, recs, order); },
         {PLUGIN_ERR_FAILED, kNomem}, order_post({1, 2, 0})},
        {"unload order", [&] { std::fill(order, order + 3, 77); }, [&] { return plugin_find_unload_order(3, recs, order); },
         {PLUGIN_ERR_FAILED, kNomem}, order_post({0, 2, 1})},
        {"rmdir", [] { pit::mkdirs("/tmp/gone"); }, [] { return plugin_rmdir("/tmp/gone"); }, {kNomem},
         [](uint32_t rc, const std::string &) { EXPECT_EQ(exists("/tmp/gone"), rc != 0); }},
        {"record clone", [&] { got = untouched<srg_record>(); }, [&] { return plugin_clone_srg(kSro.c_str(), &got); },
         {kNomem, PLUGIN_ERR_SRG_EMPTY, SRG_ERR_NOMEM, SRG_ERR_OPEN, SRG_ERR_READ}, record_post},
        {"record extract", [&] { got = untouched<srg_record>(); }, [&] { return plugin_extract_srg(kImg.c_str(), &got); },
         {kNomem, PLUGIN_ERR_IMG_OPEN, IMG_ERR_NOMEM, IMG_ERR_OPEN, IMG_ERR_WRITE, PLUGIN_ERR_SRG_EMPTY, SRG_ERR_NOMEM,
          SRG_ERR_OPEN, SRG_ERR_READ},
         record_post},
        {"record save", [] { sh("rm -rf /velm/plugin /velm/plugin_srg && mkdir -p /velm/plugin/3 /velm/plugin_srg"); },
         [&] { return plugin_save_sro(3, rec); }, {},
         [](uint32_t, const std::string &) { EXPECT_EQ(pit::link_target("/velm/plugin_srg/plugin-plug-a.1.sro"), "/velm/plugin/3/plugin.sro"); }, false},
        {"record cleanup", [&] { pit::captured([&] { return plugin_save_sro(3, rec); }, nullptr, nullptr); },
         [] { return plugin_cleanup_sro(3); }, {kNomem},
         [](uint32_t rc, const std::string &) { EXPECT_EQ(exists("/velm/plugin/3/plugin.sro"), rc != 0); }},
        {"image extraction", [] { sh("rm -rf /velm/plugin/1 /velm/1.log && mkdir -p /velm/plugin/1"); },
         [] { return plugin_extract_image(kImg.c_str(), "/velm/plugin/1", "/velm/1.log"); },
         {kNomem, PLUGIN_ERR_IMG_OPEN, PLUGIN_ERR_EXTRACT}, [](uint32_t rc, const std::string &) {
             EXPECT_EQ(read_file("/velm/plugin/1/usr/bin/hello"), rc ? "" : "hello from the build host\n");
         }},
        {"newer-fs overlay", [] {
             pit::set_cmdline("use_newer_fs=yes\n");
             sh("rm -rf /velm/plugin/1 && mkdir -p /velm/plugin/1 /bootflash/plug-a.img-newer-fs/usr && echo new > "
                "/bootflash/plug-a.img-newer-fs/usr/new && printf './\\n' > /velm/1.log");
         },
         [] { return plugin_do_newer_fs(kImg.c_str(), "/velm/1.log", "/velm/plugin/1"), 0u; }, {},
         [](uint32_t, const std::string &) { EXPECT_FALSE(exists("/velm/1.log-newer-fs")); }},
        {"system image member", [] {
             sh("mkdir -p /var/sysmgr/ftp/img-sync && cp " + kImg + " /var/sysmgr/ftp/img-sync/curr-velm.img && rm -f /etc/plug.conf");
         },
         [] { return plugin_extract_plugin_from_velm_image("/etc/plug.conf", "/tmp/velm.log"); },
         {kNomem, PLUGIN_ERR_IMG_OPEN, PLUGIN_ERR_EXTRACT},
         [](uint32_t rc, const std::string &) { EXPECT_EQ(read_file("/etc/plug.conf"), rc ? "" : "x=1\n"); }},
        {"link", [&] { extracted(), tree = pit::snapshot({"/usr/bin", "/etc"}); },
         [] { return plugin_link_to_exec_path("/velm/1.log", nullptr, "/velm/plugin/1"); }, {kNomem, PLUGIN_ERR_OPEN},
         [&](uint32_t rc, const std::string &) {
             EXPECT_EQ(pit::current_umask(), 022u);
             EXPECT_EQ(rc ? pit::snapshot({"/usr/bin", "/etc"}) == tree : read_file("/usr/bin/hello") == "hello from the build host\n", true);
         }},
        {"unlink", linked, [] { return plugin_unlink_from_exec_path("/velm/1.log", nullptr, "/velm/plugin/1"); },
         {kNomem, PLUGIN_ERR_OPEN}, [](uint32_t rc, const std::string &) { EXPECT_EQ(exists("/usr/bin/hello"), rc != 0); }},
        {"exclusion check", [&] { names = plugin_strings_malloc(1, 8), plugin_strings_append(names, "/etc"); },
         [&] { return plugin_file_is_excluded_from_exec_path("/etc/x", names) == 1 ? 0u : 1u; }, {},
         [&](uint32_t, const std::string &) { plugin_strings_free(names); }, false},
        {"command line key", [] {}, [] { return plugin_get_cmdline("use_newer_fs") ? 0u : 1u; }, {}, [](uint32_t, const std::string &) {}, false},
        {"plugin list", [&] { plugins = untouched<int32_t>(); }, [&] { return plugin_from_cmdline("3,4+5", &plugins, 1) == 3 ? 0 : kNomem; },
         {kNomem}, [&](uint32_t rc, const std::string &err) {
             EXPECT_EQ(rc ? 0 : plugins[2], rc ? 0 : 5);
             if (!rc) return std::free(plugins);
             EXPECT_EQ(plugins, nullptr);
             EXPECT_NE(err.find("plugin_from_cmdline: malloc 20 bytes failed\n"), std::string::npos) << err;
         }},
        {"configuration names", [&] { names = untouched<plugin_strings>(); }, [&] { return plugin_get_names_from_conf("/tmp/img.conf", &names); },
         {kNomem, PLUGIN_ICF_ERR_NOMEM, PLUGIN_ICF_ERR_OPEN}, [&](uint32_t rc, const std::string &err) {
             EXPECT_STREQ(rc ? "plug-b.img" : plugin_strings_get(names, 1), "plug-b.img");
             if (!rc) return plugin_strings_free(names);
             EXPECT_EQ(names, nullptr);
             if (rc == kNomem) { EXPECT_EQ(err, "plugin_get_names_from_conf: strings malloc failed. Number of strings (2), size(21)\n"); }
         }},
        {"stage-boot write", [] { ::unlink("/velm/plugin_extract_log/stage_boot"); }, [&] { return plugin_write_remaining_load(stage, 16); },
         {PLUGIN_ERR_OPEN}, [](uint32_t rc, const std::string &) { EXPECT_EQ(read_file("/velm/plugin_extract_log/stage_boot").size(), rc ? 0u : 16u); }},
        {"stage-boot read", [&] { std::memset(stage_got, 0xee, sizeof stage_got); }, [&] { return plugin_read_remaining_load(stage_got, 16); },
         {PLUGIN_ERR_OPEN}, [&](uint32_t rc, const std::string &) { EXPECT_EQ(stage_got[1], rc ? 0xeeeeeeeeu : 2u); }},
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
            SCOPED_TRACE("failing allocation " + std::to_string(n) + ", rc " + std::to_string(rc));
            EXPECT_EQ(pit::open_fds(), fds);
            EXPECT_TRUE(rc == 0 || (hit && std::find(row.codes.begin(), row.codes.end(), rc) != row.codes.end())) << cap.err();
            row.post(rc, cap.err());
        }
        EXPECT_EQ(n > 2, row.allocates) << "allocations failed: " << n - 2;
    }
    std::free(rec);
    plugin_swid_map_free(map);
}

}  // namespace
