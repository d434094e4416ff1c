// Helpers of the fuzz targets; a check aborts (libFuzzer reports the input).  The lowest free
// descriptor is the one a call that leaves a descriptor open takes.
#ifndef PI_FUZZ_SUPPORT_H
#define PI_FUZZ_SUPPORT_H
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <string>
#include "tools/sandbox/sandbox.h"
#define FZ_CHECK(c)                                                                          \
    ((c) ? (void)0                                                                           \
         : (std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", #c, __FILE__, __LINE__), \
            std::abort()))
namespace fuzz {
inline void enter_sandbox() {
    std::string error;
    if (sandbox::sandbox_enter(sandbox::SandboxOptions(), &error)) return;
    std::fprintf(stderr, "fuzz: no sandbox: %s\n", error.c_str());
    std::exit(2);
}
inline void write_file(const char *path, const uint8_t *data, std::size_t size) {
    FILE *f = std::fopen(path, "wb");
    FZ_CHECK(f && std::fwrite(data, 1, size, f) == size && std::fclose(f) == 0);
}
inline int lowest_free_descriptor() {
    const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ::close(fd);
    return fd;
}
// What f writes on stderr (unbuffered), byte for byte.
template <typename F>
std::string stderr_of(F &&f) {
    int fd = ::memfd_create("stderr", MFD_CLOEXEC), saved = ::dup(2);
    ::dup2(fd, 2);
    f();
    ::dup2(saved, 2);
    ::close(saved);
    std::string text(static_cast<std::size_t>(::lseek(fd, 0, SEEK_END)), '\0');
    FZ_CHECK(::pread(fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size()) &&
             ::close(fd) == 0);
    return text;
}
}  // namespace fuzz
#endif
