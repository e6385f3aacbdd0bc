// Starting and stopping runs with DAQ commands, seen from the host's side.
#include <chrono>
#include <cstdint>
#include <fstream>
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

// Between triggers the module sleeps: what a run costs follows its rate, and a request is
// answered at once whenever it comes. Four hybrids, so that a module that polls its trigger
// timer instead would show here as a whole processor.
class SleepingRun : public EmulatorTest {
  protected:
    void start(const std::string& rate) {
        ASSERT_NO_FATAL_FAILURE(start_emulator({"-r", rate, "-m", "1111"}));
        ASSERT_NO_FATAL_FAILURE(discover());
        ASSERT_TRUE(request(kStart).has_value());
    }

    // The processor time the emulator has taken so far, in seconds, against the wall clock.
    struct Reading {
        double processor = 0;
        std::chrono::steady_clock::time_point at;
    };
    Reading read_processor_time() const {
        std::ifstream schedstat("/proc/" + std::to_string(emulator->pid()) + "/schedstat");
        double nanoseconds = 0;
        schedstat >> nanoseconds;
        return {nanoseconds * 1e-9, std::chrono::steady_clock::now()};
    }
    static double share_of_a_processor(const Reading& from, const Reading& to) {
        const double wall = std::chrono::duration<double>(to.at - from.at).count();
        return wall > 0 ? (to.processor - from.processor) / wall : 0;
    }

    // Waits for `count` data packets; false when one does not come within the timeout.
    bool data_packets_arrive(int count) {
        for (int got = 0, seen = 0; got < count && seen < 100 * count; ++seen) {
            const auto datagram = host.receive(kTimeout);
            if (!datagram) return false;
            if (is_data_packet(*datagram)) ++got;
        }
        return true;
    }
};

TEST_F(SleepingRun, a_run_at_20_hz_takes_a_small_share_of_a_processor) {
    ASSERT_NO_FATAL_FAILURE(start("20"));
    ASSERT_TRUE(data_packets_arrive(4)) << "the run did not start";
    const Reading from = read_processor_time();
    // 25 triggers of four hybrids: about 1.25 s.
    ASSERT_TRUE(data_packets_arrive(100));
    const double share = share_of_a_processor(from, read_processor_time());
    // About 0.02 asleep; a module that polled would take a whole processor, or all it is given.
    EXPECT_LT(share, 0.25);
}

TEST_F(SleepingRun, a_run_at_rate_0_stays_quiet) {
    ASSERT_NO_FATAL_FAILURE(start("0"));
    // Some draws of an infinite period are not a number and fire at once; the first infinite
    // one stops the triggers for good. Wait until nothing more comes.
    for (int i = 0; i < 100 && host.receive(0.5).has_value(); ++i) {
    }
    const Reading from = read_processor_time();
    EXPECT_FALSE(host.receive(1.0).has_value());
    EXPECT_LT(share_of_a_processor(from, read_processor_time()), 0.05);
}

TEST_F(SleepingRun, a_request_is_answered_while_the_next_trigger_is_far_off) {
    // Intervals of about 100 s: the module sleeps toward the first trigger the whole time.
    ASSERT_NO_FATAL_FAILURE(start("0.01"));
    const std::vector<uint16_t> no_action = {0xCAFE, 0x0006, 0x0100, 0x0000};
    for (int i = 0; i < 3; ++i) {
        const auto ack = request(no_action);
        ASSERT_TRUE(ack.has_value()) << "request " << i << " not answered";
        EXPECT_EQ(*ack, acknowledge_bytes(6, 0, 2, 2, 4));
    }
    EXPECT_EQ(data_packets_skipped, 0u);
}

}  // namespace
