// srg.cc - software records and dependency lists (libsrg.so).
//
// Stored form of a record (also the bytes of a ".sro" record file).  All
// multi-byte fields are unsigned, big-endian, and decoded on access; offsets
// count from the first byte of the record:
//
//   0   4  magic            "SRG1"
//   4   4  size             S, total bytes of the record, header included
//   8   4  flags            bit 0: has a software id; bit 1: has a dependency
//                           list; every other bit 0
//   12  4  swid offset      } both 0 without a software id; otherwise the id's
//   16  4  swid length      } bytes lie at [offset, offset + length) followed
//                             by a NUL; length 1..SRG_SW_ID_MAX, no NUL inside
//   20  4  list offset      } both 0 without a dependency list; otherwise the
//   24  4  list length      } list occupies [offset, offset + length)
//   28     data (the software id, the dependency list)
//
// Dependency list (what a sysmgr_strings pointer points at), offsets from the
// first byte of the list:
//
//   0   4  list length      equal to the record's list length
//   4   4  count            number of strings
//   8   4n string offsets   each string NUL-terminated inside the list,
//                           1..SRG_SW_ID_MAX characters
//
// A record is valid when every field above holds and S <= SRG_MAX_SIZE.  A
// record file is valid when it is a regular file of exactly S bytes holding a
// valid record.  Every accessor checks the record before reading it and never
// reads beyond its S bytes; a list accessor never reads beyond the list's own
// length.

#include "srg.h"

#include "frame/bytes.h"
#include "frame/export.h"
#include "frame/own.h"

#include <fcntl.h>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using plugin_intn::be32;

constexpr uint32_t kRecordHeader = 28;
constexpr uint32_t kListHeader = 8;
constexpr uint32_t kFlagSwid = 1, kFlagDeps = 2;

const unsigned char *bytes(const void *p) { return static_cast<const unsigned char *>(p); }

// A string of 1..SRG_SW_ID_MAX characters at [off, ...), NUL-terminated before `end`.
bool good_string(const unsigned char *base, uint32_t off, uint32_t end) {
    if (off >= end) return false;
    const void *nul = std::memchr(base + off, '\0', end - off);
    if (!nul) return false;
    std::size_t len = static_cast<std::size_t>(bytes(nul) - (base + off));
    return len >= 1 && len <= SRG_SW_ID_MAX;
}

// Checks a dependency list of `len` bytes (its own length field included).
bool good_list(const unsigned char *list, uint32_t len) {
    if (len < kListHeader || be32(list) != len) return false;
    uint32_t count = be32(list + 4);
    if (count > (len - kListHeader) / 4) return false;
    uint32_t strings = kListHeader + 4 * count;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t off = be32(list + kListHeader + 4 * i);
        if (off < strings || !good_string(list, off, len)) return false;
    }
    return true;
}

// Size S of the valid record in the first `avail` bytes of rec, or 0.
uint32_t validate(const void *rec, uint64_t avail) {
    if (!rec || avail < kRecordHeader) return 0;
    const unsigned char *r = bytes(rec);
    if (std::memcmp(r, "SRG1", 4) != 0) return 0;
    uint32_t size = be32(r + 4), flags = be32(r + 8);
    if (size < kRecordHeader || size > avail || size > SRG_MAX_SIZE ||
        (flags & ~(kFlagSwid | kFlagDeps))) {
        return 0;
    }
    uint32_t soff = be32(r + 12), slen = be32(r + 16);
    if (flags & kFlagSwid) {
        if (soff < kRecordHeader || slen < 1 || slen > SRG_SW_ID_MAX ||
            static_cast<uint64_t>(soff) + slen >= size || r[soff + slen] != '\0' ||
            std::memchr(r + soff, '\0', slen)) {
            return 0;
        }
    } else if (soff != 0 || slen != 0) {
        return 0;
    }
    uint32_t loff = be32(r + 20), llen = be32(r + 24);
    if (flags & kFlagDeps) {
        if (loff < kRecordHeader || static_cast<uint64_t>(loff) + llen > size ||
            !good_list(r + loff, llen)) {
            return 0;
        }
    } else if (loff != 0 || llen != 0) {
        return 0;
    }
    return size;
}

// Size of the record in a buffer that is the record (S taken from its header).
uint32_t record_size(const srg_record *record) {
    if (!record) return 0;
    return validate(record, be32(bytes(record) + 4));
}

// Opens a record file: a regular file of at least a header's size, whose
// header's size field equals the file's size.  Fills *size; 0 or an SRG_ERR_*.
uint32_t open_record(const char *path, plugin_intn::Fd *fd, uint32_t *size) {
    if (!path) return SRG_ERR_INVALID_ARG;
    fd->reset(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!*fd) return SRG_ERR_OPEN;
    struct stat st;
    if (fstat(fd->get(), &st) != 0 || !S_ISREG(st.st_mode)) return SRG_ERR_OPEN;
    unsigned char head[kRecordHeader];
    if (st.st_size < static_cast<off_t>(kRecordHeader) ||
        st.st_size > static_cast<off_t>(SRG_MAX_SIZE)) {
        return SRG_ERR_INVALID;
    }
    if (!plugin_intn::pread_full(fd->get(), head, kRecordHeader, 0)) return SRG_ERR_READ;
    if (std::memcmp(head, "SRG1", 4) != 0 || be32(head + 4) != static_cast<uint64_t>(st.st_size)) {
        return SRG_ERR_INVALID;
    }
    *size = be32(head + 4);
    return 0;
}

