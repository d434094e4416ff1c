// image.cc - plugin and system image files (libimage.so).
//
// The header block layout is documented in img.h.  img_open reads the fixed
// part of the header, checks every field against the file's size, copies the
// vendor information into the handle and checks it as a software record with
// libsrg.  Nothing is read beyond the header block, and the file is closed
// before img_open returns.

#include "img.h"

#include <cerrno>
#include <fcntl.h>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "frame/bytes.h"
#include "frame/export.h"
#include "frame/own.h"
#include "srg.h"

namespace {

using plugin_intn::be16;
using plugin_intn::be32;
using plugin_intn::le16;

constexpr uint32_t kFixed = 28;         // bytes before the vendor information
constexpr uint32_t kBlockTrailer = 10;  // empty deflate block, CRC32, size
const unsigned char kGzipStart[4] = {0x1f, 0x8b, 0x08, 0x04};
const unsigned char kBlockTrailerBytes[kBlockTrailer] = {0x03, 0x00, 0, 0, 0, 0, 0, 0, 0, 0};

// What an img_handle points at: the public part first.
struct OpenedImg {
    img_handle pub;
    uint32_t vinfo_len;
    unsigned char *vinfo;  // vinfo_len bytes, in the same allocation
};

uint32_t read_img_header(const char *path, OpenedImg **out) {
    const plugin_intn::Fd fd(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) return IMG_ERR_OPEN;
    struct stat st;
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return IMG_ERR_OPEN;
    unsigned char h[kFixed];
    if (st.st_size < static_cast<off_t>(kFixed)) return IMG_ERR_TRUNCATED;
    if (!plugin_intn::pread_full(fd.get(), h, kFixed, 0)) return IMG_ERR_READ;
    uint32_t n = be16(h + 20), vlen = be32(h + 24);
    if (std::memcmp(h, kGzipStart, 4) != 0 || std::memcmp(h + 12, "PI", 2) != 0 ||
        std::memcmp(h + 16, "PIMG", 4) != 0 || be16(h + 22) != 1 || n < IMG_HEADER_OVERHEAD ||
        le16(h + 10) != n - 22 || le16(h + 14) != n - 26 ||
        static_cast<uint64_t>(vlen) + IMG_HEADER_OVERHEAD > n) {
        return IMG_ERR_HEADER;
    }
    if (st.st_size < static_cast<off_t>(n)) return IMG_ERR_TRUNCATED;
    unsigned char trailer[kBlockTrailer];
    if (!plugin_intn::pread_full(fd.get(), trailer, kBlockTrailer,
                                 static_cast<off_t>(n - kBlockTrailer))) {
        return IMG_ERR_READ;
    }
    if (std::memcmp(trailer, kBlockTrailerBytes, kBlockTrailer) != 0) return IMG_ERR_HEADER;
    plugin_intn::Owned<OpenedImg> img(
        static_cast<OpenedImg *>(std::malloc(sizeof(OpenedImg) + vlen)));
    if (!img) return IMG_ERR_NOMEM;
    img->pub.block_size = static_cast<uint16_t>(n);
    img->vinfo_len = vlen;
    img->vinfo = reinterpret_cast<unsigned char *>(img.get() + 1);
    if (!plugin_intn::pread_full(fd.get(), img->vinfo, vlen, kFixed)) return IMG_ERR_READ;
    // The record's own size field must match before libsrg reads it whole.
    if (vlen < 8 || be32(img->vinfo + 4) != vlen ||
        srg_size(reinterpret_cast<const srg_record *>(img->vinfo)) != vlen) {
        return IMG_ERR_RECORD;
    }
    *out = img.release();
    return 0;
}

}  // namespace

extern "C" PI_EXPORT img_handle *img_open(const char *path, int32_t *status) {
    if (!status) return nullptr;
    if (!path) {
        *status = static_cast<int32_t>(IMG_ERR_INVALID_ARG);
        return nullptr;
    }
    OpenedImg *img = nullptr;
    uint32_t rc = read_img_header(path, &img);
    *status = static_cast<int32_t>(rc);
    return rc == 0 ? &img->pub : nullptr;
}

extern "C" PI_EXPORT uint32_t img_extract_vendor_info(img_handle *handle, const char *path) {
    if (!handle || !path) return IMG_ERR_INVALID_ARG;
    auto *img = reinterpret_cast<OpenedImg *>(handle);
    plugin_intn::Fd fd(open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (!fd) return IMG_ERR_WRITE;
    const bool written = plugin_intn::write_full(fd.get(), img->vinfo, img->vinfo_len);
    const bool closed = fd.reset() == 0;
    return written && closed ? 0 : IMG_ERR_WRITE;
}

extern "C" PI_EXPORT int32_t img_close(img_handle *handle) {
    if (!handle) return static_cast<int32_t>(IMG_ERR_INVALID_ARG);
    std::free(reinterpret_cast<OpenedImg *>(handle));
    return 0;
}
