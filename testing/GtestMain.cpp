// main() of the gtest programs that need a network of their own: those that start testModule,
// which always binds 127.0.0.1:10000, and those that bind that port themselves. Before the
// tests run, the process enters a network namespace of its own, where it meets neither the
// emulators of other test processes nor those that other people run on this machine. Listing
// the tests does not enter it. Where the system does not permit it, the tests run in the
// shared namespace: a test that needs port 10000 to itself asks
// in_private_network_namespace() and skips, and CTest keeps the others from running at the
// same time (tests/CMakeLists.txt).
#include <gtest/gtest.h>

#include <cstdio>

#include "testing/NetworkNamespace.h"

namespace {

class PrivateNetworkEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        if (!enter_private_network_namespace()) {
            std::fprintf(stderr,
                         "No private network namespace (not permitted): the tests run in the "
                         "shared one, where others may be using port 10000.\n");
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new PrivateNetworkEnvironment);
    return RUN_ALL_TESTS();
}
