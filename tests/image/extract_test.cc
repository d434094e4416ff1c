// Plugin image extraction and the newer-fs overlay, on images made by
// mkplugin and unpacked by the real dd and tar.
#include <cstdio>
#include <string>

#include "tests/image/image_support.h"
#include "tests/support/fixture.h"

namespace {

using pit::captured;
using pit::read_file;
using pit::write_file;
using namespace pit::image;


// What tar -v lists for the image of the fixture's tree.
const std::string kListing = "./\n./usr/\n./usr/bin/\n./usr/bin/foo\n./usr/lib/\n./usr/lib/x\n";

std::string executing(const std::string &dir) {
    return "Executing \"cp -af " + kNewer + "/* " + dir + "\"\n";
}

class ExtractTest : public pit::SandboxTest {
protected:
    void SetUp() override {
        pit::SandboxTest::SetUp();
        ASSERT_TRUE(make_tree("/opt/src", {{"usr/bin/foo", "foo v1\n"}, {"usr/lib/x", "x\n"}}));
        ASSERT_TRUE(make_image(kImage, "/opt/src", "plugin.test", 512));
        ASSERT_TRUE(sh("mkdir -p " + kDir + " /velm/log"));
    }

    // A newer-fs directory that replaces foo and brings a tree of its own.
    void make_newer_fs() {
        ASSERT_TRUE(make_tree(kNewer, {{"usr/bin/foo", "foo v2\n"}, {"opt/tool/run", "run\n"}}));
    }

    plugin_rc_t extract(const char *log, std::string *out, std::string *err,
                        const std::string &dir = kDir, const std::string &image = kImage) {
        return captured([&] { return plugin_extract_image(image.c_str(), dir.c_str(), log); },
                        out, err);
    }
};

TEST_F(ExtractTest, UnpacksWithoutManifestAndPrintsNothing) {
    std::string out, err;
    EXPECT_EQ(extract(nullptr, &out, &err), PLUGIN_OK);
    EXPECT_EQ(out, "");
    EXPECT_EQ(without_cmdline_lines(err), "");
    EXPECT_EQ(read_file(kDir + "/usr/bin/foo"), "foo v1\n");
    EXPECT_EQ(read_file(kDir + "/usr/lib/x"), "x\n");
    EXPECT_FALSE(exists(kLog));
}

TEST_F(ExtractTest, ManifestIsReplacedByEveryExtraction) {
    ASSERT_TRUE(write_file(kLog, "stale\n"));
    std::string out, err;
    EXPECT_EQ(extract(kLog.c_str(), &out, &err), PLUGIN_OK);
    EXPECT_EQ(read_file(kLog), kListing);
    EXPECT_EQ(out, "");
    EXPECT_EQ(without_cmdline_lines(err), "");

    ASSERT_TRUE(sh("mkdir -p /velm/plugin/2"));
    EXPECT_EQ(extract(kLog.c_str(), &out, &err, "/velm/plugin/2"), PLUGIN_OK);
    EXPECT_EQ(read_file(kLog), kListing);
    EXPECT_EQ(read_file("/velm/plugin/2/usr/bin/foo"), "foo v1\n");
}

TEST_F(ExtractTest, CommandsFollowTheTemplatesWithTheImagesBlockSize) {
    ASSERT_TRUE(make_image("/bootflash/big.img", "/opt/src", "plugin.big", 4096));
    plugin_intn_debug_on();
    std::string out, err;
    EXPECT_EQ(extract(kLog.c_str(), &out, &err, kDir, "/bootflash/big.img"), PLUGIN_OK);
    EXPECT_EQ(lines(err).at(0), "plugin_syscall dd if=/bootflash/big.img skip=1 bs=4096 "
                                "2>/dev/null | tar -xvkPpmz -C /velm/plugin/1 > " + kLog);
    // Exactly one header block was skipped: the archive unpacked whole.
    EXPECT_EQ(read_file(kLog), kListing);
    EXPECT_EQ(read_file(kDir + "/usr/lib/x"), "x\n");

    ASSERT_TRUE(sh("mkdir -p /velm/plugin/2"));
    EXPECT_EQ(extract(nullptr, &out, &err, "/velm/plugin/2"), PLUGIN_OK);
    EXPECT_EQ(lines(err).at(0), "plugin_syscall dd if=/bootflash/plug.img skip=1 bs=512 "
                                "2>/dev/null | tar -xkPpmz -C /velm/plugin/2");
    EXPECT_EQ(read_file("/velm/plugin/2/usr/bin/foo"), "foo v1\n");
}

TEST_F(ExtractTest, ExistingFilesAreKept) {
    ASSERT_TRUE(make_tree(kDir, {{"usr/bin/foo", "mine\n"}}));
    std::string out, err;
    EXPECT_EQ(extract(kLog.c_str(), &out, &err), PLUGIN_OK);
    EXPECT_EQ(read_file(kDir + "/usr/bin/foo"), "mine\n");
    EXPECT_EQ(read_file(kDir + "/usr/lib/x"), "x\n");
}

TEST_F(ExtractTest, DamagedArchiveStillSucceedsAndRunsTheOverlay) {
    // Header block intact, archive cut short after a few bytes.
    ASSERT_TRUE(sh("truncate -s 560 " + kImage));
    make_newer_fs();
    pit::set_cmdline("console=ttyS0 use_newer_fs=yes quiet\n");
    std::string out, err;
    EXPECT_EQ(extract(kLog.c_str(), &out, &err), PLUGIN_OK);
    EXPECT_NE(err.find(executing(kDir)), std::string::npos) << err;
    EXPECT_EQ(read_file(kDir + "/opt/tool/run"), "run\n");
    EXPECT_FALSE(exists(kDir + "/usr/lib/x"));
}

TEST_F(ExtractTest, ImageThatCannotBeOpenedReturnsBeforeAnythingIsPrinted) {
    ASSERT_TRUE(write_file("/bootflash/bad.img", "not an image at all\n"));
    ASSERT_TRUE(make_tree("/bootflash/bad.img-newer-fs", {{"f", "f\n"}}));
    pit::set_cmdline("use_newer_fs=yes quiet\n");
    std::string out, err;
    EXPECT_EQ(extract(kLog.c_str(), &out, &err, kDir, "/bootflash/bad.img"), PLUGIN_ERR_IMG_OPEN);
    EXPECT_EQ(extract(kLog.c_str(), &out, &err, kDir, "/bootflash/none.img"),
              PLUGIN_ERR_IMG_OPEN);
    EXPECT_EQ(captured([] { return plugin_extract_image(nullptr, "/velm", nullptr); }, &out, &err),
              PLUGIN_ERR_IMG_OPEN);
    EXPECT_EQ(captured([] { return plugin_extract_image(kImage.c_str(), nullptr, kLog.c_str()); },
                       &out, &err),
              PLUGIN_ERR_EXTRACT);
    // Not even the overlay's command-line lookup ran.
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "");
    EXPECT_FALSE(exists(kLog));
    EXPECT_FALSE(exists(kDir + "/f"));
}

