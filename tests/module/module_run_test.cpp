// Runs started and stopped by DAQ commands, with the default main context iterated by the test
// in place of the program's main loop.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "protocol/BasePacket.h"
#include "testing/ModuleTestSupport.h"

using namespace daq;

using testing::HasSubstr;
using testing::Not;

namespace {

using packet::kMagic;
const std::vector<uint16_t> kStart = {kMagic, 0x000A, 0x0100, 0x0001};
const std::vector<uint16_t> kStop = {kMagic, 0x000A, 0x0100, 0x0000};

// A module with hybrid 1, efficiency 1 and a 1 ms trigger period, whose host peer is
// 127.0.0.1:4660.
class ModuleRun : public testing::Test {
  protected:
    void SetUp() override {
        printed_by([&] {
            module.configure(0x01);
            module.deliver({kMagic, 0x000B, 0, 0});
        });
        module.set_efficiency(1.0);
        module.set_period(0.001);
        module.sent.clear();
    }
    void TearDown() override {
        printed_by([&] { module.stop_run(); });
    }

    std::string command(const std::vector<uint16_t>& words) {
        return printed_by([&] { module.deliver(words); });
    }

    size_t data_count() const { return module.data_packets().size(); }

    CapturingModule module{kChipType, kRecordAll};
};

TEST_F(ModuleRun, start_waits_for_the_delayed_start_then_registers_the_generator) {
    command(kStart);
    EXPECT_TRUE(module.start_pending());
    EXPECT_FALSE(module.run_active());
    ASSERT_TRUE(pump_until([&] { return module.run_active(); }));
    EXPECT_FALSE(module.start_pending());
}

TEST_F(ModuleRun, run_sends_events_numbered_from_1_stamped_after_the_10_ms_start) {
    command(kStart);
    ASSERT_TRUE(pump_until([&] { return data_count() >= 5; }));
    const std::vector<SentDatagram> packets = module.data_packets();
    uint32_t previous = 0;
    for (size_t i = 0; i < packets.size(); ++i) {
        const std::vector<uint16_t> w = packets[i].words();
        EXPECT_EQ(packets[i].address, "127.0.0.1");
        EXPECT_EQ(packets[i].port, 4660);
        EXPECT_EQ(w[3], i + 1) << "event numbers of a run count from 1";
        const uint32_t stamp = static_cast<uint32_t>(w[4]) << 16 | w[5];
        EXPECT_GE(stamp, previous);
        previous = stamp;
        if (i == 0) {
            EXPECT_GE(stamp, 10000u) << "the first trigger follows the 10 ms start";
        }
    }
}

TEST_F(ModuleRun, stop_removes_the_generator_and_no_more_data_follows) {
    command(kStart);
    ASSERT_TRUE(pump_until([&] { return data_count() >= 2; }));
    const std::string out = command(kStop);
    EXPECT_THAT(out, HasSubstr("received DAQ command 0 for hybrid 1\nStopping run\n"));
    EXPECT_FALSE(module.run_active());
    const size_t after_stop = data_count();
    pump_for(0.1);
    EXPECT_EQ(data_count(), after_stop);
}

TEST_F(ModuleRun, start_during_a_run_changes_nothing) {
    command(kStart);
    ASSERT_TRUE(pump_until([&] { return data_count() >= 3; }));
    const uint32_t events = module.event_count(1);
    const std::string out = command(kStart);
    EXPECT_THAT(out, HasSubstr("received DAQ command 1 for hybrid 1\n"));
    EXPECT_THAT(out, Not(HasSubstr("Starting run")));
    EXPECT_TRUE(module.run_active());
    EXPECT_GE(module.event_count(1), events) << "the counters are not cleared";
}

TEST_F(ModuleRun, second_start_while_one_is_pending_schedules_nothing_more) {
    const std::string out = command(kStart) + command(kStart);
    size_t starts = 0;
    for (size_t at = out.find("Starting run"); at != std::string::npos;
         at = out.find("Starting run", at + 1)) {
        ++starts;
    }
    EXPECT_EQ(starts, 1u);
    ASSERT_TRUE(pump_until([&] { return module.run_active(); }));
}

TEST_F(ModuleRun, stop_inside_the_start_window_cancels_the_pending_start) {
    command(kStart);
    command(kStop);
    EXPECT_FALSE(module.start_pending());
    pump_for(0.1);
    EXPECT_FALSE(module.run_active());
    EXPECT_EQ(data_count(), 0u);
}

TEST_F(ModuleRun, every_start_clears_the_event_numbers) {
    command(kStart);
    ASSERT_TRUE(pump_until([&] { return data_count() >= 3; }));
    command(kStop);
    module.sent.clear();
    command(kStart);
    ASSERT_TRUE(pump_until([&] { return data_count() >= 1; }));
    EXPECT_EQ(module.data_packets()[0].words()[3], 1);
}

}  // namespace
