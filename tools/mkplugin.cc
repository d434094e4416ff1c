// mkplugin - builds a plugin image from a record file and a directory.
//
//   mkplugin --record FILE.sro [--block-size N] -o OUT.img DIR
//
// The image is the header block described in platform/img.h (default size
// 512 bytes; it must hold the record plus IMG_HEADER_OVERHEAD bytes) followed
// by a gzip-compressed tar archive of DIR in GNU tar's format.  Members are
// named "./", "./usr/", "./usr/bin/foo" (directories with a trailing '/'),
// written depth-first with the entries of each directory sorted bytewise.
// Names and link targets are the file system's bytes, whatever the locale
// (no conversion), of any length (GNU long-name records past 100 bytes).
// Regular files, directories and symbolic links are kept with their
// permission bits (setuid, setgid and sticky included); a file with several
// links in the tree is stored as that many regular files, a sparse one with
// its holes as zeros; other file types are refused.  Owner
// and group are 0/0 ("root"), every time stamp is 0 and the gzip header
// carries no time, so the same inputs give the same bytes.  On any failure the
// output file is removed; bad arguments print the usage and exit 2, other
// failures exit 1.

#include <climits>
#include <archive.h>
#include <archive_entry.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "frame/bytes.h"
#include "frame/own.h"
#include "platform/img_bytes.h"
#include "img.h"
#include "srg.h"
#include "tools/failure.h"

namespace {

using tools::fail;
using tools::fail_errno;

const char kUsage[] = "usage: mkplugin --record FILE.sro [--block-size N] -o OUT.img DIR\n";

// What the command line asks for.
struct Request {
    std::string record_path, out, dir;
    bool have_record = false, have_out = false, have_dir = false;
    unsigned long block = 512;
    bool help = false;
};

// One member of the archive.
struct Member {
    std::string name;  // "./", "./usr/", "./usr/bin/foo"
    std::string path;  // where it is on disk
    struct stat st;
};

// Takes the value of --record, -o or --block-size.
bool take_value(Request *r, const std::string &arg, const std::string &value, std::string *error) {
    if (arg == "--record" && !r->have_record) {
        r->record_path = value;
        r->have_record = true;
    } else if (arg == "-o" && !r->have_out) {
        r->out = value;
        r->have_out = true;
    } else if (arg == "--block-size") {
        char *end = nullptr;
        errno = 0;
        r->block = strtoul(value.c_str(), &end, 10);
        if (value.empty() || *end != '\0' || errno != 0 || value[0] < '0' || value[0] > '9' ||
            r->block < IMG_HEADER_OVERHEAD || r->block > 65535)
            return fail(error, "block size must be a number from " +
                                   std::to_string(IMG_HEADER_OVERHEAD) + " to 65535: " + value);
    } else {
        return fail(error, arg + " given twice");
    }
    return true;
}

// Reads the command line into *r; false with *error for bad arguments.
bool parse_args(int argc, char **argv, Request *r, std::string *error) {
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            r->help = true;
            return true;
        }
        if (arg == "--record" || arg == "--block-size" || arg == "-o") {
            if (i + 1 >= argc) return fail(error, "missing value for " + arg);
            if (!take_value(r, arg, argv[++i], error)) return false;
        } else if (!arg.empty() && arg[0] == '-') {
            return fail(error, "unknown option " + arg);
        } else if (!r->have_dir) {
            r->dir = arg;
            r->have_dir = true;
        } else {
            return fail(error, "more than one directory: " + arg);
        }
    }
    if (!r->have_record || r->record_path.empty())
        return fail(error, "no record file (--record FILE.sro)");
    if (!r->have_out || r->out.empty()) return fail(error, "no output file (-o OUT.img)");
    if (!r->have_dir || r->dir.empty()) return fail(error, "no directory to pack");
    return true;
}

