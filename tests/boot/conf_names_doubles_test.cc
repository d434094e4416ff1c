// Plugin names from an image configuration, against test doubles: the four
// plugin_icf_* functions are scripted here (they replace the platform reader
// for the whole process), and plugin_strings_malloc / _append / _free record
// their calls and can fail on demand before handing on to the string library.
#include <dlfcn.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/plugin_icf.h"
#include "platform/plugin_strings.h"
#include "tests/support/fixture.h"

namespace {

// The configuration the doubles pretend to read.
struct Script {
    std::vector<std::string> names;
    std::vector<std::string> second_walk;  // when not empty: the filling pass yields these
    uint32_t open_rc = 0;
    bool open_sets_handle = true;   // also on a failing open
    int count_fail_at = -1;         // index of the counting pass's get_name call that fails
    uint32_t first_rc = 0;
    int fill_fail_at = -1;          // index of the filling pass's get_name call that fails
    uint32_t fail_rc = 0x1234;
};

Script g_script;
plugin_icf *const kHandle = reinterpret_cast<plugin_icf *>(&g_script);
int g_opens = 0, g_closes = 0;
plugin_icf *g_closed = nullptr;
bool g_filling = false;
std::size_t g_cursor = 0;
int g_calls = 0;  // get_name calls in the current pass

struct MallocCall {
    uint32_t strings, bytes;
};
std::vector<MallocCall> g_mallocs;
bool g_malloc_null = false;
std::string g_fail_append;  // appending this string fails
int g_sets_alive = 0;

const std::vector<std::string> &walk() {
    return g_filling && !g_script.second_walk.empty() ? g_script.second_walk : g_script.names;
}

template <typename F>
F next_fn(const char *name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

uint32_t plugin_icf_open(const char *, plugin_icf **handle) {
    ++g_opens;
    if (g_script.open_rc == 0 || g_script.open_sets_handle) *handle = kHandle;
    g_filling = false;
    g_cursor = 0;
    g_calls = 0;
    return g_script.open_rc;
}

uint32_t plugin_icf_get_name(plugin_icf *handle, const char **name) {
    EXPECT_EQ(handle, kHandle);
    int call = g_calls++;
    if ((!g_filling && call == g_script.count_fail_at) || (g_filling && call == g_script.fill_fail_at)) {
        *name = "bogus";
        return g_script.fail_rc;
    }
    const auto &names = walk();
    *name = g_cursor < names.size() ? names[g_cursor++].c_str() : nullptr;
    return 0;
}

uint32_t plugin_icf_first_img_name(plugin_icf *handle, const char **name) {
    EXPECT_EQ(handle, kHandle);
    g_filling = true;
    g_cursor = 0;
    g_calls = 1;  // the first name counts as the filling pass's call 0
    if (g_script.first_rc != 0) return g_script.first_rc;
    const auto &names = walk();
    *name = names.empty() ? nullptr : names[g_cursor++].c_str();
    return 0;
}

uint32_t plugin_icf_close(plugin_icf *handle) {
    ++g_closes;
    g_closed = handle;
    return 0x77;  // not looked at
}

plugin_strings *plugin_strings_malloc(uint32_t strings, uint32_t bytes) {
    g_mallocs.push_back({strings, bytes});
    if (g_malloc_null) return nullptr;
    static auto next = next_fn<plugin_strings *(*)(uint32_t, uint32_t)>("plugin_strings_malloc");
    plugin_strings *set = next(strings, bytes);
    if (set) ++g_sets_alive;
    return set;
}

int32_t plugin_strings_append(plugin_strings *set, const char *s) {
    if (!g_fail_append.empty() && g_fail_append == s) return -1;
    static auto next = next_fn<int32_t (*)(plugin_strings *, const char *)>("plugin_strings_append");
    return next(set, s);
}

void plugin_strings_free(plugin_strings *set) {
    if (set) --g_sets_alive;
    static auto next = next_fn<void (*)(plugin_strings *)>("plugin_strings_free");
    next(set);
}

}  // extern "C"

namespace {

using Names = std::vector<std::string>;

Names names_of(const plugin_strings *set) {
    Names out;
    for (uint32_t i = 0; i < plugin_strings_num_strings_get(set); ++i) out.emplace_back(plugin_strings_get(set, i));
    return out;
}

class ConfDoublesTest : public pit::SandboxTest {
protected:
    void SetUp() override {
        pit::SandboxTest::SetUp();
        g_script = Script();
        g_opens = g_closes = 0;
        g_closed = nullptr;
        g_mallocs.clear();
        g_malloc_null = false;
        g_fail_append.clear();
        g_sets_alive = 0;
    }

