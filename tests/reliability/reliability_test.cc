// Failures across every exported function, as tables: each allocation of every operation that
// allocates failing in turn; I/O faults (a full device, a read-only tree, no descriptor left, no
// capabilities); refused arguments.  Each row gives its documented result, line and state.
#include <fcntl.h>
#include <sys/resource.h>

#include <functional>
#include <map>

#include "platform/srg_bytes.h"
#include "tests/support/fixture.h"

namespace {

const std::string kFix = PI_FIXTURES;
const std::string kImg = kFix + "/plug-a.img", kSro = kFix + "/plug-a.sro";
const std::string kExtract = "tar -xvzf " + kImg + " -C /velm/plugin/1 > /velm/1.log";
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

class ReliabilityTest : public pit::SandboxTest {
protected:
    srg_record *rec_ = nullptr;  // plug-a.1: depends on base and lib-x.2
    std::string base_ = pit::record_bytes("base", std::nullopt);
    std::string libx_ = pit::record_bytes("lib-x.2", {{"base"}});
    srg_record *recs_[3] = {};
    plugin_swid_map *map_ = nullptr;
    std::string image_;  // map_'s bytes as made
    void *out_ = kKept;  // the out-parameter of a call
    plugin_strings *set_ = nullptr;
    uint32_t order_[3] = {};
    std::string err_;

