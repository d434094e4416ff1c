// mkplugin packs any kind of entry byte for byte under the C locale: GNU tar lists the row's line
// and extracts the same names and bytes. Then mkplugin's and srgtool's errors, and the same bytes
// for the same inputs.
#include <algorithm>
#include <string>

#include "tests/support/fixture.h"
#include "tests/support/fs.h"

namespace {

#define TOOLS "export SRGTOOL=" PI_SRGTOOL " MKPLUGIN=" PI_MKPLUGIN " LANG=C LC_ALL=C; "
#define PACK                                                                               \
    " && $SRGTOOL make --swid t-1 -o /tmp/m/r.sro && $MKPLUGIN --record /tmp/m/r.sro -o "  \
    "/tmp/m/t.img /tmp/m/d && mkdir /tmp/m/out && tar -xzf /tmp/m/t.img -C /tmp/m/out && " \
    "diff -r --no-dereference /tmp/m/d /tmp/m/out && tar --quoting-style=literal -tzvf "   \
    "/tmp/m/t.img > /tmp/m/list"
const std::string N200(200, 'n');

struct Row {
    std::string what, make, line;  // line: a line of tar -tzvf's listing, after the date
};
const Row kRows[] = {
    {"a name with a non-ASCII letter", "printf x > '/tmp/m/d/Äfoo.go'", "./Äfoo.go"},
    {"a 200-byte name", "echo l > /tmp/m/d/" + N200, "./" + N200},
    {"a name with a blank", "echo b > '/tmp/m/d/with blank'", "./with blank"},
    {"a link target past 100 bytes", "ln -s /" + N200 + " /tmp/m/d/lnk", "./lnk -> /" + N200},
    {"a hard link, as a file of its own", "echo h > /tmp/m/d/h1 && ln /tmp/m/d/h1 /tmp/m/d/h2",
     "./h2"},
    {"a directory with its trailing slash", "mkdir /tmp/m/d/sub", "./sub/"},
    {"a sparse file, holes as zeros",
     "truncate -s 1048576 /tmp/m/d/sparse && echo end >> /tmp/m/d/sparse", "./sparse"},
    {"setuid and sticky bits", "echo s > /tmp/m/d/su && chmod 4755 /tmp/m/d/su", "./su"},
};

// What tar lists for each row's entry: mode, owner, size.
const char *const kListed[] = {
    "-rw-r--r-- root/root         1", "-rw-r--r-- root/root         2",
    "-rw-r--r-- root/root         2", "lrwxrwxrwx root/root         0",
    "-rw-r--r-- root/root         2", "drwxr-xr-x root/root         0",
    "-rw-r--r-- root/root   1048580", "-rwsr-xr-x root/root         2",
};

class MkpluginTest : public test_support::SandboxTest {};

TEST_F(MkpluginTest, EveryKindOfNameAndFileComesBackAsItWas) {
    for (std::size_t i = 0; i < std::size(kRows); ++i) {
        const Row &r = kRows[i];
        ASSERT_TRUE(
            test_support::sh("rm -rf /tmp/m && mkdir -p /tmp/m/d && umask 022 && " + r.make))
            << r.what;
        EXPECT_TRUE(test_support::sh(TOOLS "true" PACK)) << r.what;
        const std::string want = std::string(kListed[i]) + " 1970-01-01 00:00 " + r.line;
        const auto listing = test_support::lines(test_support::read_file("/tmp/m/list"));
        EXPECT_EQ(std::count(listing.begin(), listing.end(), want), 1) << r.what << "\n" << want;
    }
}

struct ErrorRow {
    const char *command;  // after the tools' variables
    int status;
    const char *err;
};
const ErrorRow kErrors[] = {
    {"$MKPLUGIN --record /tmp/m/r.sro -o /tmp/m/t.img /tmp/m/none", 1,
     "mkplugin: /tmp/m/none: not a directory\n"},
    {"$MKPLUGIN --record /tmp/m/r.sro -o /tmp/m/no/t.img /tmp/m/d", 1,
     "mkplugin: cannot create /tmp/m/no/t.img: No such file or directory\n"},
    {"$MKPLUGIN --record /tmp/m/bad.sro -o /tmp/m/t.img /tmp/m/d", 1,
     "mkplugin: /tmp/m/bad.sro: not a valid record file\n"},
    {"$SRGTOOL make --swid t-1 -o /tmp/m/no/r.sro", 1,
     "srgtool: cannot create /tmp/m/no/r.sro: No such file or directory\n"},
    {"$SRGTOOL dump /tmp/m/bad.sro", 1, "srgtool: /tmp/m/bad.sro: not a valid record file\n"},
    // The same inputs, another day: the same bytes.
    {"$MKPLUGIN --record /tmp/m/r.sro -o /tmp/m/a.img /tmp/m/d && touch -d 2001-01-01 "
     "/tmp/m/d/f /tmp/m/d && $MKPLUGIN --record /tmp/m/r.sro -o /tmp/m/b.img /tmp/m/d && "
     "cmp /tmp/m/a.img /tmp/m/b.img",
     0, ""},
};

TEST_F(MkpluginTest, ErrorsNameWhatFailedAndTheSameInputsGiveTheSameBytes) {
    ASSERT_TRUE(test_support::sh(
        "rm -rf /tmp/m && mkdir -p /tmp/m/d && echo f > /tmp/m/d/f && "
        "echo garbage > /tmp/m/bad.sro && " PI_SRGTOOL " make --swid t-1 -o /tmp/m/r.sro"));
    for (const ErrorRow &r : kErrors) {
        std::string out, err;
        const int status = test_support::captured(
            [&] { return test_support::shell(TOOLS + std::string(r.command)); }, &out, &err);
        EXPECT_EQ(status, r.status) << r.command;
        EXPECT_EQ(err, r.err) << r.command;
        EXPECT_FALSE(test_support::exists("/tmp/m/t.img")) << r.command;  // nothing left on failure
    }
}

}  // namespace
