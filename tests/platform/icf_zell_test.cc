// Image configuration reader (libplugin_icf) and the zell limit (libsystem_zell).
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "platform/plugin_icf.h"
#include "platform/system_zell.h"
#include "tests/support/fixture.h"

namespace {

class IcfTest : public pit::SandboxTest {
protected:
    static void write(const std::string &path, const std::string &text) {
        FILE *f = fopen(path.c_str(), "w");
        ASSERT_NE(f, nullptr);
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);
    }
    // Every name of a walk that starts with first (true) or get_name (false).
    static std::vector<std::string> walk(plugin_icf *h, bool first) {
        std::vector<std::string> names;
        const char *name = reinterpret_cast<const char *>(1);
        uint32_t rc = first ? plugin_icf_first_img_name(h, &name) : plugin_icf_get_name(h, &name);
        while (rc == 0 && name != nullptr) {
            names.emplace_back(name);
            rc = plugin_icf_get_name(h, &name);
        }
        EXPECT_EQ(rc, 0u);
        return names;
    }
};

TEST_F(IcfTest, NamesInOrderWithCommentsBlanksAndTrimming) {
    write("/tmp/img.conf",
          "# plugin images\n"
          "\n"
          "  first.img  \n"
          "\t# indented comment\n"
          "second.img\r\n"
          "   \t \n"
          "name with # inside\n"
          "last.img");  // no final newline
    plugin_icf *h = nullptr;
    ASSERT_EQ(plugin_icf_open("/tmp/img.conf", &h), 0u);
    ASSERT_NE(h, nullptr);
    std::vector<std::string> expected{"first.img", "second.img", "name with # inside", "last.img"};
    EXPECT_EQ(walk(h, false), expected);
    // Past the end: null again, still success.
    const char *name = "x";
    EXPECT_EQ(plugin_icf_get_name(h, &name), 0u);
    EXPECT_EQ(name, nullptr);
    // Restart, twice, and a restart in the middle of a walk.
    EXPECT_EQ(walk(h, true), expected);
    ASSERT_EQ(plugin_icf_first_img_name(h, &name), 0u);
    ASSERT_EQ(plugin_icf_get_name(h, &name), 0u);
    EXPECT_STREQ(name, "second.img");
    EXPECT_EQ(walk(h, true), expected);
    EXPECT_EQ(plugin_icf_close(h), 0u);
}

TEST_F(IcfTest, NamesStayValidWhileTheWalkGoesOnAndTheFileChanges) {
    write("/tmp/a.conf", "one\ntwo\n");
    plugin_icf *h = nullptr;
    ASSERT_EQ(plugin_icf_open("/tmp/a.conf", &h), 0u);
    write("/tmp/a.conf", "other\n");  // read once at open
    const char *a = nullptr, *b = nullptr;
    ASSERT_EQ(plugin_icf_get_name(h, &a), 0u);
    ASSERT_EQ(plugin_icf_get_name(h, &b), 0u);
    EXPECT_STREQ(a, "one");
    EXPECT_STREQ(b, "two");
    plugin_icf_close(h);
}

TEST_F(IcfTest, EmptyAndCommentOnlyFilesHaveNoNames) {
    for (const char *text : {"", "\n\n", "# only\n  # comments\n"}) {
        write("/tmp/e.conf", text);
        plugin_icf *h = nullptr;
        ASSERT_EQ(plugin_icf_open("/tmp/e.conf", &h), 0u);
        const char *name = "x";
        EXPECT_EQ(plugin_icf_first_img_name(h, &name), 0u);
        EXPECT_EQ(name, nullptr);
        name = "x";
        EXPECT_EQ(plugin_icf_get_name(h, &name), 0u);
        EXPECT_EQ(name, nullptr);
        plugin_icf_close(h);
    }
}

