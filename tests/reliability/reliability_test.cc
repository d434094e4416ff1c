// Failures as tables: each allocation of every operation that allocates failing in turn; a full
// device; refused arguments.  Each row gives its documented result, line and state.
#include <functional>
#include <map>

#include "platform/srg_bytes.h"
#include "tests/support/fixture.h"

namespace {

const std::string kImg = PI_FIXTURES "/plug-a.img", kSro = PI_FIXTURES "/plug-a.sro";
void *const kKept = reinterpret_cast<void *>(0x77);  // an out-parameter before the call

std::string bytes(const plugin_swid_map *m) {
    return std::string(reinterpret_cast<const char *>(m), plugin_swid_map_size(m));
}
// An out-parameter after the call: "kept", "null", or what it points to.
std::string shown(const void *p, const std::function<std::string()> &what) {
    if (p == kKept) return "kept";
    return p ? what() : "null";
}
std::string join(const uint32_t *v, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += std::to_string(v[i]) + (i + 1 < n ? " " : "");
    return s;
}
int64_t is(const void *p) { return p != nullptr; }

class ReliabilityTest : public test_support::SandboxTest {
protected:
    srg_record *rec_ = nullptr;  // plug-a.1: depends on base and lib-x.2
    std::string base_ = srg_format::record_bytes("base", std::nullopt);
    std::string libx_ = srg_format::record_bytes("lib-x.2", {{"base"}});
    srg_record *recs_[3] = {};
    plugin_swid_map *map_ = nullptr;
    std::string image_;  // map_'s bytes as made
    void *out_ = kKept;  // the out-parameter of a call
    uint32_t order_[3] = {};
    std::string err_;

