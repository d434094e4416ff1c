// Members of the running system image extracted onto the root filesystem.
// The system image is made by mkplugin: its header block is itself a gzip
// member, so tar reads the whole file from its first byte.
#include <cstdio>
#include <string>

#include "tests/image/image_support.h"
#include "tests/support/fixture.h"

namespace {

using pit::captured;
using pit::read_file;
using pit::write_file;
using namespace pit::image;

const std::string kSelf = "plugin_extract_plugin_from_velm_image";
const std::string kVelm = "/var/sysmgr/ftp/img-sync/curr-velm.img";

class VelmTest : public pit::SandboxTest {
protected:
    void SetUp() override {
        pit::SandboxTest::SetUp();
        // The running system's tree, as the system image holds it.
        ASSERT_TRUE(make_tree("/opt/sys", {{"opt/velm/etc/a.conf", "a\n"},
                                           {"opt/velm/lib/one.so", "1\n"},
                                           {"opt/velm/lib/sub/two.so", "2\n"}}));
        ASSERT_TRUE(sh("mkdir -p /var/sysmgr/ftp/img-sync /velm/log"));
        ASSERT_TRUE(make_image(kVelm, "/opt/sys", "velm.system", 2048));
        ASSERT_TRUE(sh("rm -rf /opt/sys"));
    }
    plugin_rc_t run(const char *member, const char *log, std::string *out, std::string *err) {
        return captured([&] { return plugin_extract_plugin_from_velm_image(member, log); }, out,
                        err);
    }
};

TEST_F(VelmTest, FileMemberWithoutManifestPrintsEveryLineOnBothStreams) {
    std::string out, err;
    EXPECT_EQ(run("/opt/velm/etc/a.conf", nullptr, &out, &err), PLUGIN_OK);
    const std::string cmd = "dd if=" + kVelm + " bs=2048 2>/dev/null | "
                            "tar -xkPpmz -C / ./opt/velm/etc/a.conf";
    const std::string path = kSelf + ": img_path: /opt/velm/etc/a.conf\n";
    const std::string about = kSelf + ": About to run command '" + cmd + "'\n";
    const std::string done = kSelf + ": command '" + cmd + "' successful. \n";
    EXPECT_EQ(err, path + path + about + about + done);
    EXPECT_EQ(out, path + about + done);
    EXPECT_EQ(read_file("/opt/velm/etc/a.conf"), "a\n");
    EXPECT_FALSE(exists("/opt/velm/lib"));
}

TEST_F(VelmTest, DirectoryMemberAppendsItsListingToTheManifest) {
    ASSERT_TRUE(write_file("/velm/log/m.log", "./earlier\n"));
    std::string out, err;
    EXPECT_EQ(run("/opt/velm/lib", "/velm/log/m.log", &out, &err), PLUGIN_OK);
    const std::string cmd = "dd if=" + kVelm + " bs=2048 2>/dev/null | "
                            "tar -xvkPpmz -C / ./opt/velm/lib >> /velm/log/m.log";
    EXPECT_EQ(out, kSelf + ": img_path: /opt/velm/lib\n" + kSelf + ": About to run command '" +
                       cmd + "'\n" + kSelf + ": command '" + cmd + "' successful. \n");
    EXPECT_EQ(read_file("/velm/log/m.log"),
              "./earlier\n./opt/velm/lib/\n./opt/velm/lib/one.so\n./opt/velm/lib/sub/\n"
              "./opt/velm/lib/sub/two.so\n");
    EXPECT_EQ(read_file("/opt/velm/lib/sub/two.so"), "2\n");
    EXPECT_FALSE(exists("/opt/velm/etc"));

    // A second member appends again; a member the image lacks still counts as done.
    EXPECT_EQ(run("/opt/velm/etc", "/velm/log/m.log", &out, &err), PLUGIN_OK);
    EXPECT_EQ(run("/opt/velm/missing", "/velm/log/m.log", &out, &err), PLUGIN_OK);
    EXPECT_EQ(read_file("/velm/log/m.log"),
              "./earlier\n./opt/velm/lib/\n./opt/velm/lib/one.so\n./opt/velm/lib/sub/\n"
              "./opt/velm/lib/sub/two.so\n./opt/velm/etc/\n./opt/velm/etc/a.conf\n");
}

TEST_F(VelmTest, RunsNoOverlay) {
    ASSERT_TRUE(make_tree("/bootflash/curr-velm.img-newer-fs", {{"opt/velm/x", "x\n"}}));
    pit::set_cmdline("use_newer_fs=yes quiet\n");
    std::string out, err;
    EXPECT_EQ(run("/opt/velm/lib", "/velm/log/m.log", &out, &err), PLUGIN_OK);
    EXPECT_EQ(err.find("Executing"), std::string::npos);
    EXPECT_EQ(err.find("plugin_get_cmdline"), std::string::npos);
    EXPECT_FALSE(exists("/opt/velm/x"));
}

TEST_F(VelmTest, ImageThatDoesNotOpenPrintsOnlyThePathLines) {
    ASSERT_TRUE(write_file(kVelm, "damaged header\n"));
    std::string out, err;
    EXPECT_EQ(run("/opt/velm/lib", "/velm/log/m.log", &out, &err), PLUGIN_ERR_IMG_OPEN);
    const std::string path = kSelf + ": img_path: /opt/velm/lib\n";
    EXPECT_EQ(err, path + path);
    EXPECT_EQ(out, path);
    EXPECT_FALSE(exists("/velm/log/m.log"));
    ASSERT_TRUE(sh("rm -f " + kVelm));
    EXPECT_EQ(run("/opt/velm/lib", nullptr, &out, &err), PLUGIN_ERR_IMG_OPEN);
}

TEST_F(VelmTest, NullMemberAndCommandsThatWouldNotFitAreNotRun) {
    std::string out, err;
    EXPECT_EQ(run(nullptr, "/velm/log/m.log", &out, &err), PLUGIN_ERR_EXTRACT);
    EXPECT_EQ(out + err, "");

    // Beyond the member the buffer holds 200 characters: 48 of template, 38
    // of image path and 4 of block size leave 110 for the manifest path.
    const std::string fits = "/velm/log/" + std::string(100, 'm');
    const std::string too_long = fits + "n";
    EXPECT_EQ(run("/opt/velm/etc/a.conf", fits.c_str(), &out, &err), PLUGIN_OK);
    EXPECT_EQ(read_file(fits), "./opt/velm/etc/a.conf\n");
    EXPECT_EQ(run("/opt/velm/etc/a.conf", too_long.c_str(), &out, &err), PLUGIN_ERR_EXTRACT);
    const std::string path = kSelf + ": img_path: /opt/velm/etc/a.conf\n";
    EXPECT_EQ(err, path + path + kSelf + ": command for /opt/velm/etc/a.conf does not fit, not run\n");
    EXPECT_EQ(out, path);
    EXPECT_FALSE(exists(too_long));
}

TEST_F(VelmTest, AllocationFailuresReturnDocumentedCodes) {
    plugin_rc_t rc = PLUGIN_OK;
    pit::Capture cap;  // around all runs, so that nothing in them allocates for it
    const int fds = open_fds();
    long runs = sweep_from(
        [] { sh("rm -rf /opt/velm /velm/log/m.log"); },
        [&] { rc = plugin_extract_plugin_from_velm_image("/opt/velm/lib", "/velm/log/m.log"); },
        [&](long n) {
            EXPECT_TRUE(rc == PLUGIN_OK || rc == PLUGIN_ERR_NOMEM || rc == PLUGIN_ERR_IMG_OPEN ||
                        rc == PLUGIN_ERR_EXTRACT)
                << "allocation " << n << ": " << rc;
            if (rc != PLUGIN_OK) {
                EXPECT_FALSE(exists("/opt/velm")) << n;
            }
            EXPECT_EQ(open_fds(), fds) << n;
        });
    cap.stop();
    if (HasFailure()) std::fputs(cap.out().c_str(), stderr);
    EXPECT_GE(runs, 2);  // at least the image library's and the command buffer's
    EXPECT_EQ(read_file("/opt/velm/lib/sub/two.so"), "2\n");
}

}  // namespace
