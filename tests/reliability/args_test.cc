// Refused arguments of every exported function: the documented result, the exact stderr text and
// out-parameters left as documented.  Pointer results read as 1 (not null) or 0 (null).
#include <functional>
#include <sstream>

#include "tests/support/fixture.h"

namespace {

// Result of plugin_mkdir(NULL); the one place to change it.
constexpr int64_t kMkdirNull = PLUGIN_ERR_INVALID_ARG;
const int64_t kInval = PLUGIN_ERR_INVALID_ARG;
// Linking asks the command line for "pdebug" before it looks at its arguments.
const std::string kPdebug = "plugin_get_cmdline: Expected cmdline: pdebug\nplugin_get_cmdline: File read ====> console=ttyS0 quiet\n\nplugin_get_cmdline: Read === > console=ttyS0 quiet\nplugin_get_cmdline: can't find pdebug\n";
struct Row {  // the call, its result and its exact stderr text
    const char *call;
    std::function<int64_t()> run;
    int64_t want;
    std::string err;
};
void *const kKept = reinterpret_cast<void *>(0x77);
void *out;  // the out-parameter of the row; kKept before each call
template <typename T> T **out_as() { return reinterpret_cast<T **>(&out); }
int64_t is(const void *p) { return p != nullptr; }
std::string hex(const void *p) { return (std::ostringstream() << std::hex << uint32_t(uintptr_t(p))).str(); }
int64_t out_null(int64_t rc) { return out == nullptr ? rc : -99; }
int64_t out_kept(int64_t rc) { return out == kKept ? rc : -98; }
void PrintTo(const Row &row, std::ostream *os) { *os << row.call; }
class RefusedArgsTest : public pit::SandboxTest, public ::testing::WithParamInterface<Row> {};

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
INSTANTIATE_TEST_SUITE_P(All, RefusedArgsTest, ::testing::ValuesIn(std::vector<Row>{
    {"mkdir", [] { return plugin_mkdir(nullptr, 0755); }, kMkdirNull, ""},
    {"rmdir", [] { return plugin_rmdir(nullptr); }, kInval, ""},
    {"syscall", [] { return plugin_syscall(nullptr); }, -1, "plugin_syscall (null)\n"},
    {"swid_map_alloc_over_int32", [] { return is(plugin_swid_map_alloc(1, 0x7ffffff0u)); }, 0, ""},
    {"swid_map_integrity_ok", [] { return plugin_swid_map_integrity_ok(nullptr); }, 0, ""},
    {"swid_map_size", [] { return plugin_swid_map_size(nullptr); }, -1, ""},
    {"swid_map_append_null_address", [] { return plugin_swid_map_append(nullptr, "a"); }, -1, ""},
    {"swid_map_append_null_map", [] { return out_null(plugin_swid_map_append((out = nullptr, out_as<plugin_swid_map>()), "a")); }, -1, ""},
    {"swid_map_append_null_swid", [] { return [](plugin_swid_map *m) { return plugin_swid_map_append(&m, nullptr) + (m != kMap); }(kMap); }, -1, ""},
    {"swid_map_next_avail", [] { return plugin_swid_map_next_avail(nullptr); }, -1, ""},
    {"swid_map_get_id_null_map", [] { return plugin_swid_map_get_id(nullptr, "a"); }, -1, ""},
    {"swid_map_get_id_null_swid", [] { return plugin_swid_map_get_id(kMap, nullptr); }, -1, ""},
    {"swid_map_get_swid", [] { return is(plugin_swid_map_get_swid(nullptr, 0)) + is(plugin_swid_map_get_swid(kMap, 0)) + is(plugin_swid_map_get_swid(kMap, -1)); }, 0, ""},
    {"read_swid_map_null_path", [] { return out_kept(plugin_read_swid_map(nullptr, out_as<plugin_swid_map>())); }, kInval, ""},
    {"read_swid_map_null_out", [] { return plugin_read_swid_map("/tmp/rec", nullptr); }, kInval, ""},
    {"write_swid_map_null_path", [] { return plugin_write_swid_map(nullptr, kMap); }, kInval, ""},
    {"write_swid_map_null_map", [] { return plugin_write_swid_map("/tmp/m", nullptr) + pit::exists("/tmp/m"); }, kInval, ""},
    {"topological_order_count_0", [] { return words[0] = 0, plugin_topological_order_get(0, nullptr, words) + words[0]; }, 0, ""},
    {"load_order_count_0", [] { srg_record *r = nullptr; return plugin_find_load_order(0, &r, words); }, PLUGIN_ERR_FAILED, "plugin_find_load_order(): num_img=0\n"},
    {"load_order_null_records", [] { return plugin_find_load_order(1, nullptr, words); }, PLUGIN_ERR_FAILED, "plugin_find_load_order(): num_img=1\n"},
    {"unload_order_null_order", [] { srg_record *r = nullptr; return plugin_find_unload_order(1, &r, nullptr); }, PLUGIN_ERR_FAILED, "plugin_find_load_order(): num_img=1\n"},
    {"extract_image_null_image", [] { return plugin_extract_image(nullptr, "/tmp", nullptr); }, PLUGIN_ERR_IMG_OPEN, ""},
    {"extract_image_null_dir", [] { return plugin_extract_image("/tmp/rec", nullptr, nullptr); }, PLUGIN_ERR_EXTRACT, ""},
    {"do_newer_fs_null", [] { return plugin_do_newer_fs(nullptr, "/tmp/l", "/tmp"), plugin_do_newer_fs("/tmp/rec", "/tmp/l", nullptr), int64_t{pit::exists("/tmp/l")}; }, 0, ""},
    {"velm_member_null", [] { return plugin_extract_plugin_from_velm_image(nullptr, nullptr); }, PLUGIN_ERR_EXTRACT, ""},
    {"clone_srg_null_path", [] { return out_kept(plugin_clone_srg(nullptr, out_as<srg_record>())); }, kInval, ""},
    {"clone_srg_null_out", [] { return plugin_clone_srg("/tmp/rec", nullptr); }, kInval, ""},
    {"extract_srg_null_image", [] { return out_kept(plugin_extract_srg(nullptr, out_as<srg_record>())); }, kInval, ""},
    {"extract_srg_null_out", [] { return plugin_extract_srg("/tmp/rec", nullptr); }, kInval, ""},
    {"save_sro_null_record", [] { return plugin_save_sro(4, nullptr); }, PLUGIN_ERR_FAILED, "plugin_save_sro id 4 swid !(null)!\nplugin_save_sro: get swid failed for plugin_id 4\n"},
    {"link_null_log", [] { return plugin_link_to_exec_path(nullptr, nullptr, "/velm"); }, kInval, kPdebug},
    {"link_null_plugin", [] { return plugin_link_to_exec_path("/tmp/rec", nullptr, nullptr); }, kInval, kPdebug},
    {"unlink_null_log", [] { return plugin_unlink_from_exec_path(nullptr, nullptr, "/velm"); }, kInval, ""},
    {"unlink_null_plugin", [] { return plugin_unlink_from_exec_path("/tmp/rec", nullptr, nullptr); }, kInval, ""},
    {"excluded_null_path", [] { return plugin_file_is_excluded_from_exec_path(nullptr, kSet); }, 0, ""},
    {"excluded_null_set", [] { return plugin_file_is_excluded_from_exec_path("/etc", nullptr); }, 0, ""},
    {"get_cmdline_null", [] { return is(plugin_get_cmdline(nullptr)); }, 0, "Null cmdline parameter\n"},
    {"from_cmdline_null_out", [] { return plugin_from_cmdline("1", nullptr, 1); }, 0, ""},
    {"from_cmdline_null_list", [] { return out_null(plugin_from_cmdline(nullptr, out_as<int32_t>(), 1)); }, 0, "plugin_from_cmdline: No cmdline\n"},
    {"from_cmdline_bad_char", [] { return out_null(plugin_from_cmdline("1x", out_as<int32_t>(), 1)); }, 0, "plugin_from_cmdline: cmdline 1x\ninvalid cmdline format (invalid char x)\nplugin_from_cmdline: returned num plugin (0)\n"},
    {"names_null_path", [] { return out_null(plugin_get_names_from_conf(nullptr, out_as<plugin_strings>())); }, kInval, ""},
    {"names_null_out", [] { return plugin_get_names_from_conf("/tmp/rec", nullptr); }, kInval, ""},
    {"read_remaining_null", [] { return plugin_read_remaining_load(nullptr, 16); }, kInval, "plugin_read_remaining_load: boot_status= 0 size= 16 len= 16\n"},
    {"read_remaining_size", [] { words[0] = 5; return plugin_read_remaining_load(words, 12) + words[0]; }, kInval + 5, "plugin_read_remaining_load: boot_status= " + hex(words) + " size= 12 len= 16\n"},
    {"write_remaining_size", [] { return plugin_write_remaining_load(words, 20) + pit::exists("/velm/plugin_extract_log/stage_boot"); }, kInval, "plugin_write_remaining_load: boot_status= " + hex(words) + " size= 20 len= 16\n"},
}), [](const auto &info) { return std::string(info.param.call); });

}  // namespace
