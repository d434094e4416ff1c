// Image extraction: plugin images into a directory of their own, the newer-fs
// overlay from /bootflash, and single members of the running system image.
//
// All work on files is done by shell commands run through plugin_syscall.
// A command or path that does not fit its buffer is never run or used cut:
// the step is skipped with a message instead (see plugin_intn.h).
#include <cstring>

#include "execpath/manifest.h"
#include "frame/export.h"
#include "frame/log.h"
#include "frame/own.h"
#include "frame/path.h"
#include "platform/img.h"
#include "plugin_intn.h"

namespace {

constexpr char kVelmImage[] = "/var/sysmgr/ftp/img-sync/curr-velm.img";
constexpr char kBootflash[] = "/bootflash";
constexpr char kNewerFsKey[] = "use_newer_fs";

// Room beyond the first path argument in an extraction command buffer.
constexpr std::size_t kExtractExtra = 201;
// The overlay's one command buffer.
using Command = plugin_intn::PathBuf<512>;

using Image = plugin_intn::Owned<img_handle, img_close>;

// Opens an image; null when img_open reports a non-zero status.  What a
// failed open hands back is never owned: a failed open leaves nothing to close.
Image open_image(const char *path) {
    int32_t status = 0;
    img_handle *opened = img_open(path, &status);
    if (status != 0) return nullptr;
    return Image(opened);
}

// The two forms of the extraction command: a plugin image, whose header
// block dd skips, unpacked into a directory with its listing replacing the
// manifest; one member of the system image unpacked onto "/", its listing
// appended.
struct Form {
    const char *skip, *under, *to;
};
constexpr Form kPluginForm{"skip=1 ", "", " > "};
constexpr Form kSystemForm{"", "/ .", " >> "};

// The open image (held as long as the extraction) and its command.
struct Extraction {
    Image handle;
    plugin_intn::Owned<char[]> cmd;
};

// Opens the image (PLUGIN_ERR_IMG_OPEN) and formats, in a buffer of
// strlen(subject) + 201 bytes (PLUGIN_ERR_NOMEM),
//   dd if=<image> [skip=1 ]bs=<bs> 2>/dev/null | tar -x[v]kPpmz -C <target>[ >|>> <tar_log>]
// (v and the redirection only with a manifest).  A command that does not fit
// is never run: PLUGIN_ERR_EXTRACT, with its line.
plugin_rc_t prepare(Extraction &x, const Form &form, const char *image, const char *target,
                    const char *subject, const char *tar_log) {
    x.handle = open_image(image);
    if (!x.handle) return PLUGIN_ERR_IMG_OPEN;
    const int bs = x.handle->block_size;
    const std::size_t size = std::strlen(subject) + kExtractExtra;
    x.cmd = plugin_intn::alloc<char>(size);
    if (!x.cmd) return PLUGIN_ERR_NOMEM;
    if (plugin_intn::format(x.cmd.get(), size,
                            "dd if=%s %sbs=%d 2>/dev/null | tar -x%skPpmz -C %s%s%s%s", image,
                            form.skip, bs, tar_log ? "v" : "", form.under, target,
                            tar_log ? form.to : "", tar_log ? tar_log : ""))
        return PLUGIN_OK;
    PI_LOG("command for %s does not fit, not run\n", subject);
    return PLUGIN_ERR_EXTRACT;
}

// A progress line of the system-image extraction, with the operation's name
// and one text: to stdout, flushed, and to stderr.
// verbatim: twice to stderr, before and after stdout, when first_too is set.
void progress(const char *fmt, const char *text, bool first_too) {
    if (first_too) plugin_intn::log(fmt, plugin_intn::operation(), text);
    std::fprintf(stdout, fmt, plugin_intn::operation(), text);
    std::fflush(stdout);
    plugin_intn::log(fmt, plugin_intn::operation(), text);
}

const char *base_name(const char *path) {
    const char *slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

// True when the "use_newer_fs" value selects the image of this base name:
// it begins with "yes", or it is a prefix of the base name.
bool newer_fs_selected(const char *value, const char *base) {
    if (std::strncmp(value, "yes", 3) == 0) return true;
    return std::strncmp(base, value, std::strlen(value)) == 0;
}

// Steps 7 to 9 of the overlay: lists the newer-fs directory into the list
// file and appends to the manifest every entry the extraction did not produce.
void add_newer_entries(const char *newer_dir, const char *list_path, const char *tar_log,
                       const char *dir, plugin_intn::LineBuffer &line, Command &cmd) {
    if (!cmd.format("cd %s; tar -cvf /dev/null * > %s", newer_dir, list_path)) {
        PI_LOG("list command for %s does not fit, not run\n", newer_dir);
        return;
    }
    // verbatim: the overlay's command and open lines carry no name.
    if (plugin_syscall(cmd.c_str()) < 0) {
        plugin_intn::log("%s failed\n", cmd.c_str());
        return;
    }
    plugin_intn::File list = plugin_intn::open_file(list_path, "r");
    if (!list) {
        plugin_intn::log("open %s failed\n", list_path);
        return;
    }
    plugin_intn::Path candidate;
    while (line.read(list.get()) >= 0) {
        char *entry = plugin_intn::manifest_line_trim(line.data());
        if (!entry) continue;
        if (!candidate.format("%s/%s", dir, entry)) {
            PI_LOG("path of %s below %s does not fit, entry skipped\n", entry, dir);
            continue;
        }
        if (::access(candidate.c_str(), F_OK) == 0) continue;
        if (!cmd.format("echo %s >> %s", entry, tar_log)) {
            PI_LOG("manifest addition for %s does not fit, entry skipped\n", entry);
            continue;
        }
        if (plugin_syscall(cmd.c_str()) < 0) plugin_intn::log("%s failed\n", cmd.c_str());
    }
}

}  // namespace

extern "C" PI_EXPORT void plugin_do_newer_fs(const char *image, const char *tar_log,
                                             const char *dir) {
    PI_OPERATION();
    if (!image || !dir) return;
    const char *value = plugin_get_cmdline(kNewerFsKey);
    if (!value) return;
    const char *base = base_name(image);
    if (!newer_fs_selected(value, base)) return;

    plugin_intn::Path newer_dir;
    if (!newer_dir.format("%s/%s-newer-fs", kBootflash, base)) {
        PI_LOG("newer-fs directory for %s does not fit, overlay skipped\n", image);
        return;
    }
    if (::access(newer_dir.c_str(), F_OK) != 0) return;

    Command cmd;
    if (tar_log) {
        plugin_intn::LineBuffer line;
        if (!line.allocate()) return;
        plugin_intn::Path list_path;
        if (!list_path.format("%s-newer-fs", tar_log)) {
            PI_LOG("list path for %s does not fit, manifest not extended\n", tar_log);
        } else {
            add_newer_entries(newer_dir.c_str(), list_path.c_str(), tar_log, dir, line, cmd);
            // The list path fits 256 bytes, so its removal always fits 512.
            (void)cmd.format("rm -fr %s", list_path.c_str());
            (void)plugin_syscall(cmd.c_str());
        }
    }

    if (!cmd.format("cp -af %s/* %s", newer_dir.c_str(), dir)) {
        PI_LOG("copy command for %s does not fit, not run\n", dir);
        return;
    }
    plugin_intn::log("Executing \"%s\"\n", cmd.c_str());
    if (plugin_syscall(cmd.c_str()) < 0) plugin_intn::log("%s failed\n", cmd.c_str());
}

extern "C" PI_EXPORT plugin_rc_t plugin_extract_image(const char *image, const char *dir,
                                                      const char *tar_log) {
    PI_OPERATION();
    if (!image) return PLUGIN_ERR_IMG_OPEN;
    if (!dir) return PLUGIN_ERR_EXTRACT;
    Extraction x;
    const plugin_rc_t rc = prepare(x, kPluginForm, image, dir, image, tar_log);
    if (rc != PLUGIN_OK) return rc;
    if (plugin_syscall(x.cmd.get()) < 0) return PLUGIN_ERR_EXTRACT;
    plugin_do_newer_fs(image, tar_log, dir);
    return PLUGIN_OK;
}

extern "C" PI_EXPORT plugin_rc_t plugin_extract_plugin_from_velm_image(const char *member,
                                                                       const char *tar_log) {
    PI_OPERATION();
    if (!member) return PLUGIN_ERR_EXTRACT;
    progress("%s: img_path: %s\n", member, true);

    Extraction x;
    const plugin_rc_t rc = prepare(x, kSystemForm, kVelmImage, member, member, tar_log);
    if (rc != PLUGIN_OK) return rc;
    progress("%s: About to run command '%s'\n", x.cmd.get(), true);

    if (plugin_syscall(x.cmd.get()) < 0) return PLUGIN_ERR_EXTRACT;
    progress("%s: command '%s' successful. \n", x.cmd.get(), false);
    return PLUGIN_OK;
}
