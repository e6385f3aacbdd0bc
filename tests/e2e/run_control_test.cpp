// Starting and stopping runs with DAQ commands, seen from the host's side.
#include <cstdint>
#include <string>
#include <vector>

#include "EmulatorTest.h"

namespace {

const std::vector<uint16_t> kStart = {0xCAFE, 0x000A, 0x0100, 0x0001};
const std::vector<uint16_t> kStop = {0xCAFE, 0x000A, 0x0100, 0x0000};

// A module with hybrid 1 at 1000 triggers per second, so that a generator left running shows
// within milliseconds; its host has discovered it.
class RunControl : public EmulatorTest {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(start_emulator({"-r", "1000"}));
        ASSERT_NO_FATAL_FAILURE(discover());
    }

    // Waits for the next data packet, skipping anything else.
    bool data_packet_arrives(double timeout_s) {
        for (int i = 0; i < 1000; ++i) {
            const auto datagram = host.receive(timeout_s);
            if (!datagram) return false;
            if (is_data_packet(*datagram)) return true;
        }
        return false;
    }

    // Sends the requests back to back, collects their acknowledges (data packets sent before
    // them are skipped), and checks that nothing arrives after the last one: the run must be
    // over once the last stop is acknowledged.
    void burst_ends_without_data(const std::vector<std::vector<uint16_t>>& requests) {
        for (const auto& words : requests) send_raw(wire_words(words));
        for (size_t i = 0; i < requests.size(); ++i) {
            const auto ack = next_acknowledge(host, kTimeout);
            ASSERT_TRUE(ack.has_value()) << "acknowledge " << i << " missing";
            EXPECT_EQ(*ack, acknowledge_bytes(10, 0, 2, 2, 4));
        }
        // A generator left behind would fire within about 10 ms + 1 ms: wait well beyond.
        const auto late = host.receive(0.5);
        EXPECT_FALSE(late.has_value()) << "a datagram arrived after the final stop: "
                                       << (late && is_data_packet(*late) ? "data" : "other");
    }
};

TEST_F(RunControl, start_prints_starting_run_and_data_packets_follow) {
    const auto ack = request(kStart);
    ASSERT_TRUE(ack.has_value());
    EXPECT_EQ(*ack, acknowledge_bytes(10, 0, 2, 2, 4));
    EXPECT_TRUE(emulator->wait_for_stdout("Starting run\n", kTimeout));
    EXPECT_TRUE(data_packet_arrives(kTimeout));
}

TEST_F(RunControl, start_while_running_prints_no_second_starting_run) {
    ASSERT_TRUE(request(kStart).has_value());
    ASSERT_TRUE(data_packet_arrives(kTimeout)) << "the run did not start";
    const auto ack = request(kStart);
    ASSERT_TRUE(ack.has_value());
    EXPECT_EQ(*ack, acknowledge_bytes(10, 0, 2, 2, 4));
    sync_output();
    EXPECT_EQ(emulator->count_in_stdout("received DAQ command 1 for hybrid 1\n"), 2u);
    EXPECT_EQ(emulator->count_in_stdout("Starting run\n"), 1u);
}

TEST_F(RunControl, stop_while_idle_prints_stopping_run) {
    const size_t from = sync_output();
    const auto ack = request(kStop);
    ASSERT_TRUE(ack.has_value());
    EXPECT_EQ(*ack, acknowledge_bytes(10, 0, 2, 2, 4));
    sync_output();
    EXPECT_EQ(output_of_request(10, from),
              "daq_command: [ cafe    a  100    0 ]\nreceived DAQ command 0 for hybrid 1\n"
              "Stopping run\n");
}

TEST_F(RunControl, stop_ends_the_data_packets) {
    ASSERT_TRUE(request(kStart).has_value());
    ASSERT_TRUE(data_packet_arrives(kTimeout)) << "the run did not start";
    ASSERT_NO_FATAL_FAILURE(burst_ends_without_data({kStop}));
}

// Starts and stops inside the 10 ms between a start and the generator's registration must
// never leave a second generator that outlives the stop.
TEST_F(RunControl, quick_starts_and_stops_leave_no_generator_after_the_final_stop) {
    ASSERT_NO_FATAL_FAILURE(burst_ends_without_data({kStart, kStop, kStart, kStop}));
    ASSERT_NO_FATAL_FAILURE(burst_ends_without_data({kStart, kStart, kStop}));
    ASSERT_NO_FATAL_FAILURE(burst_ends_without_data({kStart, kStop, kStart, kStart, kStop}));

    // The module still runs after all that.
    ASSERT_TRUE(request(kStart).has_value());
    EXPECT_TRUE(data_packet_arrives(kTimeout));
    ASSERT_NO_FATAL_FAILURE(burst_ends_without_data({kStop}));
}

}  // namespace
