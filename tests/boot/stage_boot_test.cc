// Boot-stage status record.  get_max_allowed_zell is a test double defined
// here (it replaces the platform's for the whole process): it returns g_zell
// and counts its calls.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/system_zell.h"
#include "tests/support/fixture.h"

namespace {
int32_t g_zell = 6;
int g_zell_calls = 0;
}  // namespace

extern "C" int32_t get_max_allowed_zell(void) {
    ++g_zell_calls;
    return g_zell;
}

namespace {

using pit::captured;
using Words = std::vector<uint32_t>;

constexpr const char *kDir = "/velm/plugin_extract_log";
constexpr const char *kFile = "/velm/plugin_extract_log/stage_boot";
constexpr uint32_t kFill = 0xA5A5A5A5;

std::string bytes_of(const Words &w) { return std::string(reinterpret_cast<const char *>(w.data()), w.size() * 4); }

class StageBootTest : public pit::SandboxTest {
protected:
    void SetUp() override {
        pit::SandboxTest::SetUp();
        g_zell = 6;
        g_zell_calls = 0;
        ASSERT_EQ(mkdir(kDir, 0755), 0);
    }

    struct Result {
        plugin_rc_t rc;
        std::string out, err;
    };
    Result read(uint32_t *record, int32_t size) {
        Result r{};
        g_zell_calls = 0;
        r.rc = captured([&] { return plugin_read_remaining_load(record, size); }, &r.out, &r.err);
        EXPECT_EQ(g_zell_calls, 1);
        return r;
    }
    Result write(const uint32_t *record, int32_t size) {
        Result r{};
        g_zell_calls = 0;
        r.rc = captured([&] { return plugin_write_remaining_load(record, size); }, &r.out, &r.err);
        EXPECT_EQ(g_zell_calls, 1);
        return r;
    }
};

std::string mismatch(const char *func, const void *record, int size, int len) {
    char line[160];
    std::snprintf(line, sizeof line, "%s: boot_status= %x size= %d len= %d\n", func,
                  static_cast<unsigned>(reinterpret_cast<uintptr_t>(record)), size, len);
    return line;
}

TEST_F(StageBootTest, OnlyTheRequiredSizeIsAccepted) {
    ASSERT_TRUE(pit::write_file(kFile, std::string(32, 'x')));
    Words record(9, kFill);
    for (int32_t size : {28, 36, 0, -32}) {
        SCOPED_TRACE(size);
        Result r = read(record.data(), size);
        EXPECT_EQ(r.rc, PLUGIN_ERR_INVALID_ARG);
        EXPECT_EQ(r.err, mismatch("plugin_read_remaining_load", record.data(), size, 32));
        Result w = write(record.data(), size);
        EXPECT_EQ(w.rc, PLUGIN_ERR_INVALID_ARG);
        EXPECT_EQ(w.err, mismatch("plugin_write_remaining_load", record.data(), size, 32));
    }
    EXPECT_EQ(record, Words(9, kFill));
    EXPECT_EQ(read(nullptr, 32).err, mismatch("plugin_read_remaining_load", nullptr, 32, 32));
    EXPECT_EQ(write(nullptr, 32).rc, PLUGIN_ERR_INVALID_ARG);
    EXPECT_EQ(pit::read_file(kFile), std::string(32, 'x'));

    // The size follows the limit of the moment.
    g_zell = 5;
    EXPECT_EQ(read(record.data(), 32).rc, PLUGIN_ERR_INVALID_ARG);
    EXPECT_EQ(read(record.data(), 28).rc, PLUGIN_OK);
    EXPECT_EQ(record[0], 0x78787878u);
}

TEST_F(StageBootTest, ALimitBelowMinusOneAcceptsNoBuffer) {
    rmdir(kDir);
    uint32_t word = kFill;
    g_zell = -2;  // required size 0
    Result r = read(&word, 0);
    EXPECT_EQ(r.rc, PLUGIN_ERR_INVALID_ARG);
    EXPECT_EQ(r.err, mismatch("plugin_read_remaining_load", &word, 0, 0));
    EXPECT_EQ(word, kFill);
    g_zell = -1;  // one word: the status word alone
    EXPECT_EQ(read(&word, 4).rc, PLUGIN_OK);
    EXPECT_EQ(word, 0x424F4F54u);
}

TEST_F(StageBootTest, WithoutAFileTheReadMarksAFreshBoot) {
    Words record = {1, 2, 3, 4, 5, 6, 7, 8};
    Result r = read(record.data(), 32);
    EXPECT_EQ(r.rc, PLUGIN_OK);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(record, (Words{0x424F4F54, 2, 3, 4, 5, 6, 7, 8}));
    struct stat st;
    EXPECT_NE(stat(kFile, &st), 0);

    // Also when the directory is missing.
    ASSERT_EQ(rmdir(kDir), 0);
    record[0] = 0;
    EXPECT_EQ(read(record.data(), 32).rc, PLUGIN_OK);
    EXPECT_EQ(record[0], 0x424F4F54u);
}

TEST_F(StageBootTest, WriteCreatesTheFileAndReadLoadsItBack) {
    Words stored = {10, 20, 30, 40, 50, 60, 70, 80};
    Result w = write(stored.data(), 32);
    EXPECT_EQ(w.rc, PLUGIN_OK);
    EXPECT_EQ(w.err, "");
    EXPECT_EQ(pit::read_file(kFile), bytes_of(stored));

    Words loaded(8, kFill);
    Result r = read(loaded.data(), 32);
    EXPECT_EQ(r.rc, PLUGIN_OK);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(loaded, stored);
}

TEST_F(StageBootTest, WriteOverALongerFileKeepsItsTail) {
    const std::string old(40, 'o');
    ASSERT_TRUE(pit::write_file(kFile, old));
    Words record = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(write(record.data(), 32).rc, PLUGIN_OK);
    EXPECT_EQ(pit::read_file(kFile), bytes_of(record) + old.substr(32));

    // A longer file reads fine: the first size bytes fill the record.
    Words loaded(8, kFill);
    EXPECT_EQ(read(loaded.data(), 32).rc, PLUGIN_OK);
    EXPECT_EQ(loaded, record);

    // A record stored under a larger limit reads under a smaller one.
    g_zell = 8;
    Words bigger = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0};
    EXPECT_EQ(write(bigger.data(), 40).rc, PLUGIN_OK);
    g_zell = 6;
    EXPECT_EQ(read(loaded.data(), 32).rc, PLUGIN_OK);
    EXPECT_EQ(loaded, Words(bigger.begin(), bigger.begin() + 8));
}

