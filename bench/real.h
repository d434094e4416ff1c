// The real-package benchmark (real.cc).
#ifndef PI_BENCH_REAL_H
#define PI_BENCH_REAL_H

#include <string>

namespace bench {

// Prints the table of OUT/real.img (a line saying why when it is not there).
void bench_real(const std::string &out, int reps);

}  // namespace bench

#endif
