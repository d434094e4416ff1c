// Bounded formatting: paths live in fixed 256-byte buffers, shell commands in
// buffers sized beforehand, and nothing is written past one.  vformat/format
// are the one formatter; PathBuf<N> is N bytes formatted with that bound.
#ifndef PI_FRAME_PATH_H
#define PI_FRAME_PATH_H

#include <cstdarg>
#include <cstddef>
#include <cstdio>

namespace plugin_intn {

// Size of every path buffer of the library (255 characters and the NUL).
inline constexpr std::size_t kPathMax = 256;

// Formats into the size bytes at buf, always leaving a NUL-terminated text
// (cut to size - 1 characters when longer); true only when all of it fit.
inline bool vformat(char *buf, std::size_t size, const char *fmt, va_list ap) {
    const int n = std::vsnprintf(buf, size, fmt, ap);
    if (n < 0) buf[0] = '\0';
    return n >= 0 && static_cast<std::size_t>(n) < size;
}

__attribute__((format(printf, 3, 4))) inline bool format(char *buf, std::size_t size,
                                                         const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const bool fit = vformat(buf, size, fmt, ap);
    va_end(ap);
    return fit;
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

}  // namespace plugin_intn

#endif