TEST_F(ExtractTest, CommandThatWouldNotFitIsNotRun) {
    // Beyond the image path the buffer holds 200 characters: the template
    // without manifest takes 47 and "512" 3, leaving 150 for the directory.
    const std::string fits = "/velm/" + std::string(144, 'd');
    const std::string too_long = "/velm/" + std::string(145, 'e');
    ASSERT_EQ(fits.size(), 150u);
    ASSERT_TRUE(sh("mkdir -p " + fits + " " + too_long));
    make_newer_fs();
    pit::set_cmdline("use_newer_fs=yes quiet\n");

    std::string out, err;
    EXPECT_EQ(extract(nullptr, &out, &err, fits), PLUGIN_OK);
    EXPECT_EQ(read_file(fits + "/usr/lib/x"), "x\n");

    EXPECT_EQ(extract(nullptr, &out, &err, too_long), PLUGIN_ERR_EXTRACT);
    EXPECT_EQ(err, "plugin_extract_image: command for " + kImage + " does not fit, not run\n");
    EXPECT_FALSE(exists(too_long + "/usr"));
    EXPECT_FALSE(exists(too_long + "/opt"));

    // With a manifest: 51 characters of template, 3 of block size.
    const std::string log = "/velm/log/" + std::string(146 - 7 - 10, 'l');  // "/velm/a" + log
    ASSERT_EQ(log.size() + 7, 146u);
    ASSERT_TRUE(sh("mkdir -p /velm/a"));
    EXPECT_EQ(extract(log.c_str(), &out, &err, "/velm/a"), PLUGIN_OK);
    EXPECT_EQ(read_file(log), kListing + "opt/\nopt/tool/\nopt/tool/run\n");
    const std::string log2 = log + "m";
    EXPECT_EQ(extract(log2.c_str(), &out, &err, "/velm/a"), PLUGIN_ERR_EXTRACT);
    EXPECT_FALSE(exists(log2));
}

// --- the newer-fs overlay ---------------------------------------------------

class NewerFsTest : public ExtractTest {
protected:
    void SetUp() override {
        ExtractTest::SetUp();
        make_newer_fs();
    }
    // Runs the overlay alone on a fresh extraction; its stderr without the
    // command-line lookup's lines.
    std::string overlay(const std::string &cmdline, const std::string &image = kImage,
                        const char *log = kLog.c_str()) {
        pit::set_cmdline(cmdline);
        std::string out, err;
        captured(
            [&] {
                plugin_do_newer_fs(image.c_str(), log, kDir.c_str());
                return 0;
            },
            &out, &err);
        EXPECT_EQ(out, "");
        return without_cmdline_lines(err);
    }
};

