/*
 * system_zell.h - platform limit of the boot-stage record (libsystem_zell.so).
 */
#ifndef SYSTEM_ZELL_H
#define SYSTEM_ZELL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Default value of get_max_allowed_zell(). */
#define SYSTEM_ZELL_DEFAULT_MAX 30
/* Environment variable that overrides the default, read on every call: a
 * plain decimal count 0..65535 (digits only).  Any other value (empty, signs,
 * blanks, not a number, out of range) is ignored and the default applies. */
#define SYSTEM_ZELL_ENV "PLUGIN_MAX_ALLOWED_ZELL"

/* Maximum number of zells: SYSTEM_ZELL_DEFAULT_MAX unless the environment overrides it. */
int32_t get_max_allowed_zell(void);

#ifdef __cplusplus
}
#endif
#endif
