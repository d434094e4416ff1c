// The archive reader of archive.h.
#include "tools/installer/archive.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "frame/own.h"
#include "img.h"
#include "tools/failure.h"

namespace installer {
namespace {

using Archive = plugin_intn::Owned<struct archive, archive_read_free>;

// Opens the image at the end of its header block; *size gets the file's size.
bool open_archive_part(const std::string &image, plugin_intn::Fd &fd, uint64_t *size,
                       std::string *error) {
    int32_t status = 0;
    img_handle *opened = img_open(image.c_str(), &status);
    if (status != 0) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%08x", static_cast<unsigned>(status));
        return tools::fail(error, image + ": not a plugin image (img_open " + code + ")");
    }
    const plugin_intn::Owned<img_handle, img_close> handle(opened);
    fd.reset(::open(image.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (!fd || ::fstat(fd.get(), &st) != 0 ||
        ::lseek(fd.get(), handle->block_size, SEEK_SET) != handle->block_size)
        return tools::fail_errno(error, image);
    *size = static_cast<uint64_t>(st.st_size);
    return true;
}

std::string text(const char *s) { return s ? s : ""; }

// s, or "" for none, into to (whose storage is used again from member to member).
void assign(std::string &to, const char *s) {
    if (s)
        to.assign(s);
    else
        to.clear();
}

// Fills entry with the member e states.
void fill(Entry &entry, archive_entry *e) {
    assign(entry.path, archive_entry_pathname(e));
    entry.type = archive_entry_filetype(e);
    entry.size = archive_entry_size(e);
    entry.size_set = archive_entry_size_is_set(e) != 0;
    entry.mode = archive_entry_perm(e) & 07777;
    assign(entry.target, archive_entry_symlink(e));
    const char *hardlink = archive_entry_hardlink(e);
    entry.hard = hardlink != nullptr;
    assign(entry.hardlink, hardlink);
    entry.uid = archive_entry_uid(e);
    entry.gid = archive_entry_gid(e);
    assign(entry.uname, archive_entry_uname(e));
    assign(entry.gname, archive_entry_gname(e));
}

WalkEnd broken(struct archive *a, std::string *error) {
    *error = text(archive_error_string(a));
    return WalkEnd::kBroken;
}

}  // namespace

std::string relative_name(const std::string &member) {
    std::string name = member.compare(0, 2, "./") == 0 ? member.substr(2) : member;
    while (!name.empty() && name.back() == '/') name.pop_back();
    return name;
}

WalkEnd walk_archive(const std::string &image, const EntryFn &fn, const WalkOptions &options,
                     std::string *error) {
    plugin_intn::Fd fd;
    uint64_t size = 0;
    if (!open_archive_part(image, fd, &size, error)) return WalkEnd::kUnopened;
    const Archive a(archive_read_new());
    if (!a || archive_read_support_filter_gzip(a.get()) != ARCHIVE_OK ||
        archive_read_support_format_tar(a.get()) != ARCHIVE_OK) {
        *error = "cannot set up libarchive";
        return WalkEnd::kUnopened;
    }
    if (options.opened) options.opened(size);
    if (archive_read_open_fd(a.get(), fd.get(), 65536) != ARCHIVE_OK) return broken(a.get(), error);
    Entry entry;  // one for every member, its strings' storage used again
    for (bool first = true;; first = false) {
        archive_entry *e = nullptr;
        const int rc = archive_read_next_header(a.get(), &e);
        if (rc == ARCHIVE_EOF) return WalkEnd::kAll;
        if (rc < ARCHIVE_WARN) return broken(a.get(), error);
        if (first && options.gzip_only && archive_filter_code(a.get(), 0) != ARCHIVE_FILTER_GZIP)
            return WalkEnd::kNotGzip;
        fill(entry, e);
        if (!fn(entry)) return WalkEnd::kStopped;
        if (archive_read_data_skip(a.get()) != ARCHIVE_OK) return broken(a.get(), error);
    }
}

}  // namespace installer
