#include "frame/log.h"

#include <cstdarg>
#include <cstdio>

namespace plugin_intn {

void log(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
}

void debug(const char *fmt, ...) {
    if (!debug_on()) return;
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
}

}  // namespace plugin_intn
