// Plugin names from an image configuration (plugin_get_names_from_conf).
//
// Two walks over the configuration: the first counts the names and their
// bytes, the set is then made once with exactly that size, the second walk
// fills it.  The FC and virtualisation plugins are added at the end when
// their marker files exist and the configuration is an "img.conf".
#include <cstring>

#include "frame/export.h"
#include "frame/log.h"
#include "frame/own.h"
#include "platform/plugin_icf.h"
#include "platform/plugin_strings.h"

namespace {

constexpr char kFcMarker[] = "/mnt/pss/load-fcplugin";
constexpr char kVirtMarker[] = "/mnt/pss/load-virtplugin";
constexpr char kFcName[] = "fc_plugin";
constexpr char kVirtName[] = "virt_plugin";

// A marker counts when it exists and the configuration is an image configuration.
bool marker_counts(const char *marker, const char *conf_path) {
    struct stat st;
    return ::stat(marker, &st) == 0 && std::strstr(conf_path, "img.conf") != nullptr;
}

// Appends one of the two extra names (debug lines only).
bool append_extra(plugin_strings *set, const char *name) {
    PI_DEBUG("Appending %s to the namelist\n", name);
    if (plugin_strings_append(set, name) < 0) {
        PI_DEBUG("failed to append %s sto strings\n", name);  // verbatim: "sto"
        return false;
    }
    return true;
}

// The counting pass: the number of names and their bytes, terminators
// included, with the markers' extra names.
uint32_t count_names(plugin_icf *handle, bool fc, bool virt, uint32_t *count, uint32_t *bytes) {
    for (;;) {
        const char *name = nullptr;
        const uint32_t rc = plugin_icf_get_name(handle, &name);
        if (rc != 0) {
            PI_LOG("get plugin image name failed. (rc = %d)\n", static_cast<int>(rc));
            return rc;
        }
        if (!name) break;
        ++*count;
        *bytes += static_cast<uint32_t>(std::strlen(name)) + 1;
    }
    if (fc) {
        ++*count;
        *bytes += sizeof kFcName;  // 10: the name and its terminator
        PI_DEBUG("Included FC Plugin for plugin string malloc\n");
    }
    if (virt) {
        ++*count;
        *bytes += sizeof kVirtName;  // 12
        PI_DEBUG("Included virtualization Plugin for plugin string malloc\n");
    }
    return 0;
}

// The filling pass: every name of the configuration, from the first, into set.
uint32_t fill_names(plugin_icf *handle, plugin_strings *set) {
    const char *name = nullptr;
    uint32_t rc = plugin_icf_first_img_name(handle, &name);
    if (rc != 0) {
        PI_LOG("get first plugin image name failed. (rc = %d)\n", static_cast<int>(rc));
        return rc;
    }
    while (name) {
        if (plugin_strings_append(set, name) < 0) {
            PI_LOG("failed to append %s sto strings\n", name);  // verbatim: "sto"
            return PLUGIN_ERR_FAILED;
        }
        rc = plugin_icf_get_name(handle, &name);
        if (rc != 0) {
            PI_LOG("get plugin image name failed. (rc = 0x%x)\n", rc);
            return rc;
        }
    }
    return 0;
}

}  // namespace

extern "C" PI_EXPORT plugin_rc_t plugin_get_names_from_conf(const char *path,
                                                            plugin_strings **names) {
    PI_OPERATION();
    if (names == nullptr) return PLUGIN_ERR_INVALID_ARG;
    *names = nullptr;
    if (path == nullptr) return PLUGIN_ERR_INVALID_ARG;

    bool fc = marker_counts(kFcMarker, path);
    bool virt = marker_counts(kVirtMarker, path);

    plugin_icf *opened = nullptr;
    uint32_t rc = plugin_icf_open(path, &opened);
    const plugin_intn::Owned<plugin_icf, plugin_icf_close> handle(opened);
    if (rc != 0) {
        PI_LOG("open %s failed. (rc = 0x%x)\n", path, rc);
        return rc;
    }

    uint32_t count = 0;
    uint32_t bytes = 0;
    rc = count_names(handle.get(), fc, virt, &count, &bytes);
    if (rc != 0) return rc;

    plugin_intn::Owned<plugin_strings, plugin_strings_free> set(
        plugin_strings_malloc(count, bytes));
    if (!set) {
        PI_LOG("strings malloc failed. Number of strings (%d), size(%d)\n", static_cast<int>(count),
               static_cast<int>(bytes));
        return PLUGIN_ERR_NOMEM;
    }

    rc = fill_names(handle.get(), set.get());
    if (rc != 0) return rc;
    if (fc && !append_extra(set.get(), kFcName)) return PLUGIN_ERR_FAILED;
    if (virt && !append_extra(set.get(), kVirtName)) return PLUGIN_ERR_FAILED;

    *names = set.release();
    return PLUGIN_OK;
}
