// Main of every test binary: enter the private sandbox before anything else.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tools/sandbox/sandbox.h"

int main(int argc, char **argv) {
    std::string error;
    sandbox::SandboxOptions options;
    options.mirrors = true;  // cheap to walk: the tests take snapshots of /usr and /etc
    if (!sandbox::sandbox_enter(options, &error)) {
        std::fprintf(stderr, "cannot enter the test sandbox: %s\n", error.c_str());
        return 1;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
