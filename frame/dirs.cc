// plugin_mkdir and plugin_rmdir.
#include <cstring>

#include "frame/export.h"
#include "frame/own.h"
#include "plugin_intn.h"

extern "C" PI_EXPORT plugin_rc_t plugin_mkdir(const char *path, mode_t mode) {
    plugin_intn::UmaskGuard mask(0);
    // A null path is a refused mkdir like any other: PLUGIN_ERR_FAILED.
    if (!path || ::mkdir(path, mode) < 0) return PLUGIN_ERR_FAILED;
    return PLUGIN_OK;
}

extern "C" PI_EXPORT plugin_rc_t plugin_rmdir(const char *path) {
    if (!path) return PLUGIN_ERR_INVALID_ARG;
    static const char kRm[] = "rm -fr ";
    const std::size_t size = std::strlen(path) + 9;  // "rm -fr " + path + NUL, one spare
    plugin_intn::Owned<char[]> cmd = plugin_intn::alloc<char>(size);
    if (!cmd) return PLUGIN_ERR_NOMEM;
    std::snprintf(cmd.get(), size, "%s%s", kRm, path);
    int32_t rc = plugin_syscall(cmd.get());
    return rc < 0 ? PLUGIN_ERR_FAILED : PLUGIN_OK;
}
