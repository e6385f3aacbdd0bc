// What a run's summary says of a stream: gaps, late and repeated packets across the 16-bit
// event number's wrap, the trigger rate across the 32-bit time stamp's wrap, and pedestals
// and hits read from packets built by the module's own packet code.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "daqhost/EventReading.h"
#include "daqhost/StreamStatistics.h"
#include "protocol/DataPacket.h"
#include "protocol/DataPayload.h"
#include "protocol/PacketConversion.h"

using namespace daq;

namespace {

// A wire packet of stream 1 with eight channels: pedestals 2020 + i % 3, a hit of 500 at
// channel `hit`.
std::vector<uint8_t> packet(uint16_t event, uint32_t time_stamp, int mode = 1, int hit = 4,
                            int nadj = 0) {
    std::vector<uint16_t> values(8);
    for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<uint16_t>(2020 + i % 3);
    values[static_cast<size_t>(hit)] += 500;
    DataPacket::Ptr p = DataPacket::create(1, 1, mode == 4 ? nadj : 8, mode);
    uint16_t* w = p->words();
    w[DataPacket::kEvent] = event;
    w[DataPacket::kTimeHigh] = static_cast<uint16_t>(time_stamp >> 16);
    w[DataPacket::kTimeLow] = static_cast<uint16_t>(time_stamp);
    encode_payload(p->payload(), mode, values.data(), 8, hit, nadj);
    const int bytes = p->packet_size();
    const WireWords wire = convert_packet(reinterpret_cast<const char*>(w), bytes);
    const auto* first = reinterpret_cast<const uint8_t*>(wire.get());
    return {first, first + bytes};
}

StreamSummary summary_of(const std::vector<std::vector<uint8_t>>& packets) {
    StreamStatistics statistics;
    for (const auto& p : packets) statistics.add(DataPacketView(p.data(), p.size()));
    const auto summaries = statistics.summaries();
    EXPECT_EQ(summaries.size(), 1u);
    return summaries.empty() ? StreamSummary{} : summaries.front();
}

TEST(StreamStatisticsEvents, gaps_before_and_between_packets_count_as_missing) {
    const StreamSummary s = summary_of({packet(3, 0), packet(4, 1000), packet(7, 4000)});
    EXPECT_EQ(s.packets, 3u);
    EXPECT_EQ(s.missing, 4u) << "events 1, 2, 5 and 6";
    EXPECT_DOUBLE_EQ(s.efficiency, 3.0 / 7.0);
    EXPECT_EQ(s.last_event, 7u);
}

TEST(StreamStatisticsEvents, late_packets_fill_their_gap_and_repeats_are_counted_apart) {
    const StreamSummary s =
        summary_of({packet(1, 0), packet(3, 2000), packet(2, 1000), packet(3, 2000)});
    EXPECT_EQ(s.missing, 0u);
    EXPECT_EQ(s.late, 1u);
    EXPECT_EQ(s.duplicates, 1u);
    EXPECT_EQ(s.packets, 4u);
}

TEST(StreamStatisticsEvents, a_run_started_again_carries_on_without_late_or_repeated_packets) {
    StreamStatistics statistics;
    // A module stamps trigger k of a run at k periods.
    for (const auto& p : {packet(1, 1000), packet(2, 2000), packet(3, 3000)}) {
        statistics.add(DataPacketView(p.data(), p.size()));
    }
    statistics.restart_run();
    // The new start counts from event 1 and time 0 again; its event 1 was not received.
    for (const auto& p : {packet(2, 2000), packet(3, 3000)}) {
        statistics.add(DataPacketView(p.data(), p.size()));
    }
    const StreamSummary s = statistics.summaries().front();
    EXPECT_EQ(s.late, 0u);
    EXPECT_EQ(s.duplicates, 0u);
    EXPECT_EQ(s.missing, 1u);
    EXPECT_EQ(s.last_event, 6u);
    EXPECT_EQ(statistics.triggers(), 6u);
    ASSERT_TRUE(s.trigger_rate_hz.has_value());
    EXPECT_DOUBLE_EQ(*s.trigger_rate_hz, 1000.0) << "the time between the starts is not counted";
}

// A module paused 3 s (the host saw an outage) and one started again by another than this
// host: neither the silence nor the new start, seen only in its time stamps, bends the rate.
TEST(StreamStatisticsEvents, an_outage_leaves_the_rate_and_time_stamps_that_begin_again_restart) {
    StreamStatistics statistics;
    const auto add = [&statistics](uint16_t event, uint32_t time_stamp) {
        const std::vector<uint8_t> p = packet(event, time_stamp);
        statistics.add(DataPacketView(p.data(), p.size()));
    };
    add(1, 2'001'000);
    add(2, 2'002'000);
    statistics.break_rate();
    add(3, 5'003'000);
    add(4, 5'004'000);
    add(2, 12'000);  // event 1 of the new start was not received
    add(3, 13'000);
    const StreamSummary s = statistics.summaries().front();
    EXPECT_EQ(s.late, 0u);
    EXPECT_EQ(s.missing, 1u);
    EXPECT_EQ(s.last_event, 7u);
    ASSERT_TRUE(s.trigger_rate_hz.has_value());
    EXPECT_DOUBLE_EQ(*s.trigger_rate_hz, 1000.0);
}

TEST(StreamStatisticsEvents, event_numbers_and_time_stamps_unwrap) {
    // 65534 triggers in, 1000 µs apart, with the time stamp about to wrap as well.
    const uint32_t t0 = 0xFFFFFFFFu - 1500;
    const StreamSummary s = summary_of(
        {packet(65534, t0), packet(65535, t0 + 1000), packet(0, t0 + 2000), packet(2, t0 + 4000)});
    EXPECT_EQ(s.missing, 65533u + 1u) << "events 1 to 65533 before the first, and 65537";
    EXPECT_EQ(s.last_event, 65538u);
    ASSERT_TRUE(s.trigger_rate_hz.has_value());
    EXPECT_DOUBLE_EQ(*s.trigger_rate_hz, 1000.0);
}

TEST(StreamStatisticsValues, mode_1_takes_the_largest_value_as_the_hit_and_the_rest_as_pedestals) {
    const StreamSummary s = summary_of({packet(1, 0, 1, 4), packet(2, 10, 1, 6)});
    ASSERT_TRUE(s.pedestal_mean && s.hit_amplitude_mean && s.pedestal_sigma);
    // The seven other values of each packet sum to 14146 and 14147; the hits are 2521, 2520.
    EXPECT_DOUBLE_EQ(*s.pedestal_mean, 28293.0 / 14);
    EXPECT_EQ(s.pedestal_values, 14u);
    EXPECT_DOUBLE_EQ(*s.hit_amplitude_mean, 2520.5 - 28293.0 / 14);
}

TEST(StreamStatisticsValues, mode_4_pedestals_leave_out_left_values_repeated_at_channel_zero) {
    const std::vector<uint8_t> p = packet(1, 0, 4, 1, 3);
    const DataPacketView view(p.data(), p.size());
    const Hit hit = find_hit(view);
    ASSERT_TRUE(hit.found);
    EXPECT_EQ(hit.channel, 1);
    std::vector<uint16_t> pedestals;
    for_each_pedestal(view, hit, [&](uint16_t v) { pedestals.push_back(v); });
    // Right: channels 2, 3, 4; left: channel 0 once (m = 1), not again for m = 2 and 3.
    EXPECT_EQ(pedestals, (std::vector<uint16_t>{2022, 2020, 2020, 2021}));
}

TEST(StreamStatisticsValues, a_live_view_takes_packets_5_ms_apart) {
    StreamStatistics statistics;
    statistics.keep_channels();
    // Hits at channel 4, 5 and 6; the packet 1 ms after the first is left out.
    for (const auto& p : {packet(1, 0, 1, 4), packet(2, 1000, 1, 5), packet(3, 5000, 1, 6)}) {
        statistics.add(DataPacketView(p.data(), p.size()));
    }
    const StreamChannels c = statistics.channels(1);
    EXPECT_EQ(c.hit_channels, (Histogram{{4, 1}, {6, 1}}));
    EXPECT_EQ(c.hit_values.size(), 2u) << "2021 + 500 at channel 4, 2020 + 500 at 6";
    ASSERT_EQ(c.pedestals.size(), 8u);
    EXPECT_EQ(c.pedestals[0].values, 2u);
    EXPECT_DOUBLE_EQ(c.pedestals[0].mean, 2020.0);
    EXPECT_DOUBLE_EQ(c.pedestals[0].sigma, 0.0);
    EXPECT_EQ(c.pedestals[4].values, 1u) << "the hit of the first packet is no pedestal";
    EXPECT_EQ(c.pedestals[6].values, 1u);
    EXPECT_TRUE(StreamStatistics().channels(1).pedestals.empty()) << "not kept unless asked";
}

TEST(StreamStatisticsValues, malformed_packets_are_counted_by_fault_and_nothing_else) {
    StreamStatistics statistics;
    std::vector<uint8_t> p = packet(1, 0);
    p.pop_back();
    statistics.add(DataPacketView(p.data(), p.size()));
    p.pop_back();
    statistics.add(DataPacketView(p.data(), p.size()));
    EXPECT_EQ(statistics.malformed_total(), 2u);
    EXPECT_EQ(statistics.malformed().at(DataPacketFault::kOddLength), 1u);
    EXPECT_EQ(statistics.malformed().at(DataPacketFault::kLengthMismatch), 1u);
    EXPECT_TRUE(statistics.summaries().empty());
}

}  // namespace
