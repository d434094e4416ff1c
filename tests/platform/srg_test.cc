// Software records (libsrg) and record files written by srgtool.
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/srg.h"
#include "tests/support/fixture.h"

#ifndef SRGTOOL
#error "SRGTOOL must name the srgtool binary"
#endif

namespace {

using Bytes = std::vector<unsigned char>;

using pit::shell;
Bytes slurp(const std::string &path) { return pit::read_bytes(path); }

void spit(const std::string &path, const Bytes &b) {
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    if (!b.empty())
        fwrite(b.data(), 1, b.size(), f);
    fclose(f);
}

uint32_t be32(const Bytes &b, size_t at) {
    return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
}

void put_be32(Bytes &b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; i++)
        b[at + i] = uint8_t(v >> (24 - 8 * i));
}

const srg_record *rec(const Bytes &b) { return reinterpret_cast<const srg_record *>(b.data()); }

// What srg_dump writes for a record.
std::string dumped(const srg_record *r) {
    char *text = nullptr;
    size_t len = 0;
    FILE *f = open_memstream(&text, &len);
    int n = srg_dump(f, r);
    fclose(f);
    std::string s(text, len);
    free(text);
    EXPECT_EQ(n < 0 ? -1 : int(s.size()), n);
    return s;
}

// Every string of a record's dependency list.
std::vector<std::string> deps_of(const srg_record *r) {
    const sysmgr_strings *list = nullptr;
    EXPECT_EQ(srg_dependency_strings_get(r, 0, &list), 0u);
    std::vector<std::string> out;
    for (uint32_t i = 0; i < sysmgr_strings_num_strings_get(list); i++) {
        const char *s = sysmgr_strings_get(list, i);
        EXPECT_NE(s, nullptr);
        out.emplace_back(s ? s : "");
    }
    EXPECT_EQ(sysmgr_strings_get(list, sysmgr_strings_num_strings_get(list)), nullptr);
    return out;
}

class SrgTest : public pit::SandboxTest {
protected:
    // Clones a file the way callers do: a zero-filled buffer of srg_file_size bytes.
    static Bytes clone(const std::string &path) {
        uint32_t size = srg_file_size(path.c_str());
        EXPECT_GT(size, 0u);
        Bytes b(size, 0);
        EXPECT_EQ(srg_file_clone(reinterpret_cast<srg_record *>(b.data()), path.c_str(), size), 0u);
        return b;
    }
    static void make(const std::string &args) {
        ASSERT_EQ(shell(std::string(SRGTOOL) + " make " + args), 0) << args;
    }
};

TEST_F(SrgTest, RecordRoundTripsThroughTheFile) {
    make("--swid pkg-core.1 --dep base --dep lib-x.2 -o /tmp/core.sro");
    Bytes file = slurp("/tmp/core.sro");
    EXPECT_EQ(srg_file_size("/tmp/core.sro"), file.size());
    Bytes r = clone("/tmp/core.sro");
    EXPECT_EQ(r, file);
    EXPECT_EQ(srg_size(rec(r)), file.size());
    EXPECT_STREQ(srg_sw_id_get(rec(r)), "pkg-core.1");
    EXPECT_EQ(deps_of(rec(r)), (std::vector<std::string>{"base", "lib-x.2"}));
    EXPECT_STREQ(srg_sw_id_file_get("/tmp/core.sro"), "pkg-core.1");
    EXPECT_EQ(dumped(rec(r)), "swid: pkg-core.1\n  depends on: base\n  depends on: lib-x.2\n");

    // Multi-byte fields are big-endian on every host: the size field reads
    // the same bytes as the file length.
    EXPECT_EQ(be32(file, 4), file.size());

    // The block works at another address, an odd one included; the list and
    // the id point into the moved block.
    Bytes moved(r.size() + 1);
    memcpy(moved.data() + 1, r.data(), r.size());
    auto *m = reinterpret_cast<const srg_record *>(moved.data() + 1);
    const sysmgr_strings *list = nullptr;
    ASSERT_EQ(srg_dependency_strings_get(m, 0, &list), 0u);
    const char *dep = sysmgr_strings_get(list, 1);
    EXPECT_STREQ(dep, "lib-x.2");
    EXPECT_GT(dep, reinterpret_cast<const char *>(m));
    EXPECT_LT(dep, reinterpret_cast<const char *>(m) + r.size());
    EXPECT_STREQ(srg_sw_id_get(m), "pkg-core.1");
}

