// testModule under faults of its surroundings: signals at the highest trigger rate, a second
// signal while it shuts down, a second emulator started on the same address and port, a host
// that vanishes during a run, and a request whose sender is forged to be the emulator itself.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "protocol/BasePacket.h"
#include "testing/EmulatorProcess.h"
#include "testing/LoadHost.h"
#include "testing/UdpPeer.h"

using namespace daq;

namespace {

constexpr double kTimeout = 10.0;

// The shutdown itself waits one second; everything past that is the loop's reaction time.
constexpr double kExitBound = 10.0;

class SignalAtHighestRate : public ::testing::TestWithParam<int> {
  protected:
    void SetUp() override {
        ASSERT_TRUE(host.ok());
        ASSERT_TRUE(emulator.start());
        ASSERT_TRUE(emulator.wait_until_serving(kTimeout)) << emulator.stderr_text();
        ASSERT_TRUE(load::request_acknowledged(host, load::discovery_request(), packet::kDiscovery,
                                               kTimeout));
        ASSERT_TRUE(
            load::request_acknowledged(host, load::daq_request(1), packet::kDaqCommand, kTimeout));
        ASSERT_TRUE(load::data_flows(host, 1000, kTimeout)) << "no data at the highest rate";
    }

    // Waits for the exit and returns the seconds from `since`, or a negative value.
    double seconds_to_exit(std::chrono::steady_clock::time_point since, int& status) {
        status = emulator.wait_exit(kExitBound);
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
    }

    void expect_both_shutdown_lines_once() {
        const std::string err = emulator.stderr_text();
        EXPECT_EQ(emulator.count_in_stderr("Stopping the run\n"), 1u) << err;
        EXPECT_EQ(emulator.count_in_stderr("Stopping the server\n"), 1u) << err;
        EXPECT_LT(err.find("Stopping the run\n"), err.find("Stopping the server\n"));
    }

    static const char* name(int signal) { return signal == SIGINT ? "SIGINT" : "SIGTERM"; }

    EmulatorProcess emulator{{"-r", "1000000", "-m", "1111", "-e", "1.0"}};
    UdpPeer host;
};

TEST_P(SignalAtHighestRate, ends_the_program_with_status_0_within_seconds) {
    const auto sent = std::chrono::steady_clock::now();
    emulator.send_signal(GetParam());
    int status = -1;
    const double elapsed = seconds_to_exit(sent, status);
    std::printf("%s at -r 1000000 -m 1111: exit status %d after %.3f s\n", name(GetParam()), status,
                elapsed);
    EXPECT_EQ(status, 0) << emulator.stderr_text();
    EXPECT_LT(elapsed, kExitBound);
    expect_both_shutdown_lines_once();
}

TEST_P(SignalAtHighestRate, second_signal_during_the_shutdown_wait_does_no_harm) {
    const auto sent = std::chrono::steady_clock::now();
    emulator.send_signal(GetParam());
    ASSERT_TRUE(emulator.wait_for_stderr("Stopping the run\n", kTimeout)) << emulator.stderr_text();
    // Inside the one-second wait between the two shutdown lines, unless the machine is slow.
    emulator.send_signal(GetParam());
    int status = -1;
    const double elapsed = seconds_to_exit(sent, status);
    std::printf("%s twice at -r 1000000 -m 1111: exit status %d after %.3f s\n", name(GetParam()),
                status, elapsed);
    EXPECT_EQ(status, 0) << emulator.stderr_text();
    expect_both_shutdown_lines_once();
}

// Signals sent without pause from the first until the end, as a user who keeps pressing the
// interrupt key: none of them may change the exit status, however late it comes. The last
// moments of the shutdown are short, so several shutdowns are tried.
class RepeatedSignals : public ::testing::TestWithParam<int> {};

TEST_P(RepeatedSignals, signals_until_the_very_end_leave_status_0) {
    constexpr int kShutdowns = 8;
    for (int i = 0; i < kShutdowns; ++i) {
        EmulatorProcess process({"-r", "1000000", "-m", "1111"});
        ASSERT_TRUE(process.start());
        ASSERT_TRUE(process.wait_until_serving(kTimeout)) << process.stderr_text();
        process.send_signal(GetParam());
        ASSERT_TRUE(process.wait_for_stderr("Stopping the server\n", kTimeout))
            << process.stderr_text();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (process.running() && std::chrono::steady_clock::now() < deadline) {
            process.send_signal(GetParam());
        }
        ASSERT_EQ(process.wait_exit(kTimeout), 0) << "shutdown " << i << process.stderr_text();
    }
}

std::string signal_name(const ::testing::TestParamInfo<int>& info) {
    return info.param == SIGINT ? "SIGINT" : "SIGTERM";
}

INSTANTIATE_TEST_SUITE_P(Signals, SignalAtHighestRate, ::testing::Values(SIGINT, SIGTERM),
                         signal_name);
INSTANTIATE_TEST_SUITE_P(Signals, RepeatedSignals, ::testing::Values(SIGINT, SIGTERM), signal_name);

class SecondEmulator : public ::testing::Test {
  protected:
    void TearDown() override {
        for (EmulatorProcess* process : {&second, &first}) {
            if (!process->running()) continue;
            process->send_signal(SIGTERM);
            EXPECT_EQ(process->wait_exit(kTimeout), 0) << process->stderr_text();
        }
    }

