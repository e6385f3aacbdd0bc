// The choice of the address the server binds to, from a given list of IPv4 addresses.
#include <gtest/gtest.h>

#include "support/utils.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

TEST(ChooseIpAddress, prefers_the_11_network_and_prints_every_address_in_order) {
    CaptureStdout();
    const std::string chosen = choose_ip_address({"11.0.0.5", "192.168.1.2", "127.0.0.1"});
    EXPECT_EQ(GetCapturedStdout(), "-> 11.0.0.5\n-> 192.168.1.2\n-> 127.0.0.1\n");
    EXPECT_EQ(chosen, "11.0.0.5");
}

TEST(ChooseIpAddress, falls_back_to_loopback_without_an_11_address) {
    CaptureStdout();
    const std::string chosen = choose_ip_address({"192.168.1.2", "127.0.0.1"});
    EXPECT_EQ(GetCapturedStdout(), "-> 192.168.1.2\n-> 127.0.0.1\n");
    EXPECT_EQ(chosen, "127.0.0.1");
}

TEST(ChooseIpAddress, loopback_listed_before_the_11_address_still_loses) {
    CaptureStdout();
    const std::string chosen = choose_ip_address({"127.0.0.1", "11.1.2.3"});
    GetCapturedStdout();
    EXPECT_EQ(chosen, "11.1.2.3");
}

TEST(ChooseIpAddress, last_of_several_11_addresses_wins) {
    CaptureStdout();
    const std::string chosen = choose_ip_address({"11.0.0.5", "127.0.0.1", "11.9.8.7"});
    GetCapturedStdout();
    EXPECT_EQ(chosen, "11.9.8.7");
}

TEST(ChooseIpAddress, last_of_several_loopback_addresses_wins) {
    CaptureStdout();
    const std::string chosen = choose_ip_address({"127.0.0.1", "10.0.0.1", "127.0.1.1"});
    GetCapturedStdout();
    EXPECT_EQ(chosen, "127.0.1.1");
}

TEST(ChooseIpAddress, prefix_must_start_the_text_and_include_the_dot) {
    CaptureStdout();
    const std::string chosen = choose_ip_address({"111.2.3.4", "211.0.0.1", "110.0.0.1"});
    EXPECT_EQ(GetCapturedStdout(), "-> 111.2.3.4\n-> 211.0.0.1\n-> 110.0.0.1\n");
    EXPECT_EQ(chosen, "");
    CaptureStdout();
    const std::string no_loopback = choose_ip_address({"1127.0.0.1", "10.127.0.1"});
    GetCapturedStdout();
    EXPECT_EQ(no_loopback, "");
}

TEST(ChooseIpAddress, empty_list_gives_empty_text_and_prints_nothing) {
    CaptureStdout();
    const std::string chosen = choose_ip_address({});
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(chosen, "");
}

}  // namespace
