// Internal helpers shared by every subsystem of libplugin_intn.
//
// - PI_EXPORT marks the few names the library exports (everything else is
//   hidden by the build's default visibility).
// - The logging rule is in frame/log.h.
// - PathBuf<N> formats with a bound into a fixed buffer and says whether the
//   text fit.
// - The owners are in frame/own.h.  The library is built without
//   exceptions; nothing here throws.
#ifndef PI_FRAME_INTERNAL_H
#define PI_FRAME_INTERNAL_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "frame/log.h"
#include "frame/own.h"
#include "plugin_intn.h"

#define PI_EXPORT __attribute__((visibility("default")))

namespace pi {

// Size of every path buffer of the library (255 characters and the NUL).
inline constexpr std::size_t kPathMax = 256;

// The one bounded formatter: formats into size bytes at buf, always leaving
// a NUL-terminated text (cut to size - 1 characters when longer), and returns
// true only when the whole text fit.
inline bool vformat(char *buf, std::size_t size, const char *fmt, va_list ap) {
    const int n = std::vsnprintf(buf, size, fmt, ap);
    if (n < 0) buf[0] = '\0';
    return n >= 0 && static_cast<std::size_t>(n) < size;
}

inline bool format(char *buf, std::size_t size, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
inline bool format(char *buf, std::size_t size, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const bool fit = vformat(buf, size, fmt, ap);
    va_end(ap);
    return fit;
}

// A fixed buffer of N bytes formatted with that bound.
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
    char *data() { return buf_; }
    const char *c_str() const { return buf_; }
    static constexpr std::size_t capacity() { return N; }

private:
    char buf_[N];
};
using Path = PathBuf<kPathMax>;

// A heap line buffer for __getdelim: starts at 256 bytes, grows for longer
// lines, freed with its owner.
class LineBuffer {
public:
    LineBuffer() = default;
    LineBuffer(const LineBuffer &) = delete;
    LineBuffer &operator=(const LineBuffer &) = delete;
    ~LineBuffer() { std::free(buf_); }
    // Allocates the initial buffer; false on failure.
    bool allocate(std::size_t bytes = kPathMax) {
        std::free(buf_);
        buf_ = static_cast<char *>(std::malloc(bytes));
        cap_ = buf_ ? bytes : 0;
        return buf_ != nullptr;
    }
    // Reads one line including its delimiter; the length, or -1 at the end of
    // the file or on a read or allocation failure.
    ssize_t read(FILE *f, int delim = '\n') { return ::__getdelim(&buf_, &cap_, delim, f); }
    char *data() const { return buf_; }
    std::size_t capacity() const { return cap_; }

private:
    char *buf_ = nullptr;
    std::size_t cap_ = 0;
};

// True when something exists at path (access(path, F_OK) succeeds).
inline bool exists(const char *path) { return ::access(path, F_OK) == 0; }

}  // namespace pi

#endif
