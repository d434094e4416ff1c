// Allocation fault injection: every test binary's malloc family can fail the n-th allocation from
// now.  Under valgrind run with --soname-synonyms=somalloc=nouserintercepts (valgrind then replaces
// glibc's allocator underneath, not these functions).
#ifndef PI_TESTS_SUPPORT_FAULTS_H
#define PI_TESTS_SUPPORT_FAULTS_H

#include <cstddef>

namespace test_support::faults {

// The n-th allocation from now (1 = the next) fails with ENOMEM; 0 disarms.
void fail_nth(long n);
void disarm();
// True when an armed failure has been delivered since the last fail_nth().
bool fired();

}  // namespace test_support::faults

#endif