    EmulatorProcess first{std::vector<std::string>{}};
    EmulatorProcess second{std::vector<std::string>{}};
};

TEST_F(SecondEmulator, second_on_the_same_port_binds_and_warns_naming_the_address) {
    const std::string warning = "another program already uses 127.0.0.1:10000";
    ASSERT_TRUE(first.start());
    ASSERT_TRUE(first.wait_until_serving(kTimeout)) << first.stderr_text();
    ASSERT_TRUE(second.start());
    ASSERT_TRUE(second.wait_until_serving(kTimeout)) << second.stderr_text();
    EXPECT_TRUE(second.wait_for_stderr(warning, kTimeout)) << second.stderr_text();
    EXPECT_NE(second.stderr_text().find("Creating server on 127.0.0.1:10000"), std::string::npos);
    EXPECT_EQ(first.count_in_stderr(warning), 0u) << first.stderr_text();
    EXPECT_TRUE(first.running());
}

class HostGone : public ::testing::Test {
  protected:
    void TearDown() override {
        if (!emulator.running()) return;
        emulator.send_signal(SIGTERM);
        EXPECT_EQ(emulator.wait_exit(kTimeout), 0) << emulator.stderr_text();
    }

    EmulatorProcess emulator{{"-r", "1000", "-m", "11"}};
};

// The data then goes to a closed port; the system may report that back to the socket.
TEST_F(HostGone, run_goes_on_and_a_new_host_gets_answers_and_data) {
    ASSERT_TRUE(emulator.start());
    ASSERT_TRUE(emulator.wait_until_serving(kTimeout)) << emulator.stderr_text();
    {
        UdpPeer first;
        ASSERT_TRUE(load::request_acknowledged(first, load::discovery_request(), packet::kDiscovery,
                                               kTimeout));
        ASSERT_TRUE(
            load::request_acknowledged(first, load::daq_request(1), packet::kDaqCommand, kTimeout));
        ASSERT_TRUE(load::data_flows(first, 100, kTimeout));
    }
    // Not a synchronisation: the emulator sends a second's worth of data to the closed port.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    UdpPeer second;
    ASSERT_TRUE(load::request_acknowledged(second, load::discovery_request(), packet::kDiscovery,
                                           kTimeout));
    EXPECT_TRUE(load::data_flows(second, 100, kTimeout)) << "the run stopped";
    EXPECT_TRUE(emulator.running());
    EXPECT_EQ(emulator.count_in_stderr("ERROR"), 0u) << emulator.stderr_text();
}

// Sends `payload` in a UDP datagram from 127.0.0.1:`source_port` to 127.0.0.1:10000 through a
// raw socket, whatever socket holds that source port; false when raw sockets are not allowed.
bool send_forged(uint16_t source_port, const std::vector<uint8_t>& payload) {
    const int fd = ::socket(AF_INET, SOCK_RAW, IPPROTO_UDP);
    if (fd < 0) return false;
    std::vector<uint8_t> datagram = wire_words(
        {source_port, 10000, static_cast<uint16_t>(8 + payload.size()), 0 /* no checksum */});
    datagram.insert(datagram.end(), payload.begin(), payload.end());
    sockaddr_in destination = {};
    destination.sin_family = AF_INET;
    destination.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool sent =
        ::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&destination),
                 sizeof(destination)) == static_cast<ssize_t>(datagram.size());
    ::close(fd);
    return sent;
}

class ForgedSender : public ::testing::Test {
  protected:
    void TearDown() override {
        if (!emulator.running()) return;
        emulator.send_signal(SIGTERM);
        EXPECT_EQ(emulator.wait_exit(kTimeout), 0) << emulator.stderr_text();
    }

    EmulatorProcess emulator{{"-r", "1000", "-m", "1"}};
    UdpPeer host;
};

// Made its own host peer, the emulator would answer its own acknowledges without end.
TEST_F(ForgedSender, discovery_from_the_emulators_own_address_and_port_is_dropped) {
    ASSERT_TRUE(host.ok());
    ASSERT_TRUE(emulator.start());
    ASSERT_TRUE(emulator.wait_until_serving(kTimeout)) << emulator.stderr_text();
    if (!send_forged(10000, load::discovery_request())) GTEST_SKIP() << "no raw sockets here";
    // Requests are handled in order: once this is answered, the forged one has been handled.
    ASSERT_TRUE(
        load::request_acknowledged(host, load::discovery_request(), packet::kDiscovery, kTimeout));
    EXPECT_EQ(emulator.count_in_stdout("Got a message from 127.0.0.1:10000 "), 0u)
        << emulator.stdout_text().substr(0, 2000);
    // The run's data goes to the real host.
    ASSERT_TRUE(
        load::request_acknowledged(host, load::daq_request(1), packet::kDaqCommand, kTimeout));
    EXPECT_TRUE(load::data_flows(host, 100, kTimeout));
}

}  // namespace
