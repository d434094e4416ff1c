// Software record files: reading records from files and images, storing them
// under /velm/plugin/<id> with their software-id links, and removing them.
#include <cstring>
#include <cstdio>
#include <string>

#include "platform/srg.h"
#include "tests/image/image_support.h"
#include "tests/support/fixture.h"

namespace {

using pit::captured;
using pit::read_file;
using pit::write_file;
using namespace pit::image;

const std::string kRecordFile = "/velm/plugin/3/plugin.sro";
const std::string kLink = "/velm/plugin_srg/plugin-acme.router.sro";
const std::string kTemp = "/tmp/plugin_imgsrg.sro";

// The lines plugin_save_sro writes before it opens the record file.
std::string trace(int id, const std::string &swid) {
    return "plugin_save_sro id " + std::to_string(id) + " swid !" + swid + "!\n" +
           "sro path !/velm/plugin/" + std::to_string(id) + "/plugin.sro!\n" +
           "extract path !/velm/plugin/" + std::to_string(id) + "!\n" +
           "sro_link !/velm/plugin_srg/plugin-" + swid + ".sro!\n";
}

class RecordTest : public pit::SandboxTest {
protected:
    void SetUp() override {
        pit::SandboxTest::SetUp();
        ASSERT_TRUE(sh("mkdir -p /velm/plugin/3 /velm/plugin/4 /velm/plugin_srg /opt/rec"));
        ASSERT_TRUE(make_record("/opt/rec/acme.sro", "acme.router", {"acme.base", "acme.lib"}));
    }
    // A record read with plugin_clone_srg; the test frees it.
    srg_record *load(const std::string &path) {
        srg_record *record = nullptr;
        EXPECT_EQ(plugin_clone_srg(path.c_str(), &record), PLUGIN_OK);
        return record;
    }
};

TEST_F(RecordTest, CloneReadsTheRecordBytesOfTheFile) {
    srg_record *record = load("/opt/rec/acme.sro");
    ASSERT_NE(record, nullptr);
    const std::string bytes = read_file("/opt/rec/acme.sro");
    ASSERT_EQ(srg_size(record), bytes.size());
    EXPECT_EQ(std::memcmp(record, bytes.data(), bytes.size()), 0);
    EXPECT_STREQ(srg_sw_id_get(record), "acme.router");
    free(record);
}

TEST_F(RecordTest, CloneRefusesNullArgumentsAndEmptyFilesLeavingThePointer) {
    srg_record *const untouched = reinterpret_cast<srg_record *>(0x1);
    srg_record *record = untouched;
    std::string out, err;
    EXPECT_EQ(captured([&] { return plugin_clone_srg(nullptr, &record); }, &out, &err),
              PLUGIN_ERR_INVALID_ARG);
    EXPECT_EQ(plugin_clone_srg("/opt/rec/acme.sro", nullptr), PLUGIN_ERR_INVALID_ARG);
    EXPECT_EQ(out + err, "");

    ASSERT_TRUE(write_file("/opt/rec/empty.sro", ""));
    ASSERT_TRUE(write_file("/opt/rec/junk.sro", "this is no record at all, not even close"));
    for (const char *path : {"/opt/rec/empty.sro", "/opt/rec/junk.sro", "/opt/rec/none.sro"}) {
        EXPECT_EQ(captured([&] { return plugin_clone_srg(path, &record); }, &out, &err),
                  PLUGIN_ERR_SRG_EMPTY);
        EXPECT_EQ(err, std::string("plugin_clone_srg: ") + path + " is empty\n");
    }
    EXPECT_EQ(record, untouched);
}

TEST_F(RecordTest, ExtractSrgReadsTheVendorInformationAndRemovesTheTemporaryFile) {
    ASSERT_TRUE(make_tree("/opt/src", {{"usr/bin/foo", "foo\n"}}));
    ASSERT_TRUE(make_image("/bootflash/p.img", "/opt/src", "acme.image"));
    srg_record *record = nullptr;
    std::string out, err;
    EXPECT_EQ(captured([&] { return plugin_extract_srg("/bootflash/p.img", &record); }, &out, &err),
              PLUGIN_OK);
    ASSERT_NE(record, nullptr);
    EXPECT_STREQ(srg_sw_id_get(record), "acme.image");
    EXPECT_EQ(out + err, "");
    EXPECT_FALSE(exists(kTemp));
    free(record);
}

TEST_F(RecordTest, ExtractSrgRefusesNullArgumentsAndImagesThatDoNotOpen) {
    srg_record *const untouched = reinterpret_cast<srg_record *>(0x1);
    srg_record *record = untouched;
    EXPECT_EQ(plugin_extract_srg(nullptr, &record), PLUGIN_ERR_INVALID_ARG);
    EXPECT_EQ(plugin_extract_srg("/bootflash/p.img", nullptr), PLUGIN_ERR_INVALID_ARG);
    ASSERT_TRUE(write_file("/bootflash/bad.img", "garbage, no image header here\n"));
    std::string out, err;
    EXPECT_EQ(captured([&] { return plugin_extract_srg("/bootflash/bad.img", &record); }, &out,
                       &err),
              PLUGIN_ERR_IMG_OPEN);
    EXPECT_EQ(plugin_extract_srg("/bootflash/missing.img", &record), PLUGIN_ERR_IMG_OPEN);
    EXPECT_EQ(out + err, "");
    EXPECT_EQ(record, untouched);
    EXPECT_FALSE(exists(kTemp));
}

TEST_F(RecordTest, SaveStoresExactlyTheRecordAndLinksItBySoftwareId) {
    srg_record *record = load("/opt/rec/acme.sro");
    ASSERT_NE(record, nullptr);
    ASSERT_TRUE(write_file(kRecordFile, std::string(4000, 'z')));  // cut to the record
    std::string out, err;
    EXPECT_EQ(captured([&] { return plugin_save_sro(3, record); }, &out, &err), PLUGIN_OK);
    EXPECT_EQ(err, trace(3, "acme.router"));
    EXPECT_EQ(out, "");
    EXPECT_EQ(read_file(kRecordFile), read_file("/opt/rec/acme.sro"));
    EXPECT_EQ(link_target(kLink), kRecordFile);

    // Read back, the stored record has the same bytes.
    srg_record *again = load(kRecordFile);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(std::memcmp(again, record, srg_size(record)), 0);
    free(again);
    free(record);
}

TEST_F(RecordTest, SecondPluginWithTheSameSoftwareIdKeepsTheFirstLink) {
    srg_record *record = load("/opt/rec/acme.sro");
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(plugin_save_sro(3, record), PLUGIN_OK);
    EXPECT_EQ(plugin_save_sro(4, record), PLUGIN_OK);
    EXPECT_EQ(read_file("/velm/plugin/4/plugin.sro"), read_file(kRecordFile));
    EXPECT_EQ(link_target(kLink), kRecordFile);

    // Removing the second plugin's record removes that shared link too.
    EXPECT_EQ(plugin_cleanup_sro(4), PLUGIN_OK);
    EXPECT_FALSE(exists(kLink));
    EXPECT_FALSE(exists("/velm/plugin/4/plugin.sro"));
    EXPECT_TRUE(exists(kRecordFile));
    EXPECT_TRUE(exists("/velm/plugin/4"));
    EXPECT_TRUE(exists("/velm/plugin_srg"));

    // A link that leads to an existing file is kept, whatever it points at.
    ASSERT_TRUE(write_file("/opt/rec/elsewhere", "x"));
    ASSERT_EQ(symlink("/opt/rec/elsewhere", kLink.c_str()), 0);
    EXPECT_EQ(plugin_save_sro(4, record), PLUGIN_OK);
    EXPECT_EQ(link_target(kLink), "/opt/rec/elsewhere");
    free(record);
}

TEST_F(RecordTest, DanglingLinkFailsWithTheSymlinkMessages) {
    srg_record *record = load("/opt/rec/acme.sro");
    ASSERT_NE(record, nullptr);
    ASSERT_EQ(symlink("/velm/plugin/9/plugin.sro", kLink.c_str()), 0);
    std::string out, err;
    EXPECT_EQ(captured([&] { return plugin_save_sro(3, record); }, &out, &err), PLUGIN_ERR_LINK);
    EXPECT_EQ(err, trace(3, "acme.router") + "symlink fail\nplugin_save_sro: failed to symlink " +
                       kLink + " to " + kRecordFile + "\n");
    // What was done stays: the record file is written, the old link untouched.
    EXPECT_EQ(read_file(kRecordFile), read_file("/opt/rec/acme.sro"));
    EXPECT_EQ(link_target(kLink), "/velm/plugin/9/plugin.sro");
    free(record);
}

TEST_F(RecordTest, MissingPluginDirectoryFailsToOpen) {
    srg_record *record = load("/opt/rec/acme.sro");
    ASSERT_NE(record, nullptr);
    std::string out, err;
    EXPECT_EQ(captured([&] { return plugin_save_sro(7, record); }, &out, &err), PLUGIN_ERR_OPEN);
    EXPECT_EQ(err, trace(7, "acme.router") +
                       "open fail\nplugin_save_sro: open /velm/plugin/7/plugin.sro failed\n");
    EXPECT_FALSE(exists("/velm/plugin/7"));
    EXPECT_FALSE(exists(kLink));
    free(record);
}

TEST_F(RecordTest, ShortWriteFailsAndLinksNothing) {
    srg_record *record = load("/opt/rec/acme.sro");
    ASSERT_NE(record, nullptr);
    ASSERT_TRUE(write_file(kRecordFile, ""));
    ASSERT_TRUE(pit::bind("/dev/full", kRecordFile));
    std::string out, err;
    EXPECT_EQ(captured([&] { return plugin_save_sro(3, record); }, &out, &err), PLUGIN_ERR_WRITE);
    EXPECT_EQ(err, trace(3, "acme.router") +
                       "write fail\nplugin_save_sro: write to " + kRecordFile + " failed\n");
    EXPECT_FALSE(exists(kLink));
    pit::unbind(kRecordFile);
    free(record);
}

TEST_F(RecordTest, RecordWithoutSoftwareIdAndNullRecordFail) {
    ASSERT_TRUE(make_record("/opt/rec/anon.sro", ""));
    srg_record *record = load("/opt/rec/anon.sro");
    ASSERT_NE(record, nullptr);
    std::string out, err;
    EXPECT_EQ(captured([&] { return plugin_save_sro(3, record); }, &out, &err), PLUGIN_ERR_FAILED);
    EXPECT_EQ(err, "plugin_save_sro id 3 swid !(null)!\n"
                   "plugin_save_sro: get swid failed for plugin_id 3\n");
    EXPECT_EQ(captured([&] { return plugin_save_sro(-2, nullptr); }, &out, &err),
              PLUGIN_ERR_FAILED);
    EXPECT_EQ(err, "plugin_save_sro id -2 swid !(null)!\n"
                   "plugin_save_sro: get swid failed for plugin_id -2\n");
    EXPECT_FALSE(exists(kRecordFile));
    free(record);
}

TEST_F(RecordTest, LinkPathThatWouldNotFitIsRefusedBeforeAnythingIsWritten) {
    // "/velm/plugin_srg/plugin-" and ".sro" take 28 of the 255 characters.
    const std::string fits(227, 'f'), too_long(228, 'g');
    ASSERT_TRUE(make_record("/opt/rec/fits.sro", fits));
    ASSERT_TRUE(make_record("/opt/rec/long.sro", too_long));
    srg_record *record = load("/opt/rec/fits.sro");
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(plugin_save_sro(3, record), PLUGIN_OK);
    EXPECT_EQ(link_target("/velm/plugin_srg/plugin-" + fits + ".sro"), kRecordFile);
    free(record);

    record = load("/opt/rec/long.sro");
    ASSERT_NE(record, nullptr);
    std::string out, err;
    EXPECT_EQ(captured([&] { return plugin_save_sro(4, record); }, &out, &err), PLUGIN_ERR_LINK);
    EXPECT_EQ(err, "plugin_save_sro id 4 swid !" + too_long + "!\nplugin_save_sro: link path for swid " +
                       too_long + " does not fit, record not stored\n");
    EXPECT_FALSE(exists("/velm/plugin/4/plugin.sro"));
    EXPECT_TRUE(sh("test \"$(ls /velm/plugin_srg | wc -l)\" = 1"));
    free(record);
}

TEST_F(RecordTest, CleanupRemovesLinkThenRecordAndKeepsTheDirectories) {
    srg_record *record = load("/opt/rec/acme.sro");
    ASSERT_NE(record, nullptr);
    ASSERT_EQ(plugin_save_sro(3, record), PLUGIN_OK);
    free(record);
    std::string out, err;
    EXPECT_EQ(captured([] { return plugin_cleanup_sro(3); }, &out, &err), PLUGIN_OK);
    EXPECT_EQ(out + err, "");
    EXPECT_FALSE(exists(kLink));
    EXPECT_FALSE(exists(kRecordFile));
    EXPECT_TRUE(exists("/velm/plugin/3"));
    EXPECT_TRUE(exists("/velm/plugin_srg"));
}

TEST_F(RecordTest, CleanupWithoutRecordFileRemovesNoLink) {
    ASSERT_EQ(symlink(kRecordFile.c_str(), kLink.c_str()), 0);
    ASSERT_TRUE(write_file("/velm/plugin/4/plugin.sro", "not a record"));
    EXPECT_EQ(plugin_cleanup_sro(3), PLUGIN_OK);
    EXPECT_EQ(plugin_cleanup_sro(4), PLUGIN_OK);  // a file that holds no record
    EXPECT_EQ(plugin_cleanup_sro(12345), PLUGIN_OK);
    EXPECT_EQ(link_target(kLink), kRecordFile);
    EXPECT_FALSE(exists("/velm/plugin/4/plugin.sro"));
}

TEST_F(RecordTest, AllocationFailuresReturnDocumentedCodes) {
    ASSERT_TRUE(make_tree("/opt/src", {{"usr/bin/foo", "foo\n"}}));
    ASSERT_TRUE(make_image("/bootflash/p.img", "/opt/src", "acme.router"));
    srg_record *const untouched = reinterpret_cast<srg_record *>(0x1);
    srg_record *record = untouched;
    plugin_rc_t rc = PLUGIN_OK;
    pit::Capture cap;  // around all runs, so that nothing in them allocates for it
    const int fds = open_fds();

    // Reading a record file.
    long runs = sweep_from([&] { record = untouched; },
                           [&] { rc = plugin_clone_srg("/opt/rec/acme.sro", &record); },
                           [&](long n) {
                               // The size check of the record library allocates too: a
                               // failure there reads as an empty file.
                               if (rc == PLUGIN_ERR_NOMEM) {
                                   EXPECT_EQ(record, nullptr) << n;
                               } else if (rc == PLUGIN_ERR_SRG_EMPTY) {
                                   EXPECT_EQ(record, untouched) << n;
                               } else {
                                   ADD_FAILURE() << "allocation " << n << ": " << rc;
                               }
                               EXPECT_EQ(open_fds(), fds) << n;
                           });
    EXPECT_GE(runs, 2);
    ASSERT_EQ(rc, PLUGIN_OK);  // the run in which nothing failed
    free(record);

    // Reading the record of an image.
    runs = sweep_from([&] { record = untouched; },
                      [&] { rc = plugin_extract_srg("/bootflash/p.img", &record); },
                      [&](long n) {
                          if (rc == PLUGIN_OK) {
                              ASSERT_NE(record, nullptr) << n;
                              EXPECT_STREQ(srg_sw_id_get(record), "acme.router") << n;
                              free(record);
                          } else {
                              EXPECT_TRUE(record == nullptr || record == untouched) << n;
                          }
                          EXPECT_EQ(open_fds(), fds) << n;
                      });
    EXPECT_GE(runs, 3);
    ASSERT_EQ(rc, PLUGIN_OK);
    free(record);

    // Storing and removing a record.
    srg_record *acme = nullptr;
    {
        pit::faults::disarm();
        ASSERT_EQ(plugin_clone_srg("/opt/rec/acme.sro", &acme), PLUGIN_OK);
    }
    runs = sweep_from([] { sh("rm -f " + kRecordFile + " " + kLink); },
                      [&] { rc = plugin_save_sro(3, acme); },
                      [&](long n) {
                          EXPECT_EQ(rc, PLUGIN_OK) << n;
                          EXPECT_EQ(open_fds(), fds) << n;
                      });
    EXPECT_EQ(plugin_save_sro(3, acme), PLUGIN_OK);
    EXPECT_EQ(link_target(kLink), kRecordFile);

    runs = sweep_from([&] { (void)plugin_save_sro(3, acme); },
                      [&] { rc = plugin_cleanup_sro(3); },
                      [&](long n) {
                          if (rc == PLUGIN_OK) {
                              EXPECT_FALSE(exists(kRecordFile)) << n;
                          } else if (rc == PLUGIN_ERR_NOMEM) {
                              EXPECT_TRUE(exists(kRecordFile)) << n;
                          } else {
                              ADD_FAILURE() << "allocation " << n << ": " << rc;
                          }
                          EXPECT_EQ(open_fds(), fds) << n;
                      });
    EXPECT_GE(runs, 2);
    cap.stop();
    if (HasFailure()) std::fputs(cap.out().c_str(), stderr);
    free(acme);
}

}  // namespace
