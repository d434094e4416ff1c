// Plugin names from an image configuration, with the platform's configuration
// reader and string sets.
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/plugin_icf.h"
#include "platform/plugin_strings.h"
#include "tests/boot/boot_support.h"
#include "tests/support/fixture.h"

namespace {

using pit::captured;
using Names = std::vector<std::string>;

constexpr const char *kFcMarker = "/mnt/pss/load-fcplugin";
constexpr const char *kVirtMarker = "/mnt/pss/load-virtplugin";

Names names_of(const plugin_strings *set) {
    Names out;
    for (uint32_t i = 0; i < plugin_strings_num_strings_get(set); ++i) out.emplace_back(plugin_strings_get(set, i));
    return out;
}

// The size a set made with exactly these capacities has.
int32_t exact_size(uint32_t strings, uint32_t bytes) {
    plugin_strings *ref = plugin_strings_malloc(strings, bytes);
    int32_t size = plugin_strings_max_size(ref);
    plugin_strings_free(ref);
    return size;
}

class ConfNamesTest : public pit::SandboxTest {
protected:
    void SetUp() override {
        pit::SandboxTest::SetUp();
        ASSERT_EQ(mkdir("/opt/cfg", 0755), 0);
        ASSERT_TRUE(pit::write_file("/opt/cfg/img.conf", "# images\nalpha.img\n\n  beta-plugin.img  \ngamma\n"));
        ASSERT_TRUE(pit::write_file("/opt/cfg/plugins.conf", "alpha.img\n"));
    }

    struct Result {
        plugin_rc_t rc;
        plugin_strings *set;
        std::string out, err;
    };
    Result get(const char *path) {
        Result r{};
        r.set = reinterpret_cast<plugin_strings *>(0x1);  // must be overwritten
        r.rc = captured([&] { return plugin_get_names_from_conf(path, &r.set); }, &r.out, &r.err);
        return r;
    }
};

TEST_F(ConfNamesTest, WithoutMarkersTheSetHoldsTheImageNamesInOrderAndNothingIsWritten) {
    Result r = get("/opt/cfg/img.conf");
    ASSERT_EQ(r.rc, PLUGIN_OK);
    ASSERT_NE(r.set, nullptr);
    EXPECT_EQ(names_of(r.set), (Names{"alpha.img", "beta-plugin.img", "gamma"}));
    EXPECT_EQ(plugin_strings_max_strings_get(r.set), 3u);
    EXPECT_EQ(plugin_strings_max_size(r.set), exact_size(3, 10 + 16 + 6));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "");
    plugin_strings_free(r.set);
}

TEST_F(ConfNamesTest, BothMarkersAddTheTwoNamesOnlyForAnImgConf) {
    ASSERT_TRUE(pit::write_file(kFcMarker, ""));
    ASSERT_EQ(mkdir(kVirtMarker, 0755), 0);  // existence is all that counts

    Result r = get("/opt/cfg/img.conf");
    ASSERT_EQ(r.rc, PLUGIN_OK);
    EXPECT_EQ(names_of(r.set), (Names{"alpha.img", "beta-plugin.img", "gamma", "fc_plugin", "virt_plugin"}));
    EXPECT_EQ(plugin_strings_max_strings_get(r.set), 5u);
    EXPECT_EQ(plugin_strings_max_size(r.set), exact_size(5, 32 + 22));
    EXPECT_LT(plugin_strings_append(r.set, ""), 0);  // full
    EXPECT_EQ(r.err, "");
    plugin_strings_free(r.set);

    // "img.conf" anywhere in the path qualifies.
    ASSERT_EQ(mkdir("/opt/img.conf.d", 0755), 0);
    ASSERT_TRUE(pit::write_file("/opt/img.conf.d/list", "one\n"));
    Result inside = get("/opt/img.conf.d/list");
    ASSERT_EQ(inside.rc, PLUGIN_OK);
    EXPECT_EQ(names_of(inside.set), (Names{"one", "fc_plugin", "virt_plugin"}));
    plugin_strings_free(inside.set);

    Result other = get("/opt/cfg/plugins.conf");
    ASSERT_EQ(other.rc, PLUGIN_OK);
    EXPECT_EQ(names_of(other.set), (Names{"alpha.img"}));
    EXPECT_EQ(plugin_strings_max_size(other.set), exact_size(1, 10));
    plugin_strings_free(other.set);
}

TEST_F(ConfNamesTest, EachMarkerCountsOnItsOwn) {
    ASSERT_TRUE(pit::write_file(kVirtMarker, "anything"));
    Result virt = get("/opt/cfg/img.conf");
    ASSERT_EQ(virt.rc, PLUGIN_OK);
    EXPECT_EQ(names_of(virt.set), (Names{"alpha.img", "beta-plugin.img", "gamma", "virt_plugin"}));
    EXPECT_EQ(plugin_strings_max_size(virt.set), exact_size(4, 32 + 12));
    plugin_strings_free(virt.set);

    ASSERT_EQ(unlink(kVirtMarker), 0);
    ASSERT_TRUE(pit::write_file(kFcMarker, ""));
    Result fc = get("/opt/cfg/img.conf");
    ASSERT_EQ(fc.rc, PLUGIN_OK);
    EXPECT_EQ(names_of(fc.set), (Names{"alpha.img", "beta-plugin.img", "gamma", "fc_plugin"}));
    EXPECT_EQ(plugin_strings_max_size(fc.set), exact_size(4, 32 + 10));
    plugin_strings_free(fc.set);
}

