// Shared helpers of the fuzz targets.
//
// Targets that read files enter the test sandbox once (a private root with
// its own /tmp and /proc/cmdline), so fuzzing never touches the machine's
// files.  A failed check aborts, which libFuzzer reports as a crash with the
// input that caused it.
#ifndef PI_FUZZ_SUPPORT_H
#define PI_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "tools/sandbox/sandbox.h"

namespace fz {

// Aborts with a message when a property does not hold.
#define FZ_CHECK(cond)                                                              \
    do {                                                                            \
        if (!(cond)) {                                                              \
            std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", #cond, __FILE__, \
                         __LINE__);                                                 \
            std::abort();                                                           \
        }                                                                           \
    } while (0)

inline void enter_sandbox() {
    std::string error;
    if (!pit::sandbox_enter(pit::SandboxOptions(), &error)) {
        std::fprintf(stderr, "fuzz: cannot enter the sandbox: %s\n", error.c_str());
        std::exit(2);
    }
}

// Replaces a file's contents with exactly these bytes.
inline void write_file(const char *path, const uint8_t *data, std::size_t size) {
    int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    FZ_CHECK(fd >= 0);
    std::size_t off = 0;
    while (off < size) {
        ssize_t n = ::write(fd, data + off, size - off);
        FZ_CHECK(n > 0);
        off += static_cast<std::size_t>(n);
    }
    ::close(fd);
}

// The lowest free descriptor number: a target compares it before and after
// each call, so a descriptor the library leaves open is a crash (the lowest
// free slot is the one a leaked open takes).
inline int lowest_free_descriptor() {
    int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    FZ_CHECK(fd >= 0);
    ::close(fd);
    return fd;
}

}  // namespace fz

#endif
