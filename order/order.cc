// Load and unload order of a set of plugins, from the dependencies their
// software records declare.
//
// The sort places, at every position, the lowest-index plugin left whose
// dependencies on plugins left number zero: the plugin with the largest
// "free" value (fewest dependencies on plugins not yet placed), the first one
// on ties, and fails when that plugin still has a dependency.  Instead of
// recounting the matrix for every position it keeps each plugin's count of
// dependencies on plugins not yet placed and lowers the counts of the
// plugins that depend on the one just placed: count^2 in all.
#include <algorithm>
#include <cstring>
#include <memory>

#include "frame/export.h"
#include "frame/log.h"
#include "frame/own.h"
#include "platform/srg.h"

namespace {

// How a record without a software id shows in the lines; it matches nothing.
constexpr const char *kNoSwid = "(null)";

const char *shown(const char *swid) { return swid ? swid : kNoSwid; }

// The dependency matrix: a table of count row pointers (calloc'd, so the rows
// not yet allocated are null), each row its own allocation.
struct FreeRows {
    uint32_t count;
    void operator()(uint32_t **rows) const {
        for (uint32_t i = 0; i < count; ++i) std::free(rows[i]);
        std::free(rows);
    }
};
using Matrix = std::unique_ptr<uint32_t *[], FreeRows>;

// Debug output: "<label>: " and every entry of the order followed by a blank.
void debug_order(const char *label, uint32_t count, const uint32_t *order) {
    plugin_intn::debug("%s: ", label);
    for (uint32_t k = 0; k < count; ++k) plugin_intn::debug("%d ", static_cast<int32_t>(order[k]));
    plugin_intn::debug("\n");
}

// Every record's software id, fetched once; the indices of the records that
// have one, sorted by (id, index); the plugins matched for one row.  Matching
// each dependency through this sorted index, instead of comparing it with
// every other record's id (count^2 comparisons per plugin list), finds the
// same plugins in the same order, so every mark, line and result is the one
// the plain scan gives; only the time differs.
class SwidIndex {
public:
    // False when an allocation fails.
    bool build(uint32_t count, srg_record *const *records) {
        ids_ = plugin_intn::alloc<const char *>(count);
        sorted_ = plugin_intn::alloc<uint32_t>(count);
        matched_ = plugin_intn::alloc<uint32_t>(count);
        if (!ids_ || !sorted_ || !matched_) return false;
        for (uint32_t i = 0; i < count; ++i) {
            ids_[i] = srg_sw_id_get(records[i]);
            if (ids_[i]) sorted_[with_id_++] = i;
        }
        const char *const *id = ids_.get();
        std::sort(sorted_.get(), sorted_.get() + with_id_, [id](uint32_t a, uint32_t b) {
            const int c = std::strcmp(id[a], id[b]);
            return c < 0 || (c == 0 && a < b);
        });
        return true;
    }
    const char *id(uint32_t i) const { return ids_[i]; }
    // Marks in row (plugin i's) every other plugin whose id is one of the n
    // dependencies in list, and writes their ids in index order.
    void mark(uint32_t i, const sysmgr_strings *list, uint32_t n, uint32_t *row) {
        const char *const *id = ids_.get();
        const uint32_t *const first = sorted_.get(), *const last = first + with_id_;
        uint32_t found = 0;
        for (uint32_t k = 0; k < n; ++k) {
            const char *dep = sysmgr_strings_get(list, k);
            if (!dep) continue;
            const uint32_t *at = std::lower_bound(
                first, last, dep,
                [id](uint32_t a, const char *key) { return std::strcmp(id[a], key) < 0; });
            for (; at != last && std::strcmp(id[*at], dep) == 0; ++at) {
                const uint32_t j = *at;
                if (j == i || row[j]) continue;
                row[j] = 1;
                matched_[found++] = j;
            }
        }
        std::sort(matched_.get(), matched_.get() + found);
        for (uint32_t k = 0; k < found; ++k) plugin_intn::log("%s ", id[matched_[k]]);
        plugin_intn::log("\n");
    }

private:
    plugin_intn::Owned<const char *[]> ids_;
    plugin_intn::Owned<uint32_t[]> sorted_, matched_;
    uint32_t with_id_ = 0;
};

// Plugin i's row of the matrix, from its record's dependency list, with its
// lines.
plugin_rc_t fill_row(SwidIndex &index, uint32_t i, const srg_record *record, uint32_t *row) {
    const char *swid = index.id(i);
    plugin_intn::debug("%s(): srg_dump for img=%s", plugin_intn::operation(), shown(swid));
    srg_dump(stderr, record);

    const sysmgr_strings *list = nullptr;
    if (srg_dependency_strings_get(record, 0, &list) != 0) {
        plugin_intn::log("failed get dependency list for %s\n", shown(swid));  // verbatim: no name
        return PLUGIN_ERR_FAILED;
    }
    const uint32_t n = list ? sysmgr_strings_num_strings_get(list) : 0;
    if (n == 0) {
        // verbatim: the index and the swid where the name would be
        plugin_intn::log("%d %s: no dependency list\n", static_cast<int32_t>(i), shown(swid));
        return PLUGIN_OK;
    }
    plugin_intn::log("%d %s depends on: ", static_cast<int32_t>(i), shown(swid));
    index.mark(i, list, n, row);
    return PLUGIN_OK;
}

}  // namespace

