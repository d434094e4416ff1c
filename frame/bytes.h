// Bytes as they lie in a buffer or a file, for the library and the platform
// stand-ins alike: 16- and 32-bit words at any byte offset (read and written
// with memcpy, so no alignment is needed), in the machine's own order (the
// software-id map, string sets) or big-endian (records and image headers,
// which read the same on every host); and a range of a file read whole.
#ifndef PI_FRAME_BYTES_H
#define PI_FRAME_BYTES_H

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <unistd.h>

namespace plugin_intn {

inline uint32_t load32(const void *base, std::size_t offset = 0) {
    uint32_t w;
    std::memcpy(&w, static_cast<const unsigned char *>(base) + offset, sizeof w);
    return w;
}

inline void store32(void *base, std::size_t offset, uint32_t w) {
    std::memcpy(static_cast<unsigned char *>(base) + offset, &w, sizeof w);
}

inline uint32_t be16(const void *base, std::size_t offset = 0) {
    const auto *p = static_cast<const unsigned char *>(base) + offset;
    return static_cast<uint32_t>(p[0]) << 8 | p[1];
}

inline uint32_t le16(const void *base, std::size_t offset = 0) {
    const auto *p = static_cast<const unsigned char *>(base) + offset;
    return static_cast<uint32_t>(p[1]) << 8 | p[0];
}

inline uint32_t be32(const void *base, std::size_t offset = 0) {
    return be16(base, offset) << 16 | be16(base, offset + 2);
}

// The one big-endian (and gzip's little-endian) writer: a word stored at any
// byte offset, most significant byte first (last for le16).
inline void put_be16(void *base, std::size_t offset, uint32_t w) {
    auto *p = static_cast<unsigned char *>(base) + offset;
    p[0] = static_cast<unsigned char>(w >> 8);
    p[1] = static_cast<unsigned char>(w);
}

inline void put_le16(void *base, std::size_t offset, uint32_t w) {
    auto *p = static_cast<unsigned char *>(base) + offset;
    p[0] = static_cast<unsigned char>(w);
    p[1] = static_cast<unsigned char>(w >> 8);
}

inline void put_be32(void *base, std::size_t offset, uint32_t w) {
    put_be16(base, offset, w >> 16);
    put_be16(base, offset + 2, w);
}

// The one write-all loop: writes n bytes to fd, going on after an interrupted
// or short write; false on an error.
inline bool write_full(int fd, const void *buf, std::size_t n) {
    const auto *p = static_cast<const unsigned char *>(buf);
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

// Reads n bytes at offset from of fd, going on after an interrupted or short
// read; false on an error or at the end of the file.
inline bool pread_full(int fd, void *buf, std::size_t n, off_t from) {
    std::size_t got = 0;
    while (got < n) {
        const ssize_t r = ::pread(fd, static_cast<unsigned char *>(buf) + got, n - got,
                                  from + static_cast<off_t>(got));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        got += static_cast<std::size_t>(r);
    }
    return true;
}

}  // namespace plugin_intn

#endif