// The record file's bytes, checked with libsrg, and that they fit the header block.
bool read_record(const Request &r, std::string *record, std::string *error) {
    const char *path = r.record_path.c_str();
    uint32_t size = srg_file_size(path);
    if (size == 0) return fail(error, r.record_path + ": not a valid record file");
    std::vector<unsigned char> bytes(size, 0);
    uint32_t rc = srg_file_clone(reinterpret_cast<srg_record *>(bytes.data()), path, size);
    if (rc != 0) {
        char code[16];
        snprintf(code, sizeof code, "%x", rc);
        return fail(error, r.record_path + ": cannot read the record (0x" + code + ")");
    }
    if (size + IMG_HEADER_OVERHEAD > r.block)
        return fail(error, "a record of " + std::to_string(size) +
                               " bytes needs a header block of at least " +
                               std::to_string(size + IMG_HEADER_OVERHEAD) + " bytes, not " +
                               std::to_string(r.block));
    record->assign(reinterpret_cast<const char *>(bytes.data()), bytes.size());
    return true;
}

// The names in directory path but "." and "..", unsorted.
bool read_names(const std::string &path, std::vector<std::string> &names, std::string *error) {
    plugin_intn::Owned<DIR, closedir> d(opendir(path.c_str()));
    if (!d) return fail_errno(error, path);
    errno = 0;
    while (struct dirent *e = readdir(d.get())) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            names.emplace_back(e->d_name);
    }
    return errno == 0 || fail_errno(error, path);
}

// Adds path and everything below it; the root (DIR itself) is followed when
// it is a symbolic link, nothing below it is.
bool collect(const std::string &path, const std::string &name, std::vector<Member> &out,
             std::string *error, bool root = false) {
    Member m{name, path, {}};
    if ((root ? stat(path.c_str(), &m.st) : lstat(path.c_str(), &m.st)) != 0)
        return fail_errno(error, path);
    if (!S_ISREG(m.st.st_mode) && !S_ISDIR(m.st.st_mode) && !S_ISLNK(m.st.st_mode))
        return fail(error,
                    path + ": unsupported file type (only files, directories and symbolic links)");
    out.push_back(m);
    if (!S_ISDIR(m.st.st_mode)) return true;
    std::vector<std::string> names;
    if (!read_names(path, names, error)) return false;
    std::sort(names.begin(), names.end());
    for (const auto &n : names) {
        std::string child = path + "/" + n;
        struct stat st;
        bool child_dir = lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        if (!collect(child, name + n + (child_dir ? "/" : ""), out, error)) return false;
    }
    return true;
}

bool archive_failure(struct archive *a, const std::string &what, std::string *error) {
    const char *msg = archive_error_string(a);
    return fail(error, what + ": " + (msg ? msg : "archive error"));
}

// Starts a gzip GNU tar on fd: no time in the gzip header, no padding after the last block.
bool start_archive(struct archive *a, int fd, std::string *error) {
    if (archive_write_add_filter_gzip(a) != ARCHIVE_OK ||
        archive_write_set_filter_option(a, "gzip", "timestamp", nullptr) != ARCHIVE_OK ||
        archive_write_set_format_gnutar(a) != ARCHIVE_OK ||
        archive_write_set_bytes_in_last_block(a, 1) != ARCHIVE_OK ||
        archive_write_open_fd(a, fd) != ARCHIVE_OK)
        return archive_failure(a, "cannot start the archive", error);
    return true;
}

// Fills entry with m's name, type and permission bits, owned by root at time 0; *in gets a
// regular file opened for its contents.
bool describe(const Member &m, struct archive_entry *entry, plugin_intn::Fd *in,
              std::string *error) {
    archive_entry_clear(entry);
    archive_entry_copy_pathname(entry, m.name.c_str());  // bytes, as they are
    archive_entry_set_uid(entry, 0);
    archive_entry_set_gid(entry, 0);
    archive_entry_set_uname(entry, "root");
    archive_entry_set_gname(entry, "root");
    archive_entry_set_mtime(entry, 0, 0);
    archive_entry_set_perm(entry, m.st.st_mode & 07777);
    if (S_ISDIR(m.st.st_mode)) {
        archive_entry_set_filetype(entry, AE_IFDIR);
    } else if (S_ISLNK(m.st.st_mode)) {
        char target[PATH_MAX + 1];
        ssize_t len = readlink(m.path.c_str(), target, sizeof target - 1);
        if (len < 0 || size_t(len) >= sizeof target - 1)
            return fail(error, m.path + ": cannot read the link");
        target[size_t(len)] = '\0';
        archive_entry_set_filetype(entry, AE_IFLNK);
        archive_entry_copy_symlink(entry, target);
    } else {
        in->reset(open(m.path.c_str(), O_RDONLY | O_CLOEXEC));
        if (!*in) return fail_errno(error, m.path);
        archive_entry_set_filetype(entry, AE_IFREG);
        archive_entry_set_size(entry, m.st.st_size);
    }
    return true;
}