extern "C" {

PI_EXPORT plugin_rc_t plugin_topological_order_get(uint16_t count, uint32_t **matrix,
                                                   uint32_t *order) {
    if (count == 0) return PLUGIN_OK;
    // left[i]: -1 once plugin i is placed, else the number of plugins not yet
    // placed that it depends on (itself included when marked so).
    plugin_intn::Owned<int32_t[]> left = plugin_intn::alloc<int32_t>(count);
    if (!left) return PLUGIN_ERR_NOMEM;
    for (uint32_t i = 0; i < count; ++i) {
        int32_t deps = 0;
        for (uint32_t j = 0; j < count; ++j) deps += matrix[i][j] != 0;
        left[i] = deps;
    }

    uint32_t first_unplaced = 0;  // every plugin below it is placed
    for (uint32_t k = 0; k < count; ++k) {
        while (left[first_unplaced] < 0) ++first_unplaced;
        uint32_t c = first_unplaced;
        while (c < count && left[c] != 0) ++c;
        if (c == count) return PLUGIN_ERR_DEP_CYCLE;
        left[c] = -1;
        order[k] = c;
        for (uint32_t i = first_unplaced; i < count; ++i)
            if (left[i] > 0 && matrix[i][c] != 0) --left[i];
    }
    return PLUGIN_OK;
}

PI_EXPORT plugin_rc_t plugin_find_load_order(uint32_t count, srg_record **records,
                                             uint32_t *order) {
    PI_OPERATION();
    plugin_intn::debug("%s(): num_img=%d\n", plugin_intn::operation(), static_cast<int32_t>(count));
    if (count == 0 || !order || !records) return PLUGIN_ERR_FAILED;

    Matrix rows(static_cast<uint32_t **>(std::calloc(count, sizeof(uint32_t *))), FreeRows{count});
    if (!rows) return PLUGIN_ERR_FAILED;
    for (uint32_t i = 0; i < count; ++i) {
        rows[i] = static_cast<uint32_t *>(std::calloc(count, sizeof(uint32_t)));
        if (!rows[i]) return PLUGIN_ERR_NOMEM;
    }

    // The index is one more allocation: failing, it gives what a failing row
    // allocation gives, PLUGIN_ERR_NOMEM with no line.
    SwidIndex index;
    if (!index.build(count, records)) return PLUGIN_ERR_NOMEM;
    for (uint32_t i = 0; i < count; ++i) {
        const plugin_rc_t rc = fill_row(index, i, records[i], rows[i]);
        if (rc != PLUGIN_OK) return rc;
    }

    plugin_rc_t rc = plugin_topological_order_get(static_cast<uint16_t>(count), rows.get(), order);
    debug_order("topological order", count, order);
    return rc;
}

PI_EXPORT plugin_rc_t plugin_find_unload_order(uint32_t count, srg_record **records,
                                               uint32_t *order) {
    plugin_rc_t rc = plugin_find_load_order(count, records, order);
    if (rc != PLUGIN_OK) return rc;
    for (uint32_t k = 0; k < count / 2; ++k) {
        uint32_t t = order[k];
        order[k] = order[count - 1 - k];
        order[count - 1 - k] = t;
    }
    debug_order("unload order", count, order);
    return PLUGIN_OK;
}

}  // extern "C"
