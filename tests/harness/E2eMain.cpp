// main() of the gtest programs that start testModule. Before the tests run, the process
// enters a network namespace of its own, where testModule binds 127.0.0.1:10000 without
// meeting the emulators of other test processes. Listing the tests does not enter it.
#include <gtest/gtest.h>

#include <cstdio>

#include "testkit/Namespace.h"

namespace {

class PrivateNetworkEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        if (!enter_private_network_namespace()) {
            std::fprintf(stderr,
                         "No private network namespace (not permitted): testModule serves in "
                         "the shared one, so these tests must not run beside other users of "
                         "port 10000.\n");
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new PrivateNetworkEnvironment);
    return RUN_ALL_TESTS();
}
