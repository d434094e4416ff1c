// Load and unload order from software records: matching, the lines on
// stderr, the debug lines and the failures.
#include <fcntl.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "tests/order/records.h"
#include "tests/support/fixture.h"

namespace {

using pit::order::Records;
using Deps = std::vector<std::string>;

constexpr uint32_t kSentinel = 0xDEADBEEF;

class OrderTest : public pit::SandboxTest {};

struct Outcome {
    plugin_rc_t rc;
    std::vector<uint32_t> order;
    std::string err;
};

Outcome load(Records &r, bool unload = false) {
    Outcome run{0, std::vector<uint32_t>(r.count(), kSentinel), {}};
    run.rc = pit::captured(
        [&] {
            return unload ? plugin_find_unload_order(r.count(), r.get(), run.order.data())
                          : plugin_find_load_order(r.count(), r.get(), run.order.data());
        },
        nullptr, &run.err);
    return run;
}

TEST_F(OrderTest, WorkedExamplesFromRecords) {
    {
        Records r;
        r.add("p0", Deps{"p1"}).add("p1", Deps{"p2"}).add("p2");
        Outcome run = load(r);
        EXPECT_EQ(run.rc, PLUGIN_OK);
        EXPECT_EQ(run.order, (std::vector<uint32_t>{2, 1, 0}));
        run = load(r, true);
        EXPECT_EQ(run.rc, PLUGIN_OK);
        EXPECT_EQ(run.order, (std::vector<uint32_t>{0, 1, 2}));
    }
    {
        Records r;
        r.add("p0").add("p1", Deps{}).add("p2", Deps{"elsewhere"});
        EXPECT_EQ(load(r).order, (std::vector<uint32_t>{0, 1, 2}));
        EXPECT_EQ(load(r, true).order, (std::vector<uint32_t>{2, 1, 0}));
    }
    {
        Records r;
        r.add("p0").add("p1", Deps{"p3"}).add("p2").add("p3");
        EXPECT_EQ(load(r).order, (std::vector<uint32_t>{0, 2, 3, 1}));
        EXPECT_EQ(load(r, true).order, (std::vector<uint32_t>{1, 3, 2, 0}));
    }
    {
        Records r;
        r.add("p0").add("p1", Deps{"p0"}).add("p2", Deps{"p0"}).add("p3", Deps{"p2", "p1"});
        EXPECT_EQ(load(r).order, (std::vector<uint32_t>{0, 1, 2, 3}));
    }
    {
        Records r;
        r.add("p0", Deps{"p1"}).add("p1", Deps{"p0"}).add("p2");
        Outcome run = load(r);
        EXPECT_EQ(run.rc, PLUGIN_ERR_DEP_CYCLE);
        EXPECT_EQ(run.order, (std::vector<uint32_t>{2, kSentinel, kSentinel}));
        run = load(r, true);
        EXPECT_EQ(run.rc, PLUGIN_ERR_DEP_CYCLE);
        EXPECT_EQ(run.order, (std::vector<uint32_t>{2, kSentinel, kSentinel}));
    }
}

TEST_F(OrderTest, EveryRecordIsDumpedAndItsDependencyLineWritten) {
    Records r;
    r.add("alpha", Deps{"beta", "gamma"}).add("beta", Deps{"gamma"}).add("gamma").add("delta", Deps{});
    Outcome run = load(r);
    ASSERT_EQ(run.rc, PLUGIN_OK);
    EXPECT_EQ(run.order, (std::vector<uint32_t>{2, 1, 0, 3}));
    EXPECT_EQ(run.err, r.dump(0) + "0 alpha depends on: beta gamma \n" +  //
                           r.dump(1) + "1 beta depends on: gamma \n" +    //
                           r.dump(2) + "2 gamma: no dependency list\n" +  //
                           r.dump(3) + "3 delta: no dependency list\n");
    EXPECT_NE(r.dump(0), "");
}

TEST_F(OrderTest, DebugLinesFrameTheRecordsAndShowTheOrders) {
    Records r;
    r.add("a", Deps{"b"}).add("b");
    plugin_intn_debug_on();
    Outcome run = load(r, true);
    ASSERT_EQ(run.rc, PLUGIN_OK);
    EXPECT_EQ(run.order, (std::vector<uint32_t>{0, 1}));
    EXPECT_EQ(run.err, "plugin_find_load_order(): num_img=2\n"
                       "plugin_find_load_order(): srg_dump for img=a" +
                           r.dump(0) + "0 a depends on: b \n" +
                           "plugin_find_load_order(): srg_dump for img=b" + r.dump(1) +
                           "1 b: no dependency list\n"
                           "topological order: 1 0 \n"
                           "unload order: 0 1 \n");

    // On a cycle the debug line shows the whole array, placed or not.
    Records c;
    c.add("x", Deps{"y"}).add("y", Deps{"x"});
    run = load(c);
    EXPECT_EQ(run.rc, PLUGIN_ERR_DEP_CYCLE);
    std::string tail = "topological order: -559038737 -559038737 \n";
    ASSERT_GE(run.err.size(), tail.size());
    EXPECT_EQ(run.err.substr(run.err.size() - tail.size()), tail);
}

TEST_F(OrderTest, MatchingIgnoresSelfAndUnknownIdsAndCountsEachPluginOnce) {
    Records r;
    r.add("self", Deps{"self", "nowhere", "other", "other"}).add("other", Deps{"self"});
    Outcome run = load(r);
    // self depends on other, other on self: a cycle, though not on itself.
    EXPECT_EQ(run.rc, PLUGIN_ERR_DEP_CYCLE);
    EXPECT_EQ(run.err, r.dump(0) + "0 self depends on: other \n" + r.dump(1) + "1 other depends on: self \n");

    Records s;
    s.add("solo", Deps{"solo"});
    run = load(s);
    EXPECT_EQ(run.rc, PLUGIN_OK);
    EXPECT_EQ(run.order, (std::vector<uint32_t>{0}));
    EXPECT_EQ(run.err, s.dump(0) + "0 solo depends on: \n");
}

TEST_F(OrderTest, ARepeatedSoftwareIdMakesItsDependentsDependOnBoth) {
    Records r;
    r.add("user", Deps{"twin"}).add("twin").add("base").add("twin", Deps{"base"});
    Outcome run = load(r);
    ASSERT_EQ(run.rc, PLUGIN_OK);
    EXPECT_EQ(run.order, (std::vector<uint32_t>{1, 2, 3, 0}));
    EXPECT_EQ(run.err, r.dump(0) + "0 user depends on: twin twin \n" + r.dump(1) + "1 twin: no dependency list\n" +
                           r.dump(2) + "2 base: no dependency list\n" + r.dump(3) + "3 twin depends on: base \n");
}

// The matched ids are written in record order, each record once, whatever
// the order and repetitions of the dependency strings; ids that are prefixes
// of one another stay apart, and a record sharing the plugin's own id is
// still matched.
TEST_F(OrderTest, MatchedIdsAreWrittenInRecordOrderWhateverTheListOrder) {
    Records r;
    r.add("ab").add("abc", Deps{"ab"}).add("a").add("user", Deps{"zz", "a", "abc", "ab", "a", "user", "b"})
        .add("user").add("ab");
    Outcome run = load(r);
    ASSERT_EQ(run.rc, PLUGIN_OK);
    EXPECT_EQ(run.order, (std::vector<uint32_t>{0, 2, 4, 5, 1, 3}));
    EXPECT_EQ(run.err, r.dump(0) + "0 ab: no dependency list\n" + r.dump(1) + "1 abc depends on: ab ab \n" +
                           r.dump(2) + "2 a: no dependency list\n" + r.dump(3) +
                           "3 user depends on: ab abc a user ab \n" + r.dump(4) + "4 user: no dependency list\n" +
                           r.dump(5) + "5 ab: no dependency list\n");
}

// Random sets with few distinct ids (so many repeats) against the matching
// rule written out pair by pair.
TEST_F(OrderTest, RandomSetsMatchAsTheRuleSaysPairByPair) {
    uint32_t seed = 12345;
    auto next = [&seed](uint32_t n) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) % n;
    };
    for (int round = 0; round < 20; ++round) {
        uint32_t count = 1 + next(40);
        std::vector<std::optional<std::string>> ids;
        std::vector<std::optional<Deps>> lists;
        Records r;
        for (uint32_t i = 0; i < count; ++i) {
            std::optional<std::string> id;
            if (next(8) != 0) id = "m" + std::to_string(next(12));
            std::optional<Deps> deps;
            if (next(4) != 0) {
                deps.emplace();
                for (uint32_t k = next(6); k > 0; --k) deps->push_back("m" + std::to_string(next(14)));
            }
            r.add(id, deps);
            ids.push_back(id);
            lists.push_back(deps);
        }
        std::string expected;
        for (uint32_t i = 0; i < count; ++i) {
            std::string shown = ids[i] ? *ids[i] : "(null)";
            expected += r.dump(i);
            if (!lists[i] || lists[i]->empty()) {
                expected += std::to_string(i) + " " + shown + ": no dependency list\n";
                continue;
            }
            expected += std::to_string(i) + " " + shown + " depends on: ";
            for (uint32_t j = 0; j < count; ++j) {
                if (j == i || !ids[j]) continue;
                for (const std::string &d : *lists[i])
                    if (d == *ids[j]) {
                        expected += *ids[j] + " ";
                        break;
                    }
            }
            expected += "\n";
        }
        Outcome run = load(r);
        EXPECT_EQ(run.err, expected) << "round " << round;
    }
}

