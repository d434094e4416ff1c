// The topological sort over a dependency matrix, against a direct
// transcription of the ordering rule.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include "tests/support/fixture.h"

namespace {

constexpr uint32_t kSentinel = 0xDEADBEEF;

class OrderSortTest : public pit::SandboxTest {};

// A dependency matrix as the sort takes it: count row pointers.
struct Matrix {
    explicit Matrix(uint16_t n) : n(n), cells(std::size_t(n) * n, 0), rows(n) {
        for (uint16_t i = 0; i < n; ++i) rows[i] = cells.data() + std::size_t(i) * n;
    }
    // i depends on j.
    Matrix &dep(uint16_t i, uint16_t j, uint32_t v = 1) {
        rows[i][j] = v;
        return *this;
    }
    uint32_t **get() { return rows.data(); }
    uint16_t n;
    std::vector<uint32_t> cells;
    std::vector<uint32_t *> rows;
};

// The ordering rule as written: for every position, count free and deps over
// the plugins not yet placed, take the first plugin with a strictly greater
// free value (starting from 0), fail when there is none or it still has deps.
plugin_rc_t reference_order(uint16_t count, uint32_t **matrix, uint32_t *order) {
    std::vector<int32_t> marks(count, 0);
    for (uint32_t k = 0; k < count; ++k) {
        uint32_t best = 0, best_deps = 0;
        int64_t candidate = -1;
        for (uint32_t i = 0; i < count; ++i) {
            if (marks[i] != 0) continue;
            uint32_t free = 0, deps = 0;
            for (uint32_t j = 0; j < count; ++j) {
                if (marks[j] != 0) continue;
                if (matrix[i][j] == 0)
                    ++free;
                else
                    ++deps;
            }
            if (free > best) {
                best = free;
                best_deps = deps;
                candidate = i;
            }
        }
        if (candidate < 0 || best_deps != 0) return PLUGIN_ERR_DEP_CYCLE;
        marks[static_cast<std::size_t>(candidate)] = -1;
        order[k] = static_cast<uint32_t>(candidate);
    }
    return PLUGIN_OK;
}

struct Outcome {
    plugin_rc_t rc;
    std::vector<uint32_t> order;
};

Outcome sorted(Matrix &m) {
    Outcome o{0, std::vector<uint32_t>(m.n + 1u, kSentinel)};
    o.rc = plugin_topological_order_get(m.n, m.get(), o.order.data());
    return o;
}

TEST_F(OrderSortTest, WorkedExamplesGiveTheirOrders) {
    struct Case {
        uint16_t n;
        std::vector<std::pair<uint16_t, uint16_t>> deps;
        std::vector<uint32_t> order;
        plugin_rc_t rc;
    };
    const Case cases[] = {
        {3, {{0, 1}, {1, 2}}, {2, 1, 0}, PLUGIN_OK},
        {3, {}, {0, 1, 2}, PLUGIN_OK},
        {4, {{1, 3}}, {0, 2, 3, 1}, PLUGIN_OK},
        {4, {{1, 0}, {2, 0}, {3, 1}, {3, 2}}, {0, 1, 2, 3}, PLUGIN_OK},
        {3, {{0, 1}, {1, 0}}, {2, kSentinel, kSentinel}, PLUGIN_ERR_DEP_CYCLE},
    };
    for (const Case &c : cases) {
        Matrix m(c.n);
        for (auto [i, j] : c.deps) m.dep(i, j);
        Outcome o = sorted(m);
        EXPECT_EQ(o.rc, c.rc);
        std::vector<uint32_t> expect = c.order;
        expect.push_back(kSentinel);  // nothing is written past count
        EXPECT_EQ(o.order, expect);
    }
}

TEST_F(OrderSortTest, ZeroCountWritesNothingAndSelfMarksAreCycles) {
    uint32_t order[2] = {kSentinel, kSentinel};
    EXPECT_EQ(plugin_topological_order_get(0, nullptr, order), PLUGIN_OK);
    EXPECT_EQ(order[0], kSentinel);

    Matrix alone(1);
    alone.dep(0, 0);
    Outcome o = sorted(alone);
    EXPECT_EQ(o.rc, PLUGIN_ERR_DEP_CYCLE);
    EXPECT_EQ(o.order, (std::vector<uint32_t>{kSentinel, kSentinel}));

    // 1 marks itself; 0 and 2 are placed first, then the sort stops.
    Matrix m(4);
    m.dep(1, 1).dep(3, 1).dep(2, 0, 0xFFFFFFFFu);
    o = sorted(m);
    EXPECT_EQ(o.rc, PLUGIN_ERR_DEP_CYCLE);
    EXPECT_EQ(o.order, (std::vector<uint32_t>{0, 2, kSentinel, kSentinel, kSentinel}));
}

TEST_F(OrderSortTest, AFailingMarkAllocationIsNomemWithTheOrderUntouched) {
    Matrix m(3);
    m.dep(0, 1);
    std::vector<uint32_t> order(3, kSentinel);
    plugin_rc_t rc = 0;
    long injected = pit::faults::sweep(
        [&] {
            std::fill(order.begin(), order.end(), kSentinel);
            rc = plugin_topological_order_get(3, m.get(), order.data());
        },
        [&](long n) {
            EXPECT_EQ(rc, PLUGIN_ERR_NOMEM) << n;
            EXPECT_EQ(order, std::vector<uint32_t>(3, kSentinel)) << n;
        });
    EXPECT_EQ(injected, 1);
    EXPECT_EQ(rc, PLUGIN_OK);
    EXPECT_EQ(order, (std::vector<uint32_t>{1, 0, 2}));
}

// Random matrices: acyclic parts, back edges that close cycles, self-marks,
// arbitrary non-zero cell values, many equal free values.
TEST_F(OrderSortTest, RandomMatricesSortExactlyAsTheRuleSays) {
    std::mt19937 rng(20261206);
    int ok = 0, cycles = 0, trials = 0;
    for (int t = 0; t < 6000; ++t, ++trials) {
        uint16_t n = static_cast<uint16_t>(t < 5000 ? 1 + rng() % 9 : 10 + rng() % 40);
        Matrix m(n);
        std::vector<uint16_t> perm(n);
        for (uint16_t i = 0; i < n; ++i) perm[i] = i;
        std::shuffle(perm.begin(), perm.end(), rng);
        double forward = std::uniform_real_distribution<double>(0.0, 0.6)(rng);
        double back = (rng() % 3 == 0) ? std::uniform_real_distribution<double>(0.0, 0.08)(rng) : 0.0;
        double self = (rng() % 5 == 0) ? 0.05 : 0.0;
        std::uniform_real_distribution<double> u(0.0, 1.0);
        // Position a in perm depends on position b: always allowed for b < a
        // (acyclic), rarely for b > a (closes cycles), self-marks rarely.
        for (uint16_t a = 0; a < n; ++a)
            for (uint16_t b = 0; b < n; ++b) {
                double p = b < a ? forward : b > a ? back : self;
                uint32_t value = (rng() % 4 == 0) ? static_cast<uint32_t>(rng()) | 1u : 1u;
                if (u(rng) < p) m.dep(perm[a], perm[b], value);
            }
        std::vector<uint32_t> want(n + 1u, kSentinel);
        plugin_rc_t want_rc = reference_order(n, m.get(), want.data());
        Outcome o = sorted(m);
        ASSERT_EQ(o.rc, want_rc) << "trial " << t << " n " << n;
        ASSERT_EQ(o.order, want) << "trial " << t << " n " << n;
        (want_rc == PLUGIN_OK ? ok : cycles) += 1;
    }
    // Both outcomes were exercised in number.
    EXPECT_GT(ok, trials / 10);
    EXPECT_GT(cycles, trials / 10);
    std::printf("%d trials: %d ordered, %d cycles\n", trials, ok, cycles);
}

}  // namespace
