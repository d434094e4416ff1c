// The patching operations have no support on this platform: one stub body,
// exported as __plugin_no_patching_support, with four weak names bound to it
// so that a library loaded into the process may supply the real ones.
#include <cstdio>

#include "frame/export.h"

extern "C" {

PI_EXPORT int __plugin_no_patching_support(void) {
    static const char kLine[] = "No Patching support on this platform\n";
    std::fwrite(kLine, 1, sizeof kLine - 1, stdout);
    return 0;
}

PI_EXPORT int plugin_patch_setup_repos(void)
    __attribute__((weak, alias("__plugin_no_patching_support")));
PI_EXPORT int plugin_load_committed_patch(void)
    __attribute__((weak, alias("__plugin_no_patching_support")));
PI_EXPORT int plugin_sync_patches_on_standby(void)
    __attribute__((weak, alias("__plugin_no_patching_support")));
PI_EXPORT int plugin_patching_supported(void)
    __attribute__((weak, alias("__plugin_no_patching_support")));
}