TEST_F(NewerFsTest, ValueSelectsTheImage) {
    struct Case {
        const char *cmdline;
        bool selected;
    } cases[] = {
        {"console=ttyS0 use_newer_fs=yes quiet\n", true},
        {"use_newer_fs=yesplease\n", true},
        {"console=ttyS0 use_newer_fs= quiet\n", true},   // empty: prefix of every name
        {"use_newer_fs=pl quiet\n", true},                // prefix of plug.img
        {"use_newer_fs=plug.img quiet\n", true},          // the whole base name
        {"use_newer_fs=plug.img2 quiet\n", false},        // longer than the base name
        {"use_newer_fs=bootflash quiet\n", false},        // only the base name counts
        {"use_newer_fs=no quiet\n", false},
        {"console=ttyS0 quiet\n", false},                 // no value
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.cmdline);
        ASSERT_TRUE(sh("rm -rf " + kDir + " && mkdir -p " + kDir));
        ASSERT_TRUE(write_file(kLog, "before\n"));
        std::string err = overlay(c.cmdline);
        if (c.selected) {
            EXPECT_EQ(err, executing(kDir));
            EXPECT_EQ(read_file(kDir + "/opt/tool/run"), "run\n");
            EXPECT_EQ(read_file(kLog),
                      "before\nopt/\nopt/tool/\nopt/tool/run\nusr/\nusr/bin/\nusr/bin/foo\n");
        } else {
            EXPECT_EQ(err, "");
            EXPECT_FALSE(exists(kDir + "/opt"));
            EXPECT_EQ(read_file(kLog), "before\n");
        }
        EXPECT_FALSE(exists(kList));
    }
}

TEST_F(NewerFsTest, ImagePathWithoutSlashIsItsOwnBaseName) {
    EXPECT_EQ(overlay("use_newer_fs=plug quiet\n", "plug.img"), executing(kDir));
    EXPECT_EQ(read_file(kDir + "/usr/bin/foo"), "foo v2\n");
}

TEST_F(NewerFsTest, ExtractionAddsOnlyWhatItDidNotProduceAndTheCopyReplacesTheRest) {
    pit::set_cmdline("console=ttyS0 use_newer_fs=yes quiet\n");
    std::string out, err;
    EXPECT_EQ(extract(kLog.c_str(), &out, &err), PLUGIN_OK);
    EXPECT_EQ(without_cmdline_lines(err), executing(kDir));
    // usr/, usr/bin/ and usr/bin/foo were extracted: not added again.
    EXPECT_EQ(read_file(kLog), kListing + "opt/\nopt/tool/\nopt/tool/run\n");
    EXPECT_EQ(read_file(kDir + "/usr/bin/foo"), "foo v2\n");
    EXPECT_EQ(read_file(kDir + "/usr/lib/x"), "x\n");
    EXPECT_EQ(read_file(kDir + "/opt/tool/run"), "run\n");
    EXPECT_FALSE(exists(kList));
}

TEST_F(NewerFsTest, WithoutManifestOnlyTheCopyRuns) {
    pit::set_cmdline("use_newer_fs=yes quiet\n");
    std::string out, err;
    EXPECT_EQ(extract(nullptr, &out, &err), PLUGIN_OK);
    EXPECT_EQ(without_cmdline_lines(err), executing(kDir));
    EXPECT_EQ(read_file(kDir + "/usr/bin/foo"), "foo v2\n");
    EXPECT_EQ(read_file(kDir + "/opt/tool/run"), "run\n");
    EXPECT_FALSE(exists("(null)-newer-fs"));
}

TEST_F(NewerFsTest, ListThatCannotBeOpenedStillEndsWithRemovalAndCopy) {
    // The list's directory does not exist: the shell cannot write the list.
    const std::string log = "/velm/nodir/plug.log";
    std::string err = overlay("use_newer_fs=yes quiet\n", kImage, log.c_str());
    // The shell's own complaint comes first; the overlay's lines end the output.
    const std::string tail = "open " + log + "-newer-fs failed\n" + executing(kDir);
    ASSERT_GE(err.size(), tail.size());
    EXPECT_EQ(err.substr(err.size() - tail.size()), tail);
    EXPECT_EQ(lines(err).size(), 3u) << err;
    EXPECT_EQ(read_file(kDir + "/opt/tool/run"), "run\n");
}

