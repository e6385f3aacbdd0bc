// Test entry point: the process moves into a network namespace of its own before any test
// runs, so its servers bind 127.0.0.1:10000 without meeting the emulators that other people
// run on this machine at the same time.
#include "tests/server/private_network.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "testkit/Namespace.h"

namespace {

bool in_private_network = false;

}  // namespace

bool private_network_ready() { return in_private_network; }

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    in_private_network = enter_private_network_namespace();
    if (!in_private_network) {
        std::fprintf(stderr,
                     "No private network namespace: the tests that bind port 10000 are skipped\n");
    }
    return RUN_ALL_TESTS();
}