// Reads and checks the record of a file into a new malloc'd buffer.
uint32_t load_record(const char *path, plugin_intn::Owned<unsigned char[]> *out, uint32_t *size) {
    plugin_intn::Fd fd;
    uint32_t rc = open_record(path, &fd, size);
    if (rc != 0) return rc;
    plugin_intn::Owned<unsigned char[]> buf = plugin_intn::alloc<unsigned char>(*size);
    if (!buf) return SRG_ERR_NOMEM;
    if (!plugin_intn::pread_full(fd.get(), buf.get(), *size, 0)) return SRG_ERR_READ;
    if (validate(buf.get(), *size) != *size) return SRG_ERR_INVALID;
    *out = std::move(buf);
    return 0;
}

const unsigned char *list_of(const srg_record *record) {
    if (record_size(record) == 0) return nullptr;
    const unsigned char *r = bytes(record);
    if (!(be32(r + 8) & kFlagDeps)) return nullptr;
    return r + be32(r + 20);
}

}  // namespace

extern "C" PI_EXPORT uint32_t srg_file_size(const char *path) {
    plugin_intn::Owned<unsigned char[]> buf;
    uint32_t size = 0;
    return load_record(path, &buf, &size) == 0 ? size : 0;
}

extern "C" PI_EXPORT uint32_t srg_file_clone(srg_record *buf, const char *path, uint32_t size) {
    if (!buf || !path) return SRG_ERR_INVALID_ARG;
    plugin_intn::Fd fd;
    uint32_t file_size = 0;
    uint32_t rc = open_record(path, &fd, &file_size);
    if (rc != 0) return rc;
    if (file_size != size) return SRG_ERR_SIZE;
    auto *out = reinterpret_cast<unsigned char *>(buf);
    if (!plugin_intn::pread_full(fd.get(), out, size, 0)) return SRG_ERR_READ;
    return validate(out, size) == size ? 0 : SRG_ERR_INVALID;
}

extern "C" PI_EXPORT uint32_t srg_size(const srg_record *record) { return record_size(record); }

extern "C" PI_EXPORT const char *srg_sw_id_get(const srg_record *record) {
    if (record_size(record) == 0) return nullptr;
    const unsigned char *r = bytes(record);
    if (!(be32(r + 8) & kFlagSwid)) return nullptr;
    return reinterpret_cast<const char *>(r + be32(r + 12));
}

extern "C" PI_EXPORT const char *srg_sw_id_file_get(const char *path) {
    static char swid[SRG_SW_ID_MAX + 1];
    plugin_intn::Owned<unsigned char[]> buf;
    uint32_t size = 0;
    if (load_record(path, &buf, &size) != 0) return nullptr;
    const char *id = srg_sw_id_get(reinterpret_cast<const srg_record *>(buf.get()));
    if (!id) return nullptr;
    std::memcpy(swid, id, std::strlen(id) + 1);  // at most SRG_SW_ID_MAX + 1 bytes
    return swid;
}

extern "C" PI_EXPORT uint32_t srg_dependency_strings_get(const srg_record *record, uint32_t flags,
                                                         const sysmgr_strings **list) {
    if (!record || !list || flags != 0) return SRG_ERR_INVALID_ARG;
    if (record_size(record) == 0) return SRG_ERR_INVALID;
    *list = reinterpret_cast<const sysmgr_strings *>(list_of(record));
    return 0;
}

extern "C" PI_EXPORT int srg_dump(FILE *out, const srg_record *record) {
    if (!out) return -1;
    if (record_size(record) == 0) {
        std::fputs("software record: invalid\n", out);
        return -1;
    }
    const char *id = srg_sw_id_get(record);
    int total = std::fprintf(out, "swid: %s\n", id ? id : "(none)");
    if (total < 0) return -1;
    auto *deps = reinterpret_cast<const sysmgr_strings *>(list_of(record));
    uint32_t n = sysmgr_strings_num_strings_get(deps);
    if (n == 0) {
        int w = std::fprintf(out, "  no dependencies\n");
        return w < 0 ? -1 : total + w;
    }
    for (uint32_t i = 0; i < n; ++i) {
        int w = std::fprintf(out, "  depends on: %s\n", sysmgr_strings_get(deps, i));
        if (w < 0) return -1;
        total += w;
    }
    return total;
}

extern "C" PI_EXPORT uint32_t sysmgr_strings_num_strings_get(const sysmgr_strings *list) {
    if (!list) return 0;
    const unsigned char *l = bytes(list);
    uint32_t len = be32(l), count = be32(l + 4);
    if (len < kListHeader || count > (len - kListHeader) / 4) return 0;
    return count;
}

extern "C" PI_EXPORT const char *sysmgr_strings_get(const sysmgr_strings *list, uint32_t index) {
    uint32_t count = sysmgr_strings_num_strings_get(list);
    if (index >= count) return nullptr;
    const unsigned char *l = bytes(list);
    uint32_t len = be32(l);
    uint32_t off = be32(l + kListHeader + 4 * index);
    if (off < kListHeader + 4 * count || !good_string(l, off, len)) return nullptr;
    return reinterpret_cast<const char *>(l + off);
}