TEST_F(SrgTest, RecordsWithoutIdOrDependencies) {
    make("--dep base -o /tmp/noid.sro");
    Bytes r = clone("/tmp/noid.sro");
    EXPECT_EQ(srg_sw_id_get(rec(r)), nullptr);
    EXPECT_EQ(srg_sw_id_file_get("/tmp/noid.sro"), nullptr);
    EXPECT_EQ(deps_of(rec(r)), std::vector<std::string>{"base"});
    EXPECT_EQ(dumped(rec(r)), "swid: (none)\n  depends on: base\n");

    make("--swid lonely -o /tmp/nodeps.sro");
    r = clone("/tmp/nodeps.sro");
    const sysmgr_strings *list = nullptr;
    EXPECT_EQ(srg_dependency_strings_get(rec(r), 0, &list), 0u);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(dumped(rec(r)), "swid: lonely\n  no dependencies\n");

    // The static buffer of srg_sw_id_file_get holds the longest id.
    std::string longest(SRG_SW_ID_MAX, 'i');
    make("--swid " + longest + " -o /tmp/long.sro");
    EXPECT_EQ(srg_sw_id_file_get("/tmp/long.sro"), longest);
    make("--swid b -o /tmp/short.sro");
    EXPECT_STREQ(srg_sw_id_file_get("/tmp/short.sro"), "b");
}

TEST_F(SrgTest, InvalidFilesHoldNoRecord) {
    make("--swid core --dep base --dep lib -o /tmp/good.sro");
    const Bytes good = slurp("/tmp/good.sro");
    ASSERT_EQ(good.size(), 61u);  // 28 header, "core\0", pad to 36, list of 25
    auto rejected = [](const Bytes &b, const char *what) {
        spit("/tmp/bad.sro", b);
        EXPECT_EQ(srg_file_size("/tmp/bad.sro"), 0u) << what;
        EXPECT_EQ(srg_sw_id_file_get("/tmp/bad.sro"), nullptr) << what;
        Bytes buf(b.size() + 64, 0);
        EXPECT_NE(srg_file_clone(reinterpret_cast<srg_record *>(buf.data()), "/tmp/bad.sro",
                                 uint32_t(b.size())),
                  0u)
            << what;
    };
    EXPECT_EQ(srg_file_size("/tmp/missing.sro"), 0u);
    EXPECT_EQ(srg_sw_id_file_get("/tmp/missing.sro"), nullptr);
    EXPECT_EQ(srg_file_size("/tmp"), 0u);
    EXPECT_EQ(srg_file_size(nullptr), 0u);
    rejected({}, "empty");
    for (size_t n = 1; n < good.size(); n++)
        rejected(Bytes(good.begin(), good.begin() + long(n)), "truncated");
    Bytes b = good;
    b.push_back(0);
    rejected(b, "trailing byte");

    struct Damage {
        const char *what;
        size_t at;
        uint32_t value;
    };
    for (const Damage &d : std::initializer_list<Damage>{
             {"magic", 0, 0x53524732},
             {"size below header", 4, 27},
             {"unknown flag", 8, 7},
             {"swid flag without id", 8, 2},
             {"swid offset inside header", 12, 4},
             {"swid offset outside", 12, 1000},
             {"swid length outside", 16, 100},
             {"swid length 0", 16, 0},
             {"swid length past NUL", 16, 5},
             {"list offset outside", 20, 60},
             {"list length outside", 24, 29},
             {"list length differs from its own", 36, 24},
             {"count beyond list", 40, 6},
             {"string offset into the offsets", 44, 12},
             {"string offset outside list", 48, 28}}) {
        b = good;
        put_be32(b, d.at, d.value);
        rejected(b, d.what);
        // The same damage in a record in memory: every accessor refuses it.
        const srg_record *r = rec(b);
        EXPECT_EQ(srg_size(r), 0u) << d.what;
        EXPECT_EQ(srg_sw_id_get(r), nullptr) << d.what;
        const sysmgr_strings *list = nullptr;
        EXPECT_EQ(srg_dependency_strings_get(r, 0, &list), SRG_ERR_INVALID) << d.what;
        EXPECT_EQ(dumped(r), "software record: invalid\n") << d.what;
    }
    // A NUL missing at the end of the id or of the last dependency.
    b = good;
    b[28 + 4] = 'X';
    rejected(b, "swid without NUL");
    b = good;
    b.back() = 'X';
    rejected(b, "dependency without NUL");
}

// Any single damaged byte either leaves a valid record or is rejected; a
// record that still passes is read within its bounds (the sanitizers and a
// buffer of exactly the record's size watch this).
TEST_F(SrgTest, EveryByteDamagedStaysInBounds) {
    make("--swid ab --dep c --dep dd -o /tmp/g.sro");
    const Bytes good = slurp("/tmp/g.sro");
    for (size_t at = 0; at < good.size(); at++) {
        for (unsigned v : {0x00u, 0x01u, 0x7fu, 0xffu}) {
            Bytes b = good;
            b[at] = uint8_t(v);
            spit("/tmp/x.sro", b);
            uint32_t size = srg_file_size("/tmp/x.sro");
            if (size == 0)
                continue;
            ASSERT_EQ(size, b.size());
            auto *buf = static_cast<unsigned char *>(calloc(size, 1));
            ASSERT_EQ(srg_file_clone(reinterpret_cast<srg_record *>(buf), "/tmp/x.sro", size), 0u);
            auto *r = reinterpret_cast<const srg_record *>(buf);
            EXPECT_EQ(srg_size(r), size);
            if (const char *id = srg_sw_id_get(r)) {
                EXPECT_LE(strlen(id), size_t(SRG_SW_ID_MAX));
            }
            const sysmgr_strings *list = nullptr;
            EXPECT_EQ(srg_dependency_strings_get(r, 0, &list), 0u);
            for (uint32_t i = 0; i < sysmgr_strings_num_strings_get(list); i++)
                EXPECT_NE(sysmgr_strings_get(list, i), nullptr);
            free(buf);
        }
    }
}

