// Doubles of the image and record libraries, defined in this test binary so
// that they interpose over the stand-ins for the whole process:
// img_extract_vendor_info, srg_size and srg_file_clone fail on request and
// forward to the stand-ins otherwise.
#include <dlfcn.h>

#include <cstring>
#include <string>

#include "platform/img.h"
#include "platform/srg.h"
#include "tests/image/image_support.h"
#include "tests/support/fixture.h"

namespace {

uint32_t g_vendor_result = 0;  // non-zero: img_extract_vendor_info fails with it
bool g_zero_size = false;      // srg_size answers 0
uint32_t g_clone_result = 0;   // non-zero: srg_file_clone fails with it

template <typename F>
F next(const char *name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

uint32_t img_extract_vendor_info(img_handle *handle, const char *path) {
    if (g_vendor_result != 0) {
        pit::write_file(path, "left by the image library");
        return g_vendor_result;
    }
    return next<uint32_t (*)(img_handle *, const char *)>("img_extract_vendor_info")(handle, path);
}

uint32_t srg_size(const srg_record *record) {
    if (g_zero_size) return 0;
    return next<uint32_t (*)(const srg_record *)>("srg_size")(record);
}

uint32_t srg_file_clone(srg_record *buf, const char *path, uint32_t size) {
    if (g_clone_result != 0) return g_clone_result;
    return next<uint32_t (*)(srg_record *, const char *, uint32_t)>("srg_file_clone")(buf, path,
                                                                                   size);
}

}  // extern "C"

namespace {

using pit::captured;
using pit::read_file;
using pit::write_file;
using namespace pit::image;

class DoublesTest : public pit::SandboxTest {
protected:
    void SetUp() override {
        pit::SandboxTest::SetUp();
        g_vendor_result = 0;
        g_zero_size = false;
        g_clone_result = 0;
    }
};

// --- records ----------------------------------------------------------------

TEST_F(DoublesTest, VendorInformationFailureIsPassedOnAndNoRecordIsRead) {
    ASSERT_TRUE(make_tree("/opt/src", {{"usr/bin/foo", "foo\n"}}));
    ASSERT_TRUE(make_image("/bootflash/p.img", "/opt/src", "acme.image"));
    g_vendor_result = 0x0BAD0042u;
    srg_record *const untouched = reinterpret_cast<srg_record *>(0x1);
    srg_record *record = untouched;
    std::string out, err;
    EXPECT_EQ(captured([&] { return plugin_extract_srg("/bootflash/p.img", &record); }, &out, &err),
              0x0BAD0042u);
    EXPECT_EQ(record, untouched);
    EXPECT_EQ(out + err, "");
    // Left as the image library left it: neither read nor removed.
    EXPECT_EQ(read_file("/tmp/plugin_imgsrg.sro"), "left by the image library");
}

TEST_F(DoublesTest, CloneFailurePassesTheValueOnAndNullsThePointer) {
    ASSERT_TRUE(make_record("/opt/r.sro", "acme.x"));
    g_clone_result = SRG_ERR_READ;
    srg_record *record = reinterpret_cast<srg_record *>(0x1);
    std::string out, err;
    EXPECT_EQ(captured([&] { return plugin_clone_srg("/opt/r.sro", &record); }, &out, &err),
              SRG_ERR_READ);
    EXPECT_EQ(record, nullptr);
    EXPECT_EQ(err, "plugin_clone_srg: clone /opt/r.sro failed\n");

    // Through an image: the temporary file is still removed.
    ASSERT_TRUE(make_tree("/opt/src", {{"f", "f\n"}}));
    ASSERT_TRUE(make_image("/bootflash/p.img", "/opt/src", "acme.image"));
    record = reinterpret_cast<srg_record *>(0x1);
    EXPECT_EQ(captured([&] { return plugin_extract_srg("/bootflash/p.img", &record); }, &out, &err),
              SRG_ERR_READ);
    EXPECT_EQ(record, nullptr);
    EXPECT_EQ(err, "plugin_clone_srg: clone /tmp/plugin_imgsrg.sro failed\n");
    EXPECT_FALSE(exists("/tmp/plugin_imgsrg.sro"));
}

TEST_F(DoublesTest, EmptyRecordIsStoredAsAnEmptyFileAndStillLinked) {
    ASSERT_TRUE(sh("mkdir -p /velm/plugin/5 /velm/plugin_srg"));
    ASSERT_TRUE(make_record("/opt/r.sro", "acme.empty"));
    srg_record *record = nullptr;
    ASSERT_EQ(plugin_clone_srg("/opt/r.sro", &record), PLUGIN_OK);
    ASSERT_TRUE(write_file("/velm/plugin/5/plugin.sro", "old content"));
    g_zero_size = true;
    EXPECT_EQ(plugin_save_sro(5, record), PLUGIN_OK);
    EXPECT_TRUE(exists("/velm/plugin/5/plugin.sro"));
    EXPECT_EQ(read_file("/velm/plugin/5/plugin.sro"), "");
    EXPECT_EQ(link_target("/velm/plugin_srg/plugin-acme.empty.sro"), "/velm/plugin/5/plugin.sro");
    free(record);
}

}  // namespace
