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

namespace {

const char kUsage[] = "usage: mkplugin --record FILE.sro [--block-size N] -o OUT.img DIR\n";

int usage(const std::string &why) {
    fprintf(stderr, "mkplugin: %s\n%s", why.c_str(), kUsage);
    return 2;
}

struct Failure {
    std::string message;
};

// One member of the archive.
struct Member {
    std::string name;  // "./", "./usr/", "./usr/bin/foo"
    std::string path;  // where it is on disk
    struct stat st;
};

// The names in directory path but "." and "..", unsorted; errno's value when
// the directory cannot be opened or read, else 0.
int read_names(const std::string &path, std::vector<std::string> &names) {
    pi::Owned<DIR, closedir> d(opendir(path.c_str()));
    if (!d) return errno;
    errno = 0;
    while (struct dirent *e = readdir(d.get())) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            names.emplace_back(e->d_name);
    }
    return errno;
}

// Adds path and everything below it; the root (DIR itself) is followed when
// it is a symbolic link, nothing below it is.
void collect(const std::string &path, const std::string &name, std::vector<Member> &out,
             std::string *error, bool root = false) {
    Member m{name, path, {}};
    if ((root ? stat(path.c_str(), &m.st) : lstat(path.c_str(), &m.st)) != 0) {
        *error = path + ": " + strerror(errno);
        return;
    }
    if (!S_ISREG(m.st.st_mode) && !S_ISDIR(m.st.st_mode) && !S_ISLNK(m.st.st_mode)) {
        *error = path + ": unsupported file type (only files, directories and symbolic links)";
        return;
    }
    bool dir = S_ISDIR(m.st.st_mode);
    out.push_back(m);
    if (!dir) return;
    std::vector<std::string> names;
    int err = read_names(path, names);
    if (err != 0) {
        *error = path + ": " + strerror(err);
        return;
    }
    std::sort(names.begin(), names.end());
    for (const auto &n : names) {
        std::string child = path + "/" + n;
        struct stat st;
        bool child_dir = lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        collect(child, name + n + (child_dir ? "/" : ""), out, error);
        if (!error->empty()) return;
    }
}

std::string archive_failure(struct archive *a, const std::string &what) {
    const char *msg = archive_error_string(a);
    return what + ": " + (msg ? msg : "archive error");
}

// Writes the members as a gzip tar to fd; empty string on success.
std::string write_archive(int fd, const std::vector<Member> &members) {
    pi::Owned<struct archive, archive_write_free> a(archive_write_new());
    if (!a) return "out of memory";
    std::string error;
    if (archive_write_add_filter_gzip(a.get()) != ARCHIVE_OK ||
        archive_write_set_filter_option(a.get(), "gzip", "timestamp", nullptr) != ARCHIVE_OK ||
        archive_write_set_format_gnutar(a.get()) != ARCHIVE_OK ||
        archive_write_set_bytes_in_last_block(a.get(), 1) != ARCHIVE_OK ||
        archive_write_open_fd(a.get(), fd) != ARCHIVE_OK)
        return archive_failure(a.get(), "cannot start the archive");
    pi::Owned<struct archive_entry, archive_entry_free> entry(archive_entry_new());
    std::vector<char> buf(65536);
    for (const Member &m : members) {
        if (!entry) {
            error = "out of memory";
            break;
        }
        archive_entry_clear(entry.get());
        archive_entry_copy_pathname(entry.get(), m.name.c_str());  // bytes, as they are
        archive_entry_set_uid(entry.get(), 0);
        archive_entry_set_gid(entry.get(), 0);
        archive_entry_set_uname(entry.get(), "root");
        archive_entry_set_gname(entry.get(), "root");
        archive_entry_set_mtime(entry.get(), 0, 0);
        archive_entry_set_perm(entry.get(), m.st.st_mode & 07777);
        pi::Fd in;
        if (S_ISDIR(m.st.st_mode)) {
            archive_entry_set_filetype(entry.get(), AE_IFDIR);
        } else if (S_ISLNK(m.st.st_mode)) {
            char target[PATH_MAX + 1];
            ssize_t len = readlink(m.path.c_str(), target, sizeof target - 1);
            if (len < 0 || size_t(len) >= sizeof target - 1) {
                error = m.path + ": cannot read the link";
                break;
            }
            target[size_t(len)] = '\0';
            archive_entry_set_filetype(entry.get(), AE_IFLNK);
            archive_entry_copy_symlink(entry.get(), target);
        } else {
            in.reset(open(m.path.c_str(), O_RDONLY | O_CLOEXEC));
            if (!in) {
                error = m.path + ": " + strerror(errno);
                break;
            }
            archive_entry_set_filetype(entry.get(), AE_IFREG);
            archive_entry_set_size(entry.get(), m.st.st_size);
        }
        if (archive_write_header(a.get(), entry.get()) != ARCHIVE_OK) {
            error = archive_failure(a.get(), m.path);
            break;
        }
        if (in) {
            int64_t left = m.st.st_size;
            while (left > 0) {
                ssize_t r =
                    read(in.get(), buf.data(), std::min<int64_t>(left, int64_t(buf.size())));
                if (r < 0 && errno == EINTR) continue;
                if (r <= 0) {
                    error = m.path + ": the file changed or cannot be read";
                    break;
                }
                if (archive_write_data(a.get(), buf.data(), size_t(r)) != r) {
                    error = archive_failure(a.get(), m.path);
                    break;
                }
                left -= r;
            }
            if (!error.empty()) break;
        }
    }
    if (archive_write_close(a.get()) != ARCHIVE_OK && error.empty())
        error = archive_failure(a.get(), "cannot finish the archive");
    return error;
}

}  // namespace

