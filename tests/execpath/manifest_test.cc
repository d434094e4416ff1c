// The manifest line rule, the names of an entry and the manifest reader,
// built into this test from the library's own source.
#include <cstring>
#include <string>
#include <vector>

#include "execpath/manifest.h"
#include "tests/support/fixture.h"

namespace {

// The entry manifest_line_trim yields for a line, or "(none)".
std::string trim(const std::string &line) {
    std::vector<char> buf(line.begin(), line.end());
    buf.push_back('\0');
    const char *entry = pi::manifest_line_trim(buf.data());
    if (!entry) return "(none)";
    EXPECT_GE(entry, buf.data());
    EXPECT_LE(entry, buf.data() + 2) << "points into the line";
    return entry;
}

TEST(ManifestLineRule, DropsOnePrefixAndOneLineFeedOnly) {
    EXPECT_EQ(trim("./usr/bin/foo\n"), "usr/bin/foo");
    EXPECT_EQ(trim("./usr/\n"), "usr/");
    EXPECT_EQ(trim("./\n"), "(none)");
    EXPECT_EQ(trim("./"), "(none)");
    EXPECT_EQ(trim("\n"), "(none)");
    EXPECT_EQ(trim(""), "(none)");
    EXPECT_EQ(trim("usr/lib/x\n"), "usr/lib/x");
    EXPECT_EQ(trim("/etc/x\n"), "/etc/x");
    EXPECT_EQ(trim("././a\n"), "./a");
    EXPECT_EQ(trim("./a\r\n"), "a\r");
    EXPECT_EQ(trim("./ a \n\n"), " a \n");
    EXPECT_EQ(trim(".\n"), ".");
    EXPECT_EQ(pi::manifest_line_trim(nullptr), nullptr);
}

TEST(ManifestNames, AreCutTo255Characters) {
    pi::Path link, source;
    EXPECT_TRUE(pi::manifest_link_name(link, "usr/bin/foo"));
    EXPECT_STREQ(link.c_str(), "/usr/bin/foo");
    EXPECT_TRUE(pi::manifest_source_path(source, "/velm/plugin/3", "usr/bin/foo"));
    EXPECT_STREQ(source.c_str(), "/velm/plugin/3/usr/bin/foo");

    const std::string e254(254, 'e');
    EXPECT_TRUE(pi::manifest_link_name(link, e254.c_str()));
    EXPECT_EQ(std::strlen(link.c_str()), 255u);
    EXPECT_FALSE(pi::manifest_link_name(link, (e254 + "x").c_str()));
    EXPECT_EQ(std::string(link.c_str()), "/" + e254);
    EXPECT_FALSE(pi::manifest_source_path(source, "/p", (e254 + "x").c_str()));
    EXPECT_EQ(std::string(source.c_str()), "/p/" + e254.substr(0, 252));
}

class ManifestReaderTest : public pit::SandboxTest {};

TEST_F(ManifestReaderTest, ReadsEntriesOfAnyLengthTwice) {
    const std::string longer(1000, 'l');
    ASSERT_TRUE(pit::write_file("/tmp/m", "./\n\n./a\n" + longer + "\n./\n./last"));
    pi::ManifestReader reader;
    EXPECT_EQ(reader.next(), nullptr) << "nothing open";
    ASSERT_TRUE(reader.allocate());
    ASSERT_TRUE(reader.open("/tmp/m"));
    for (int pass = 0; pass < 2; ++pass) {
        std::vector<std::string> entries;
        while (const char *e = reader.next()) entries.push_back(e);
        EXPECT_EQ(entries, (std::vector<std::string>{"a", longer, "last"}));
        ASSERT_TRUE(reader.rewind());
    }
    reader.close();
    EXPECT_FALSE(reader.open("/tmp/none"));
}

}  // namespace
