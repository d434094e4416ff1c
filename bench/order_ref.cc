// The load order as its rule is written, step by step: the dependency matrix
// from the records (the software id of record j asked for every pair), then
// for every position a full count of free and deps values over the plugins
// not yet placed (count^3 in all).  Compiled with the library's flags; the
// benchmark checks that it gives the same order and the same lines.
#include "bench/order_ref.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/srg.h"
#include "plugin_intn.h"

namespace bench {

namespace {

plugin_rc_t ref_sort(uint16_t count, uint32_t **matrix, uint32_t *order) {
    int32_t *marks = static_cast<int32_t *>(std::calloc(count ? count : 1, sizeof(int32_t)));
    if (!marks) return PLUGIN_ERR_NOMEM;
    for (uint32_t k = 0; k < count; ++k) {
        uint32_t best = 0, best_deps = 0;
        int64_t candidate = -1;
        for (uint32_t i = 0; i < count; ++i) {
            if (marks[i] != 0) continue;
            uint32_t free_i = 0, deps_i = 0;
            for (uint32_t j = 0; j < count; ++j) {
                if (marks[j] != 0) continue;
                if (matrix[i][j] == 0)
                    ++free_i;
                else
                    ++deps_i;
            }
            if (free_i > best) {
                best = free_i;
                best_deps = deps_i;
                candidate = i;
            }
        }
        if (candidate < 0 || best_deps != 0) {
            std::free(marks);
            return PLUGIN_ERR_DEP_CYCLE;
        }
        marks[candidate] = -1;
        order[k] = static_cast<uint32_t>(candidate);
    }
    std::free(marks);
    return PLUGIN_OK;
}

}  // namespace

plugin_rc_t ref_find_load_order(uint32_t count, srg_record **records, uint32_t *order) {
    if (count == 0 || !order || !records) return PLUGIN_ERR_FAILED;
    uint32_t **rows = static_cast<uint32_t **>(std::malloc(count * sizeof(uint32_t *)));
    if (!rows) return PLUGIN_ERR_FAILED;
    for (uint32_t i = 0; i < count; ++i) {
        rows[i] = static_cast<uint32_t *>(std::malloc(count * sizeof(uint32_t)));
        if (!rows[i]) {
            for (uint32_t k = 0; k < i; ++k) std::free(rows[k]);
            std::free(rows);
            return PLUGIN_ERR_NOMEM;
        }
        std::memset(rows[i], 0, count * sizeof(uint32_t));
    }
    plugin_rc_t rc = PLUGIN_OK;
    for (uint32_t i = 0; i < count && rc == PLUGIN_OK; ++i) {
        const char *swid = srg_sw_id_get(records[i]);
        srg_dump(stderr, records[i]);
        const sysmgr_strings *list = nullptr;
        if (srg_dependency_strings_get(records[i], 0, &list) != 0) {
            std::fprintf(stderr, "failed get dependency list for %s\n", swid);
            rc = PLUGIN_ERR_FAILED;
            break;
        }
        uint32_t n = list ? sysmgr_strings_num_strings_get(list) : 0;
        if (n == 0) {
            std::fprintf(stderr, "%d %s: no dependency list\n", static_cast<int>(i), swid);
            continue;
        }
        std::fprintf(stderr, "%d %s depends on: ", static_cast<int>(i), swid);
        for (uint32_t j = 0; j < count; ++j) {
            if (j == i) continue;
            const char *swid_j = srg_sw_id_get(records[j]);
            for (uint32_t s = 0; s < n; ++s) {
                if (std::strcmp(sysmgr_strings_get(list, s), swid_j) == 0) {
                    rows[i][j] = 1;
                    std::fprintf(stderr, "%s ", swid_j);
                    break;
                }
            }
        }
        std::fprintf(stderr, "\n");
    }
    if (rc == PLUGIN_OK) rc = ref_sort(static_cast<uint16_t>(count), rows, order);
    for (uint32_t i = 0; i < count; ++i) std::free(rows[i]);
    std::free(rows);
    return rc;
}

}  // namespace bench
