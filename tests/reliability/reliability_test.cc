// Failures across every exported function, as tables: each allocation of every operation that
// allocates failing in turn; I/O faults (a full device, a read-only tree, no descriptor left, no
// capabilities); refused arguments.  Each row gives its documented result, line and state.
#include <fcntl.h>
#include <sys/resource.h>

#include <functional>
#include <sstream>

#include "platform/srg_bytes.h"
#include "tests/support/fixture.h"

namespace {

const std::string kFix = PI_FIXTURES, kImg = kFix + "/plug-a.img", kSro = kFix + "/plug-a.sro";
void *const kKept = reinterpret_cast<void *>(0x77);
void *out;  // a row's out-parameter, kKept before the call
template <typename T>
T **out_as() {
    return reinterpret_cast<T **>(&out);
}

const uint32_t kNomem = PLUGIN_ERR_NOMEM;
template <typename T>
T *untouched() {
    return reinterpret_cast<T *>(0x5a5a);
}
struct
    SweepRow {  // set-up (before the failure is armed), the call (0: success), failures accepted, check after every run
    const char *name;
    std::function<void()> setup;
    std::function<uint32_t()> call;
    std::vector<uint32_t> codes;
    std::function<void(uint32_t rc)> check;
    bool allocates = true;
};
std::string bytes(const plugin_swid_map *m) {
    return std::string(reinterpret_cast<const char *>(m), plugin_swid_map_size(m));
}
class AllocSweepTest : public pit::SandboxTest {};

TEST_F(AllocSweepTest, EveryAllocatingOperationFailsCleanly) {
    srg_record *rec = nullptr, *got = nullptr;
    ASSERT_EQ(plugin_clone_srg(kSro.c_str(), &rec), 0u);  // plug-a.1: depends on base, lib-x.2
    std::string base = pit::record_bytes("base", std::nullopt),
                libx = pit::record_bytes("lib-x.2", {{"base"}}), image, err;
    srg_record *recs[3] = {rec, reinterpret_cast<srg_record *>(base.data()),
                           reinterpret_cast<srg_record *>(libx.data())};
    plugin_swid_map *map = nullptr, *before = nullptr;
    plugin_strings *names = nullptr;
    int32_t *plugins = nullptr;
    uint32_t order[3], row0[3] = {0, 1, 0}, row1[3] = {}, *matrix[3] = {row0, row1, row1},
                       stage[4] = {1, 2, 3, 4}, back[4];
    pit::Snapshot tree;
    bool hit;
    long n = 1;  // the allocation that fails
    auto fresh_map = [&] {
        plugin_swid_map_free(map), map = plugin_swid_map_alloc(1, 8),
                                   plugin_swid_map_append(&map, "base"), before = map,
                                   image = bytes(map);
    };
    auto sentinels = [&] { std::fill(order, order + 3, 77); };
    auto order_check =
        [&](std::vector<uint32_t>
                want) {  // a failure before the records are listed writes nothing (debug off)
            return [&, want](uint32_t rc) {
                EXPECT_EQ(std::vector<uint32_t>(order, order + 3),
                          rc ? std::vector<uint32_t>(3, 77) : want);
                EXPECT_TRUE(rc != PLUGIN_ERR_FAILED ||
                            n == 1);  // only the row table's failure is not NOMEM
                EXPECT_TRUE(!rc || err.empty() || err.ends_with("2 lib-x.2 depends on: base \n"))
                    << err;  // or the sort's own
            };
        };
    auto extracted = [&] {
        pit::sh(
            "rm -rf /velm/plugin/1 /usr/bin/hello /etc/plug.conf; mkdir -p /velm/plugin/1; tar -xvzf " +
            kImg + " -C /velm/plugin/1 > /velm/1.log");
    };
    auto record_check =
        [&](uint32_t rc) {  // *record null after an allocation or the clone failed, else untouched
            EXPECT_EQ(rc ? got : nullptr, !rc || rc == kNomem || (rc >> 16) == 0x5E60
                                              ? nullptr
                                              : untouched<srg_record>());
            EXPECT_STREQ(rc ? "plug-a.1" : srg_sw_id_get(got), "plug-a.1");
            if (!rc) std::free(got);
        };
    setenv("PLUGIN_MAX_ALLOWED_ZELL", "2", 1), umask(022), pit::mkdir_p("/velm/plugin_extract_log");
    pit::write_file("/tmp/img.conf", "# images\nsys-a.img\n\nplug-b.img\n");
    std::vector<SweepRow> rows = {
        {"swid map alloc",
         [] {},
         [&] { return (map = plugin_swid_map_alloc(8, 128)) ? 0 : kNomem; },
         {kNomem},
         [&](uint32_t) { plugin_swid_map_free(map), map = nullptr; }},
        {"swid map growing append",
         fresh_map,
         [&] { return plugin_swid_map_append(&map, "plug-a.1") == 1 ? 0 : kNomem; },
         {kNomem},
         [&](uint32_t rc) {  // on a failure *map and its bytes are unchanged
             EXPECT_EQ(map == before, rc != 0);
             EXPECT_EQ(rc ? bytes(map) : plugin_swid_map_get_swid(map, 1), rc ? image : "plug-a.1");
         }},
        {"swid map write",
         [&] { fresh_map(), unlink("/tmp/map"); },
         [&] { return plugin_write_swid_map("/tmp/map", map); },
         {PLUGIN_ERR_OPEN, PLUGIN_ERR_WRITE},
         [&](uint32_t rc) { EXPECT_TRUE(rc || pit::read_file("/tmp/map") == image); }},
        {"swid map read",
         [&] { plugin_swid_map_free(map), map = untouched<plugin_swid_map>(); },
         [&] { return plugin_read_swid_map("/tmp/map", &map); },
         {kNomem, PLUGIN_ERR_OPEN, PLUGIN_ERR_READ},
         [&](uint32_t rc) {
             EXPECT_TRUE(err.empty() && (rc ? map == nullptr : bytes(map) == image)) << err;
         }},
        {"topological order",
         sentinels,
         [&] { return plugin_topological_order_get(3, matrix, order); },
         {kNomem},
         order_check({1, 0, 2})},
        {"load order",
         sentinels,
         [&] { return plugin_find_load_order(3, recs, order); },
         {PLUGIN_ERR_FAILED, kNomem},
         order_check({1, 2, 0})},
        {"unload order",
         sentinels,
         [&] { return plugin_find_unload_order(3, recs, order); },
         {PLUGIN_ERR_FAILED, kNomem},
         order_check({0, 2, 1})},
        {"rmdir",
         [] { pit::mkdir_p("/tmp/gone"); },
         [] { return plugin_rmdir("/tmp/gone"); },
         {kNomem},
         [](uint32_t rc) { EXPECT_EQ(pit::exists("/tmp/gone"), rc != 0); }},
        {"record clone",
         [&] { got = untouched<srg_record>(); },
         [&] { return plugin_clone_srg(kSro.c_str(), &got); },
         {kNomem, PLUGIN_ERR_SRG_EMPTY, SRG_ERR_NOMEM, SRG_ERR_OPEN, SRG_ERR_READ},
         record_check},
        {"record extract",
         [&] { got = untouched<srg_record>(); },
         [&] { return plugin_extract_srg(kImg.c_str(), &got); },
         {kNomem, PLUGIN_ERR_IMG_OPEN, IMG_ERR_NOMEM, IMG_ERR_OPEN, IMG_ERR_WRITE,
          PLUGIN_ERR_SRG_EMPTY, SRG_ERR_NOMEM, SRG_ERR_OPEN, SRG_ERR_READ},
         record_check},
        {"record save",
         [] {
             pit::sh(
                 "rm -rf /velm/plugin /velm/plugin_srg; mkdir -p /velm/plugin/3 /velm/plugin_srg");
         },
         [&] { return plugin_save_sro(3, rec); },
         {},
         [](uint32_t) {
             EXPECT_EQ(pit::link_target("/velm/plugin_srg/plugin-plug-a.1.sro"),
                       "/velm/plugin/3/plugin.sro");
         },
         false},
        {"record cleanup",
         [&] { pit::captured([&] { return plugin_save_sro(3, rec); }, nullptr, nullptr); },
         [] { return plugin_cleanup_sro(3); },
         {kNomem},
         [](uint32_t rc) { EXPECT_EQ(pit::exists("/velm/plugin/3/plugin.sro"), rc != 0); }},
        {"image extraction",
         [] { pit::sh("rm -rf /velm/plugin/1 /velm/1.log; mkdir -p /velm/plugin/1"); },
         [] { return plugin_extract_image(kImg.c_str(), "/velm/plugin/1", "/velm/1.log"); },
         {kNomem, PLUGIN_ERR_IMG_OPEN, PLUGIN_ERR_EXTRACT},
         [](uint32_t rc) {
             EXPECT_EQ(pit::read_file("/velm/plugin/1/usr/bin/hello"),
                       rc ? "" : "hello from the build host\n");
         }},
        {"newer-fs overlay",
         [] {
             pit::set_cmdline("use_newer_fs=yes\n"),
                 pit::sh(
                     "rm -f /velm/plugin/1/new; echo ./ > /velm/1.log; mkdir -p /bootflash/plug-a.img-newer-fs; echo n > /bootflash/plug-a.img-newer-fs/new");
         },
         [] { return plugin_do_newer_fs(kImg.c_str(), "/velm/1.log", "/velm/plugin/1"), 0u; },
         {},
         [&](uint32_t) {  // laid over and listed, list gone
             EXPECT_TRUE(!pit::exists("/velm/1.log-newer-fs") &&
                         (hit || (pit::read_file("/velm/1.log") == "./\nnew\n" &&
                                  pit::exists("/velm/plugin/1/new"))));
         }},
        {"system image member",
         [] {
             pit::sh("mkdir -p /var/sysmgr/ftp/img-sync; cp " + kImg +
                     " /var/sysmgr/ftp/img-sync/curr-velm.img; rm -f /etc/plug.conf");
         },
         [] { return plugin_extract_plugin_from_velm_image("/etc/plug.conf", "/tmp/velm.log"); },
         {kNomem, PLUGIN_ERR_IMG_OPEN, PLUGIN_ERR_EXTRACT},
         [](uint32_t rc) { EXPECT_EQ(pit::read_file("/etc/plug.conf"), rc ? "" : "x=1\n"); }},
        {"link",
         [&] {
             extracted(), tree = pit::snapshot({"/usr/bin", "/etc"});
         },
         [] { return plugin_link_to_exec_path("/velm/1.log", nullptr, "/velm/plugin/1"); },
         {kNomem, PLUGIN_ERR_OPEN},
         [&](uint32_t rc) {
             EXPECT_EQ(pit::current_umask(), 022u);  // the root tree as before a failure
             EXPECT_TRUE(rc ? pit::snapshot({"/usr/bin", "/etc"}) == tree
                            : pit::read_file("/usr/bin/hello") == "hello from the build host\n");
         }},
        {"unlink",
         [&] {
             extracted(),
                 pit::captured(
                     [] {
                         return plugin_link_to_exec_path("/velm/1.log", nullptr, "/velm/plugin/1");
                     },
                     &err, &err);
         },
         [] { return plugin_unlink_from_exec_path("/velm/1.log", nullptr, "/velm/plugin/1"); },
         {kNomem, PLUGIN_ERR_OPEN},
         [](uint32_t rc) { EXPECT_EQ(pit::exists("/usr/bin/hello"), rc != 0); }},
        {"exclusion check",
         [&] { names = plugin_strings_malloc(1, 8), plugin_strings_append(names, "/etc"); },
         [&] { return plugin_file_is_excluded_from_exec_path("/etc/x", names) == 1 ? 0u : 1u; },
         {},
         [&](uint32_t) { plugin_strings_free(names); },
         false},
        {"plugin list",
         [&] { plugins = untouched<int32_t>(); },
         [&] { return plugin_from_cmdline("3,4+5", &plugins, 1) == 3 ? 0 : kNomem; },
         {kNomem},
         [&](uint32_t rc) {
             EXPECT_TRUE(rc ? plugins == nullptr &&
                                  err.find("plugin_from_cmdline: malloc 20 bytes failed\n") !=
                                      err.npos
                            : plugins[2] == 5)
                 << err;
             std::free(rc ? nullptr : plugins);
         }},
        {"configuration names",
         [&] { names = untouched<plugin_strings>(); },
         [&] { return plugin_get_names_from_conf("/tmp/img.conf", &names); },
         {kNomem, PLUGIN_ICF_ERR_NOMEM, PLUGIN_ICF_ERR_OPEN},
         [&](uint32_t rc) {
             EXPECT_STREQ(rc ? (names ? "set" : "plug-b.img") : plugin_strings_get(names, 1),
                          "plug-b.img");
             if (!rc) plugin_strings_free(names);
             EXPECT_TRUE(
                 rc != kNomem ||
                 err ==
                     "plugin_get_names_from_conf: strings malloc failed. Number of strings (2), size(21)\n")
                 << err;
         }},
        {"stage-boot write",
         [] { unlink("/velm/plugin_extract_log/stage_boot"); },
         [&] { return plugin_write_remaining_load(stage, 16); },
         {PLUGIN_ERR_OPEN},
         [](uint32_t rc) {
             EXPECT_EQ(pit::read_file("/velm/plugin_extract_log/stage_boot").size(), rc ? 0u : 16u);
         }},
        {"stage-boot read",
         [&] { std::fill(back, back + 4, 0xee); },
         [&] { return plugin_read_remaining_load(back, 16); },
         {PLUGIN_ERR_OPEN},
         [&](uint32_t rc) { EXPECT_EQ(back[1], rc ? 0xeeu : 2u); }},
    };
    for (const SweepRow &row : rows) {
        SCOPED_TRACE(row.name);
        for (n = 1, hit = true; hit; ++n) {
            row.setup();
            int fds = pit::open_fds();
            pit::Capture cap;
            uint32_t rc = (pit::faults::fail_nth(n), row.call());
            hit = pit::faults::fired();
            err = (pit::faults::disarm(), cap.stop(), cap.err());
            SCOPED_TRACE("failing allocation " + std::to_string(n) + ", rc " + std::to_string(rc));
            EXPECT_TRUE(pit::open_fds() == fds &&
                        (rc == 0 || (hit && std::count(row.codes.begin(), row.codes.end(), rc))))
                << err;
            row.check(rc);
        }
        EXPECT_EQ(n > 2, row.allocates) << "allocations failed: " << n - 2;
    }
    std::free(rec), plugin_swid_map_free(map);
}

enum Fault { kFull, kReadOnly, kNoFd, kNoCaps };
struct
    FaultRow {  // shell set-up; the file bound to /dev/full or the tree made read-only; a part of stderr; the state left
    const char *name;
    Fault fault;
    std::string setup, path;
    std::function<uint32_t()> call;
    uint32_t want;
    const char *line;
    std::function<bool()> post = [] { return true; };
};
srg_record *rec;
plugin_swid_map *map;
uint32_t stage[4] = {1, 2, 3, 4};
const std::string kStage = "/velm/plugin_extract_log/stage_boot";
const std::string kExtract = "tar -xvzf " PI_FIXTURES "/plug-a.img -C /velm/plugin/1 > /velm/1.log";
void PrintTo(const FaultRow &row, std::ostream *os) { *os << row.name; }
class IoFaultsTest : public pit::SandboxTest, public ::testing::WithParamInterface<FaultRow> {};
TEST_P(IoFaultsTest, GivesTheDocumentedFailure) {
    const FaultRow &row = GetParam();
    setenv("PLUGIN_MAX_ALLOWED_ZELL", "2", 1), map = plugin_swid_map_alloc(4, 64),
                                               plugin_swid_map_append(&map, "plug-a.1");
    ASSERT_EQ(plugin_clone_srg(kSro.c_str(), &rec) | plugin_write_swid_map("/tmp/map", map), 0u);
    ASSERT_TRUE(pit::sh(
        "mkdir -p /velm/plugin/1 /velm/plugin/3 /velm/plugin_srg /velm/plugin_extract_log && " +
        row.setup));
    pit::Snapshot tree = pit::snapshot({"/velm", "/usr/bin", "/etc"});
    struct rlimit saved, low;
    pit::Capture cap;  // opened before the faults; then the lowest free descriptor is the limit
    int lowest = ::open("/dev/null", O_RDONLY);
    getrlimit(RLIMIT_NOFILE, &saved), low = {static_cast<rlim_t>(lowest), saved.rlim_max},
                                      ::close(lowest), out = kKept;
    bool armed = row.fault == kFull       ? pit::bind("/dev/full", row.path)
                 : row.fault == kReadOnly ? pit::bind_readonly(row.path)
                 : row.fault == kNoFd     ? setrlimit(RLIMIT_NOFILE, &low) == 0
                                          : pit::drop_capabilities();
    uint32_t rc = armed ? row.call() : 0;
    setrlimit(RLIMIT_NOFILE, &saved);
    bool undone = row.fault > kReadOnly || pit::unbind(row.path);
    cap.stop();
    ASSERT_TRUE(armed && undone);
    EXPECT_TRUE(rc == row.want && cap.err().find(row.line) != std::string::npos && row.post())
        << std::hex << rc << "\n"
        << cap.err();
    EXPECT_EQ(pit::snapshot({"/velm", "/usr/bin", "/etc"}), tree);  // nothing made or removed
    std::free(rec), plugin_swid_map_free(map);
}
const auto kOutNull = [] { return out == nullptr; };
const auto kLink = [] {
    return plugin_link_to_exec_path("/velm/1.log", nullptr, "/velm/plugin/1");
};
const auto kSave = [] { return plugin_save_sro(3, rec); };
const char *kOpenSro = "plugin_save_sro: open /velm/plugin/3/plugin.sro failed\n";
INSTANTIATE_TEST_SUITE_P(
    All, IoFaultsTest,
    ::testing::ValuesIn(std::vector<FaultRow>{
        {"FullSwidMap", kFull, "echo old > /tmp/map", "/tmp/map",
         [] { return plugin_write_swid_map("/tmp/map", map); }, PLUGIN_ERR_WRITE,
         "plugin_write_swid_map: corrupted swid_map_\n",
         [] { return pit::read_file("/tmp/map") == "old\n"; }},
        {"FullRecord", kFull, "touch /velm/plugin/3/plugin.sro", "/velm/plugin/3/plugin.sro", kSave,
         PLUGIN_ERR_WRITE, "plugin_save_sro: write to"},
        {"FullStageBoot", kFull, "touch " + kStage, kStage,
         [] { return plugin_write_remaining_load(stage, 16); }, PLUGIN_ERR_WRITE, ""},
        {"ReadOnlyRecord", kReadOnly, "true", "/velm", kSave, PLUGIN_ERR_OPEN, kOpenSro},
        {"ReadOnlyLink", kReadOnly, kExtract, "/etc", kLink, PLUGIN_ERR_LINK,
         "plugin_link_to_exec_path: "},
        {"NoFdSwidMap", kNoFd, "true", "",
         [] { return plugin_read_swid_map("/tmp/map", out_as<plugin_swid_map>()); },
         PLUGIN_ERR_OPEN, "", kOutNull},
        // The record library cannot size the file: it holds no record, *record untouched.
        {"NoFdRecord", kNoFd, "true", "",
         [] { return plugin_clone_srg(kSro.c_str(), out_as<srg_record>()); }, PLUGIN_ERR_SRG_EMPTY,
         "plugin_clone_srg: ", [] { return out == kKept; }},
        {"NoFdStageBoot", kNoFd, "head -c 16 /dev/zero > " + kStage, "",
         [] { return plugin_read_remaining_load(stage, 16); }, PLUGIN_ERR_OPEN, "",
         [] { return stage[0] == 1; }},
        {"NoFdLink", kNoFd, kExtract, "", kLink, PLUGIN_ERR_OPEN, ""},
        {"NoFdCmdline", kNoFd, "true", "", [] { return plugin_get_cmdline("console") ? 0u : 1u; },
         1u, "Open cmdline failed: Too many open files"},
        {"NoCapsSwidMapRead", kNoCaps, "chmod 000 /tmp/map", "",
         [] { return plugin_read_swid_map("/tmp/map", out_as<plugin_swid_map>()); },
         PLUGIN_ERR_OPEN, "", kOutNull},
        {"NoCapsSwidMapWrite", kNoCaps, "chmod 444 /tmp/map", "",
         [] { return plugin_write_swid_map("/tmp/map", map); }, PLUGIN_ERR_OPEN,
         "plugin_write_swid_map: open /tmp/map for write failed\n"},
        {"NoCapsStageBoot", kNoCaps, "head -c 16 /dev/zero > " + kStage + " && chmod 000 " + kStage,
         "",
         [] {
             return plugin_read_remaining_load(stage, 16) | plugin_write_remaining_load(stage, 16);
         },
         PLUGIN_ERR_OPEN, "", [] { return stage[0] == 1; }},
    }),
    [](const auto &info) { return std::string(info.param.name); });

const int64_t kInval = PLUGIN_ERR_INVALID_ARG;
// Linking asks the command line for "pdebug" before it looks at its arguments.
const std::string kPdebug =
    "plugin_get_cmdline: Expected cmdline: pdebug\nplugin_get_cmdline: File read ====> console=ttyS0 quiet\n\nplugin_get_cmdline: Read === > console=ttyS0 quiet\nplugin_get_cmdline: can't find pdebug\n";
struct ArgRow {  // the call, its result and its exact stderr text
    const char *call;
    std::function<int64_t()> run;
    int64_t want;
    std::string err;
};
int64_t is(const void *p) { return p != nullptr; }
std::string hex(const void *p) {
    return (std::ostringstream() << std::hex << uint32_t(uintptr_t(p))).str();
}
int64_t out_null(int64_t rc) { return out == nullptr ? rc : -99; }
int64_t out_kept(int64_t rc) { return out == kKept ? rc : -98; }
void PrintTo(const ArgRow &row, std::ostream *os) { *os << row.call; }
class RefusedArgsTest : public pit::SandboxTest, public ::testing::WithParamInterface<ArgRow> {};

TEST_P(RefusedArgsTest, GiveTheDocumentedResultAndLine) {
    setenv("PLUGIN_MAX_ALLOWED_ZELL", "2", 1), pit::write_file("/tmp/rec", "x");
    plugin_intn_debug_on();  // a refused call writes no debug line either, unless documented
    out = kKept;
    std::string err;
    EXPECT_EQ(pit::captured(GetParam().run, nullptr, &err), GetParam().want);
    EXPECT_EQ(err, GetParam().err);
    EXPECT_FALSE(pit::exists("/tmp/plugin_imgsrg.sro"));
}

plugin_swid_map *const kMap = plugin_swid_map_alloc(2, 16);  // never freed: one per process
plugin_strings *const kSet = plugin_strings_malloc(1, 8);
uint32_t words[4];
INSTANTIATE_TEST_SUITE_P(
    All, RefusedArgsTest,
    ::testing::ValuesIn(std::vector<ArgRow>{
        {"mkdir",
         [] {
             return pit::current_umask() == 022 && plugin_mkdir(nullptr, 0) == PLUGIN_ERR_FAILED &&
                            pit::current_umask() == 022
                        ? 0
                        : -1;
         },
         0, ""},
        {"rmdir", [] { return plugin_rmdir(nullptr); }, kInval, ""},
        {"syscall", [] { return plugin_syscall(nullptr); }, -1, "plugin_syscall (null)\n"},
        {"swid_map_alloc_over_int32", [] { return is(plugin_swid_map_alloc(1, 0x7ffffff0u)); }, 0,
         ""},
        {"swid_map_integrity_ok", [] { return plugin_swid_map_integrity_ok(nullptr); }, 0, ""},
        {"swid_map_size", [] { return plugin_swid_map_size(nullptr); }, -1, ""},
        {"swid_map_append_null_address", [] { return plugin_swid_map_append(nullptr, "a"); }, -1,
         ""},
        {"swid_map_append_null_map",
         [] {
             return out_null(
                 plugin_swid_map_append((out = nullptr, out_as<plugin_swid_map>()), "a"));
         },
         -1, ""},
        {"swid_map_append_null_swid",
         [] {
             return [](plugin_swid_map *m) {
                 return plugin_swid_map_append(&m, nullptr) + (m != kMap);
             }(kMap);
         },
         -1, ""},
        {"swid_map_next_avail", [] { return plugin_swid_map_next_avail(nullptr); }, -1, ""},
        {"swid_map_get_id",
         [] {
             return plugin_swid_map_get_id(nullptr, "a") + plugin_swid_map_get_id(kMap, nullptr);
         },
         -2, ""},
        {"swid_map_get_swid",
         [] {
             return is(plugin_swid_map_get_swid(nullptr, 0)) +
                    is(plugin_swid_map_get_swid(kMap, 0)) + is(plugin_swid_map_get_swid(kMap, -1));
         },
         0, ""},
        {"read_swid_map",
         [] {
             return out_kept(plugin_read_swid_map(nullptr, out_as<plugin_swid_map>())) +
                    plugin_read_swid_map("/tmp/rec", nullptr);
         },
         2 * kInval, ""},
        {"write_swid_map",
         [] {
             return plugin_write_swid_map(nullptr, kMap) +
                    plugin_write_swid_map("/tmp/m", nullptr) + pit::exists("/tmp/m");
         },
         2 * kInval, ""},
        {"topological_order_count_0",
         [] { return words[0] = 0, plugin_topological_order_get(0, nullptr, words) + words[0]; }, 0,
         ""},
        {"load_order_count_0",
         [] {
             srg_record *r = nullptr;
             return plugin_find_load_order(0, &r, words);
         },
         PLUGIN_ERR_FAILED, "plugin_find_load_order(): num_img=0\n"},
        {"load_order_null_records", [] { return plugin_find_load_order(1, nullptr, words); },
         PLUGIN_ERR_FAILED, "plugin_find_load_order(): num_img=1\n"},
        {"unload_order_null_order",
         [] {
             srg_record *r = nullptr;
             return plugin_find_unload_order(1, &r, nullptr);
         },
         PLUGIN_ERR_FAILED, "plugin_find_load_order(): num_img=1\n"},
        {"extract_image_null_image", [] { return plugin_extract_image(nullptr, "/tmp", nullptr); },
         PLUGIN_ERR_IMG_OPEN, ""},
        {"extract_image_null_dir",
         [] { return plugin_extract_image("/tmp/rec", nullptr, nullptr); }, PLUGIN_ERR_EXTRACT, ""},
        {"do_newer_fs_null",
         [] {
             return plugin_do_newer_fs(nullptr, "/tmp/l", "/tmp"),
                    plugin_do_newer_fs("/tmp/rec", "/tmp/l", nullptr),
                    int64_t{pit::exists("/tmp/l")};
         },
         0, ""},
        {"velm_member_null", [] { return plugin_extract_plugin_from_velm_image(nullptr, nullptr); },
         PLUGIN_ERR_EXTRACT, ""},
        {"clone_srg",
         [] {
             return out_kept(plugin_clone_srg(nullptr, out_as<srg_record>())) +
                    plugin_clone_srg("/tmp/rec", nullptr);
         },
         2 * kInval, ""},
        {"extract_srg",
         [] {
             return out_kept(plugin_extract_srg(nullptr, out_as<srg_record>())) +
                    plugin_extract_srg("/tmp/rec", nullptr);
         },
         2 * kInval, ""},
        {"save_sro_null_record", [] { return plugin_save_sro(4, nullptr); }, PLUGIN_ERR_FAILED,
         "plugin_save_sro id 4 swid !(null)!\nplugin_save_sro: get swid failed for plugin_id 4\n"},
        {"link",
         [] {
             return plugin_link_to_exec_path(nullptr, nullptr, "/velm") +
                    plugin_link_to_exec_path("/tmp/rec", nullptr, nullptr);
         },
         2 * kInval, kPdebug + kPdebug},
        {"unlink",
         [] {
             return plugin_unlink_from_exec_path(nullptr, nullptr, "/velm") +
                    plugin_unlink_from_exec_path("/tmp/rec", nullptr, nullptr);
         },
         2 * kInval, ""},
        {"excluded",
         [] {
             return plugin_file_is_excluded_from_exec_path(nullptr, kSet) +
                    plugin_file_is_excluded_from_exec_path("/etc", nullptr);
         },
         0, ""},
        {"get_cmdline_null", [] { return is(plugin_get_cmdline(nullptr)); }, 0,
         "Null cmdline parameter\n"},
        {"from_cmdline_null_out", [] { return plugin_from_cmdline("1", nullptr, 1); }, 0, ""},
        {"from_cmdline_null_list",
         [] { return out_null(plugin_from_cmdline(nullptr, out_as<int32_t>(), 1)); }, 0,
         "plugin_from_cmdline: No cmdline\n"},
        {"from_cmdline_bad_char",
         [] { return out_null(plugin_from_cmdline("1x", out_as<int32_t>(), 1)); }, 0,
         "plugin_from_cmdline: cmdline 1x\ninvalid cmdline format (invalid char x)\nplugin_from_cmdline: returned num plugin (0)\n"},
        {"names",
         [] {
             return out_null(plugin_get_names_from_conf(nullptr, out_as<plugin_strings>())) +
                    plugin_get_names_from_conf("/tmp/rec", nullptr);
         },
         2 * kInval, ""},
        {"read_remaining_null", [] { return plugin_read_remaining_load(nullptr, 16); }, kInval,
         "plugin_read_remaining_load: boot_status= 0 size= 16 len= 16\n"},
        {"read_remaining_size",
         [] {
             words[0] = 5;
             return plugin_read_remaining_load(words, 12) + words[0];
         },
         kInval + 5,
         "plugin_read_remaining_load: boot_status= " + hex(words) + " size= 12 len= 16\n"},
        {"write_remaining_size",
         [] {
             return plugin_write_remaining_load(words, 20) +
                    pit::exists("/velm/plugin_extract_log/stage_boot");
         },
         kInval, "plugin_write_remaining_load: boot_status= " + hex(words) + " size= 20 len= 16\n"},
    }),
    [](const auto &info) { return std::string(info.param.call); });

}  // namespace
