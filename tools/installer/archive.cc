// The archive reader of archive.h.
#include "tools/installer/archive.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "frame/own.h"
#include "img.h"

namespace inst {

std::string relative_name(const std::string &member) {
    std::string name = member.compare(0, 2, "./") == 0 ? member.substr(2) : member;
    while (!name.empty() && name.back() == '/') name.pop_back();
    return name;
}

bool walk_archive(const std::string &image, const EntryFn &fn, std::string *error) {
    int32_t status = 0;
    pi::Owned<img_handle, img_close> handle(img_open(image.c_str(), &status));
    if (status != 0 || !handle) {
        *error = "cannot open image " + image;
        return false;
    }
    const off_t skip = handle->block_size;
    pi::Fd fd(::open(image.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd || ::lseek(fd.get(), skip, SEEK_SET) != skip) {
        *error = "cannot read " + image;
        return false;
    }
    pi::Owned<archive, archive_read_free> reader(archive_read_new());
    if (!reader) {
        *error = "no memory for the archive reader";
        return false;
    }
    archive_read_support_filter_gzip(reader.get());
    archive_read_support_format_tar(reader.get());
    if (archive_read_open_fd(reader.get(), fd.get(), 64 * 1024) != ARCHIVE_OK) {
        *error = image + ": " + archive_error_string(reader.get());
        return false;
    }
    for (;;) {
        archive_entry *e = nullptr;
        const int rc = archive_read_next_header(reader.get(), &e);
        if (rc == ARCHIVE_EOF) return true;
        if (rc < ARCHIVE_WARN) {
            *error = image + ": " + archive_error_string(reader.get());
            return false;
        }
        Entry entry;
        entry.path = archive_entry_pathname(e) ? archive_entry_pathname(e) : "";
        entry.type = archive_entry_filetype(e);
        entry.size = archive_entry_size(e);
        entry.mode = archive_entry_perm(e) & 07777;
        if (const char *t = archive_entry_symlink(e)) entry.target = t;
        if (const char *h = archive_entry_hardlink(e)) entry.hardlink = h;
        if (!fn(entry)) return true;
        // Reading the data (not just skipping it) finds a truncated or corrupt stream here.
        if (archive_read_data_skip(reader.get()) != ARCHIVE_OK) {
            *error = image + ": " + archive_error_string(reader.get());
            return false;
        }
    }
}

}  // namespace inst