TEST_F(OrderTest, ARecordWithoutSoftwareIdShowsAsNullAndMatchesNothing) {
    Records r;
    r.add(std::nullopt, Deps{"named"}).add("named", Deps{"(null)"}).add(std::nullopt);
    plugin_intn_debug_on();
    Outcome run = load(r);
    ASSERT_EQ(run.rc, PLUGIN_OK);
    EXPECT_EQ(run.order, (std::vector<uint32_t>{1, 0, 2}));
    EXPECT_EQ(run.err, "plugin_find_load_order(): num_img=3\n"
                       "plugin_find_load_order(): srg_dump for img=(null)" +
                           r.dump(0) + "0 (null) depends on: named \n" +
                           "plugin_find_load_order(): srg_dump for img=named" + r.dump(1) +
                           "1 named depends on: \n"
                           "plugin_find_load_order(): srg_dump for img=(null)" +
                           r.dump(2) + "2 (null): no dependency list\n" + "topological order: 1 0 2 \n");
}

TEST_F(OrderTest, BadArgumentsFailAfterTheFirstDebugLine) {
    Records r;
    r.add("a");
    uint32_t order[1] = {kSentinel};
    std::string err;
    plugin_intn_debug_on();
    EXPECT_EQ(pit::captured([&] { return plugin_find_load_order(0, r.get(), order); }, nullptr, &err),
              PLUGIN_ERR_FAILED);
    EXPECT_EQ(err, "plugin_find_load_order(): num_img=0\n");
    EXPECT_EQ(pit::captured([&] { return plugin_find_load_order(1, nullptr, order); }, nullptr, &err),
              PLUGIN_ERR_FAILED);
    EXPECT_EQ(err, "plugin_find_load_order(): num_img=1\n");
    EXPECT_EQ(pit::captured([&] { return plugin_find_unload_order(1, r.get(), nullptr); }, nullptr, &err),
              PLUGIN_ERR_FAILED);
    EXPECT_EQ(err, "plugin_find_load_order(): num_img=1\n");
    EXPECT_EQ(order[0], kSentinel);
}

