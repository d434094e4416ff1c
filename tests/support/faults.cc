// Allocation counting and fault injection.  The test binary's malloc family
// forwards to the next definition in the lookup order (glibc's, or the
// sanitizer runtime's) and fails the n-th allocation from now when armed.
#include "tests/support/faults.h"

#include <dlfcn.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

using malloc_fn = void *(*)(std::size_t);
using calloc_fn = void *(*)(std::size_t, std::size_t);
using realloc_fn = void *(*)(void *, std::size_t);
using free_fn = void (*)(void *);
using memalign_fn = int (*)(void **, std::size_t, std::size_t);

malloc_fn next_malloc;
calloc_fn next_calloc;
realloc_fn next_realloc;
free_fn next_free;
memalign_fn next_memalign;

// dlsym may allocate before the real functions are known: serve those
// requests from a small static arena that is never freed.
alignas(16) char g_arena[8192];
std::size_t g_arena_used;
bool g_resolving;

std::atomic<long> g_countdown{0};
std::atomic<long> g_count{0};
std::atomic<bool> g_fired{false};

bool from_arena(const void *p) {
    return p >= static_cast<const void *>(g_arena) &&
           p < static_cast<const void *>(g_arena + sizeof g_arena);
}

void *arena_alloc(std::size_t n) {
    n = (n + 15) & ~static_cast<std::size_t>(15);
    if (g_arena_used + n > sizeof g_arena) return nullptr;
    void *p = g_arena + g_arena_used;
    g_arena_used += n;
    return p;
}

void resolve() {
    if (next_malloc || g_resolving) return;
    g_resolving = true;
    next_calloc = reinterpret_cast<calloc_fn>(::dlsym(RTLD_NEXT, "calloc"));
    next_realloc = reinterpret_cast<realloc_fn>(::dlsym(RTLD_NEXT, "realloc"));
    next_free = reinterpret_cast<free_fn>(::dlsym(RTLD_NEXT, "free"));
    next_memalign = reinterpret_cast<memalign_fn>(::dlsym(RTLD_NEXT, "posix_memalign"));
    next_malloc = reinterpret_cast<malloc_fn>(::dlsym(RTLD_NEXT, "malloc"));
    g_resolving = false;
}

// Counts an allocation; true when this one must fail.
bool should_fail() {
    g_count.fetch_add(1, std::memory_order_relaxed);
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

void *malloc(std::size_t n) {
    resolve();
    if (!next_malloc) return arena_alloc(n);
    if (should_fail()) {
        errno = ENOMEM;
        return nullptr;
    }
    return next_malloc(n);
}

void *calloc(std::size_t count, std::size_t size) {
    resolve();
    if (!next_calloc) {
        if (size && count > SIZE_MAX / size) return nullptr;
        void *p = arena_alloc(count * size);
        if (p) std::memset(p, 0, count * size);
        return p;
    }
    if (should_fail()) {
        errno = ENOMEM;
        return nullptr;
    }
    return next_calloc(count, size);
}

void *realloc(void *p, std::size_t n) {
    resolve();
    if (from_arena(p) || !next_realloc) {
        void *q = malloc(n);
        if (q && p) {
            std::size_t avail = static_cast<std::size_t>(g_arena + sizeof g_arena - static_cast<char *>(p));
            std::memcpy(q, p, n < avail ? n : avail);
        }
        return q;
    }
    if (should_fail()) {
        errno = ENOMEM;
        return nullptr;
    }
    return next_realloc(p, n);
}

void free(void *p) {
    if (!p || from_arena(p)) return;
    resolve();
    if (next_free) next_free(p);
}

int posix_memalign(void **out, std::size_t align, std::size_t n) {
    resolve();
    if (!next_memalign) return ENOMEM;
    if (should_fail()) return ENOMEM;
    return next_memalign(out, align, n);
}

}  // extern "C"

namespace pit::faults {

void fail_nth(long n) {
    g_fired.store(false);
    g_countdown.store(n);
}

void disarm() { g_countdown.store(0); }
bool fired() { return g_fired.load(); }
long allocations() { return g_count.load(); }
void reset_count() { g_count.store(0); }

long sweep(const std::function<void()> &op, const std::function<void(long)> &check, long limit) {
    long injected = 0;
    for (long n = 1; n <= limit; ++n) {
        fail_nth(n);
        op();
        bool hit = fired();
        disarm();
        if (!hit) break;
        ++injected;
        check(n);
    }
    return injected;
}

}  // namespace pit::faults
