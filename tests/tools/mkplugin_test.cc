// mkplugin packs every kind of entry byte for byte under the C locale, as GNU tar extracts and
// lists it; mkplugin's and srgtool's errors; the same inputs give the same bytes.
#include <algorithm>
#include <string>

#include "tests/support/fixture.h"
#include "tests/support/fs.h"

namespace {

#define TOOLS \
    "export SRGTOOL=" PI_SRGTOOL " MKPLUGIN=" PI_MKPLUGIN " LANG=C LC_ALL=C; cd /tmp/m && "
const std::string N200(200, 'n');

struct Row {
    std::string make, listed, name;  // listed: mode, owner and size in tar -tzvf's listing
};
const Row kRows[] = {
    {"printf x >d/Äfoo.go", "-rw-r--r-- root/root         1", "./Äfoo.go"},
    {"echo l >d/" + N200, "-rw-r--r-- root/root         2", "./" + N200},
    {"echo b >'d/with blank'", "-rw-r--r-- root/root         2", "./with blank"},
    {"ln -s /" + N200 + " d/lnk", "lrwxrwxrwx root/root         0", "./lnk -> /" + N200},
    // A hard link comes back as a file of its own; a sparse file with its holes as zeros.
    {"echo h >d/h1 && ln d/h1 d/h2", "-rw-r--r-- root/root         2", "./h2"},
    {"mkdir d/sub", "drwxr-xr-x root/root         0", "./sub/"},
    {"truncate -s 1048576 d/sp && echo e >>d/sp", "-rw-r--r-- root/root   1048578", "./sp"},
    {"echo s >d/su && chmod 4755 d/su", "-rwsr-xr-x root/root         2", "./su"},
};

struct Call {
    const char *command;  // after the tools' variables, in /tmp/m
    int status;
    const char *err;
};
const Call kCalls[] = {
    {"$MKPLUGIN --record r.sro -o p.img d && mkdir out && tar -xzf p.img -C out && "
     "diff -r --no-dereference d out && tar --quoting-style=literal -tzvf p.img >list",
     0, ""},
    {"$MKPLUGIN --record r.sro -o t.img none", 1, "mkplugin: none: not a directory\n"},
    {"$MKPLUGIN --record r.sro -o no/t.img d", 1,
     "mkplugin: cannot create no/t.img: No such file or directory\n"},
    {"$MKPLUGIN --record d/su -o t.img d", 1, "mkplugin: d/su: not a valid record file\n"},
    {"$SRGTOOL make --swid t-1 -o no/r.sro", 1,
     "srgtool: cannot create no/r.sro: No such file or directory\n"},
    {"$SRGTOOL dump d/su", 1, "srgtool: d/su: not a valid record file\n"},
    // The same inputs, another day: the same bytes.
    {"$MKPLUGIN --record r.sro -o a.img d && touch -d 2001-01-01 d/su d && "
     "$MKPLUGIN --record r.sro -o b.img d && cmp a.img b.img",
     0, ""},
};

class MkpluginTest : public test_support::SandboxTest {};

TEST_F(MkpluginTest, PacksEveryKindOfEntryAsItIsAndNamesWhatFailed) {
    std::string make = "rm -rf /tmp/m && mkdir -p /tmp/m/d && cd /tmp/m && umask 022";
    for (const Row &r : kRows) make += " && " + r.make;
    ASSERT_TRUE(test_support::sh(make + " && " PI_SRGTOOL " make --swid t-1 -o r.sro"));
    for (const Call &r : kCalls) {
        std::string out, err;
        const int status = test_support::captured(
            [&] { return test_support::shell(TOOLS + std::string(r.command)); }, &out, &err);
        EXPECT_EQ(status, r.status) << r.command;
        EXPECT_EQ(err, r.err) << r.command;
        EXPECT_FALSE(test_support::exists("/tmp/m/t.img")) << r.command;  // nothing left on failure
    }
    const auto listing = test_support::lines(test_support::read_file("/tmp/m/list"));
    for (const Row &r : kRows) {
        const std::string want = r.listed + " 1970-01-01 00:00 " + r.name;
        EXPECT_EQ(std::count(listing.begin(), listing.end(), want), 1) << want;
    }
}

}  // namespace
