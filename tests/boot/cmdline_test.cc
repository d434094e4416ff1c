// Kernel command line: key lookup in /proc/cmdline and the plugin list parser.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/boot/boot_support.h"
#include "tests/support/fixture.h"

namespace {

using pit::captured;

struct Lookup {
    const char *value;  // points into the library's buffer
    std::string err;
    long allocations;
};

Lookup lookup(const char *key) {
    Lookup r{};
    r.value = captured(
        [&] {
            pit::faults::reset_count();
            const char *v = plugin_get_cmdline(key);
            r.allocations = pit::faults::allocations();
            return v;
        },
        nullptr, &r.err);
    return r;
}

std::string three_lines(const std::string &key, const std::string &text) {
    return "plugin_get_cmdline: Expected cmdline: " + key + "\n" + "plugin_get_cmdline: File read ====> " + text +
           "\n" + "plugin_get_cmdline: Read === > " + text;
}

// Binds something else over /proc/cmdline for the life of the object.
class CmdlineOverlay {
public:
    explicit CmdlineOverlay(const std::string &source) { bound_ = pit::bind(source, "/proc/cmdline"); }
    ~CmdlineOverlay() {
        if (bound_) pit::unbind("/proc/cmdline");
    }
    bool ok() const { return bound_; }

private:
    bool bound_ = false;
};

// A unix socket bound at path (open() on it fails with ENXIO).
int bind_socket(const char *path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path, sizeof addr.sun_path - 1);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

class GetCmdlineTest : public pit::SandboxTest {};

TEST_F(GetCmdlineTest, ValueIsCutInPlaceAndEveryLookupWritesThreeLines) {
    const std::string text = "root=/dev/ram pdebug=1 quiet\n";
    pit::set_cmdline(text);
    Lookup r = lookup("pdebug");
    ASSERT_NE(r.value, nullptr);
    EXPECT_STREQ(r.value, "1");
    // The buffer now ends right after the value.
    const char *start = r.value - std::strlen("root=/dev/ram pdebug=");
    EXPECT_STREQ(start, "root=/dev/ram pdebug=1");
    EXPECT_EQ(r.err, three_lines("pdebug", text));
    EXPECT_EQ(r.allocations, 0);

    // The debug switch does not matter to these lines.
    plugin_intn_debug_on();
    EXPECT_EQ(lookup("root").err, three_lines("root", text));
}

TEST_F(GetCmdlineTest, KeyIsASubstringAnywhereAndTheValueFollowsTheNextEquals) {
    pit::set_cmdline("root=/dev/ram pdebug=1 quiet\n");
    EXPECT_STREQ(lookup("debug").value, "1");  // inside "pdebug"
    EXPECT_STREQ(lookup("ram").value, "1");    // the next "=" after the match

    pit::set_cmdline("pdebug console=ttyS0\n");
    EXPECT_STREQ(lookup("pdebug").value, "ttyS0");

    pit::set_cmdline("a=1 key= next=2\n");
    const char *empty = lookup("key").value;
    ASSERT_NE(empty, nullptr);
    EXPECT_STREQ(empty, "");
    EXPECT_STREQ(lookup("next").value, "2");  // the earlier cut does not hide the rest
}

TEST_F(GetCmdlineTest, ValueAtTheEndOfTheTextComesWithoutTheNewline) {
    pit::set_cmdline("quiet use_newer_fs=yes\n");
    EXPECT_STREQ(lookup("use_newer_fs").value, "yes");
    pit::set_cmdline("use_newer_fs=plugin.img");  // no newline at all
    EXPECT_STREQ(lookup("use_newer_fs").value, "plugin.img");
    pit::set_cmdline("key=\n");
    EXPECT_STREQ(lookup("key").value, "");
}

TEST_F(GetCmdlineTest, MissingKeyOrMissingEqualsIsNull) {
    const std::string text = "console=ttyS0 quiet\n";
    pit::set_cmdline(text);
    Lookup absent = lookup("pdebug");
    EXPECT_EQ(absent.value, nullptr);
    EXPECT_EQ(absent.err, three_lines("pdebug", text) + "plugin_get_cmdline: can't find pdebug\n");
    EXPECT_EQ(absent.allocations, 0);

    // "quiet" is there but no "=" follows it before the end of the text.
    Lookup no_equals = lookup("quiet");
    EXPECT_EQ(no_equals.value, nullptr);
    EXPECT_EQ(no_equals.err, three_lines("quiet", text));

    Lookup null_key = lookup(nullptr);
    EXPECT_EQ(null_key.value, nullptr);
    EXPECT_EQ(null_key.err, "Null cmdline parameter\n");
}

TEST_F(GetCmdlineTest, OnlyTheFirst511BytesAreSearched) {
    std::string text(500, 'x');
    text += " k=1234567890123 far=1\n";
    pit::set_cmdline(text);
    const std::string kept = text.substr(0, 511);
    Lookup r = lookup("k");
    ASSERT_NE(r.value, nullptr);
    EXPECT_EQ(std::string(r.value), kept.substr(503));  // the value runs into the cut
    EXPECT_EQ(r.err, "plugin_get_cmdline: Expected cmdline: k\nplugin_get_cmdline: File read ====> " + kept +
                         "\nplugin_get_cmdline: Read === > " + kept);
    EXPECT_EQ(lookup("far").value, nullptr);
}

TEST_F(GetCmdlineTest, EmptyOrUnreadableCmdlineIsNull) {
    pit::set_cmdline("");
    Lookup empty = lookup("pdebug");
    EXPECT_EQ(empty.value, nullptr);
    const std::string failed = "plugin_get_cmdline: read cmdline failed (Success) (512)\n";
    EXPECT_EQ(empty.err, "plugin_get_cmdline: Expected cmdline: pdebug\n" + failed + failed);
    EXPECT_EQ(empty.allocations, 0);

    // A read that fails: the memory file of this process, read at address 0.
    {
        CmdlineOverlay mem("/proc/self/mem");
        ASSERT_TRUE(mem.ok());
        Lookup r = lookup("pdebug");
        EXPECT_EQ(r.value, nullptr);
        const std::string eio = "plugin_get_cmdline: read cmdline failed (Input/output error) (512)\n";
        EXPECT_EQ(r.err, "plugin_get_cmdline: Expected cmdline: pdebug\n" + eio + eio);
    }

    // A file that cannot be opened, as root too: a socket.
    int sock = bind_socket("/tmp/cmdline.sock");
    ASSERT_GE(sock, 0);
    {
        CmdlineOverlay overlay("/tmp/cmdline.sock");
        ASSERT_TRUE(overlay.ok());
        Lookup r = lookup("pdebug");
        EXPECT_EQ(r.value, nullptr);
        EXPECT_EQ(r.err,
                  "plugin_get_cmdline: Expected cmdline: pdebug\n"
                  "plugin_get_cmdline: Open cmdline failed: No such device or address\n");
    }
    ::close(sock);
    pit::set_cmdline("console=ttyS0\n");
    EXPECT_STREQ(lookup("console").value, "ttyS0");  // the overlays are gone again
}

TEST_F(GetCmdlineTest, EachCallRereadsTheFile) {
    pit::set_cmdline("pdebug=1\n");
    EXPECT_STREQ(lookup("pdebug").value, "1");
    pit::set_cmdline("pdebug=22\n");
    EXPECT_STREQ(lookup("pdebug").value, "22");
}

// ---------------------------------------------------------------------------

struct Parsed {
    int32_t count;
    std::vector<int32_t> entries;  // the first `count` entries
    std::vector<int32_t> rest;     // up to the end of the array (L or L + 1 entries)
    bool null_out;
    std::string err;
};

Parsed parse(const char *list, int32_t selector) {
    Parsed p{};
    int32_t *array = reinterpret_cast<int32_t *>(0x1);  // must be overwritten
    p.count = captured([&] { return plugin_from_cmdline(list, &array, selector); }, nullptr, &p.err);
    p.null_out = array == nullptr;
    if (array != nullptr) {
        std::size_t length = std::strlen(list);
        bool digit = std::strpbrk(list, "0123456789") != nullptr;
        std::size_t size = digit ? length : length + 1;
        for (std::size_t i = 0; i < size; ++i)
            (i < static_cast<std::size_t>(p.count) ? p.entries : p.rest).push_back(array[i]);
        std::free(array);
    }
    return p;
}

using V = std::vector<int32_t>;

struct Example {
    const char *list;
    V together;
    V all;
    const char *together_line;  // null: none written
};

class FromCmdlineTest : public pit::SandboxTest {};

TEST_F(FromCmdlineTest, WorkedExamples) {
    const Example examples[] = {
        {"3", {3}, {3}, nullptr},
        {"3,4", {3}, {3, 4}, nullptr},
        {"3+4", {3, 4}, {3, 4}, "3 4 "},
        {"3+4,5", {3, 4}, {3, 4, 5}, "3 4 "},
        {"3,4+5", {4, 5}, {3, 4, 5}, "4 5 "},
        {"3,4,5+6", {5, 6}, {3, 4, 5, 6}, "5 6 "},
        {"3+4+5", {3, 4, 5}, {3, 4, 5}, "3 4 5 "},
        {"12,,7", {12}, {12, 0, 7}, nullptr},
        {"3,", {3}, {3, 0}, nullptr},
        {",5", {0}, {0, 5}, nullptr},  // the first entry is the empty one
        {"007,10", {7}, {7, 10}, nullptr},
    };
    for (const Example &ex : examples) {
        SCOPED_TRACE(ex.list);
        std::string all_text;
        for (int32_t v : ex.all) all_text += std::to_string(v) + " ";
        std::string expected_err = std::string("plugin_from_cmdline: cmdline ") + ex.list + "\n";
        if (ex.together_line) expected_err += std::string("Plugins which boot together: ") + ex.together_line + "\n";
        expected_err += "\nAll plugins in cmdline: " + all_text + "\n";

        for (int32_t selector : {0, 1, -5}) {
            const V &want = selector != 0 ? ex.all : ex.together;
            Parsed p = parse(ex.list, selector);
            EXPECT_EQ(p.count, static_cast<int32_t>(want.size())) << "selector " << selector;
            EXPECT_EQ(p.entries, want) << "selector " << selector;
            EXPECT_EQ(p.rest, V(p.rest.size(), 0)) << "selector " << selector;
            EXPECT_EQ(p.err, expected_err + "plugin_from_cmdline: returned num plugin (" +
                                 std::to_string(want.size()) + ")\n");
        }
    }
}

TEST_F(FromCmdlineTest, TheDocumentedLinesInOrder) {
    Parsed p = parse("3,4+5", 0);
    EXPECT_EQ(p.err,
              "plugin_from_cmdline: cmdline 3,4+5\n"
              "Plugins which boot together: 4 5 \n"
              "\nAll plugins in cmdline: 3 4 5 \n"
              "plugin_from_cmdline: returned num plugin (2)\n");
}

TEST_F(FromCmdlineTest, RefusedListsLeaveThePointerNull) {
    Parsed second_group = parse("3+4,5+6", 1);
    EXPECT_EQ(second_group.count, 0);
    EXPECT_TRUE(second_group.null_out);
    EXPECT_EQ(second_group.err,
              "plugin_from_cmdline: cmdline 3+4,5+6\n"
              "invalid cmdline format\n"
              "plugin_from_cmdline: returned num plugin (0)\n");

    for (int32_t selector : {0, 1}) {
        Parsed blank = parse("3 4", selector);
        EXPECT_EQ(blank.count, 0);
        EXPECT_TRUE(blank.null_out);
        EXPECT_EQ(blank.err,
                  "plugin_from_cmdline: cmdline 3 4\n"
                  "invalid cmdline format (invalid char  )\n"
                  "plugin_from_cmdline: returned num plugin (0)\n");
    }
    Parsed minus = parse("3,-4", 0);
    EXPECT_TRUE(minus.null_out);
    EXPECT_NE(minus.err.find("invalid cmdline format (invalid char -)\n"), std::string::npos);

    Parsed empty = parse("", 1);
    EXPECT_EQ(empty.count, 0);
    EXPECT_TRUE(empty.null_out);
    EXPECT_EQ(empty.err, "plugin_from_cmdline: No cmdline\n");

    Parsed null_list = parse(nullptr, 1);
    EXPECT_TRUE(null_list.null_out);
    EXPECT_EQ(null_list.err, "plugin_from_cmdline: No cmdline\n");

    std::string err;
    EXPECT_EQ(captured([] { return plugin_from_cmdline("3", nullptr, 1); }, nullptr, &err), 0);
    EXPECT_EQ(err, "");
}

TEST_F(FromCmdlineTest, ListsWithoutDigitsFitTheirArrays) {
    // Each count stays within the array handed out (checked by the sanitizers
    // and valgrind when the entries are read back).
    struct Case {
        const char *list;
        V together;
        V all;
    } cases[] = {
        {",", {0}, {0, 0}},
        {"+", {0, 0}, {0, 0}},
        {",,", {0}, {0, 0, 0}},
        {",+", {0, 0}, {0, 0, 0}},
        {"++", {0, 0, 0}, {0, 0, 0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.list);
        Parsed together = parse(c.list, 0);
        EXPECT_EQ(together.entries, c.together);
        Parsed all = parse(c.list, 1);
        EXPECT_EQ(all.entries, c.all);
        EXPECT_EQ(all.count, static_cast<int32_t>(c.all.size()));
    }
    EXPECT_TRUE(parse("+,+", 1).null_out);
}

TEST_F(FromCmdlineTest, EntriesWrapInThirtyTwoBits) {
    EXPECT_EQ(parse("2147483647,4294967295,4294967296", 1).entries, (V{2147483647, -1, 0}));
}

TEST_F(FromCmdlineTest, ExactlyTwoAllocationsAndEveryFailureLeavesNothing) {
    for (const char *list : {"3,4+5", "12,,7", ","}) {
        for (int32_t selector : {0, 1}) {
            SCOPED_TRACE(std::string(list) + " selector " + std::to_string(selector));
            std::size_t entries = std::strpbrk(list, "0123456789") ? std::strlen(list) : std::strlen(list) + 1;
            int32_t *array = nullptr;
            int32_t count = -1;
            long injected = pit::boot::sweep_captured(
                [&] {
                    array = reinterpret_cast<int32_t *>(0x1);
                    count = plugin_from_cmdline(list, &array, selector);
                    std::free(array);
                },
                [&](long n, const std::string &err) {
                    EXPECT_EQ(count, 0) << "failing allocation " << n;
                    EXPECT_EQ(array, nullptr) << "failing allocation " << n;
                    EXPECT_EQ(err, std::string("plugin_from_cmdline: cmdline ") + list + "\nplugin_from_cmdline: malloc " +
                                       std::to_string(4 * entries) +
                                       " bytes failed\nplugin_from_cmdline: returned num plugin (0)\n");
                });
            EXPECT_EQ(injected, 2);
        }
    }
}

TEST_F(FromCmdlineTest, ASuccessfulParseAllocatesOnlyTheTwoArrays) {
    int32_t *array = nullptr;
    long allocations = 0;
    std::string err;
    captured(
        [&] {
            pit::faults::reset_count();
            int32_t n = plugin_from_cmdline("1+2,3", &array, 1);
            allocations = pit::faults::allocations();
            return n;
        },
        nullptr, &err);
    EXPECT_EQ(allocations, 2);
    std::free(array);
}

}  // namespace