TEST_F(StageBootTest, AShortFileFailsAfterFiveTries) {
    const Words head = {0x11111111, 0x22222222};
    ASSERT_TRUE(pit::write_file(kFile, bytes_of(head)));
    Words record(8, kFill);
    Result r = read(record.data(), 32);  // about four seconds
    EXPECT_EQ(r.rc, PLUGIN_ERR_READ);
    EXPECT_EQ(r.err, "plugin_read_remaining_load: read fails (8/32)\n");
    EXPECT_EQ(record[0], head[0]);
    EXPECT_EQ(record[1], head[1]);
    EXPECT_EQ(Words(record.begin() + 2, record.end()), Words(6, kFill));
}

TEST_F(StageBootTest, AFileThatCannotBeOpened) {
    // A socket at the path exists but cannot be opened, as root too.
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, kFile, sizeof addr.sun_path - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);

    Words record(8, kFill);
    Result r = read(record.data(), 32);
    EXPECT_EQ(r.rc, PLUGIN_ERR_OPEN);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(record, Words(8, kFill));
    Result w = write(record.data(), 32);
    EXPECT_EQ(w.rc, PLUGIN_ERR_OPEN);
    EXPECT_EQ(w.err, "");
    close(fd);
}

TEST_F(StageBootTest, WriteWithoutItsDirectoryCannotOpen) {
    ASSERT_EQ(rmdir(kDir), 0);
    Words record(8, 1);
    Result w = write(record.data(), 32);
    EXPECT_EQ(w.rc, PLUGIN_ERR_OPEN);
    EXPECT_EQ(w.err, "");
    struct stat st;
    EXPECT_NE(stat(kDir, &st), 0);
}

TEST_F(StageBootTest, AWriteTheDeviceRefusesIsAShortWrite) {
    ASSERT_TRUE(pit::write_file(kFile, ""));
    ASSERT_TRUE(pit::bind("/dev/full", kFile));
    Words record(8, 1);
    Result w = write(record.data(), 32);
    EXPECT_EQ(w.rc, PLUGIN_ERR_WRITE);
    EXPECT_EQ(w.err, "");
    EXPECT_TRUE(pit::unbind(kFile));
}

}  // namespace