    void SetUp() override {
        pit::SandboxTest::SetUp();
        setenv("PLUGIN_MAX_ALLOWED_ZELL", "2", 1);
        ::umask(022);
        ASSERT_TRUE(pit::sh("mkdir -p /velm/plugin/1 /velm/plugin/3 /velm/plugin_srg"));
        ASSERT_TRUE(pit::mkdir_p("/velm/plugin_extract_log"));
        ASSERT_EQ(plugin_clone_srg(kSro.c_str(), &rec_), PLUGIN_OK);
        recs_[0] = rec_;
        recs_[1] = reinterpret_cast<srg_record *>(base_.data());
        recs_[2] = reinterpret_cast<srg_record *>(libx_.data());
        fresh_map();
    }
    void TearDown() override {
        std::free(rec_);
        plugin_swid_map_free(map_);
        plugin_strings_free(set_);
        pit::SandboxTest::TearDown();
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
void add(States &) {}
template <typename... Rest>
void add(States &m, uint32_t rc, std::string state, Rest... rest) {
    m[rc] = state;
    add(m, rest...);
}
// Result codes and the state each leaves: fails(rc, state, rc, state...).
template <typename... Pairs>
States fails(Pairs... pairs) {
    States m;
    add(m, pairs...);
    return m;
}

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
    bool allocates = true;
    uint32_t first_only = ~0u;  // a result that only the first allocation failing gives
};

class AllocSweepTest : public ReliabilityTest {
protected:
    uint32_t row0_[3] = {0, 1, 0}, row1_[3] = {}, *matrix_[3] = {row0_, row1_, row1_};
    pit::Snapshot tree_;
    void sweep(const SweepRow &row);
    // Frees what the last call handed out; the out-parameter is kKept again.
    void release(void (*free_fn)(void *)) {
        if (out_ != kKept && free_fn) free_fn(out_);
        out_ = kKept;
    }
    // The line of stderr that tells of the failure, or "".
    std::string failed_line() {
        for (const std::string &line : pit::lines(err_))
            if (line.find("failed") != line.npos) return line;
        return "";
    }
    void extracted() {
        pit::sh("rm -rf /velm/plugin/1 /usr/bin/hello /etc/plug.conf; mkdir -p /velm/plugin/1");
        pit::sh(kExtract);
    }
};

void AllocSweepTest::sweep(const SweepRow &row) {
    SCOPED_TRACE(row.name);
    long n = 1;  // the allocation that fails
    for (bool hit = true; hit; ++n) {
        release(row.free_out);
        row.setup();
        const int fds = pit::open_fds();
        pit::Capture cap;
        pit::faults::fail_nth(n);
        const uint32_t rc = row.call();
        hit = pit::faults::fired();
        pit::faults::disarm();
        cap.stop();
        err_ = cap.err();
        SCOPED_TRACE("failing allocation " + std::to_string(n) + ": " + err_);
        EXPECT_EQ(pit::open_fds(), fds);
        EXPECT_EQ(pit::current_umask(), 022u);
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
    EXPECT_EQ(n > 2, row.allocates) << "allocations failed: " << n - 2;
    release(row.free_out);
}

TEST_F(AllocSweepTest, EveryAllocatingOperationFailsCleanly) {
    const uint32_t kNomem = PLUGIN_ERR_NOMEM;
    auto as_map = [this] { return reinterpret_cast<plugin_swid_map *>(out_); };
    auto as_rec = [this] { return reinterpret_cast<srg_record *>(out_); };
    auto free_map = [](void *p) { plugin_swid_map_free(static_cast<plugin_swid_map *>(p)); };
    auto free_set = [](void *p) { plugin_strings_free(static_cast<plugin_strings *>(p)); };
    auto map_state = [&] {
        auto read = [&] { return bytes(as_map()) == image_ ? "read" : "other"; };
        return shown(out_, read) + (err_.empty() ? "" : " lines");
    };
    auto rec_state = [&] {
        return shown(out_, [&] { return std::string(srg_sw_id_get(as_rec())); });
    };
    // A failure writes the dependency listing whole or not at all (debug off).
    auto order_state = [&] {
        const bool listed = err_.empty() || err_.ends_with("2 lib-x.2 depends on: base \n");
        return join(order_, 3) + (listed ? "" : " other lines");
    };
    auto sentinels = [&] { std::fill(order_, order_ + 3, 77); };
    auto names_state = [&] {
        auto *set = reinterpret_cast<plugin_strings *>(out_);
        return shown(out_, [&] { return std::string(plugin_strings_get(set, 1)); });
    };
    const std::string names_nomem =
        "plugin_get_names_from_conf: strings malloc failed. Number of strings (2), size(21)";
    const std::string icf_failed =
        "plugin_get_names_from_conf: open /tmp/img.conf failed. (rc = 0x1c0f000";
    pit::write_file("/tmp/img.conf", "# images\nsys-a.img\n\nplug-b.img\n");
    const SweepRow rows[] = {
        {"swid map alloc", [] {},
         [&] {
             out_ = plugin_swid_map_alloc(8, 128);
             return out_ ? PLUGIN_OK : kNomem;
         },
         [&] { return shown(out_, [] { return "made"; }); }, "made", fails(kNomem, "null"),
         free_map},
        {"swid map growing append", [&] { fresh_map(); },
         [&] { return plugin_swid_map_append(&map_, "plug-a.1") == 1 ? PLUGIN_OK : kNomem; },
         [&] { return bytes(map_) == image_ ? "as made" : plugin_swid_map_get_swid(map_, 1); },
         "plug-a.1", fails(kNomem, "as made")},
        {"swid map write",
         [&] {
             fresh_map();
             unlink("/tmp/map");
         },
         [&] { return plugin_write_swid_map("/tmp/map", map_); },
         [&] { return pit::read_file("/tmp/map") == image_ ? "written" : "not written"; },
         "written", fails(PLUGIN_ERR_OPEN, "not written", PLUGIN_ERR_WRITE, "not written")},
        {"swid map read", [&] { plugin_write_swid_map("/tmp/map", map_); },
         [&] { return plugin_read_swid_map("/tmp/map", out<plugin_swid_map>()); }, map_state,
         "read", fails(kNomem, "null", PLUGIN_ERR_OPEN, "null", PLUGIN_ERR_READ, "null"), free_map},
        {"topological order", sentinels,
         [&] { return plugin_topological_order_get(3, matrix_, order_); }, order_state, "1 0 2",
         fails(kNomem, "77 77 77")},
        {"load order", sentinels, [&] { return plugin_find_load_order(3, recs_, order_); },
         order_state, "1 2 0", fails(PLUGIN_ERR_FAILED, "77 77 77", kNomem, "77 77 77"), std::free,
         true, PLUGIN_ERR_FAILED},
        {"unload order", sentinels, [&] { return plugin_find_unload_order(3, recs_, order_); },
         order_state, "0 2 1", fails(PLUGIN_ERR_FAILED, "77 77 77", kNomem, "77 77 77"), std::free,
         true, PLUGIN_ERR_FAILED},
        {"rmdir", [] { pit::mkdir_p("/tmp/gone"); }, [] { return plugin_rmdir("/tmp/gone"); },
         [] { return pit::exists("/tmp/gone") ? "there" : "gone"; }, "gone",
         fails(kNomem, "there")},
        {"record clone", [] {}, [&] { return plugin_clone_srg(kSro.c_str(), out<srg_record>()); },
         rec_state, "plug-a.1",
         fails(kNomem, "null", PLUGIN_ERR_SRG_EMPTY, "kept", SRG_ERR_NOMEM, "null", SRG_ERR_OPEN,
               "null", SRG_ERR_READ, "null")},
        {"record extract", [] {},
         [&] { return plugin_extract_srg(kImg.c_str(), out<srg_record>()); }, rec_state, "plug-a.1",
         fails(kNomem, "null", PLUGIN_ERR_IMG_OPEN, "kept", IMG_ERR_NOMEM, "kept", IMG_ERR_OPEN,
               "kept", IMG_ERR_WRITE, "kept", PLUGIN_ERR_SRG_EMPTY, "kept", SRG_ERR_NOMEM, "null",
               SRG_ERR_OPEN, "null", SRG_ERR_READ, "null")},
        {"record cleanup",
         [&] { pit::captured([&] { return plugin_save_sro(3, rec_); }, nullptr, nullptr); },
         [] { return plugin_cleanup_sro(3); },
         [] { return pit::exists("/velm/plugin/3/plugin.sro") ? "stored" : "removed"; }, "removed",
         fails(kNomem, "stored")},
        {"image extraction", [] { pit::sh("rm -rf /velm/plugin/1/* /velm/1.log"); },
         [] { return plugin_extract_image(kImg.c_str(), "/velm/plugin/1", "/velm/1.log"); },
         [] { return pit::read_file("/velm/plugin/1/usr/bin/hello"); },
         "hello from the build host\n",
         fails(kNomem, "", PLUGIN_ERR_IMG_OPEN, "", PLUGIN_ERR_EXTRACT, "")},
        {"newer-fs overlay",
         [] {
             pit::set_cmdline("use_newer_fs=yes\n");
             pit::sh("rm -f /velm/plugin/1/new; mkdir -p /bootflash/plug-a.img-newer-fs");
             pit::write_file("/bootflash/plug-a.img-newer-fs/new", "n\n");
             pit::write_file("/velm/1.log", "./\n");
         },
         [] {
             plugin_do_newer_fs(kImg.c_str(), "/velm/1.log", "/velm/plugin/1");
             return PLUGIN_OK;
         },
         [] {
             std::string s = pit::exists("/velm/1.log-newer-fs") ? "list left" : "list gone";
             const bool laid = pit::read_file("/velm/1.log") == "./\nnew\n";
             return s + (laid && pit::exists("/velm/plugin/1/new") ? ", laid over" : "");
         },
         "list gone, laid over", fails(PLUGIN_OK, "list gone")},
        {"system image member",
         [] {
             pit::sh("mkdir -p /var/sysmgr/ftp/img-sync; rm -f /etc/plug.conf");
             pit::sh("cp " + kImg + " /var/sysmgr/ftp/img-sync/curr-velm.img");
         },
         [] { return plugin_extract_plugin_from_velm_image("/etc/plug.conf", "/tmp/velm.log"); },
         [] { return pit::read_file("/etc/plug.conf"); }, "x=1\n",
         fails(kNomem, "", PLUGIN_ERR_IMG_OPEN, "", PLUGIN_ERR_EXTRACT, "")},
        {"link",
         [&] {
             extracted();
             tree_ = pit::snapshot({"/usr/bin", "/etc"});
         },
         [] { return plugin_link_to_exec_path("/velm/1.log", nullptr, "/velm/plugin/1"); },
         [&] {
             if (pit::snapshot({"/usr/bin", "/etc"}) == tree_) return std::string("as before");
             return pit::read_file("/usr/bin/hello");
         },
         "hello from the build host\n", fails(kNomem, "as before", PLUGIN_ERR_OPEN, "as before")},
        {"unlink",
         [&] {
             extracted();
             auto link = [] {
                 return plugin_link_to_exec_path("/velm/1.log", nullptr, "/velm/plugin/1");
             };
             pit::captured(link, nullptr, nullptr);
         },
         [] { return plugin_unlink_from_exec_path("/velm/1.log", nullptr, "/velm/plugin/1"); },
         [] { return pit::exists("/usr/bin/hello") ? "linked" : "unlinked"; }, "unlinked",
         fails(kNomem, "linked", PLUGIN_ERR_OPEN, "linked")},
        {"plugin list", [] {},
         [&] { return plugin_from_cmdline("3,4+5", out<int32_t>(), 1) == 3 ? 0 : kNomem; },
         [&] {
             auto *list = reinterpret_cast<uint32_t *>(out_);
             return shown(out_, [&] { return join(list, 3); }) + " " + failed_line();
         },
         "3 4 5 ", fails(kNomem, "null plugin_from_cmdline: malloc 20 bytes failed")},
        {"configuration names", [] {},
         [&] { return plugin_get_names_from_conf("/tmp/img.conf", out<plugin_strings>()); },
         [&] { return names_state() + " " + failed_line(); }, "plug-b.img ",
         fails(kNomem, "null " + names_nomem, PLUGIN_ICF_ERR_NOMEM, "null " + icf_failed + "3)",
               PLUGIN_ICF_ERR_OPEN, "null " + icf_failed + "2)"),
         free_set},
    };
    for (const SweepRow &row : rows) sweep(row);
}

enum Fault { kFull, kReadOnly, kNoFd, kNoCaps };
// setup: shell run first; path: the file bound to /dev/full or the tree made read-only; line: a
// part of stderr; state: what the caller sees afterwards, after: its value.
struct FaultRow {
    const char *name;
    Fault fault;
    std::string setup, path;
    std::function<uint32_t()> call;
    uint32_t want;
    std::string line;
    std::function<std::string()> state = [] { return ""; };
    std::string after = "";
};

class IoFaultsTest : public ReliabilityTest {
protected:
    void run(const FaultRow &row);
};

void IoFaultsTest::run(const FaultRow &row) {
    SCOPED_TRACE(row.name);
    ASSERT_EQ(plugin_write_swid_map("/tmp/map", map_), PLUGIN_OK);
    ASSERT_TRUE(pit::sh("rm -rf /velm/plugin/1/* /velm/plugin/3/* && " + row.setup));
    const pit::Snapshot tree = pit::snapshot({"/velm", "/usr/bin", "/etc"});
    pit::Capture cap;  // opened before the faults; then the lowest free descriptor is the limit
    const int lowest = ::open("/dev/null", O_RDONLY);
    ::close(lowest);
    struct rlimit saved;
    getrlimit(RLIMIT_NOFILE, &saved);
    const struct rlimit low = {static_cast<rlim_t>(lowest), saved.rlim_max};
    bool armed = false;
    if (row.fault == kFull) armed = pit::bind("/dev/full", row.path);
    if (row.fault == kReadOnly) armed = pit::bind_readonly(row.path);
    if (row.fault == kNoFd) armed = setrlimit(RLIMIT_NOFILE, &low) == 0;
    if (row.fault == kNoCaps) armed = pit::drop_capabilities();
    out_ = kKept;
    const uint32_t rc = armed ? row.call() : 0;
    setrlimit(RLIMIT_NOFILE, &saved);
    const bool undone = row.fault > kReadOnly || pit::unbind(row.path);
    cap.stop();
    ASSERT_TRUE(armed);
    ASSERT_TRUE(undone);
    EXPECT_EQ(rc, row.want) << std::hex << rc;
    EXPECT_NE(cap.err().find(row.line), std::string::npos) << cap.err();
    EXPECT_EQ(row.state(), row.after);
    EXPECT_EQ(pit::snapshot({"/velm", "/usr/bin", "/etc"}), tree);  // nothing made or removed
}

// Faults in separate processes: dropped capabilities cannot be taken back.
TEST_F(IoFaultsTest, GiveTheDocumentedFailure) {
    auto link = [] { return plugin_link_to_exec_path("/velm/1.log", nullptr, "/velm/plugin/1"); };
    auto read_map = [&] { return plugin_read_swid_map("/tmp/map", out<plugin_swid_map>()); };
    auto write_map = [&] { return plugin_write_swid_map("/tmp/map", map_); };
    auto out_state = [&] { return shown(out_, [] { return "set"; }); };
    const FaultRow rows[] = {
        {"FullSwidMap", kFull, "echo old > /tmp/map", "/tmp/map", write_map, PLUGIN_ERR_WRITE,
         "plugin_write_swid_map: corrupted swid_map_\n", [] { return pit::read_file("/tmp/map"); },
         "old\n"},
        {"ReadOnlyLink", kReadOnly, kExtract, "/etc", link, PLUGIN_ERR_LINK,
         "plugin_link_to_exec_path: "},
        {"NoFdSwidMap", kNoFd, "true", "", read_map, PLUGIN_ERR_OPEN, "", out_state, "null"},
        // The record library cannot size the file: it holds no record, *record untouched.
        {"NoFdRecord", kNoFd, "true", "",
         [&] { return plugin_clone_srg(kSro.c_str(), out<srg_record>()); }, PLUGIN_ERR_SRG_EMPTY,
         "plugin_clone_srg: ", out_state, "kept"},
        {"NoCapsSwidMapWrite", kNoCaps, "chmod 444 /tmp/map", "", write_map, PLUGIN_ERR_OPEN,
         "plugin_write_swid_map: open /tmp/map for write failed\n"},
    };
    for (const FaultRow &row : rows) {
        if (row.fault != kNoCaps) run(row);
        if (row.fault != kNoCaps) continue;
        EXPECT_EXIT(
            {
                run(row);
                std::exit(::testing::Test::HasFailure() ? 1 : 0);
            },
            ::testing::ExitedWithCode(0), "")
            << row.name;
    }
}

// The call, its result and its exact stderr text; out: the out-parameter afterwards.
struct ArgRow {
    const char *call;
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
    const std::string no_swid = "plugin_save_sro id 4 swid !(null)!\n";
    const std::string rl = "plugin_read_remaining_load: boot_status= ";
    pit::write_file("/tmp/rec", "x");
    set_ = plugin_strings_malloc(1, 8);
    srg_record *none = nullptr;
    const ArgRow rows[] = {
        {"rmdir", [] { return plugin_rmdir(nullptr); }, kInval},
        {"swid_map_alloc_over_int32", [] { return is(plugin_swid_map_alloc(1, 0x7ffffff0u)); }, 0},
        {"swid_map_integrity_ok", [] { return plugin_swid_map_integrity_ok(nullptr); }, 0},
        {"swid_map_size", [] { return plugin_swid_map_size(nullptr); }, -1},
        {"swid_map_append_null_address", [] { return plugin_swid_map_append(nullptr, "a"); }, -1},
        {"swid_map_append_null_map",
         [&] {
             out_ = nullptr;
             return plugin_swid_map_append(out<plugin_swid_map>(), "a");
         },
         -1, "", "null"},
        {"swid_map_append_null_swid", [&] { return plugin_swid_map_append(&map_, nullptr); }, -1},
        {"swid_map_next_avail", [] { return plugin_swid_map_next_avail(nullptr); }, -1},
        {"swid_map_get_id_null_map", [] { return plugin_swid_map_get_id(nullptr, "a"); }, -1},
        {"swid_map_get_id_null_swid", [&] { return plugin_swid_map_get_id(map_, nullptr); }, -1},
        {"swid_map_get_swid_null_map", [] { return is(plugin_swid_map_get_swid(nullptr, 0)); }, 0},
        {"swid_map_get_swid_past_end", [&] { return is(plugin_swid_map_get_swid(map_, 1)); }, 0},
        {"swid_map_get_swid_negative", [&] { return is(plugin_swid_map_get_swid(map_, -1)); }, 0},
        {"read_swid_map_null_path",
         [&] { return plugin_read_swid_map(nullptr, out<plugin_swid_map>()); }, kInval},
        {"read_swid_map_null_out", [] { return plugin_read_swid_map("/tmp/rec", nullptr); },
         kInval},
        {"write_swid_map_null_path", [&] { return plugin_write_swid_map(nullptr, map_); }, kInval},
        {"write_swid_map_null_map", [] { return plugin_write_swid_map("/tmp/m", nullptr); },
         kInval},
        {"write_swid_map_null_map_makes_no_file", [] { return int64_t{pit::exists("/tmp/m")}; }, 0},
        {"topological_order_count_0",
         [&] { return plugin_topological_order_get(0, nullptr, order_); }, 0},
        {"topological_order_count_0_writes_nothing", [&] { return order_[0]; }, 0},
        {"load_order_count_0", [&] { return plugin_find_load_order(0, &none, order_); }, kFailed,
         orders + "0\n"},
        {"load_order_null_records", [&] { return plugin_find_load_order(1, nullptr, order_); },
         kFailed, orders + "1\n"},
        {"unload_order_null_order", [&] { return plugin_find_unload_order(1, &none, nullptr); },
         kFailed, orders + "1\n"},
        {"extract_image_null_image", [] { return plugin_extract_image(nullptr, "/tmp", nullptr); },
         PLUGIN_ERR_IMG_OPEN},
        {"extract_image_null_dir",
         [] { return plugin_extract_image("/tmp/rec", nullptr, nullptr); }, PLUGIN_ERR_EXTRACT},
        {"do_newer_fs_null_image",
         [] {
             plugin_do_newer_fs(nullptr, "/tmp/l", "/tmp");
             return int64_t{pit::exists("/tmp/l")};
         },
         0},
        {"do_newer_fs_null_dir",
         [] {
             plugin_do_newer_fs("/tmp/rec", "/tmp/l", nullptr);
             return int64_t{pit::exists("/tmp/l")};
         },
         0},
        {"velm_member_null", [] { return plugin_extract_plugin_from_velm_image(nullptr, nullptr); },
         PLUGIN_ERR_EXTRACT},
        {"clone_srg_null_path", [&] { return plugin_clone_srg(nullptr, out<srg_record>()); },
         kInval},
        {"clone_srg_null_out", [] { return plugin_clone_srg("/tmp/rec", nullptr); }, kInval},
        {"extract_srg_null_image", [&] { return plugin_extract_srg(nullptr, out<srg_record>()); },
         kInval},
        {"extract_srg_null_out", [] { return plugin_extract_srg("/tmp/rec", nullptr); }, kInval},
        {"save_sro_null_record", [] { return plugin_save_sro(4, nullptr); }, kFailed,
         no_swid + "plugin_save_sro: get swid failed for plugin_id 4\n"},
        {"link_null_log", [] { return plugin_link_to_exec_path(nullptr, nullptr, "/velm"); },
         kInval, pdebug},
        {"link_null_dir", [] { return plugin_link_to_exec_path("/tmp/rec", nullptr, nullptr); },
         kInval, pdebug},
        {"unlink_null_log", [] { return plugin_unlink_from_exec_path(nullptr, nullptr, "/velm"); },
         kInval},
        {"unlink_null_dir",
         [] { return plugin_unlink_from_exec_path("/tmp/rec", nullptr, nullptr); }, kInval},
        {"excluded_null_path",
         [&] { return plugin_file_is_excluded_from_exec_path(nullptr, set_); }, 0},
        {"excluded_null_set",
         [] { return plugin_file_is_excluded_from_exec_path("/etc", nullptr); }, 0},
        {"get_cmdline_null", [] { return is(plugin_get_cmdline(nullptr)); }, 0,
         "Null cmdline parameter\n"},
        {"from_cmdline_null_out", [] { return plugin_from_cmdline("1", nullptr, 1); }, 0},
        {"from_cmdline_null_list", [&] { return plugin_from_cmdline(nullptr, out<int32_t>(), 1); },
         0, "plugin_from_cmdline: No cmdline\n", "null"},
        {"names_null_path",
         [&] { return plugin_get_names_from_conf(nullptr, out<plugin_strings>()); }, kInval, "",
         "null"},
        {"names_null_out", [] { return plugin_get_names_from_conf("/tmp/rec", nullptr); }, kInval},
        {"read_remaining_null", [] { return plugin_read_remaining_load(nullptr, 16); }, kInval,
         rl + "0 size= 16 len= 16\n"},
    };
    plugin_intn_debug_on();  // a refused call writes no debug line either, unless documented
    for (const ArgRow &row : rows) {
        SCOPED_TRACE(row.call);
        out_ = kKept;
        std::string err;
        EXPECT_EQ(pit::captured(row.run, nullptr, &err), row.want);
        EXPECT_EQ(err, row.err);
        EXPECT_EQ(shown(out_, [] { return "set"; }), row.out);
    }
}

}  // namespace