TEST_F(NewerFsTest, PathsAndCommandsThatWouldNotFitAreSkipped) {
    // A base name that makes the newer-fs directory longer than 255.
    const std::string image = "/x/" + std::string(240, 'a');
    EXPECT_EQ(overlay("use_newer_fs=yes quiet\n", image),
              "plugin_do_newer_fs: newer-fs directory for " + image +
                  " does not fit, overlay skipped\n");

    // A list path that does not fit: no list, no additions, the copy runs.
    const std::string log = "/velm/log/" + std::string(240, 'l');
    EXPECT_EQ(overlay("use_newer_fs=yes quiet\n", kImage, log.c_str()),
              "plugin_do_newer_fs: list path for " + log +
                  " does not fit, manifest not extended\n" + executing(kDir));
    EXPECT_EQ(read_file(kDir + "/opt/tool/run"), "run\n");
}

TEST_F(NewerFsTest, DeepTargetSkipsEntriesAndACopyThatWouldNotFit) {
    std::string deep = "/velm";
    for (int i = 0; i < 8; ++i) deep += "/" + std::string(60, char('a' + i));
    ASSERT_TRUE(sh("mkdir -p " + deep));
    ASSERT_TRUE(write_file(kLog, "before\n"));
    pit::set_cmdline("use_newer_fs=yes quiet\n");
    std::string out, err;
    captured(
        [&] {
            plugin_do_newer_fs(kImage.c_str(), kLog.c_str(), deep.c_str());
            return 0;
        },
        &out, &err);
    std::string expected;
    for (const char *e : {"opt/", "opt/tool/", "opt/tool/run", "usr/", "usr/bin/", "usr/bin/foo"})
        expected += std::string("plugin_do_newer_fs: path of ") + e + " below " + deep +
                    " does not fit, entry skipped\n";
    expected += "plugin_do_newer_fs: copy command for " + deep + " does not fit, not run\n";
    EXPECT_EQ(without_cmdline_lines(err), expected);
    EXPECT_EQ(read_file(kLog), "before\n");
    EXPECT_FALSE(exists(kList));
    EXPECT_FALSE(exists(deep + "/opt"));
}

TEST_F(NewerFsTest, NoNewerFsDirectoryOrNullArgumentDoesNothing) {
    EXPECT_EQ(overlay("use_newer_fs=yes quiet\n", "/bootflash/other.img"), "");
    std::string out, err;
    captured(
        [&] {
            plugin_do_newer_fs(nullptr, kLog.c_str(), kDir.c_str());
            plugin_do_newer_fs(kImage.c_str(), kLog.c_str(), nullptr);
            return 0;
        },
        &out, &err);
    EXPECT_EQ(out + err, "");
    EXPECT_FALSE(exists(kDir + "/opt"));
    EXPECT_FALSE(exists(kList));
    EXPECT_FALSE(exists(kLog));
}

TEST_F(NewerFsTest, AllocationFailuresReturnDocumentedCodesAndLeaveNothingOpen) {
    pit::set_cmdline("use_newer_fs=yes quiet\n");
    plugin_rc_t rc = PLUGIN_OK;
    pit::Capture cap;  // around all runs, so that nothing in them allocates for it
    const int fds = open_fds();
    long runs = sweep_from(
        [] { sh("rm -rf " + kDir + " " + kLog + " && mkdir -p " + kDir); },
        [&] { rc = plugin_extract_image(kImage.c_str(), kDir.c_str(), kLog.c_str()); },
        [&](long n) {
            EXPECT_TRUE(rc == PLUGIN_OK || rc == PLUGIN_ERR_NOMEM || rc == PLUGIN_ERR_IMG_OPEN ||
                        rc == PLUGIN_ERR_EXTRACT)
                << "allocation " << n << ": " << rc;
            if (rc == PLUGIN_OK) {
                EXPECT_EQ(read_file(kDir + "/usr/lib/x"), "x\n") << n;
            } else {
                EXPECT_FALSE(exists(kDir + "/usr")) << n;
            }
            EXPECT_FALSE(exists(kList)) << n;
            EXPECT_EQ(open_fds(), fds) << n;
        });
    cap.stop();
    if (HasFailure()) std::fputs(cap.out().c_str(), stderr);
    EXPECT_GE(runs, 2);  // at least the image library's and the command buffer's

    // And the overlay alone, on an extracted tree.
    pit::Capture cap2;
    ASSERT_EQ(plugin_extract_image(kImage.c_str(), kDir.c_str(), nullptr), PLUGIN_OK);
    const int fds2 = open_fds();
    runs = sweep_from(
        [] { sh("rm -rf " + kLog + " && touch " + kLog); },
        [&] { plugin_do_newer_fs(kImage.c_str(), kLog.c_str(), kDir.c_str()); },
        [&](long n) {
            EXPECT_FALSE(exists(kList)) << n;
            EXPECT_EQ(open_fds(), fds2) << n;
        });
    cap2.stop();
    if (HasFailure()) std::fputs(cap2.out().c_str(), stderr);
    EXPECT_GE(runs, 1);  // at least the line buffer
}

}  // namespace
