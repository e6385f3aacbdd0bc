// The orderly end of testModule on an interrupt or termination signal.
#include <signal.h>

#include <chrono>
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

}  // namespace
