// Test entry point: the process moves into a network namespace of its own before any test
// runs, so its servers bind 127.0.0.1:10000 without meeting the emulators that other people
// run on this machine at the same time.
#include "tests/server/private_network.h"

#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

bool in_private_network = false;

bool bring_loopback_up() {
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return false;
    ifreq request = {};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    if (up) {
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
        up = ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    }
    ::close(fd);
    return up;
}

}  // namespace

bool private_network_ready() { return in_private_network; }

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (::unshare(CLONE_NEWNET) != 0) {
        std::fprintf(stderr,
                     "No private network namespace (%s): the tests that bind port "
                     "10000 are skipped\n",
                     std::strerror(errno));
    } else {
        in_private_network = bring_loopback_up();
    }
    return RUN_ALL_TESTS();
}
