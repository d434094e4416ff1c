// Interposers over the platform functions: each answers through its hook when
// armed, otherwise forwards to the next definition.
#include "tests/support/doubles.h"

#include "plugin_intn.h"
#include "platform/system_zell.h"

namespace pit::dbl {
#define PI_DOUBLE_DEFINE(ret, name, params, args) std::function<ret params> name;
PI_DOUBLES(PI_DOUBLE_DEFINE)
#undef PI_DOUBLE_DEFINE

void reset() {
#define PI_DOUBLE_RESET(ret, name, params, args) name = nullptr;
    PI_DOUBLES(PI_DOUBLE_RESET)
#undef PI_DOUBLE_RESET
}
}  // namespace pit::dbl

extern "C" {
#define PI_DOUBLE_FORWARD(ret, name, params, args)               \
    ret name params {                                            \
        if (::pit::dbl::name) return ::pit::dbl::name args;      \
        static auto *next = ::pit::dbl::real<ret params>(#name); \
        return next args;                                        \
    }
PI_DOUBLES(PI_DOUBLE_FORWARD)
#undef PI_DOUBLE_FORWARD
}