TEST_F(SrgTest, BadArgumentsGiveCodes) {
    make("--swid a -o /tmp/a.sro");
    Bytes r = clone("/tmp/a.sro");
    Bytes buf(r.size() + 8, 0);
    auto *out = reinterpret_cast<srg_record *>(buf.data());
    EXPECT_EQ(srg_file_clone(out, "/tmp/a.sro", uint32_t(r.size() - 1)), SRG_ERR_SIZE);
    EXPECT_EQ(srg_file_clone(out, "/tmp/a.sro", uint32_t(r.size() + 1)), SRG_ERR_SIZE);
    EXPECT_EQ(srg_file_clone(nullptr, "/tmp/a.sro", uint32_t(r.size())), SRG_ERR_INVALID_ARG);
    EXPECT_EQ(srg_file_clone(out, nullptr, uint32_t(r.size())), SRG_ERR_INVALID_ARG);
    EXPECT_EQ(srg_file_clone(out, "/tmp/none.sro", 28), SRG_ERR_OPEN);
    const sysmgr_strings *list = nullptr;
    EXPECT_EQ(srg_dependency_strings_get(rec(r), 1, &list), SRG_ERR_INVALID_ARG);
    EXPECT_EQ(srg_dependency_strings_get(rec(r), 0, nullptr), SRG_ERR_INVALID_ARG);
    EXPECT_EQ(srg_dependency_strings_get(nullptr, 0, &list), SRG_ERR_INVALID_ARG);
    EXPECT_EQ(srg_size(nullptr), 0u);
    EXPECT_EQ(srg_sw_id_get(nullptr), nullptr);
    EXPECT_EQ(srg_sw_id_file_get(nullptr), nullptr);
    EXPECT_EQ(srg_dump(nullptr, rec(r)), -1);
    EXPECT_EQ(sysmgr_strings_num_strings_get(nullptr), 0u);
    EXPECT_EQ(sysmgr_strings_get(nullptr, 0), nullptr);
}

TEST_F(SrgTest, AllocationFailureMeansNoRecordAndNoLeak) {
    make("--swid a --dep b -o /tmp/a.sro");
    const uint32_t full = uint32_t(slurp("/tmp/a.sro").size());
    pit::faults::sweep(
        [full] {
            uint32_t size = srg_file_size("/tmp/a.sro");
            EXPECT_TRUE(size == 0 || size == full);
        },
        [](long) {});
    long runs = pit::faults::sweep(
        [] {
            const char *id = srg_sw_id_file_get("/tmp/a.sro");
            EXPECT_TRUE(id == nullptr || strcmp(id, "a") == 0);
        },
        [](long) {});
    EXPECT_GE(runs, 1);
}

TEST_F(SrgTest, SrgtoolReportsMisuseAndFailures) {
    std::string tool = SRGTOOL;
    std::string out, err;
    struct Case {
        std::string args;
        int status;
        const char *message;
    };
    for (const Case &c : std::vector<Case>{
             {"", 2, "usage: srgtool make"},
             {"frob", 2, "unknown command frob"},
             {"make --swid", 2, "missing value for --swid"},
             {"make --swid a", 2, "no output file"},
             {"make --swid a --dep b", 2, "no output file"},
             {"make --swid '' -o /tmp/e.sro", 2, "1 to 255 characters"},
             {"make --dep " + std::string(256, 'd') + " -o /tmp/e.sro", 2, "1 to 255"},
             {"make --swid a --swid b -o /tmp/e.sro", 2, "unexpected argument --swid"},
             {"make --swid a -o /nodir/x.sro", 1, "srgtool: cannot create /nodir/x.sro"},
             {"dump", 2, "dump takes one record file"},
             {"dump /tmp/none.sro", 1, "srgtool: /tmp/none.sro: not a valid record file"},
         }) {
        int status = pit::captured([&] { return shell(tool + " " + c.args); }, &out, &err);
        EXPECT_EQ(status, c.status) << c.args;
        EXPECT_NE(err.find(c.message), std::string::npos) << c.args << ": " << err;
        EXPECT_EQ(out, "") << c.args;
    }
    EXPECT_NE(access("/tmp/e.sro", F_OK), 0);

    make("--swid core --dep base -o /tmp/c.sro");
    int status = pit::captured([&] { return shell(tool + " dump /tmp/c.sro"); }, &out, &err);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, "swid: core\n  depends on: base\n");
    EXPECT_EQ(err, "");
}

}  // namespace