TEST_F(ConfNamesTest, DebugLinesShowTheExtraNames) {
    ASSERT_TRUE(pit::write_file(kFcMarker, ""));
    ASSERT_TRUE(pit::write_file(kVirtMarker, ""));
    plugin_intn_debug_on();
    Result r = get("/opt/cfg/img.conf");
    ASSERT_EQ(r.rc, PLUGIN_OK);
    EXPECT_EQ(r.err,
              "plugin_get_names_from_conf: Included FC Plugin for plugin string malloc\n"
              "plugin_get_names_from_conf: Included virtualization Plugin for plugin string malloc\n"
              "plugin_get_names_from_conf: Appending fc_plugin to the namelist\n"
              "plugin_get_names_from_conf: Appending virt_plugin to the namelist\n");
    plugin_strings_free(r.set);
}

TEST_F(ConfNamesTest, AnEmptyConfigurationGivesAnEmptySet) {
    ASSERT_TRUE(pit::write_file("/opt/cfg/empty.conf", "# nothing\n\n"));
    Result r = get("/opt/cfg/empty.conf");
    ASSERT_EQ(r.rc, PLUGIN_OK);
    ASSERT_NE(r.set, nullptr);
    EXPECT_EQ(plugin_strings_num_strings_get(r.set), 0u);
    EXPECT_EQ(plugin_strings_max_strings_get(r.set), 0u);
    plugin_strings_free(r.set);
}

TEST_F(ConfNamesTest, ConfigurationFailuresComeBackUnchanged) {
    Result missing = get("/opt/cfg/none.conf");
    EXPECT_EQ(missing.rc, PLUGIN_ICF_ERR_OPEN);
    EXPECT_EQ(missing.set, nullptr);
    EXPECT_EQ(missing.err, "plugin_get_names_from_conf: open /opt/cfg/none.conf failed. (rc = 0x1c0f0002)\n");

    ASSERT_TRUE(pit::write_file("/opt/cfg/long.conf", std::string(300, 'x') + "\n"));
    Result long_line = get("/opt/cfg/long.conf");
    EXPECT_EQ(long_line.rc, PLUGIN_ICF_ERR_LINE);
    EXPECT_EQ(long_line.set, nullptr);
}

TEST_F(ConfNamesTest, NullArgumentsAreRefused) {
    Result r = get(nullptr);
    EXPECT_EQ(r.rc, PLUGIN_ERR_INVALID_ARG);
    EXPECT_EQ(r.set, nullptr);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(plugin_get_names_from_conf("/opt/cfg/img.conf", nullptr), PLUGIN_ERR_INVALID_ARG);
}

TEST_F(ConfNamesTest, EveryFailingAllocationGivesADocumentedCodeAndNoSet) {
    ASSERT_TRUE(pit::write_file(kFcMarker, ""));
    ASSERT_TRUE(pit::write_file(kVirtMarker, ""));
    plugin_strings *set = nullptr;
    plugin_rc_t rc = 0;
    int set_failures = 0;
    long injected = pit::boot::sweep_captured(
        [&] {
            set = reinterpret_cast<plugin_strings *>(0x1);
            rc = plugin_get_names_from_conf("/opt/cfg/img.conf", &set);
            if (rc == PLUGIN_OK) plugin_strings_free(set);
        },
        [&](long n, const std::string &err) {
            SCOPED_TRACE("failing allocation " + std::to_string(n));
            if (rc == PLUGIN_OK) {  // a failure the stream library works around (its buffer)
                EXPECT_EQ(err, "");
                return;
            }
            EXPECT_EQ(set, nullptr);
            if (rc == PLUGIN_ERR_NOMEM) {
                ++set_failures;
                EXPECT_EQ(err,
                          "plugin_get_names_from_conf: strings malloc failed. Number of strings (5), size(54)\n");
            } else {
                // The reader could not open the file (its stream or its buffers).
                EXPECT_TRUE(rc == PLUGIN_ICF_ERR_NOMEM || rc == PLUGIN_ICF_ERR_OPEN) << std::hex << rc;
                char line[128];
                std::snprintf(line, sizeof line, "plugin_get_names_from_conf: open /opt/cfg/img.conf failed. (rc = 0x%x)\n",
                              rc);
                EXPECT_EQ(err, line);
            }
        });
    EXPECT_GE(injected, 2);
    EXPECT_EQ(set_failures, 1);  // the set is allocated once
}

}  // namespace
