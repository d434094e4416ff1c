// The test binary's malloc family: forwards to the allocator underneath, fails when armed.
#include "tests/support/faults.h"

#include <atomic>
#include <cerrno>

// The allocator underneath: the sanitizer runtime's in sanitized builds, glibc's otherwise.
#if defined(__SANITIZE_ADDRESS__)
#define PI_NEXT(name) __interceptor_##name
#else
#define PI_NEXT(name) __libc_##name
#endif
extern "C" {
void *PI_NEXT(malloc)(std::size_t);
void *PI_NEXT(calloc)(std::size_t, std::size_t);
void *PI_NEXT(realloc)(void *, std::size_t);
void PI_NEXT(free)(void *);
}

// The sanitizer runtime allocates before instrumented code may run: left uninstrumented.
#define PI_RAW __attribute__((no_sanitize("address", "undefined")))

namespace {

std::atomic<long> g_countdown{0};
std::atomic<bool> g_fired{false};

// True (errno ENOMEM) when this allocation must fail.
PI_RAW bool should_fail() {
    long left = g_countdown.load(std::memory_order_relaxed);
    if (left <= 0) return false;
    g_countdown.store(left - 1, std::memory_order_relaxed);
    if (left > 1) return false;
    g_fired.store(true, std::memory_order_relaxed);
    errno = ENOMEM;
    return true;
}

}  // namespace

extern "C" {
PI_RAW void *malloc(std::size_t n) { return should_fail() ? nullptr : PI_NEXT(malloc)(n); }
PI_RAW void *calloc(std::size_t count, std::size_t size) {
    return should_fail() ? nullptr : PI_NEXT(calloc)(count, size);
}
PI_RAW void *realloc(void *p, std::size_t n) {
    return should_fail() ? nullptr : PI_NEXT(realloc)(p, n);
}
PI_RAW void free(void *p) { PI_NEXT(free)(p); }
}

namespace test_support::faults {

void fail_nth(long n) {
    g_fired.store(false);
    g_countdown.store(n);
}
void disarm() { g_countdown.store(0); }
bool fired() { return g_fired.load(); }

}  // namespace test_support::faults
