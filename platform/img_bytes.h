// The header block of an image (the layout in img.h), made where images are
// written: by mkplugin, the tests and the benchmarks.  img_open checks every
// field it writes.
#ifndef PI_PLATFORM_IMG_BYTES_H
#define PI_PLATFORM_IMG_BYTES_H

#include <cstdint>
#include <cstring>
#include <string>

#include "frame/bytes.h"

namespace img_format {

// The header block of n bytes holding the record's bytes as its vendor
// information; n must be at least record.size() + IMG_HEADER_OVERHEAD (38).
inline std::string header_block(uint32_t n, const std::string &record) {
    std::string h(n, '\0');
    std::memcpy(h.data(), "\x1f\x8b\x08\x04\0\0\0\0\0\xff", 10);
    plugin_intn::put_le16(h.data(), 10, n - 22);
    std::memcpy(h.data() + 12, "PI", 2);
    plugin_intn::put_le16(h.data(), 14, n - 26);
    std::memcpy(h.data() + 16, "PIMG", 4);
    plugin_intn::put_be16(h.data(), 20, n);
    plugin_intn::put_be16(h.data(), 22, 1);
    plugin_intn::put_be32(h.data(), 24, static_cast<uint32_t>(record.size()));
    std::memcpy(h.data() + 28, record.data(), record.size());
    h[n - 10] = '\x03';  // an empty final deflate block; CRC32 and size stay 0
    return h;
}

}  // namespace img_format

#endif
