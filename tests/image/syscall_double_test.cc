// A double of plugin_syscall, defined in this test binary so that the
// library's own calls reach it: commands that begin with a chosen text are
// refused as if no shell could be run (-1); every other command goes to the
// library's runner.
#include <dlfcn.h>

#include <cstring>
#include <string>

#include "platform/srg.h"
#include "tests/image/image_support.h"
#include "tests/support/fixture.h"

namespace {

const char *g_refuse[4] = {};  // command beginnings to refuse

bool refused(const char *command) {
    for (const char *p : g_refuse)
        if (p && command && std::strncmp(command, p, std::strlen(p)) == 0) return true;
    return false;
}

}  // namespace

extern "C" int32_t plugin_syscall(const char *command) {
    if (refused(command)) return -1;
    using Runner = int32_t (*)(const char *);
    static Runner next = reinterpret_cast<Runner>(dlsym(RTLD_NEXT, "plugin_syscall"));
    return next(command);
}

namespace {

using pit::captured;
using pit::read_file;
using pit::write_file;
using namespace pit::image;

const std::string kListCmd = "cd " + kNewer + "; tar -cvf /dev/null * > " + kList;
const std::string kCopy = "cp -af " + kNewer + "/* " + kDir;

class RefusedCommandTest : public pit::SandboxTest {
protected:
    void SetUp() override {
        pit::SandboxTest::SetUp();
        for (auto &p : g_refuse) p = nullptr;
        ASSERT_TRUE(make_tree("/opt/src", {{"usr/bin/foo", "foo v1\n"}}));
        ASSERT_TRUE(make_image(kImage, "/opt/src", "plugin.test", 512));
        ASSERT_TRUE(make_tree(kNewer, {{"usr/bin/foo", "foo v2\n"}, {"opt/run", "run\n"}}));
        ASSERT_TRUE(sh("mkdir -p " + kDir + " /velm/log"));
        pit::set_cmdline("console=ttyS0 use_newer_fs=yes quiet\n");
    }
    void TearDown() override {
        for (auto &p : g_refuse) p = nullptr;
        pit::SandboxTest::TearDown();
    }
    std::string overlay() {
        std::string out, err;
        captured(
            [&] {
                plugin_do_newer_fs(kImage.c_str(), kLog.c_str(), kDir.c_str());
                return 0;
            },
            &out, &err);
        EXPECT_EQ(out, "");
        return without_cmdline_lines(err);
    }
};

TEST_F(RefusedCommandTest, ExtractionThatCannotRunFailsWithoutOverlay) {
    g_refuse[0] = "dd ";
    const int fds = open_fds();
    std::string out, err;
    EXPECT_EQ(captured([] { return plugin_extract_image(kImage.c_str(), kDir.c_str(), kLog.c_str()); },
                       &out, &err),
              PLUGIN_ERR_EXTRACT);
    EXPECT_EQ(out + err, "");  // not even the overlay's command-line lookup
    EXPECT_FALSE(exists(kDir + "/opt"));
    EXPECT_EQ(open_fds(), fds);
}

TEST_F(RefusedCommandTest, ListCommandThatCannotRunStillEndsWithRemovalAndCopy) {
    g_refuse[0] = "cd ";
    ASSERT_TRUE(write_file(kList, "stale/\n"));
    ASSERT_TRUE(write_file(kLog, "before\n"));
    EXPECT_EQ(overlay(), kListCmd + " failed\nExecuting \"" + kCopy + "\"\n");
    EXPECT_FALSE(exists(kList));
    EXPECT_EQ(read_file(kLog), "before\n");
    EXPECT_EQ(read_file(kDir + "/usr/bin/foo"), "foo v2\n");
}

TEST_F(RefusedCommandTest, AdditionsThatCannotRunAreReportedAndTheLoopGoesOn) {
    g_refuse[0] = "echo opt/ ";
    ASSERT_TRUE(write_file(kLog, "before\n"));
    EXPECT_EQ(overlay(), "echo opt/ >> " + kLog + " failed\nExecuting \"" + kCopy + "\"\n");
    EXPECT_EQ(read_file(kLog), "before\nopt/run\nusr/\nusr/bin/\nusr/bin/foo\n");
    EXPECT_FALSE(exists(kList));
    EXPECT_EQ(read_file(kDir + "/opt/run"), "run\n");
}

TEST_F(RefusedCommandTest, CopyThatCannotRunIsReported) {
    g_refuse[0] = "cp ";
    EXPECT_EQ(overlay(), "Executing \"" + kCopy + "\"\n" + kCopy + " failed\n");
    EXPECT_FALSE(exists(kDir + "/opt"));
    EXPECT_FALSE(exists(kList));
}

TEST_F(RefusedCommandTest, SystemImageCommandThatCannotRunPrintsNoSuccess) {
    ASSERT_TRUE(sh("mkdir -p /var/sysmgr/ftp/img-sync"));
    ASSERT_TRUE(make_image("/var/sysmgr/ftp/img-sync/curr-velm.img", "/opt/src", "velm", 512));
    g_refuse[0] = "dd ";
    std::string out, err;
    EXPECT_EQ(captured([] { return plugin_extract_plugin_from_velm_image("/usr/bin/foo", nullptr); },
                       &out, &err),
              PLUGIN_ERR_EXTRACT);
    const std::string self = "plugin_extract_plugin_from_velm_image: ";
    const std::string path = self + "img_path: /usr/bin/foo\n";
    const std::string about =
        self + "About to run command 'dd if=/var/sysmgr/ftp/img-sync/curr-velm.img bs=512 "
               "2>/dev/null | tar -xkPpmz -C / ./usr/bin/foo'\n";
    EXPECT_EQ(err, path + path + about + about);
    EXPECT_EQ(out, path + about);
}

TEST_F(RefusedCommandTest, RemovalsThatCannotRun) {
    ASSERT_TRUE(sh("mkdir -p /velm/plugin/3 /velm/plugin_srg"));
    ASSERT_TRUE(make_record("/opt/acme.sro", "acme.x"));
    srg_record *record = nullptr;
    ASSERT_EQ(plugin_clone_srg("/opt/acme.sro", &record), PLUGIN_OK);
    ASSERT_EQ(plugin_save_sro(3, record), PLUGIN_OK);
    free(record);

    g_refuse[0] = "rm ";
    EXPECT_EQ(plugin_cleanup_sro(3), PLUGIN_ERR_FAILED);
    EXPECT_TRUE(exists("/velm/plugin/3/plugin.sro"));
    EXPECT_TRUE(exists("/velm/plugin_srg/plugin-acme.x.sro"));

    // The temporary record file's removal is not looked at.
    record = nullptr;
    EXPECT_EQ(plugin_extract_srg(kImage.c_str(), &record), PLUGIN_OK);
    ASSERT_NE(record, nullptr);
    EXPECT_STREQ(srg_sw_id_get(record), "plugin.test");
    EXPECT_TRUE(exists("/tmp/plugin_imgsrg.sro"));
    free(record);
}

}  // namespace
