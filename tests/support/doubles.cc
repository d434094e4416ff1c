// Interposers over the platform functions: each answers through its hook when
// armed, otherwise forwards to the next definition.
#include "tests/support/doubles.h"

#include "plugin_intn.h"
#include "platform/system_zell.h"

namespace test_support::doubles {
#define PI_DOUBLE_DEFINE(ret, name, params, args) std::function<ret params> name;
PI_DOUBLES(PI_DOUBLE_DEFINE)
#undef PI_DOUBLE_DEFINE

void reset() {
#define PI_DOUBLE_RESET(ret, name, params, args) name = nullptr;
    PI_DOUBLES(PI_DOUBLE_RESET)
#undef PI_DOUBLE_RESET
}
}  // namespace test_support::doubles

extern "C" {
#define PI_DOUBLE_FORWARD(ret, name, params, args)                                    \
    ret name params {                                                                 \
        if (::test_support::doubles::name) return ::test_support::doubles::name args; \
        static auto *next = ::test_support::doubles::real<ret params>(#name);         \
        return next args;                                                             \
    }
PI_DOUBLES(PI_DOUBLE_FORWARD)
#undef PI_DOUBLE_FORWARD
}
