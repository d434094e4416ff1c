// Allocation fault injection and counting for test binaries.
//
// Every test binary links a malloc/calloc/realloc/free that forward to the
// next definition (glibc's, or the sanitizer's) and can be told to fail the
// n-th allocation from now.  Counting is always on.
//
// Under valgrind run with --soname-synonyms=somalloc=nouserintercepts, so that
// valgrind replaces glibc's allocator underneath and not these functions.
#ifndef PI_TESTS_SUPPORT_FAULTS_H
#define PI_TESTS_SUPPORT_FAULTS_H

#include <cstddef>
#include <functional>

namespace pit::faults {

// The n-th allocation from now (1 = the next) fails with ENOMEM; 0 disarms.
void fail_nth(long n);
void disarm();
// True when an armed failure has been delivered since the last fail_nth().
bool fired();
// Number of allocations (malloc, calloc, realloc, posix_memalign...) since reset_count().
long allocations();
void reset_count();

// Runs op once for every n = 1, 2, ... with the n-th allocation failing, until
// a run in which no failure fired; check(n) is called after each failing run
// to assert the outcome.  Returns the number of runs with a failure injected.
long sweep(const std::function<void()> &op, const std::function<void(long n)> &check,
           long limit = 100000);

}  // namespace pit::faults

#endif
