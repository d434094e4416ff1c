// I/O faults, one row each: a full device (/dev/full bound over a file), a read-only tree, no
// descriptor left (RLIMIT_NOFILE), no capabilities.  Each gives its documented code, line and state.
#include <fcntl.h>
#include <sys/resource.h>

#include <functional>

#include "tests/support/fixture.h"

namespace {
enum Fault { kFull, kReadOnly, kNoFd, kNoCaps };
struct Row {
    const char *name;
    Fault fault;
    std::string setup, path;  // shell set-up; the file bound to /dev/full or the tree made read-only
    std::function<uint32_t()> call;
    uint32_t want;
    const char *line;            // a part of stderr
    std::function<bool()> post = [] { return true; };  // the state left, checked with the fault undone
};
srg_record *rec;
plugin_swid_map *map;
uint32_t stage[4] = {1, 2, 3, 4};
void *const kKept = &stage;
void *out;
const std::string kSro = std::string(PI_FIXTURES) + "/plug-a.sro", kStage = "/velm/plugin_extract_log/stage_boot";
const std::string kExtract = "tar -xvzf " PI_FIXTURES "/plug-a.img -C /velm/plugin/1 > /velm/1.log";
template <typename T> T **out_as() { return reinterpret_cast<T **>(&out); }
void PrintTo(const Row &row, std::ostream *os) { *os << row.name; }
class IoFaultsTest : public pit::SandboxTest, public ::testing::WithParamInterface<Row> {};
TEST_P(IoFaultsTest, GivesTheDocumentedFailure) {
    const Row &row = GetParam();
    setenv("PLUGIN_MAX_ALLOWED_ZELL", "2", 1);
    ASSERT_EQ(plugin_clone_srg(kSro.c_str(), &rec), 0u);
    map = plugin_swid_map_alloc(4, 64);
    plugin_swid_map_append(&map, "plug-a.1");
    ASSERT_EQ(plugin_write_swid_map("/tmp/map", map), 0u);
    ASSERT_TRUE(pit::sh("mkdir -p /velm/plugin/1 /velm/plugin/3 /velm/plugin_srg /velm/plugin_extract_log && " + row.setup));
    pit::Snapshot tree = pit::snapshot({"/velm", "/usr/bin", "/etc"});
    out = kKept;
    struct rlimit saved;
    getrlimit(RLIMIT_NOFILE, &saved);
    pit::Capture cap;  // opened before the faults
    int lowest = ::open("/dev/null", O_RDONLY);  // the lowest free descriptor
    struct rlimit low = {static_cast<rlim_t>(lowest), saved.rlim_max};
    ::close(lowest);
    bool armed = row.fault == kFull       ? pit::bind("/dev/full", row.path)
                 : row.fault == kReadOnly ? pit::bind_readonly(row.path)
                 : row.fault == kNoFd     ? setrlimit(RLIMIT_NOFILE, &low) == 0
                                          : pit::drop_capabilities();
    uint32_t rc = armed ? row.call() : 0;
    setrlimit(RLIMIT_NOFILE, &saved);
    bool undone = row.fault > kReadOnly || pit::unbind(row.path);
    cap.stop();
    ASSERT_TRUE(armed && undone);
    EXPECT_EQ(rc, row.want) << std::hex << rc << "\n" << cap.err();
    EXPECT_NE(cap.err().find(row.line), std::string::npos) << cap.err();
    EXPECT_TRUE(row.post()) << cap.err();
    EXPECT_EQ(pit::snapshot({"/velm", "/usr/bin", "/etc"}), tree);  // nothing made or removed
    std::free(rec);
    plugin_swid_map_free(map);
}
const auto kOutNull = [] { return out == nullptr; };
const auto kLink = [] { return plugin_link_to_exec_path("/velm/1.log", nullptr, "/velm/plugin/1"); };
const auto kSave = [] { return plugin_save_sro(3, rec); };
const char *kOpenSro = "plugin_save_sro: open /velm/plugin/3/plugin.sro failed\n";
INSTANTIATE_TEST_SUITE_P(All, IoFaultsTest, ::testing::ValuesIn(std::vector<Row>{
    {"FullSwidMap", kFull, "echo old > /tmp/map", "/tmp/map", [] { return plugin_write_swid_map("/tmp/map", map); }, PLUGIN_ERR_WRITE,
     "plugin_write_swid_map: corrupted swid_map_\n", [] { return pit::read_file("/tmp/map") == "old\n"; }},
    {"FullRecord", kFull, "touch /velm/plugin/3/plugin.sro", "/velm/plugin/3/plugin.sro", kSave, PLUGIN_ERR_WRITE, "plugin_save_sro: write to"},
    {"FullStageBoot", kFull, "touch " + kStage, kStage, [] { return plugin_write_remaining_load(stage, 16); }, PLUGIN_ERR_WRITE, ""},
    {"ReadOnlyRecord", kReadOnly, "true", "/velm", kSave, PLUGIN_ERR_OPEN, kOpenSro},
    {"ReadOnlyMkdir", kReadOnly, "true", "/velm", [] { return plugin_mkdir("/velm/new", 0755); }, PLUGIN_ERR_FAILED, ""},
    {"ReadOnlyLink", kReadOnly, kExtract, "/etc", kLink, PLUGIN_ERR_LINK, "plugin_link_to_exec_path: "},
    {"ReadOnlyStageBoot", kReadOnly, "true", "/velm", [] { return plugin_write_remaining_load(stage, 16); }, PLUGIN_ERR_OPEN, ""},
    {"NoFdSwidMap", kNoFd, "true", "", [] { return plugin_read_swid_map("/tmp/map", out_as<plugin_swid_map>()); }, PLUGIN_ERR_OPEN, "", kOutNull},
    // The record library cannot size the file: it holds no record, *record untouched.
    {"NoFdRecord", kNoFd, "true", "", [] { return plugin_clone_srg(kSro.c_str(), out_as<srg_record>()); }, PLUGIN_ERR_SRG_EMPTY,
     "plugin_clone_srg: ", [] { return out == kKept; }},
    {"NoFdStageBoot", kNoFd, "head -c 16 /dev/zero > " + kStage, "", [] { return plugin_read_remaining_load(stage, 16); }, PLUGIN_ERR_OPEN, "",
     [] { return stage[0] == 1; }},
    {"NoFdLink", kNoFd, kExtract, "", kLink, PLUGIN_ERR_OPEN, ""},
    {"NoFdCmdline", kNoFd, "true", "", [] { return plugin_get_cmdline("console") ? 0u : 1u; }, 1u, "Open cmdline failed: Too many open files"},
    {"NoCapsSwidMapRead", kNoCaps, "chmod 000 /tmp/map", "", [] { return plugin_read_swid_map("/tmp/map", out_as<plugin_swid_map>()); },
     PLUGIN_ERR_OPEN, "", kOutNull},
    {"NoCapsSwidMapWrite", kNoCaps, "chmod 444 /tmp/map", "", [] { return plugin_write_swid_map("/tmp/map", map); }, PLUGIN_ERR_OPEN,
     "plugin_write_swid_map: open /tmp/map for write failed\n"},
    {"NoCapsRecord", kNoCaps, "chmod 555 /velm/plugin/3", "", kSave, PLUGIN_ERR_OPEN, kOpenSro},
    {"NoCapsStageBoot", kNoCaps, "head -c 16 /dev/zero > " + kStage + " && chmod 000 " + kStage, "",
     [] { return plugin_read_remaining_load(stage, 16) | plugin_write_remaining_load(stage, 16); }, PLUGIN_ERR_OPEN, "", [] { return stage[0] == 1; }},
}), [](const auto &info) { return std::string(info.param.name); });

}  // namespace
