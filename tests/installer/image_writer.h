// The tests' own image writer: a header block as mkplugin makes it (platform/img.h) before a gzip
// tar that libarchive writes from members of any kind, a hostile image's included.
#ifndef PI_TESTS_INSTALLER_IMAGE_WRITER_H
#define PI_TESTS_INSTALLER_IMAGE_WRITER_H

#include <archive.h>
#include <archive_entry.h>

#include <string>
#include <vector>

#include "frame/own.h"
#include "platform/img_bytes.h"
#include "platform/srg_bytes.h"

namespace test_support {

struct Member {
    std::string name;
    unsigned type = AE_IFREG, mode = 0644;
    std::string data{}, link{};  // a file's bytes; a link's target
    bool hard = false;           // link names a hard link's target
    int64_t uid = 0;
    std::string uname{}, gname{};  // owner and group names ("": none stored)
};

// The header block of n bytes holding a record of swid "check-1.0".
inline std::string header_block(unsigned n = 512) {
    return img_format::header_block(n, srg_format::record_bytes("check-1.0", std::nullopt));
}

inline la_ssize_t append(archive *, void *out, const void *buf, size_t n) {
    return static_cast<std::string *>(out)->append(static_cast<const char *>(buf), n),
           la_ssize_t(n);
}

// members as a GNU tar (raw names, base-256 sizes), or raw bytes as one gzip stream.
inline std::string archive_bytes(const std::vector<Member> &members, const std::string *raw) {
    std::string out;
    plugin_intn::Owned<archive, archive_write_free> a(archive_write_new());
    if (raw) archive_write_add_filter_gzip(a.get());
    raw ? archive_write_set_format_raw(a.get()) : archive_write_set_format_gnutar(a.get());
    archive_write_set_bytes_in_last_block(a.get(), 1);
    archive_write_open(a.get(), &out, nullptr, append, nullptr);
    plugin_intn::Owned<archive_entry, archive_entry_free> e(archive_entry_new());
    for (const Member &m : raw ? std::vector<Member>{{"raw", AE_IFREG, 0644, *raw}} : members) {
        archive_entry_clear(e.get());
        archive_entry_copy_pathname(e.get(), m.name.c_str());
        archive_entry_set_filetype(e.get(), m.type);
        archive_entry_set_perm(e.get(), m.mode);
        archive_entry_set_uid(e.get(), m.uid);
        if (!m.uname.empty()) archive_entry_copy_uname(e.get(), m.uname.c_str());
        if (!m.gname.empty()) archive_entry_copy_gname(e.get(), m.gname.c_str());
        archive_entry_set_size(e.get(), int64_t(m.data.size()));
        if (m.hard) archive_entry_copy_hardlink(e.get(), m.link.c_str());
        if (!m.hard && m.type == AE_IFLNK) archive_entry_copy_symlink(e.get(), m.link.c_str());
        archive_write_header(a.get(), e.get());
        archive_write_data(a.get(), m.data.data(), m.data.size());
    }
    archive_write_close(a.get());
    return out;
}

inline std::string gzip(const std::string &raw) { return archive_bytes({}, &raw); }

}  // namespace test_support

#endif