    void SetUp() override {
        test_support::SandboxTest::SetUp();
        setenv("PLUGIN_MAX_ALLOWED_ZELL", "2", 1);
        ::umask(022);
        ASSERT_TRUE(test_support::sh("mkdir -p /velm/plugin/1 /velm/plugin/3 /velm/plugin_srg"));
        ASSERT_EQ(plugin_clone_srg(kSro.c_str(), &rec_), PLUGIN_OK);
        recs_[0] = rec_;
        recs_[1] = reinterpret_cast<srg_record *>(base_.data());
        recs_[2] = reinterpret_cast<srg_record *>(libx_.data());
        fresh_map();
    }
    void TearDown() override {
        std::free(rec_);
        plugin_swid_map_free(map_);
        test_support::SandboxTest::TearDown();
    }
    void fresh_map() {
        plugin_swid_map_free(map_);
        map_ = plugin_swid_map_alloc(1, 8);
        plugin_swid_map_append(&map_, "base");
        image_ = bytes(map_);
    }
    template <typename T>
    T **out() {
        return reinterpret_cast<T **>(&out_);
    }
};

using States = std::map<uint32_t, std::string>;

// setup runs before the failure is armed; state: what the caller sees after the call; done: the
// state after a success; failures: each result allowed under a failing allocation and its state.
struct SweepRow {
    const char *name;
    std::function<void()> setup;
    std::function<uint32_t()> call;
    std::function<std::string()> state;
    std::string done;
    States failures;
    void (*free_out)(void *) = std::free;  // frees what the call handed out
    uint32_t first_only = ~0u;             // a result that only the first allocation failing gives
};

class AllocSweepTest : public ReliabilityTest {
protected:
    test_support::Snapshot tree_;
    void sweep(const SweepRow &row);
    // Frees what the last call handed out; the out-parameter is kKept again.
    void release(void (*free_fn)(void *)) {
        if (out_ != kKept && free_fn) free_fn(out_);
        out_ = kKept;
    }
    // The line of stderr that tells of the failure, or "".
    std::string failed_line() {
        for (const std::string &line : test_support::lines(err_))
            if (line.find("failed") != line.npos) return line;
        return "";
    }
    void extracted() {
        test_support::sh(
            "rm -rf /velm/plugin/1 /usr/bin/hello /etc/plug.conf; mkdir -p /velm/plugin/1");
        test_support::sh("tar -xvzf " + kImg + " -C /velm/plugin/1 > /velm/1.log");
    }
};

void AllocSweepTest::sweep(const SweepRow &row) {
    SCOPED_TRACE(row.name);
    long n = 1;  // the allocation that fails
    for (bool hit = true; hit; ++n) {
        release(row.free_out);
        row.setup();
        const int fds = test_support::open_fds();
        test_support::Capture cap;
        test_support::faults::fail_nth(n);
        const uint32_t rc = row.call();
        hit = test_support::faults::fired();
        test_support::faults::disarm();
        cap.stop();
        err_ = cap.err();
        SCOPED_TRACE("failing allocation " + std::to_string(n) + ": " + err_);
        EXPECT_EQ(test_support::open_fds(), fds);
        EXPECT_EQ(test_support::current_umask(), 022u);
        // A failed allocation that a call reports as success leaves its done state, or (a call
        // without result) the state listed for PLUGIN_OK.
        const std::string state = row.state();
        if (rc == PLUGIN_OK && !hit) {
            EXPECT_EQ(state, row.done);
            continue;
        }
        if (rc == PLUGIN_OK && state == row.done) continue;
        EXPECT_TRUE(hit);
        EXPECT_TRUE(rc != row.first_only || n == 1) << "only the first allocation gives " << rc;
        ASSERT_EQ(row.failures.count(rc), 1u) << std::hex << rc;
        EXPECT_EQ(state, row.failures.at(rc));
    }
    EXPECT_GT(n, 2) << "no allocation failed";
    release(row.free_out);
}

TEST_F(AllocSweepTest, EveryAllocatingOperationFailsCleanly) {
    const uint32_t kNomem = PLUGIN_ERR_NOMEM;
    auto free_map = [](void *p) { plugin_swid_map_free(static_cast<plugin_swid_map *>(p)); };
    auto free_set = [](void *p) { plugin_strings_free(static_cast<plugin_strings *>(p)); };
    auto map_state = [&] {
        auto *map = reinterpret_cast<plugin_swid_map *>(out_);
        auto read = [&] { return bytes(map) == image_ ? "read" : "other"; };
        return shown(out_, read) + (err_.empty() ? "" : " lines");
    };
    // A failure writes the dependency listing whole or not at all (debug off).
    auto order_state = [&] {
        const bool listed = err_.empty() || err_.ends_with("2 lib-x.2 depends on: base \n");
        return join(order_, 3) + (listed ? "" : " other lines");
    };
    auto sentinels = [&] { std::fill(order_, order_ + 3, 77); };
    auto link = [] { return plugin_link_to_exec_path("/velm/1.log", nullptr, "/velm/plugin/1"); };
    auto names_state = [&] {
        auto *set = reinterpret_cast<plugin_strings *>(out_);
        return shown(out_, [&] { return std::string(plugin_strings_get(set, 1)); });
    };
    const std::string names_nomem =
        "plugin_get_names_from_conf: strings malloc failed. Number of strings (2), size(21)";
    const std::string icf_failed =
        "plugin_get_names_from_conf: open /tmp/img.conf failed. (rc = 0x1c0f000";
    test_support::write_file("/tmp/img.conf", "# images\nsys-a.img\n\nplug-b.img\n");
    const SweepRow rows[] = {
        {"swid map write", [] { unlink("/tmp/map"); },
         [&] { return plugin_write_swid_map("/tmp/map", map_); },
         [&] { return test_support::read_file("/tmp/map") == image_ ? "written" : "not written"; },
         "written", States{{PLUGIN_ERR_OPEN, "not written"}, {PLUGIN_ERR_WRITE, "not written"}}},
        {"swid map read", [&] { plugin_write_swid_map("/tmp/map", map_); },
         [&] { return plugin_read_swid_map("/tmp/map", out<plugin_swid_map>()); }, map_state,
         "read", States{{kNomem, "null"}, {PLUGIN_ERR_OPEN, "null"}, {PLUGIN_ERR_READ, "null"}},
         free_map},
        // Last of the map's rows: it leaves map_ grown.  Through plugin_swid_map_alloc.
        {"swid map growing append", [&] { fresh_map(); },
         [&] { return plugin_swid_map_append(&map_, "plug-a.1") == 1 ? PLUGIN_OK : kNomem; },
         [&] { return bytes(map_) == image_ ? "as made" : plugin_swid_map_get_swid(map_, 1); },
         "plug-a.1", States{{kNomem, "as made"}}},
        // Through the topological order; the unload order adds no allocation.
        {"load order", sentinels, [&] { return plugin_find_load_order(3, recs_, order_); },
         order_state, "1 2 0", States{{PLUGIN_ERR_FAILED, "77 77 77"}, {kNomem, "77 77 77"}},
         std::free, PLUGIN_ERR_FAILED},
        // Through the record clone.
        {"record extract", [] {},
         [&] { return plugin_extract_srg(kImg.c_str(), out<srg_record>()); },
         [&] {
             auto *rec = reinterpret_cast<srg_record *>(out_);
             return shown(out_, [&] { return std::string(srg_sw_id_get(rec)); });
         },
         "plug-a.1",
         States{{kNomem, "null"},
                {PLUGIN_ERR_IMG_OPEN, "kept"},
                {IMG_ERR_NOMEM, "kept"},
                {IMG_ERR_OPEN, "kept"},
                {IMG_ERR_WRITE, "kept"},
                {PLUGIN_ERR_SRG_EMPTY, "kept"},
                {SRG_ERR_NOMEM, "null"},
                {SRG_ERR_OPEN, "null"},
                {SRG_ERR_READ, "null"}}},
        // Through plugin_rmdir.
        {"record cleanup",
         [&] {
             test_support::captured([&] { return plugin_save_sro(3, rec_); }, nullptr, nullptr);
         },
         [] { return plugin_cleanup_sro(3); },
         [] { return test_support::exists("/velm/plugin/3/plugin.sro") ? "stored" : "removed"; },
         "removed", States{{kNomem, "stored"}}},
        // Its command buffer is the one a system-image member's extraction allocates too.
        {"image extraction", [] { test_support::sh("rm -rf /velm/plugin/1/* /velm/1.log"); },
         [] { return plugin_extract_image(kImg.c_str(), "/velm/plugin/1", "/velm/1.log"); },
         [] { return test_support::read_file("/velm/plugin/1/usr/bin/hello"); },
         "hello from the build host\n",
         States{{kNomem, ""}, {PLUGIN_ERR_IMG_OPEN, ""}, {PLUGIN_ERR_EXTRACT, ""}}},
        {"newer-fs overlay",
         [] {
             sandbox::set_cmdline("use_newer_fs=yes\n");
             test_support::sh("rm -f /velm/plugin/1/new; mkdir -p /bootflash/plug-a.img-newer-fs");
             test_support::write_file("/bootflash/plug-a.img-newer-fs/new", "n\n");
             test_support::write_file("/velm/1.log", "./\n");
         },
         [] {
             plugin_do_newer_fs(kImg.c_str(), "/velm/1.log", "/velm/plugin/1");
             return PLUGIN_OK;
         },
         [] {
             std::string s =
                 test_support::exists("/velm/1.log-newer-fs") ? "list left" : "list gone";
             const bool laid = test_support::read_file("/velm/1.log") == "./\nnew\n";
             return s + (laid && test_support::exists("/velm/plugin/1/new") ? ", laid over" : "");
         },
         "list gone, laid over", States{{PLUGIN_OK, "list gone"}}},
        {"link",
         [&] {
             extracted();
             tree_ = test_support::snapshot({"/usr/bin", "/etc"});
         },
         link,
         [&] {
             if (test_support::snapshot({"/usr/bin", "/etc"}) == tree_)
                 return std::string("as before");
             return test_support::read_file("/usr/bin/hello");
         },
         "hello from the build host\n",
         States{{kNomem, "as before"}, {PLUGIN_ERR_OPEN, "as before"}}},
        {"unlink",
         [&] {
             extracted();
             test_support::captured(link, nullptr, nullptr);
         },
         [] { return plugin_unlink_from_exec_path("/velm/1.log", nullptr, "/velm/plugin/1"); },
         [] { return test_support::exists("/usr/bin/hello") ? "linked" : "unlinked"; }, "unlinked",
         States{{kNomem, "linked"}, {PLUGIN_ERR_OPEN, "linked"}}},
        {"plugin list", [] {},
         [&] { return plugin_from_cmdline("3,4+5", out<int32_t>(), 1) == 3 ? 0 : kNomem; },
         [&] {
             auto *list = reinterpret_cast<uint32_t *>(out_);
             return shown(out_, [&] { return join(list, 3); }) + " " + failed_line();
         },
         "3 4 5 ", States{{kNomem, "null plugin_from_cmdline: malloc 20 bytes failed"}}},
        {"configuration names", [] {},
         [&] { return plugin_get_names_from_conf("/tmp/img.conf", out<plugin_strings>()); },
         [&] { return names_state() + " " + failed_line(); }, "plug-b.img ",
         States{{kNomem, "null " + names_nomem},
                {PLUGIN_ICF_ERR_NOMEM, "null " + icf_failed + "3)"},
                {PLUGIN_ICF_ERR_OPEN, "null " + icf_failed + "2)"}},
         free_set},
    };
    for (const SweepRow &row : rows) sweep(row);
}

// A full device: the write fails as a short write, and the file keeps what it held.
TEST_F(ReliabilityTest, SwidMapWriteToAFullDevice) {
    ASSERT_TRUE(test_support::write_file("/tmp/map", "old\n"));
    ASSERT_TRUE(sandbox::bind("/dev/full", "/tmp/map"));
    std::string err;
    auto write = [&] { return plugin_write_swid_map("/tmp/map", map_); };
    EXPECT_EQ(test_support::captured(write, nullptr, &err), PLUGIN_ERR_WRITE);
    ASSERT_TRUE(sandbox::unbind("/tmp/map"));
    EXPECT_EQ(err, "plugin_write_swid_map: corrupted swid_map_\n");
    EXPECT_EQ(test_support::read_file("/tmp/map"), "old\n");
}

// The call, its result and its exact stderr text; out: the out-parameter afterwards.
struct ArgRow {
    std::function<int64_t()> run;
    int64_t want;
    std::string err = "", out = "kept";
};

class RefusedArgsTest : public ReliabilityTest {};

TEST_F(RefusedArgsTest, GiveTheDocumentedResultAndLine) {
    const int64_t kInval = PLUGIN_ERR_INVALID_ARG, kFailed = PLUGIN_ERR_FAILED;
    const std::string gc = "plugin_get_cmdline: ";
    // Linking asks the command line for "pdebug" before it looks at its arguments.
    const std::string pdebug = gc + "Expected cmdline: pdebug\n" + gc +
                               "File read ====> console=ttyS0 quiet\n\n" + gc +
                               "Read === > console=ttyS0 quiet\n" + gc + "can't find pdebug\n";
    const std::string orders = "plugin_find_load_order(): num_img=";
    test_support::write_file("/tmp/rec", "x");
    srg_record *none = nullptr;
    plugin_swid_map *no_map = nullptr;
    // Where one test refuses two null arguments, one row stands for both.
    const ArgRow rows[] = {
        {[] { return plugin_rmdir(nullptr); }, kInval},
        {[] { return is(plugin_swid_map_alloc(1, 0x7ffffff0u)); }, 0},
        {[] { return plugin_swid_map_integrity_ok(nullptr); }, 0},
        {[] { return plugin_swid_map_size(nullptr); }, -1},
        {[&] { return plugin_swid_map_append(&no_map, "a"); }, -1},
        {[&] { return plugin_swid_map_append(&map_, nullptr); }, -1},
        {[] { return plugin_swid_map_next_avail(nullptr); }, -1},
        {[] { return plugin_swid_map_get_id(nullptr, "a"); }, -1},
        {[] { return is(plugin_swid_map_get_swid(nullptr, 0)); }, 0},
        {[&] { return is(plugin_swid_map_get_swid(map_, 1)); }, 0},
        {[&] { return plugin_read_swid_map(nullptr, out<plugin_swid_map>()); }, kInval},
        {[] { return plugin_write_swid_map("/tmp/m", nullptr); }, kInval},
        {[&] { return plugin_topological_order_get(0, nullptr, order_); }, 0},
        {[&] { return plugin_find_load_order(0, &none, order_); }, kFailed, orders + "0\n"},
        {[&] { return plugin_find_unload_order(1, &none, nullptr); }, kFailed, orders + "1\n"},
        {[] { return plugin_extract_image(nullptr, "/tmp", nullptr); }, PLUGIN_ERR_IMG_OPEN},
        {[] { return plugin_extract_image("/tmp/rec", nullptr, nullptr); }, PLUGIN_ERR_EXTRACT},
        {[] {
             plugin_do_newer_fs(nullptr, "/tmp/l", "/tmp");
             return int64_t{test_support::exists("/tmp/l")};
         },
         0},
        {[] { return plugin_extract_plugin_from_velm_image(nullptr, nullptr); },
         PLUGIN_ERR_EXTRACT},
        {[&] { return plugin_clone_srg(nullptr, out<srg_record>()); }, kInval},
        {[&] { return plugin_extract_srg(nullptr, out<srg_record>()); }, kInval},
        {[] { return plugin_save_sro(4, nullptr); }, kFailed,
         "plugin_save_sro id 4 swid !(null)!\nplugin_save_sro: get swid failed for plugin_id 4\n"},
        {[] { return plugin_link_to_exec_path("/tmp/rec", nullptr, nullptr); }, kInval, pdebug},
        {[] { return plugin_unlink_from_exec_path(nullptr, nullptr, "/velm"); }, kInval},
        {[] { return plugin_file_is_excluded_from_exec_path("/etc", nullptr); }, 0},
        {[] { return is(plugin_get_cmdline(nullptr)); }, 0, "Null cmdline parameter\n"},
        {[] { return plugin_from_cmdline("1", nullptr, 1); }, 0},
        {[&] { return plugin_from_cmdline(nullptr, out<int32_t>(), 1); }, 0,
         "plugin_from_cmdline: No cmdline\n", "null"},
        {[&] { return plugin_get_names_from_conf(nullptr, out<plugin_strings>()); }, kInval, "",
         "null"},
        {[] { return plugin_get_names_from_conf("/tmp/rec", nullptr); }, kInval},
        {[] { return plugin_read_remaining_load(nullptr, 16); }, kInval,
         "plugin_read_remaining_load: boot_status= 0 size= 16 len= 16\n"},
    };
    plugin_intn_debug_on();  // a refused call writes no debug line either, unless documented
    for (const ArgRow &row : rows) {
        SCOPED_TRACE("row " + std::to_string(&row - rows));
        out_ = kKept;
        std::string err;
        EXPECT_EQ(test_support::captured(row.run, nullptr, &err), row.want);
        EXPECT_EQ(err, row.err);
        EXPECT_EQ(shown(out_, [] { return "set"; }), row.out);
    }
    EXPECT_EQ(no_map, nullptr);
}

}  // namespace
