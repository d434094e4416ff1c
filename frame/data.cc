// Exported data: the debug switch and the storage that other code of the
// process uses.  All zero at load; the library never touches the last five.
#include "frame/export.h"
#include "plugin_intn.h"

extern "C" {
PI_EXPORT int32_t libplugin_intn_debug = 0;
PI_EXPORT void *plugin_thread_q = nullptr;
PI_EXPORT uint32_t plugin_sdwrap_syslog_key = 0;
PI_EXPORT void *plugin_sdwrap_syslog_key_datum = nullptr;
PI_EXPORT uint32_t plugin_sdwrap_debug_key = 0;
PI_EXPORT void *plugin_sdwrap_debug_key_datum = nullptr;

PI_EXPORT void plugin_intn_debug_on(void) { libplugin_intn_debug = 1; }
PI_EXPORT void plugin_intn_debug_off(void) { libplugin_intn_debug = 0; }
}
