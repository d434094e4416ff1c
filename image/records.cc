// Software record files: a record read from a record file or out of a plugin
// image, stored as /velm/plugin/<id>/plugin.sro under the link
// /velm/plugin_srg/plugin-<swid>.sro, and removed again.
#include <cerrno>
#include <cstring>
#include <fcntl.h>

#include "frame/export.h"
#include "frame/log.h"
#include "frame/own.h"
#include "frame/path.h"
#include "platform/img.h"
#include "platform/srg.h"
#include "plugin_intn.h"

namespace {

constexpr char kPluginRoot[] = "/velm/plugin";
constexpr char kSrgLinkDir[] = "/velm/plugin_srg";
constexpr char kRecordName[] = "plugin.sro";
constexpr char kImageRecord[] = "/tmp/plugin_imgsrg.sro";

// The plugin directory and record file of a plugin id.  Both always fit: a
// 32-bit number has at most 11 characters.
struct RecordPaths {
    plugin_intn::Path dir;
    plugin_intn::Path file;
    explicit RecordPaths(int32_t plugin_id) {
        (void)dir.format("%s/%d", kPluginRoot, static_cast<int>(plugin_id));
        (void)file.format("%s/%s", dir.c_str(), kRecordName);
    }
};

// The software-id link of a swid; false when its path does not fit.
bool format_link(plugin_intn::Path &link, const char *swid) {
    return link.format("%s/plugin-%s.sro", kSrgLinkDir, swid);
}

// Writes the record's size bytes in one write into the record file, created
// or cut to zero length; the file is closed on every path.  A symbolic link
// at the record file's place is not followed: it fails as any open does.
plugin_rc_t write_record(const char *file, const srg_record *record, uint32_t size) {
    const plugin_intn::Fd fd(
        ::open(file, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666));
    // verbatim: each failure writes a bare line before its own named one.
    if (!fd) {
        plugin_intn::log("open fail\n");
        PI_LOG("open %s failed\n", file);
        return PLUGIN_ERR_OPEN;
    }
    if (size == 0) return PLUGIN_OK;
    const ssize_t n = ::write(fd.get(), record, size);
    if (n < 0 || static_cast<std::size_t>(n) != size) {
        plugin_intn::log("write fail\n");
        PI_LOG("write to %s failed\n", file);
        return PLUGIN_ERR_WRITE;
    }
    return PLUGIN_OK;
}

}  // namespace

extern "C" PI_EXPORT plugin_rc_t plugin_clone_srg(const char *path, srg_record **record) {
    PI_OPERATION();
    if (!path || !record) return PLUGIN_ERR_INVALID_ARG;
    const uint32_t size = srg_file_size(path);
    if (size == 0) {
        PI_LOG("%s is empty\n", path);
        return PLUGIN_ERR_SRG_EMPTY;
    }
    plugin_intn::Owned<srg_record> buf(static_cast<srg_record *>(std::malloc(size)));
    *record = buf.get();
    if (!buf) return PLUGIN_ERR_NOMEM;
    std::memset(buf.get(), 0, size);
    const uint32_t rc = srg_file_clone(buf.get(), path, size);
    if (rc != 0) {
        PI_LOG("clone %s failed\n", path);
        *record = nullptr;
        return rc;
    }
    *record = buf.release();
    return PLUGIN_OK;
}

extern "C" PI_EXPORT plugin_rc_t plugin_extract_srg(const char *image, srg_record **record) {
    PI_OPERATION();
    if (!image || !record) return PLUGIN_ERR_INVALID_ARG;
    int32_t status = 0;
    img_handle *opened = img_open(image, &status);
    if (status != 0) return PLUGIN_ERR_IMG_OPEN;  // nothing to close after a failed open
    const plugin_intn::Owned<img_handle, img_close> handle(opened);

    plugin_rc_t rc = img_extract_vendor_info(handle.get(), kImageRecord);
    if (rc != PLUGIN_OK) return rc;
    rc = plugin_clone_srg(kImageRecord, record);
    (void)plugin_rmdir(kImageRecord);
    return rc;
}

extern "C" PI_EXPORT plugin_rc_t plugin_save_sro(int32_t plugin_id, const srg_record *record) {
    PI_OPERATION();
    const char *swid = record ? srg_sw_id_get(record) : nullptr;
    // verbatim: the name without its colon
    plugin_intn::log("plugin_save_sro id %d swid !%s!\n", static_cast<int>(plugin_id),
                     swid ? swid : "(null)");
    if (!swid) {
        PI_LOG("get swid failed for plugin_id %d\n", static_cast<int>(plugin_id));
        return PLUGIN_ERR_FAILED;
    }

    const RecordPaths paths(plugin_id);
    plugin_intn::Path link;
    const bool link_fits = format_link(link, swid);
    const uint32_t size = srg_size(record);
    // The trace lines come on every call; a link path that does not fit shows
    // as far as its buffer holds it.
    plugin_intn::log("sro path !%s!\n", paths.file.c_str());
    plugin_intn::log("extract path !%s!\n", paths.dir.c_str());
    plugin_intn::log("sro_link !%s!\n", link.c_str());
    if (!link_fits) {
        PI_LOG("link path for swid %s does not fit, record not stored\n", swid);
        return PLUGIN_ERR_LINK;
    }

    const plugin_rc_t rc = write_record(paths.file.c_str(), record, size);
    if (rc != PLUGIN_OK) return rc;

    struct stat st;
    if (::stat(link.c_str(), &st) == 0) return PLUGIN_OK;
    if (::symlink(paths.file.c_str(), link.c_str()) != 0) {
        plugin_intn::log("symlink fail\n");
        PI_LOG("failed to symlink %s to %s\n", link.c_str(), paths.file.c_str());
        return PLUGIN_ERR_LINK;
    }
    return PLUGIN_OK;
}

extern "C" PI_EXPORT plugin_rc_t plugin_cleanup_sro(int32_t plugin_id) {
    PI_OPERATION();
    const RecordPaths paths(plugin_id);
    const char *swid = srg_sw_id_file_get(paths.file.c_str());
    if (swid) {
        plugin_intn::Path link;
        if (format_link(link, swid))
            (void)plugin_rmdir(link.c_str());
        else
            PI_LOG("link path for swid %s does not fit, link not removed\n", swid);
    }
    return plugin_rmdir(paths.file.c_str());
}
