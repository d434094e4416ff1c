// Load order when the record library cannot give a dependency list: a test
// double of srg_dependency_strings_get, defined in this executable, takes the
// place of the record library's for the whole process and fails for one
// chosen record.
#include <dlfcn.h>

#include <string>
#include <vector>

#include "tests/order/records.h"
#include "tests/support/fixture.h"

namespace {

const srg_record *g_failing = nullptr;
int g_calls = 0;

using DepsFn = uint32_t (*)(const srg_record *, uint32_t, const sysmgr_strings **);

}  // namespace

extern "C" uint32_t srg_dependency_strings_get(const srg_record *record, uint32_t flags,
                                               const sysmgr_strings **list) {
    ++g_calls;
    if (record == g_failing) return 4;  // any non-zero code is a failure
    static DepsFn next = reinterpret_cast<DepsFn>(dlsym(RTLD_NEXT, "srg_dependency_strings_get"));
    return next(record, flags, list);
}

namespace {

using pit::order::Records;
using Deps = std::vector<std::string>;
constexpr uint32_t kSentinel = 0xDEADBEEF;

class OrderDoublesTest : public pit::SandboxTest {
protected:
    void SetUp() override {
        pit::SandboxTest::SetUp();
        g_failing = nullptr;
        g_calls = 0;
    }
};

TEST_F(OrderDoublesTest, AFailingListQueryStopsAtThatRecordAndLeavesTheOrderAlone) {
    Records r;
    r.add("p0", Deps{"p2"}).add("p1").add("p2");
    g_failing = r.get()[1];
    for (bool unload : {false, true}) {
        g_calls = 0;
        std::vector<uint32_t> order(3, kSentinel);
        std::string err;
        plugin_rc_t rc = pit::captured(
            [&] {
                return unload ? plugin_find_unload_order(3, r.get(), order.data())
                              : plugin_find_load_order(3, r.get(), order.data());
            },
            nullptr, &err);
        EXPECT_EQ(rc, PLUGIN_ERR_FAILED);
        EXPECT_EQ(g_calls, 2);
        EXPECT_EQ(order, std::vector<uint32_t>(3, kSentinel));
        EXPECT_EQ(err, r.dump(0) + "0 p0 depends on: p2 \n" + r.dump(1) + "failed get dependency list for p1\n");
    }
}

TEST_F(OrderDoublesTest, TheFailureLineNamesARecordWithoutSoftwareIdAsNull) {
    Records r;
    r.add(std::nullopt, Deps{"x"});
    g_failing = r.get()[0];
    uint32_t order[1] = {kSentinel};
    std::string err;
    plugin_intn_debug_on();
    plugin_rc_t rc = pit::captured([&] { return plugin_find_load_order(1, r.get(), order); }, nullptr, &err);
    EXPECT_EQ(rc, PLUGIN_ERR_FAILED);
    EXPECT_EQ(order[0], kSentinel);
    // No "topological order" line: the sort never ran.
    EXPECT_EQ(err, "plugin_find_load_order(): num_img=1\n"
                   "plugin_find_load_order(): srg_dump for img=(null)" +
                       r.dump(0) + "failed get dependency list for (null)\n");
}

TEST_F(OrderDoublesTest, TheDoubleForwardsEveryOtherRecord) {
    Records r;
    r.add("a", Deps{"b"}).add("b");
    uint32_t order[2] = {kSentinel, kSentinel};
    std::string err;
    EXPECT_EQ(pit::captured([&] { return plugin_find_load_order(2, r.get(), order); }, nullptr, &err), PLUGIN_OK);
    EXPECT_EQ(g_calls, 2);
    EXPECT_EQ(order[0], 1u);
    EXPECT_EQ(order[1], 0u);
}

}  // namespace
