// Base fixture for tests: a clean sandbox and the debug switch off.
#ifndef PI_TESTS_SUPPORT_FIXTURE_H
#define PI_TESTS_SUPPORT_FIXTURE_H

#include <gtest/gtest.h>

#include "plugin_intn.h"
#include "tests/support/capture.h"
#include "tests/support/doubles.h"
#include "tests/support/faults.h"
#include "tools/sandbox/sandbox.h"

namespace test_support {

class SandboxTest : public ::testing::Test {
protected:
    void SetUp() override {
        faults::disarm();
        doubles::reset();
        sandbox::sandbox_reset();
        plugin_intn_debug_off();
    }
    void TearDown() override {
        faults::disarm();
        doubles::reset();
    }
};

}  // namespace test_support

#endif
