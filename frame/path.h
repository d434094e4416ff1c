// Bounded formatting: every path of the library lives in a fixed 256-byte
// buffer, every shell command in a buffer of a size fixed beforehand, and
// nothing is ever written past one.  vformat / format are the one formatter;
// PathBuf<N> is a buffer of N bytes formatted with that bound.
#ifndef PI_FRAME_PATH_H
#define PI_FRAME_PATH_H

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <unistd.h>

namespace pi {

// Size of every path buffer of the library (255 characters and the NUL).
inline constexpr std::size_t kPathMax = 256;

// Formats into the size bytes at buf, always leaving a NUL-terminated text
// (cut to size - 1 characters when longer); true only when all of it fit.
inline bool vformat(char *buf, std::size_t size, const char *fmt, va_list ap) {
    const int n = std::vsnprintf(buf, size, fmt, ap);
    if (n < 0) buf[0] = '\0';
    return n >= 0 && static_cast<std::size_t>(n) < size;
}

template <std::size_t N>
class PathBuf {
public:
    PathBuf() { buf_[0] = '\0'; }
    bool format(const char *fmt, ...) __attribute__((format(printf, 2, 3))) {
        va_list ap;
        va_start(ap, fmt);
        const bool fit = vformat(buf_, N, fmt, ap);
        va_end(ap);
        return fit;
    }
    const char *c_str() const { return buf_; }

private:
    char buf_[N];
};
using Path = PathBuf<kPathMax>;

// True when something exists at path (access(path, F_OK) succeeds).
inline bool exists(const char *path) { return ::access(path, F_OK) == 0; }

}  // namespace pi

#endif
