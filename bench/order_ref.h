// The ordering rule transcribed directly (count^3), for comparison.
#ifndef PI_BENCH_ORDER_REF_H
#define PI_BENCH_ORDER_REF_H

#include <cstdint>

#include "platform/srg.h"
#include "plugin_intn.h"

namespace bench {

// Same arguments, result, order and standard-error lines as
// plugin_find_load_order with the debug switch off.
plugin_rc_t ref_find_load_order(uint32_t count, srg_record **records, uint32_t *order);

}  // namespace bench

#endif