    struct Result {
        plugin_rc_t rc;
        plugin_strings *set;
        std::string err;
    };
    Result get(const char *path = "/opt/img.conf") {
        Result r{};
        r.set = reinterpret_cast<plugin_strings *>(0x1);
        r.rc = pit::captured([&] { return plugin_get_names_from_conf(path, &r.set); }, nullptr, &r.err);
        return r;
    }
    // A failure: the code, no set, the handle closed once, no set left.
    void expect_failure(const Result &r, plugin_rc_t rc, const std::string &err) {
        EXPECT_EQ(r.rc, rc);
        EXPECT_EQ(r.set, nullptr);
        EXPECT_EQ(r.err, err);
        EXPECT_EQ(g_closes, 1);
        EXPECT_EQ(g_closed, kHandle);
        EXPECT_EQ(g_sets_alive, 0);
    }
    static void markers() {
        ASSERT_TRUE(pit::write_file("/mnt/pss/load-fcplugin", ""));
        ASSERT_TRUE(pit::write_file("/mnt/pss/load-virtplugin", ""));
    }
};

TEST_F(ConfDoublesTest, TheSetIsMadeOnceWithExactlyTheCountedSize) {
    markers();
    g_script.names = {"alpha", "b"};
    Result r = get("/mnt/cfg/img.conf");
    ASSERT_EQ(r.rc, PLUGIN_OK);
    ASSERT_EQ(g_mallocs.size(), 1u);
    EXPECT_EQ(g_mallocs[0].strings, 4u);
    EXPECT_EQ(g_mallocs[0].bytes, 6u + 2u + 22u);
    EXPECT_EQ(names_of(r.set), (Names{"alpha", "b", "fc_plugin", "virt_plugin"}));
    EXPECT_EQ(g_opens, 1);
    EXPECT_EQ(g_closes, 1);
    EXPECT_EQ(g_closed, kHandle);
    EXPECT_EQ(r.err, "");
    plugin_strings_free(r.set);
}

TEST_F(ConfDoublesTest, OpenFailureClosesOnlyAHandleThatWasSet) {
    g_script.open_rc = 0xABCDEF01;
    g_script.open_sets_handle = false;
    Result r = get("/opt/x.conf");
    EXPECT_EQ(r.rc, 0xABCDEF01u);
    EXPECT_EQ(r.set, nullptr);
    EXPECT_EQ(r.err, "plugin_get_names_from_conf: open /opt/x.conf failed. (rc = 0xabcdef01)\n");
    EXPECT_EQ(g_closes, 0);
    EXPECT_TRUE(g_mallocs.empty());

    g_script.open_sets_handle = true;
    expect_failure(get("/opt/x.conf"), 0xABCDEF01u,
                   "plugin_get_names_from_conf: open /opt/x.conf failed. (rc = 0xabcdef01)\n");
}

TEST_F(ConfDoublesTest, CountingPassFailureIsReportedInDecimal) {
    for (int at : {0, 2, 3}) {  // first name, a middle one, the end of the walk
        SetUp();
        g_script.names = {"a", "b", "c"};
        g_script.count_fail_at = at;
        g_script.fail_rc = 0x1234;
        expect_failure(get(), 0x1234u, "plugin_get_names_from_conf: get plugin image name failed. (rc = 4660)\n");
        EXPECT_TRUE(g_mallocs.empty());
    }
}

TEST_F(ConfDoublesTest, FillingPassFailuresFreeTheSet) {
    markers();
    g_script.names = {"a", "b"};
    g_script.first_rc = 77;
    expect_failure(get(), 77u, "plugin_get_names_from_conf: get first plugin image name failed. (rc = 77)\n");
    EXPECT_EQ(g_mallocs.size(), 1u);

    for (int at : {1, 2}) {  // the call after the first name, the one that would end the walk
        SetUp();
        g_script.names = {"a", "b"};
        g_script.fill_fail_at = at;
        g_script.fail_rc = 0x40EA0017;
        expect_failure(get(), 0x40EA0017u, "plugin_get_names_from_conf: get plugin image name failed. (rc = 0x40ea0017)\n");
    }
}

TEST_F(ConfDoublesTest, AnImageNameThatDoesNotFitIsAFailure) {
    // The second walk yields more than the first counted.
    g_script.names = {"a"};
    g_script.second_walk = {"a", "extra"};
    expect_failure(get(), PLUGIN_ERR_FAILED, "plugin_get_names_from_conf: failed to append extra sto strings\n");

    SetUp();
    g_script.names = {"a", "b"};
    g_fail_append = "b";
    expect_failure(get(), PLUGIN_ERR_FAILED, "plugin_get_names_from_conf: failed to append b sto strings\n");
}

TEST_F(ConfDoublesTest, AnExtraNameThatDoesNotFitFailsQuietlyUnlessDebugging) {
    markers();
    g_script.names = {"a"};
    g_fail_append = "virt_plugin";
    expect_failure(get(), PLUGIN_ERR_FAILED, "");

    SetUp();
    markers();
    g_script.names = {"a"};
    g_fail_append = "fc_plugin";
    plugin_intn_debug_on();
    expect_failure(get(), PLUGIN_ERR_FAILED,
                   "plugin_get_names_from_conf: Included FC Plugin for plugin string malloc\n"
                   "plugin_get_names_from_conf: Included virtualization Plugin for plugin string malloc\n"
                   "plugin_get_names_from_conf: Appending fc_plugin to the namelist\n"
                   "plugin_get_names_from_conf: failed to append fc_plugin sto strings\n");
}

TEST_F(ConfDoublesTest, AnEmptyConfigurationAsksForAnEmptySet) {
    markers();  // present, but the path is no img.conf
    g_malloc_null = true;
    expect_failure(get("/opt/other.conf"), PLUGIN_ERR_NOMEM,
                   "plugin_get_names_from_conf: strings malloc failed. Number of strings (0), size(0)\n");
    ASSERT_EQ(g_mallocs.size(), 1u);
    EXPECT_EQ(g_mallocs[0].strings, 0u);
    EXPECT_EQ(g_mallocs[0].bytes, 0u);

    SetUp();
    Result r = get("/opt/other.conf");
    ASSERT_EQ(r.rc, PLUGIN_OK);
    ASSERT_NE(r.set, nullptr);
    EXPECT_EQ(plugin_strings_num_strings_get(r.set), 0u);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(g_closes, 1);
    plugin_strings_free(r.set);
}

TEST_F(ConfDoublesTest, NoSetForTheMarkersAloneIsOutOfMemory) {
    markers();
    g_malloc_null = true;
    expect_failure(get("/mnt/cfg/img.conf"), PLUGIN_ERR_NOMEM,
                   "plugin_get_names_from_conf: strings malloc failed. Number of strings (2), size(22)\n");
}

}  // namespace
