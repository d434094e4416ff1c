// Allocation fault injection for test binaries.
//
// Every test binary links a malloc/calloc/realloc/free that forward to the
// next definition (glibc's, or the sanitizer's) and can be told to fail the
// n-th allocation from now.
//
// Under valgrind run with --soname-synonyms=somalloc=nouserintercepts, so that
// valgrind replaces glibc's allocator underneath and not these functions.
#ifndef PI_TESTS_SUPPORT_FAULTS_H
#define PI_TESTS_SUPPORT_FAULTS_H

#include <cstddef>

namespace pit::faults {

// The n-th allocation from now (1 = the next) fails with ENOMEM; 0 disarms.
void fail_nth(long n);
void disarm();
// True when an armed failure has been delivered since the last fail_nth().
bool fired();

}  // namespace pit::faults

#endif