TEST_F(IcfTest, ErrorsHaveTheirOwnCodesAndLeaveTheHandleAlone) {
    plugin_icf *h = nullptr;
    EXPECT_EQ(plugin_icf_open("/tmp/missing.conf", &h), PLUGIN_ICF_ERR_OPEN);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(plugin_icf_open(nullptr, &h), PLUGIN_ICF_ERR_INVALID_ARG);
    EXPECT_EQ(plugin_icf_open("/tmp/x", nullptr), PLUGIN_ICF_ERR_INVALID_ARG);
    EXPECT_EQ(plugin_icf_open("/tmp", &h), PLUGIN_ICF_ERR_READ);  // a directory
    EXPECT_EQ(h, nullptr);

    // The longest line allowed, blanks included, and one byte more.
    std::string longest(PLUGIN_ICF_MAX_LINE, 'n');
    write("/tmp/l.conf", "a\n" + longest + "\n");
    ASSERT_EQ(plugin_icf_open("/tmp/l.conf", &h), 0u);
    EXPECT_EQ(walk(h, true), (std::vector<std::string>{"a", longest}));
    plugin_icf_close(h);
    h = nullptr;
    write("/tmp/l.conf", "a\n " + longest + "\nb\n");
    EXPECT_EQ(plugin_icf_open("/tmp/l.conf", &h), PLUGIN_ICF_ERR_LINE);
    EXPECT_EQ(h, nullptr);
    write("/tmp/l.conf", std::string("a\nb\0c\n", 6));
    EXPECT_EQ(plugin_icf_open("/tmp/l.conf", &h), PLUGIN_ICF_ERR_LINE);

    // Every code lies outside the library's 0x40EA.... range.
    for (uint32_t code : {PLUGIN_ICF_ERR_INVALID_ARG, PLUGIN_ICF_ERR_OPEN, PLUGIN_ICF_ERR_NOMEM,
                          PLUGIN_ICF_ERR_READ, PLUGIN_ICF_ERR_LINE})
        EXPECT_NE(code >> 16, 0x40EAu);

    const char *name = nullptr;
    EXPECT_EQ(plugin_icf_get_name(nullptr, &name), PLUGIN_ICF_ERR_INVALID_ARG);
    EXPECT_EQ(plugin_icf_first_img_name(nullptr, &name), PLUGIN_ICF_ERR_INVALID_ARG);
    EXPECT_EQ(plugin_icf_close(nullptr), 0u);
}

TEST_F(IcfTest, UnreadableFileFailsToOpen) {
    write("/tmp/u.conf", "a\n");
    ASSERT_EQ(chmod("/tmp/u.conf", 0), 0);
    ASSERT_TRUE(pit::drop_capabilities());
    plugin_icf *h = nullptr;
    EXPECT_EQ(plugin_icf_open("/tmp/u.conf", &h), PLUGIN_ICF_ERR_OPEN);
    EXPECT_EQ(h, nullptr);
}

TEST_F(IcfTest, AllocationFailuresGiveNomemAndLeakNothing) {
    write("/tmp/f.conf", "a\nb\n");
    long runs = pit::faults::sweep(
        [] {
            plugin_icf *h = nullptr;
            uint32_t rc = plugin_icf_open("/tmp/f.conf", &h);
            if (rc == 0) {
                const char *name = nullptr;
                EXPECT_EQ(plugin_icf_get_name(h, &name), 0u);
                EXPECT_STREQ(name, "a");
                plugin_icf_close(h);
            } else {
                EXPECT_TRUE(rc == PLUGIN_ICF_ERR_NOMEM || rc == PLUGIN_ICF_ERR_OPEN) << rc;
                EXPECT_EQ(h, nullptr);
            }
        },
        [](long) {});
    EXPECT_GE(runs, 2);  // at least the buffer and the handle
}

class ZellTest : public pit::SandboxTest {
protected:
    void TearDown() override {
        unsetenv(SYSTEM_ZELL_ENV);
        pit::SandboxTest::TearDown();
    }
};

TEST_F(ZellTest, DefaultAndEnvironmentOverride) {
    unsetenv(SYSTEM_ZELL_ENV);
    EXPECT_EQ(get_max_allowed_zell(), SYSTEM_ZELL_DEFAULT_MAX);
    EXPECT_EQ(SYSTEM_ZELL_DEFAULT_MAX, 30);
    setenv(SYSTEM_ZELL_ENV, "6", 1);
    EXPECT_EQ(get_max_allowed_zell(), 6);  // read on every call
    setenv(SYSTEM_ZELL_ENV, "0", 1);
    EXPECT_EQ(get_max_allowed_zell(), 0);
    setenv(SYSTEM_ZELL_ENV, "65535", 1);
    EXPECT_EQ(get_max_allowed_zell(), 65535);
    for (const char *bad : {"", "65536", "-1", "+5", " 5", "5 ", "5x", "0x10", "99999999999"}) {
        setenv(SYSTEM_ZELL_ENV, bad, 1);
        EXPECT_EQ(get_max_allowed_zell(), SYSTEM_ZELL_DEFAULT_MAX) << '"' << bad << '"';
    }
}

}  // namespace
