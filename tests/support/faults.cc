// Allocation counting and fault injection.  The test binary's malloc family
// forwards to the allocator underneath (glibc's, or the sanitizer runtime's) and fails the n-th allocation from now when armed.
#include "tests/support/faults.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>

// The allocator underneath: the sanitizer runtime's in sanitized builds,
// glibc's otherwise (valgrind replaces glibc's, so it still sees every block).
#if defined(__SANITIZE_ADDRESS__)
extern "C" {
void *__interceptor_malloc(std::size_t);
void *__interceptor_calloc(std::size_t, std::size_t);
void *__interceptor_realloc(void *, std::size_t);
void __interceptor_free(void *);
int __interceptor_posix_memalign(void **, std::size_t, std::size_t);
}
#define PI_NEXT(name) __interceptor_##name
#else
extern "C" {
void *__libc_malloc(std::size_t);
void *__libc_calloc(std::size_t, std::size_t);
void *__libc_realloc(void *, std::size_t);
void __libc_free(void *);
void *__libc_memalign(std::size_t, std::size_t);
}
#define PI_NEXT(name) __libc_##name
#endif

// The sanitizer runtime allocates while it is still setting itself up, before
// instrumented code may run: the allocation path is left uninstrumented.
#define PI_RAW __attribute__((no_sanitize("address", "undefined")))

namespace {

std::atomic<long> g_countdown{0};
std::atomic<bool> g_fired{false};

// True when this allocation must fail.
PI_RAW bool should_fail() {
    long left = g_countdown.load(std::memory_order_relaxed);
    if (left <= 0) return false;
    if (left == 1) {
        g_countdown.store(0, std::memory_order_relaxed);
        g_fired.store(true, std::memory_order_relaxed);
        return true;
    }
    g_countdown.store(left - 1, std::memory_order_relaxed);
    return false;
}

}  // namespace

extern "C" {

PI_RAW void *malloc(std::size_t n) {
    if (should_fail()) {
        errno = ENOMEM;
        return nullptr;
    }
    return PI_NEXT(malloc)(n);
}

PI_RAW void *calloc(std::size_t count, std::size_t size) {
    if (should_fail()) {
        errno = ENOMEM;
        return nullptr;
    }
    return PI_NEXT(calloc)(count, size);
}

PI_RAW void *realloc(void *p, std::size_t n) {
    if (should_fail()) {
        errno = ENOMEM;
        return nullptr;
    }
    return PI_NEXT(realloc)(p, n);
}

PI_RAW void free(void *p) { PI_NEXT(free)(p); }

PI_RAW int posix_memalign(void **out, std::size_t align, std::size_t n) {
    if (should_fail()) return ENOMEM;
#if defined(__SANITIZE_ADDRESS__)
    return __interceptor_posix_memalign(out, align, n);
#else
    void *p = __libc_memalign(align, n);
    if (!p) return ENOMEM;
    *out = p;
    return 0;
#endif
}

}  // extern "C"

namespace pit::faults {

void fail_nth(long n) {
    g_fired.store(false);
    g_countdown.store(n);
}

void disarm() { g_countdown.store(0); }
bool fired() { return g_fired.load(); }


}  // namespace pit::faults
