// Plugin images (libimage) built by mkplugin, read with the shell tools the
// way image extraction runs them.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/img.h"
#include "platform/srg.h"
#include "tests/support/fixture.h"

#if !defined(SRGTOOL) || !defined(MKPLUGIN)
#error "SRGTOOL and MKPLUGIN must name the tools"
#endif

namespace {

using Bytes = std::vector<unsigned char>;

using pit::shell;
Bytes slurp(const std::string &path) { return pit::read_bytes(path); }

std::string text(const std::string &path) {
    Bytes b = slurp(path);
    return std::string(b.begin(), b.end());
}

void spit(const std::string &path, const Bytes &b) {
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    if (!b.empty())
        fwrite(b.data(), 1, b.size(), f);
    fclose(f);
}

void put(const std::string &path, const std::string &content, mode_t mode) {
    spit(path, Bytes(content.begin(), content.end()));
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
}

class ImageTest : public pit::SandboxTest {
protected:
    void SetUp() override {
        pit::SandboxTest::SetUp();
        ASSERT_EQ(shell(std::string(SRGTOOL) + " make --swid plug-a --dep base -o /tmp/a.sro"), 0);
        // A small plugin tree: nested directories, modes, a symbolic link.
        for (const char *d : {"/tmp/tree", "/tmp/tree/usr", "/tmp/tree/usr/bin", "/tmp/tree/opt",
                              "/tmp/tree/opt/tool", "/tmp/tree/opt/tool/lib"})
            ASSERT_EQ(mkdir(d, 0755), 0);
        put("/tmp/tree/usr/bin/foo", "#!/bin/sh\necho foo\n", 0755);
        put("/tmp/tree/usr/bin/data", "data\n", 0640);
        ASSERT_EQ(symlink("foo", "/tmp/tree/usr/bin/foolink"), 0);
        put("/tmp/tree/opt/tool/lib/x.so", std::string(70000, 'x'), 0644);
        ASSERT_EQ(chmod("/tmp/tree/opt", 0750), 0);
    }
    static int mkplugin(const std::string &args, std::string *err = nullptr) {
        std::string out, e;
        int rc = pit::captured([&] { return shell(std::string(MKPLUGIN) + " " + args); }, &out, &e);
        EXPECT_EQ(out, "");
        if (err)
            *err = e;
        return rc;
    }
};

TEST_F(ImageTest, ArchiveListsAndExtractsAsTheExtractionCommandsRunIt) {
    ASSERT_EQ(mkplugin("--record /tmp/a.sro -o /tmp/a.img /tmp/tree"), 0);
    // The listing of the plugin form: members, sorted, dirs with '/'.
    ASSERT_EQ(shell("dd if=/tmp/a.img skip=1 bs=512 2>/dev/null | tar -tz > /tmp/list"), 0);
    EXPECT_EQ(text("/tmp/list"),
              "./\n./opt/\n./opt/tool/\n./opt/tool/lib/\n./opt/tool/lib/x.so\n"
              "./usr/\n./usr/bin/\n./usr/bin/data\n./usr/bin/foo\n./usr/bin/foolink\n");
    ASSERT_EQ(shell("dd if=/tmp/a.img skip=1 bs=512 2>/dev/null | tar -tvz > /tmp/long"), 0);
    std::string longlist = text("/tmp/long");
    EXPECT_NE(longlist.find("-rwxr-xr-x root/root        19 1970-01-01 00:00 ./usr/bin/foo\n"),
              std::string::npos)
        << longlist;
    EXPECT_NE(longlist.find("./usr/bin/foolink -> foo\n"), std::string::npos) << longlist;
    EXPECT_NE(longlist.find("drwxr-x--- root/root         0 1970-01-01 00:00 ./opt/\n"),
              std::string::npos)
        << longlist;

    // Plugin extraction with a manifest.
    ASSERT_EQ(mkdir("/velm/plug", 0755), 0);
    ASSERT_EQ(shell("dd if=/tmp/a.img skip=1 bs=512 2>/dev/null | "
                  "tar -xvkPpmz -C /velm/plug > /velm/plug.log"),
              0);
    EXPECT_EQ(text("/velm/plug.log"), text("/tmp/list"));
    EXPECT_EQ(text("/velm/plug/usr/bin/foo"), "#!/bin/sh\necho foo\n");
    EXPECT_EQ(text("/velm/plug/opt/tool/lib/x.so"), std::string(70000, 'x'));
    struct stat st;
    ASSERT_EQ(lstat("/velm/plug/usr/bin/data", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    ASSERT_EQ(lstat("/velm/plug/usr/bin/foolink", &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));

    // System-image form: dd streams the whole file, header included, and tar
    // extracts one member under "/".
    ASSERT_EQ(shell("dd if=/tmp/a.img bs=512 2>/dev/null | tar -xvkPpmz -C / ./opt/tool > /tmp/sys.log"),
              0);
    EXPECT_EQ(text("/tmp/sys.log"), "./opt/tool/\n./opt/tool/lib/\n./opt/tool/lib/x.so\n");
    EXPECT_EQ(text("/opt/tool/lib/x.so"), std::string(70000, 'x'));
    EXPECT_NE(access("/usr/bin/foolink", F_OK), 0);
}

TEST_F(ImageTest, OpenReadsBlockSizeAndVendorInfo) {
    for (int block : {512, 1024, 38 + 53}) {  // the smallest block for the record
        ASSERT_EQ(slurp("/tmp/a.sro").size(), 53u);
        std::string img = "/tmp/b" + std::to_string(block) + ".img";
        ASSERT_EQ(mkplugin("--record /tmp/a.sro --block-size " + std::to_string(block) + " -o " +
                           img + " /tmp/tree"),
                  0);
        int32_t status = -1;
        img_handle *h = img_open(img.c_str(), &status);
        ASSERT_EQ(status, 0);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(h->block_size, block);
        EXPECT_EQ(img_extract_vendor_info(h, "/tmp/vendor.sro"), 0u);
        EXPECT_EQ(slurp("/tmp/vendor.sro"), slurp("/tmp/a.sro"));
        EXPECT_STREQ(srg_sw_id_file_get("/tmp/vendor.sro"), "plug-a");
        // A second extraction replaces the file.
        spit("/tmp/vendor.sro", Bytes(500, 'z'));
        EXPECT_EQ(img_extract_vendor_info(h, "/tmp/vendor.sro"), 0u);
        EXPECT_EQ(slurp("/tmp/vendor.sro"), slurp("/tmp/a.sro"));
        EXPECT_EQ(img_extract_vendor_info(h, "/nodir/vendor.sro"), IMG_ERR_WRITE);
        EXPECT_EQ(img_close(h), 0);
        // The archive starts right after the block.
        std::string cmd = "dd if=" + img + " skip=1 bs=" + std::to_string(block) +
                          " 2>/dev/null | tar -tz >/dev/null 2>&1";
        EXPECT_EQ(shell(cmd), 0) << block;
    }
}

TEST_F(ImageTest, SameInputsGiveIdenticalBytes) {
    ASSERT_EQ(mkplugin("--record /tmp/a.sro -o /tmp/1.img /tmp/tree"), 0);
    // Later times, another owner's umask and a copy made in another order do
    // not change the image.
    ASSERT_EQ(shell("touch -d 2001-02-03 /tmp/tree/usr/bin/foo /tmp/tree/usr"), 0);
    ASSERT_EQ(mkplugin("--record /tmp/a.sro -o /tmp/2.img /tmp/tree"), 0);
    ASSERT_EQ(shell("mkdir /tmp/copy && cd /tmp/tree && "
                  "for p in usr/bin/foolink usr/bin/foo usr/bin/data opt/tool/lib/x.so; do "
                  "mkdir -p /tmp/copy/$(dirname $p); cp -a $p /tmp/copy/$p; done && "
                  "chmod 750 /tmp/copy/opt && chmod 755 /tmp/copy /tmp/copy/usr /tmp/copy/usr/bin "
                  "/tmp/copy/opt/tool /tmp/copy/opt/tool/lib"),
              0);
    ASSERT_EQ(shell("chmod 755 /tmp/tree"), 0);
    ASSERT_EQ(mkplugin("--record /tmp/a.sro -o /tmp/3.img /tmp/copy"), 0);
    Bytes one = slurp("/tmp/1.img");
    ASSERT_GT(one.size(), 512u);
    EXPECT_EQ(slurp("/tmp/2.img"), one);
    EXPECT_EQ(slurp("/tmp/3.img"), one);
    // A changed byte of content does change it.
    put("/tmp/copy/usr/bin/data", "datA\n", 0640);
    ASSERT_EQ(mkplugin("--record /tmp/a.sro -o /tmp/4.img /tmp/copy"), 0);
    EXPECT_NE(slurp("/tmp/4.img"), one);
}

TEST_F(ImageTest, DamagedOrTruncatedHeadersAreRefused) {
    ASSERT_EQ(mkplugin("--record /tmp/a.sro -o /tmp/a.img /tmp/tree"), 0);
    const Bytes good = slurp("/tmp/a.img");
    auto refused = [](const Bytes &b, const std::string &what) {
        spit("/tmp/bad.img", b);
        int32_t status = 0;
        img_handle *h = img_open("/tmp/bad.img", &status);
        EXPECT_NE(status, 0) << what;
        EXPECT_EQ(h, nullptr) << what;
        if (h)
            img_close(h);
    };
    // Cut anywhere inside the header block (the archive may be cut short:
    // that is tar's to notice).
    for (size_t n = 0; n < 512; n++)
        refused(Bytes(good.begin(), good.begin() + long(n)), "cut at " + std::to_string(n));
    struct Damage {
        size_t at;
        unsigned char value;
        const char *what;
    };
    for (const Damage &d : std::initializer_list<Damage>{{0, 0x1e, "gzip magic"},
                                                         {3, 0x00, "gzip flags"},
                                                         {10, 0xeb, "XLEN"},
                                                         {12, 'Q', "subfield id"},
                                                         {14, 0xe7, "subfield length"},
                                                         {16, 'X', "magic"},
                                                         {20, 0x03, "block size"},
                                                         {21, 0x01, "block size low"},
                                                         {23, 2, "version"},
                                                         {24, 0x01, "vendor length huge"},
                                                         {27, 0xff, "vendor length"},
                                                         {28, 'X', "record magic"},
                                                         {28 + 7, 0x20, "record size"},
                                                         {28 + 52, 'X', "record string"},
                                                         {502, 0x00, "deflate block"},
                                                         {505, 0x01, "crc"}}) {
        Bytes b = good;
        b[d.at] = d.value;
        refused(b, d.what);
    }
    int32_t status = 0;
    EXPECT_EQ(img_open("/tmp/missing.img", &status), nullptr);
    EXPECT_EQ(status, int32_t(IMG_ERR_OPEN));
    EXPECT_EQ(img_open("/tmp", &status), nullptr);
    EXPECT_EQ(status, int32_t(IMG_ERR_OPEN));
    EXPECT_EQ(img_open(nullptr, &status), nullptr);
    EXPECT_EQ(status, int32_t(IMG_ERR_INVALID_ARG));
    EXPECT_EQ(img_open("/tmp/a.img", nullptr), nullptr);
    EXPECT_EQ(img_close(nullptr), int32_t(IMG_ERR_INVALID_ARG));
    EXPECT_EQ(img_extract_vendor_info(nullptr, "/tmp/v.sro"), IMG_ERR_INVALID_ARG);

    // Success stores 0 over whatever the status held.
    status = 12345;
    img_handle *h = img_open("/tmp/a.img", &status);
    EXPECT_EQ(status, 0);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(img_extract_vendor_info(h, nullptr), IMG_ERR_INVALID_ARG);
    img_close(h);
}

TEST_F(ImageTest, OpenUnderAllocationFailureLeaksNothing) {
    ASSERT_EQ(mkplugin("--record /tmp/a.sro -o /tmp/a.img /tmp/tree"), 0);
    long runs = pit::faults::sweep(
        [] {
            int32_t status = -1;
            img_handle *h = img_open("/tmp/a.img", &status);
            if (status == 0) {
                ASSERT_NE(h, nullptr);
                img_close(h);
            } else {
                EXPECT_EQ(h, nullptr);
                EXPECT_TRUE(status == int32_t(IMG_ERR_NOMEM) || status == int32_t(IMG_ERR_OPEN))
                    << status;
            }
        },
        [](long) {});
    EXPECT_GE(runs, 1);
}

TEST_F(ImageTest, MkpluginRefusesBadInput) {
    std::string err;
    struct Case {
        std::string args;
        int status;
        const char *message;
    };
    ASSERT_EQ(mkfifo("/tmp/tree/usr/fifo", 0644), 0);
    ASSERT_EQ(mkdir("/tmp/plain", 0755), 0);
    spit("/tmp/bad.sro", Bytes{'S', 'R', 'G', '1'});
    for (const Case &c : std::vector<Case>{
             {"", 2, "no record file"},
             {"--record /tmp/a.sro /tmp/plain", 2, "no output file"},
             {"--record /tmp/a.sro -o /tmp/o.img", 2, "no directory"},
             {"--record /tmp/a.sro -o /tmp/o.img /tmp/plain /tmp/tree", 2, "more than one directory"},
             {"--record /tmp/a.sro -o /tmp/o.img --frob /tmp/plain", 2, "unknown option --frob"},
             {"--record /tmp/a.sro -o /tmp/o.img --block-size", 2, "missing value for --block-size"},
             {"--record /tmp/a.sro -o /tmp/o.img --block-size 65536 /tmp/plain", 2, "block size"},
             {"--record /tmp/a.sro -o /tmp/o.img --block-size 0x200 /tmp/plain", 2, "block size"},
             {"--record /tmp/a.sro -o /tmp/o.img --block-size -1 /tmp/plain", 2, "block size"},
             {"--record /tmp/a.sro -o /tmp/o.img --block-size 90 /tmp/plain", 1,
              "a record of 53 bytes needs a header block of at least 91 bytes, not 90"},
             {"--record /tmp/bad.sro -o /tmp/o.img /tmp/plain", 1, "/tmp/bad.sro: not a valid record"},
             {"--record /tmp/a.sro -o /tmp/o.img /tmp/none", 1, "/tmp/none: not a directory"},
             {"--record /tmp/a.sro -o /nodir/o.img /tmp/plain", 1, "cannot create /nodir/o.img"},
             {"--record /tmp/a.sro -o /tmp/o.img /tmp/tree", 1, "/tmp/tree/usr/fifo: unsupported"},
         }) {
        EXPECT_EQ(mkplugin(c.args, &err), c.status) << c.args;
        EXPECT_NE(err.find(c.message), std::string::npos) << c.args << ": " << err;
        if (c.status == 2) {
            EXPECT_NE(err.find("usage: mkplugin"), std::string::npos) << c.args;
        }
        EXPECT_NE(access("/tmp/o.img", F_OK), 0) << c.args;
    }
    // The output is removed when packing fails after it was created.
    ASSERT_EQ(unlink("/tmp/tree/usr/fifo"), 0);
    put("/tmp/tree/secret", "s", 0000);
    ASSERT_TRUE(pit::drop_capabilities());
    EXPECT_EQ(mkplugin("--record /tmp/a.sro -o /tmp/o.img /tmp/tree", &err), 1);
    EXPECT_NE(err.find("/tmp/tree/secret: Permission denied"), std::string::npos) << err;
    EXPECT_NE(access("/tmp/o.img", F_OK), 0);
}

}  // namespace
