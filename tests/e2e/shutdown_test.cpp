// The orderly end of testModule on an interrupt or termination signal.
#include <signal.h>

#include <chrono>
#include <map>
#include <regex>
#include <string>

#include "EmulatorTest.h"

namespace {

class Shutdown : public EmulatorTest, public ::testing::WithParamInterface<int> {
  protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(start_emulator()); }

    // The shutdown pauses one second between its two messages.
    static constexpr double kExitTimeout = 15.0;

    void expect_orderly_exit() {
        const auto signalled = std::chrono::steady_clock::now();
        emulator->send_signal(GetParam());
        EXPECT_EQ(emulator->wait_exit(kExitTimeout), 0);
        // The pause can only make the exit later, however busy the machine: a lower bound.
        EXPECT_GE(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - signalled).count(),
            0.95)
            << "the shutdown must pause a second between its two messages";
        const std::string err = emulator->stderr_text();
        const size_t run = err.find("Stopping the run\n");
        const size_t server = err.find("Stopping the server\n");
        ASSERT_NE(run, std::string::npos) << err;
        ASSERT_NE(server, std::string::npos) << err;
        EXPECT_LT(run, server);
    }
};

TEST_P(Shutdown, signal_stops_the_run_then_the_server_and_exits_0) {
    ASSERT_NO_FATAL_FAILURE(expect_orderly_exit());
    EXPECT_EQ(emulator->count_in_stdout("Stopping run\n"), 1u);
}

// The signal generator keeps the loop busy during a run; the signal must still end it.
TEST_P(Shutdown, signal_during_a_run_stops_it_and_exits_0) {
    ASSERT_NO_FATAL_FAILURE(discover());
    const auto ack = request({0xCAFE, 0x000A, 0x0100, 0x0001});
    ASSERT_TRUE(ack.has_value());
    ASSERT_TRUE(host.receive(kTimeout).has_value()) << "no data packet during the run";
    ASSERT_NO_FATAL_FAILURE(expect_orderly_exit());
    EXPECT_EQ(emulator->count_in_stdout("Stopping run\n"), 1u);
}

INSTANTIATE_TEST_SUITE_P(Signals, Shutdown, ::testing::Values(SIGINT, SIGTERM),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return info.param == SIGINT ? std::string("SIGINT")
                                                         : std::string("SIGTERM");
                         });

// The counters: what SIGUSR1 and the shutdown print equals what this host sent and received,
// and a SIGUSR1 in the middle of a 1 kHz run costs it no data packet.
class Counters : public EmulatorTest {
  protected:
    // The value after `label` in the last block of counters on standard error.
    uint64_t counter(const std::string& label) {
        const std::string err = emulator->stderr_text();
        const size_t block = err.rfind("Counters: requests");
        if (block == std::string::npos) {
            ADD_FAILURE() << "no counters in:\n" << err;
            return 0;
        }
        std::smatch match;
        const std::string tail = err.substr(block);
        if (!std::regex_search(tail, match, std::regex(label + " ([0-9]+)"))) {
            ADD_FAILURE() << "no \"" << label << "\" in:\n" << tail;
            return 0;
        }
        return std::stoull(match[1]);
    }
};

TEST_F(Counters, equal_what_the_host_sent_and_received_and_sigusr1_loses_no_data) {
    ASSERT_NO_FATAL_FAILURE(start_emulator({"-r", "1000", "-m", "11"}));
    ASSERT_NO_FATAL_FAILURE(discover());
    ASSERT_TRUE(request({0xCAFE, 0x0001, 0x0110, 0x0200}));
    ASSERT_TRUE(request({0xCAFE, 0x0008, 0x0202, 0x0000}));
    ASSERT_TRUE(request({0xCAFE, 0x000C, 0x0000, 0x0000}));
    send_raw({});
    send_raw({0xCA, 0xFE, 0x00});
    send_raw(wire_words({0x1234, 0x000B, 0, 0}));
    ASSERT_TRUE(request({0xCAFE, 0x000A, 0xFF00, 0x0001}));

    std::map<int, uint64_t> packets;
    std::map<int, uint64_t> bytes;
    std::map<int, int> last_event;
    int gaps = 0;
    bool stop_sent = false;
    bool stopped = false;
    for (int i = 0; i < 100000 && !stopped; ++i) {
        const auto datagram = host.receive(kTimeout);
        ASSERT_TRUE(datagram.has_value()) << "the run's data or the stop's acknowledge stopped";
        if (!is_data_packet(*datagram)) {
            stopped = wire_word(*datagram, 1) == 0x008A;
            continue;
        }
        const int hybrid = wire_word(*datagram, 1) >> 8;
        const int event = wire_word(*datagram, 3);
        if (event != last_event[hybrid] + 1) ++gaps;
        last_event[hybrid] = event;
        ++packets[hybrid];
        bytes[hybrid] += datagram->size();
        if (packets[1] == 300 && hybrid == 1) {
            emulator->send_signal(SIGUSR1);
            ASSERT_TRUE(emulator->wait_for_stderr("Counters: hybrid 2", kTimeout));
        }
        if (packets[1] == 1000 && hybrid == 2 && !stop_sent) {
            send_raw(wire_words({0xCAFE, 0x000A, 0xFF00, 0x0000}));
            stop_sent = true;
        }
    }
    ASSERT_TRUE(stopped);
    EXPECT_EQ(gaps, 0) << "data lost around the SIGUSR1";
    EXPECT_EQ(emulator->count_in_stderr("Counters: requests"), 1u);

    emulator->send_signal(SIGTERM);
    ASSERT_EQ(emulator->wait_exit(15), 0);
    const std::string err = emulator->stderr_text();
    EXPECT_LT(err.find("Stopping the server"), err.rfind("Counters: requests"));
    EXPECT_EQ(counter("requests"), 6u);
    EXPECT_EQ(counter("code 10:"), 2u);
    EXPECT_EQ(counter("code 12:"), 1u);
    EXPECT_EQ(counter("acknowledges sent"), 6u);
    EXPECT_EQ(counter("send failures"), 0u);
    EXPECT_EQ(counter("malformed datagrams dropped"), 3u);
    EXPECT_EQ(counter("runs started"), 1u);
    EXPECT_EQ(counter("trigger cycles"), packets[1]);
    EXPECT_EQ(counter("hybrid 1:"), packets[1]);
    EXPECT_EQ(counter("hybrid 2:"), packets[2]);
    for (int hybrid : {1, 2}) {
        const std::string label = "hybrid " + std::to_string(hybrid) + ": " +
                                  std::to_string(packets[hybrid]) + " data packets,";
        EXPECT_EQ(counter(label), bytes[hybrid]);
    }
    EXPECT_GT(counter("pedestal blocks generated"), 4 * packets[1]);
}

}  // namespace