int main(int argc, char **argv) {
    std::string record_path, out, dir;
    bool have_record = false, have_out = false, have_dir = false;
    unsigned long block = 512;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--record" || arg == "--block-size" || arg == "-o") {
            if (i + 1 >= argc) return usage("missing value for " + arg);
            std::string value = argv[++i];
            if (arg == "--record" && !have_record) {
                record_path = value;
                have_record = true;
            } else if (arg == "-o" && !have_out) {
                out = value;
                have_out = true;
            } else if (arg == "--block-size") {
                char *end = nullptr;
                errno = 0;
                block = strtoul(value.c_str(), &end, 10);
                if (value.empty() || *end != '\0' || errno != 0 || value[0] < '0' ||
                    value[0] > '9' || block < IMG_HEADER_OVERHEAD || block > 65535)
                    return usage("block size must be a number from " +
                                 std::to_string(IMG_HEADER_OVERHEAD) + " to 65535: " + value);
            } else {
                return usage(arg + " given twice");
            }
        } else if (!arg.empty() && arg[0] == '-') {
            return usage("unknown option " + arg);
        } else if (!have_dir) {
            dir = arg;
            have_dir = true;
        } else {
            return usage("more than one directory: " + arg);
        }
    }
    if (!have_record || record_path.empty()) return usage("no record file (--record FILE.sro)");
    if (!have_out || out.empty()) return usage("no output file (-o OUT.img)");
    if (!have_dir || dir.empty()) return usage("no directory to pack");

    uint32_t size = srg_file_size(record_path.c_str());
    if (size == 0) {
        fprintf(stderr, "mkplugin: %s: not a valid record file\n", record_path.c_str());
        return 1;
    }
    std::vector<unsigned char> record(size, 0);
    uint32_t rc =
        srg_file_clone(reinterpret_cast<srg_record *>(record.data()), record_path.c_str(), size);
    if (rc != 0) {
        fprintf(stderr, "mkplugin: %s: cannot read the record (0x%x)\n", record_path.c_str(), rc);
        return 1;
    }
    if (size + IMG_HEADER_OVERHEAD > block) {
        fprintf(
            stderr,
            "mkplugin: a record of %u bytes needs a header block of at least %u bytes, not %lu\n",
            size, size + IMG_HEADER_OVERHEAD, block);
        return 1;
    }
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        fprintf(stderr, "mkplugin: %s: not a directory\n", dir.c_str());
        return 1;
    }
    std::vector<Member> members;
    std::string error;
    collect(dir, "./", members, &error, true);
    if (!error.empty()) {
        fprintf(stderr, "mkplugin: %s\n", error.c_str());
        return 1;
    }

    pi::Fd fd(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd) {
        fprintf(stderr, "mkplugin: cannot create %s: %s\n", out.c_str(), strerror(errno));
        return 1;
    }
    const std::string header = img_format::header_block(
        uint32_t(block), std::string(reinterpret_cast<const char *>(record.data()), record.size()));
    if (!pi::write_full(fd.get(), header.data(), header.size()))
        error = std::string("cannot write the header: ") + strerror(errno);
    else
        error = write_archive(fd.get(), members);
    if (fd.reset() != 0 && error.empty())
        error = std::string("cannot write ") + out + ": " + strerror(errno);
    if (!error.empty()) {
        fprintf(stderr, "mkplugin: %s\n", error.c_str());
        unlink(out.c_str());
        return 1;
    }
    return 0;
}
