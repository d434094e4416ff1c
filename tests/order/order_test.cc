// Load and unload order from software records against a model of the rule, and the worked
// examples through the sort.
#include <random>
#include <sstream>

#include "platform/srg_bytes.h"
#include "tests/support/fixture.h"

namespace {

struct Rec {
    std::optional<std::string> swid;
    std::optional<std::vector<std::string>> deps;
};
struct Run {
    plugin_rc_t rc;
    std::vector<uint32_t> order;
    std::string err;
};
constexpr uint32_t kSentinel = 0xDEADBEEF;
class OrderTest : public test_support::SandboxTest {};

// The rule: i depends on every other record whose swid its list names; each
// position takes the lowest-index plugin whose dependencies are all placed.
// The list query fails for record `failing`.
Run model(const std::vector<Rec> &set, bool unload, int failing, bool debug,
          const std::vector<std::string> &dumps) {
    uint32_t n = set.size();
    Run m{0, std::vector<uint32_t>(n, kSentinel),
          debug ? "plugin_find_load_order(): num_img=" + std::to_string(n) + "\n" : ""};
    std::vector<std::vector<bool>> dep(n, std::vector<bool>(n));
    for (uint32_t i = 0; i < n; ++i) {
        std::string id = set[i].swid.value_or("(null)"), head = std::to_string(i) + " " + id;
        m.err += (debug ? "plugin_find_load_order(): srg_dump for img=" + id : "") + dumps[i];
        if ((int)i == failing)
            return Run{PLUGIN_ERR_FAILED, m.order,
                       m.err + "failed get dependency list for " + id + "\n"};
        bool none = !set[i].deps || set[i].deps->empty();
        m.err += head + (none ? ": no dependency list\n" : " depends on: ");
        for (uint32_t j = 0; j < n && !none; ++j) {
            if (j == i || !set[j].swid) continue;
            dep[i][j] = std::count(set[i].deps->begin(), set[i].deps->end(), *set[j].swid) > 0;
            if (dep[i][j]) m.err += *set[j].swid + " ";
        }
        m.err += none ? "" : "\n";
    }
    std::vector<bool> placed(n);
    auto ready = [&](uint32_t c) {
        for (uint32_t j = 0; j < n; ++j)
            if (dep[c][j] && !placed[j]) return false;
        return !placed[c];
    };
    for (uint32_t k = 0, c = 0; k < n && !m.rc; ++k, c = 0) {
        while (c < n && !ready(c)) ++c;
        if (c == n) {
            m.rc = PLUGIN_ERR_DEP_CYCLE;
            break;
        }
        placed[c] = true;
        m.order[k] = c;
    }
    auto line = [&](std::string s) {
        for (uint32_t v : m.order) s += std::to_string((int32_t)v) + " ";
        return s + "\n";
    };
    m.err += debug && n ? line("topological order: ") : "";
    if (unload && !m.rc) std::reverse(m.order.begin(), m.order.end());
    m.err += debug && unload && n && !m.rc ? line("unload order: ") : "";
    return Run{n ? m.rc : PLUGIN_ERR_FAILED, m.order, m.err};
}

void check(const std::vector<Rec> &set, bool unload, int failing, bool debug,
           const std::string &trace) {
    std::vector<std::string> stored, dumps(set.size());
    std::vector<srg_record *> recs;
    for (const Rec &r : set) stored.push_back(srg_format::record_bytes(r.swid, r.deps));
    for (std::string &s : stored) recs.push_back(reinterpret_cast<srg_record *>(s.data()));
    test_support::doubles::srg_dependency_strings_get = [&](const srg_record *r, uint32_t f,
                                                            const sysmgr_strings **l) {
        return failing >= 0 && r == recs[failing] ? 4u
                                                  : PI_REAL(srg_dependency_strings_get)(r, f, l);
    };
    for (std::size_t i = 0; i < recs.size(); ++i)
        test_support::captured([&] { return srg_dump(stderr, recs[i]); }, nullptr, &dumps[i]);
    debug ? plugin_intn_debug_on() : plugin_intn_debug_off();
    Run got{0, std::vector<uint32_t>(set.size(), kSentinel), ""},
        want = model(set, unload, failing, debug, dumps);
    auto find = unload ? plugin_find_unload_order : plugin_find_load_order;
    got.rc = test_support::captured(
        [&] { return find(recs.size(), recs.data(), got.order.data()); }, nullptr, &got.err);
    EXPECT_EQ(std::tie(got.rc, got.order, got.err), std::tie(want.rc, want.order, want.err))
        << trace;
}

// Few distinct ids (repeats), own ids and unknown names in the lists, records
// without swid or list, empty sets; every other set acyclic by construction;
// in one round of four the list query fails for one record (or none).
TEST_F(OrderTest, RandomSetsOrderAsTheModelSays) {
    std::mt19937 rng(20261206);
    auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
    for (int round = 0; round < 300; ++round) {
        std::vector<Rec> set(pick(41));
        for (Rec &r : set) {
            uint32_t own = pick(12);
            if (pick(8)) r.swid = "m" + std::to_string(own);
            if (pick(4)) r.deps.emplace();
            for (uint32_t k = r.deps ? pick(6) : 0; k > 0; --k) {
                const uint32_t d = pick(13);
                const bool unknown = d == 12 || (round % 2 && d >= own);
                r.deps->push_back(unknown ? "(null)" : "m" + std::to_string(d));
            }
        }
        check(set, pick(2), pick(4) ? -1 : (int)pick(set.size() + 1) - 1, pick(2),
              "round " + std::to_string(round));
    }
}

// Rows of the dependency matrix are what each plugin depends on ('f': a cell
// of 0xFFFFFFFF); the worked examples, count 0 and a self-mark.
TEST_F(OrderTest, WorkedExamplesThroughTheSort) {
    for (auto [rows, order, rc] : {std::tuple{"010 001 000", "2 1 0 ", PLUGIN_OK},
                                   {"0000 0001 0000 0000", "0 2 3 1 ", PLUGIN_OK},
                                   {"0000 1000 1000 0110", "0 1 2 3 ", PLUGIN_OK},
                                   {"010 100 000", "2 ", PLUGIN_ERR_DEP_CYCLE},
                                   {"", "", PLUGIN_OK},
                                   {"0000 0100 f000 0100", "0 2 ", PLUGIN_ERR_DEP_CYCLE}}) {
        std::vector<std::vector<uint32_t>> cells;
        std::vector<uint32_t *> matrix;
        std::istringstream in(rows);
        for (std::string r; in >> r;) cells.emplace_back(r.begin(), r.end());
        for (auto &row : cells) {
            for (uint32_t &c : row) c = c == 'f' ? 0xFFFFFFFF : c - '0';
            matrix.push_back(row.data());
        }
        std::vector<uint32_t> got(cells.size() + 1, kSentinel);
        EXPECT_EQ(plugin_topological_order_get(cells.size(), matrix.data(), got.data()), rc)
            << rows;
        std::string shown;
        for (uint32_t v : got) shown += v == kSentinel ? "" : std::to_string(v) + " ";
        EXPECT_EQ(shown, order) << rows;
    }
}

}  // namespace
