// system_zell.cc - platform limit of the boot-stage record (libsystem_zell.so).
//
// get_max_allowed_zell() answers SYSTEM_ZELL_DEFAULT_MAX (30).  The
// environment variable PLUGIN_MAX_ALLOWED_ZELL, read on every call, replaces
// it when it holds a plain decimal number from 0 to 65535 (digits only, no
// sign, no blanks); any other value (empty, not a number, out of range) is
// ignored and the default applies.

#include "system_zell.h"

#include "frame/export.h"

#include <cstdlib>

extern "C" PI_EXPORT int32_t get_max_allowed_zell(void) {
    const char *value = std::getenv(SYSTEM_ZELL_ENV);
    if (!value || *value == '\0') return SYSTEM_ZELL_DEFAULT_MAX;
    int32_t n = 0;
    for (const char *p = value; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return SYSTEM_ZELL_DEFAULT_MAX;
        n = n * 10 + (*p - '0');
        if (n > 65535) return SYSTEM_ZELL_DEFAULT_MAX;
    }
    return n;
}