// Fails allocations one after another with stderr sent to /dev/null (no
// allocation of the test's own in between): the row table gives
// PLUGIN_ERR_FAILED, a row, the id, index and matched arrays or the sort's
// marks PLUGIN_ERR_NOMEM, and the order array is never touched.
TEST_F(OrderTest, EveryFailingAllocationGivesItsCodeAndLeavesTheOrderAlone) {
    Records r;
    r.add("p0", Deps{"p1"}).add("p1", Deps{"p2"}).add("p2").add("p3");
    std::vector<uint32_t> order(4, kSentinel);
    std::vector<plugin_rc_t> codes;
    codes.reserve(64);
    std::vector<std::vector<uint32_t>> orders;
    orders.reserve(64);
    int null_fd = ::open("/dev/null", O_WRONLY);
    ASSERT_GE(null_fd, 0);
    int saved = ::dup(2);
    plugin_rc_t rc = 0;
    for (bool unload : {false, true}) {
        codes.clear();
        long injected = pit::faults::sweep(
            [&] {
                std::fill(order.begin(), order.end(), kSentinel);
                ::dup2(null_fd, 2);
                rc = unload ? plugin_find_unload_order(4, r.get(), order.data())
                            : plugin_find_load_order(4, r.get(), order.data());
                ::dup2(saved, 2);
            },
            [&](long) {
                codes.push_back(rc);
                EXPECT_EQ(order, std::vector<uint32_t>(4, kSentinel));
            });
        // The table, four rows, the ids, the sorted index, the matched
        // scratch, the marks.
        EXPECT_EQ(injected, 9);
        EXPECT_EQ(codes, (std::vector<plugin_rc_t>{PLUGIN_ERR_FAILED, PLUGIN_ERR_NOMEM, PLUGIN_ERR_NOMEM,
                                                   PLUGIN_ERR_NOMEM, PLUGIN_ERR_NOMEM, PLUGIN_ERR_NOMEM,
                                                   PLUGIN_ERR_NOMEM, PLUGIN_ERR_NOMEM, PLUGIN_ERR_NOMEM}));
        EXPECT_EQ(rc, PLUGIN_OK);
        EXPECT_EQ(order, unload ? (std::vector<uint32_t>{3, 0, 1, 2}) : (std::vector<uint32_t>{2, 1, 0, 3}));
    }
    ::close(saved);
    ::close(null_fd);
}

}  // namespace
