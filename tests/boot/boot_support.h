// Helpers shared by the boot tests.
#ifndef PI_TESTS_BOOT_SUPPORT_H
#define PI_TESTS_BOOT_SUPPORT_H

#include <string>

#include "tests/support/capture.h"
#include "tests/support/faults.h"

namespace pit::boot {

// Allocation-failure sweep with stderr captured around each run: the n-th
// allocation inside op fails (the capture's own allocations are outside the
// armed window).  check(n, err) runs after each run in which a failure was
// delivered.  Returns the number of such runs.
template <typename Op, typename Check>
long sweep_captured(Op &&op, Check &&check) {
    long injected = 0;
    for (long n = 1; n <= 100000; ++n) {
        bool hit;
        std::string err;
        {
            Capture cap;
            faults::fail_nth(n);
            op();
            hit = faults::fired();
            faults::disarm();
            cap.stop();
            err = cap.err();
        }
        if (!hit) break;
        ++injected;
        check(n, err);
    }
    return injected;
}

}  // namespace pit::boot

#endif
