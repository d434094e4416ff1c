// Owners: whatever the library and the platform stand-ins acquire is held by
// one of these and released when its scope ends, on every path; nothing is
// freed or closed by hand.  release() hands a resource on (to a caller, say).
// Owned<T, Free> is an owning pointer released with the function Free
// (std::free by default; Owned<T[]> indexes like an array); Fd holds a file
// descriptor, File a stdio stream, UmaskGuard the process umask and
// FlockGuard an flock.  Header-only and free of the library's own names, so
// that the stand-ins use it without linking the library.
#ifndef PI_FRAME_OWN_H
#define PI_FRAME_OWN_H

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plugin_intn {

template <auto Free>
struct Deleter {
    template <typename T>
    void operator()(T *p) const {
        (void)Free(p);
    }  // never called with null
};

template <typename T, auto Free = std::free>
using Owned = std::unique_ptr<T, Deleter<Free>>;

// count elements of T from malloc, not initialised; null on failure.
template <typename T>
Owned<T[]> alloc(std::size_t count) {
    return Owned<T[]>(static_cast<T *>(std::malloc(count * sizeof(T))));
}

using File = Owned<FILE, std::fclose>;
inline File open_file(const char *path, const char *mode) { return File(std::fopen(path, mode)); }
// Closes a stream now: fclose's result (0 when nothing was open).
inline int close_now(File &f) { return f ? std::fclose(f.release()) : 0; }

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() { reset(); }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Closes what is held (close's result) and holds fd instead.
    int reset(int fd = -1) {
        const int rc = fd_ >= 0 ? ::close(fd_) : 0;
        fd_ = fd;
        return rc;
    }

private:
    int fd_;
};

class UmaskGuard {
public:
    explicit UmaskGuard(mode_t mask) : old_(::umask(mask)) {}
    UmaskGuard(const UmaskGuard &) = delete;
    UmaskGuard &operator=(const UmaskGuard &) = delete;
    ~UmaskGuard() { ::umask(old_); }

private:
    const mode_t old_;
};

class FlockGuard {
public:
    FlockGuard(int fd, int operation) : fd_(fd) { (void)::flock(fd, operation); }
    FlockGuard(const FlockGuard &) = delete;
    FlockGuard &operator=(const FlockGuard &) = delete;
    ~FlockGuard() { (void)::flock(fd_, LOCK_UN); }

private:
    const int fd_;
};

}  // namespace plugin_intn

#endif