// Copies the member's st_size bytes from in into the archive.
bool copy_contents(struct archive *a, const Member &m, int in, std::vector<char> &buf,
                   std::string *error) {
    int64_t left = m.st.st_size;
    while (left > 0) {
        ssize_t r = read(in, buf.data(), std::min<int64_t>(left, int64_t(buf.size())));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return fail(error, m.path + ": the file changed or cannot be read");
        if (archive_write_data(a, buf.data(), size_t(r)) != r)
            return archive_failure(a, m.path, error);
        left -= r;
    }
    return true;
}

// Writes the members as a gzip tar to fd.
bool write_archive(int fd, const std::vector<Member> &members, std::string *error) {
    plugin_intn::Owned<struct archive, archive_write_free> a(archive_write_new());
    if (!a) return fail(error, "out of memory");
    if (!start_archive(a.get(), fd, error)) return false;
    plugin_intn::Owned<struct archive_entry, archive_entry_free> entry(archive_entry_new());
    std::vector<char> buf(65536);
    bool ok = true;
    for (const Member &m : members) {
        plugin_intn::Fd in;
        ok = entry ? describe(m, entry.get(), &in, error) : fail(error, "out of memory");
        if (ok && archive_write_header(a.get(), entry.get()) != ARCHIVE_OK)
            ok = archive_failure(a.get(), m.path, error);
        if (ok && in) ok = copy_contents(a.get(), m, in.get(), buf, error);
        if (!ok) break;
    }
    if (archive_write_close(a.get()) != ARCHIVE_OK && ok)
        return archive_failure(a.get(), "cannot finish the archive", error);
    return ok;
}

// Writes the image to r.out: the header block, then the archive; when any of it fails, the
// file is removed if it is a regular file (a device such as /dev/full stays where it is).
bool write_image(const Request &r, const std::string &record, const std::vector<Member> &members,
                 std::string *error) {
    plugin_intn::Fd fd(open(r.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd) return fail_errno(error, "cannot create " + r.out);
    struct stat st;
    const bool regular = fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode);
    const std::string header = img_format::header_block(uint32_t(r.block), record);
    bool ok = plugin_intn::write_full(fd.get(), header.data(), header.size()) ||
              fail_errno(error, "cannot write the header");
    ok = ok && write_archive(fd.get(), members, error);
    if (fd.reset() != 0 && ok) ok = fail_errno(error, "cannot write " + r.out);
    if (!ok && regular) unlink(r.out.c_str());
    return ok;
}

// Checks the inputs and writes the image; false with *error for any failure.
bool make_image(const Request &r, std::string *error) {
    std::string record;
    if (!read_record(r, &record, error)) return false;
    struct stat st;
    if (stat(r.dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return fail(error, r.dir + ": not a directory");
    std::vector<Member> members;
    if (!collect(r.dir, "./", members, error, true)) return false;
    return write_image(r, record, members, error);
}

}  // namespace

int main(int argc, char **argv) {
    Request request;
    std::string error;
    if (!parse_args(argc, argv, &request, &error)) {
        fprintf(stderr, "mkplugin: %s\n%s", error.c_str(), kUsage);
        return 2;
    }
    if (request.help) {
        fputs(kUsage, stdout);
        return 0;
    }
    if (!make_image(request, &error)) {
        fprintf(stderr, "mkplugin: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
