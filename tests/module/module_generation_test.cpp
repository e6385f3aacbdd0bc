// The pedestal generator and one trigger cycle of the signal generator, driven directly: the
// data packets are recorded by the capturing module.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "protocol/BasePacket.h"
#include "protocol/ModuleRequest.h"
#include "testing/ModuleTestSupport.h"

using namespace daq;

using testing::ElementsAre;

namespace {

using packet::kMagic;

// Values of a mode-1 packet's payload.
std::vector<uint16_t> channel_values(const SentDatagram& packet) {
    const std::vector<uint16_t> words = packet.words();
    return std::vector<uint16_t>(words.begin() + 9, words.end() - 1);
}

bool is_pedestal(uint16_t value) { return value > 1974 && value < 2074; }

uint32_t time_stamp(const std::vector<uint16_t>& words) {
    return static_cast<uint32_t>(words[4]) << 16 | words[5];
}

TEST(PedestalGenerator, fills_the_buffer_to_501_blocks_then_stops) {
    CapturingModule module{kChipType, kRecordAll};
    ASSERT_TRUE(module.pedestals_registered());
    int accepted = 0;
    for (int call = 0; call < 2000; ++call) {
        if (!module.pedestal_step()) break;
        ++accepted;
    }
    EXPECT_EQ(accepted, 501);
    EXPECT_EQ(module.pedestals().items_left(), 501);
    EXPECT_TRUE(module.pedestals().full());
    EXPECT_FALSE(module.pedestals_registered());
    EXPECT_FALSE(module.pedestal_step()) << "a full buffer takes no further block";

    // The idle source registered at construction is still in the context because the steps
    // above were called by hand; one turn of the loop lets it see the full buffer and leave.
    pump_until([] { return !g_main_context_pending(nullptr); }, 5.0);
}

TEST(PedestalGenerator, the_event_loop_fills_the_buffer_in_idle_time) {
    CapturingModule module{kChipType, kRecordAll};
    ASSERT_TRUE(pump_until([&] { return !module.pedestals_registered(); }));
    EXPECT_EQ(module.pedestals().items_left(), 501);
}

// A module with hybrids 1 and 2, efficiency 1, a host peer, and a full pedestal buffer.
class TriggerCycle : public testing::Test {
  protected:
    explicit TriggerCycle(int chip_type = kChipType) : module(chip_type, kRecordAll) {}

    void SetUp() override {
        printed_by([&] {
            module.configure(mask());
            module.deliver({kMagic, 0x000B, 0, 0}, "127.0.0.1", 4660);
        });
        module.set_efficiency(1.0);
        refill();
        module.sent.clear();
    }

    virtual uint8_t mask() const { return 0x03; }

    // Lets the pedestal generator run until it has filled the buffer and removed itself.
    void refill() {
        ASSERT_TRUE(pump_until([&] { return !module.pedestals_registered(); }));
        ASSERT_TRUE(module.pedestals().full());
    }

    void set_mode(int hybrid, int mode, int nadj) {
        printed_by([&] {
            module.deliver({kMagic, 0x0008, static_cast<uint16_t>(hybrid << 8 | mode),
                            static_cast<uint16_t>(nadj)});
        });
        module.sent.clear();
    }

    CapturingModule module;
};

TEST_F(TriggerCycle, efficiency_one_sends_one_packet_per_stream_numbered_1_2_3) {
    for (int cycle = 0; cycle < 3; ++cycle) ASSERT_TRUE(module.trigger());
    ASSERT_EQ(module.sent.size(), 6u);
    for (size_t i = 0; i < 6; ++i) {
        const SentDatagram& packet = module.sent[i];
        const int id = static_cast<int>(i % 2) + 1;
        const std::vector<uint16_t> w = packet.words();
        EXPECT_EQ(packet.address, "127.0.0.1");
        EXPECT_EQ(packet.port, 4660);
        ASSERT_EQ(packet.bytes.size(), 20u + 2 * 128) << "packet " << i;
        EXPECT_EQ(w[0], 0xCAFE);
        EXPECT_EQ(w[1], id << 8 | 14);
        EXPECT_EQ(w[2], 128);
        EXPECT_EQ(w[3], i / 2 + 1) << "event number of packet " << i;
        EXPECT_EQ(w[6], 2);
        EXPECT_EQ(w[7] & 0xF00F, 0) << "fraction and top bits of the time value stay 0";
        EXPECT_EQ(w[8], id << 8 | 1);
        EXPECT_EQ(w.back(), 0xACAB);
    }
    EXPECT_EQ(module.event_count(1), 3u);
    EXPECT_EQ(module.event_count(2), 3u);
    EXPECT_EQ(module.pedestals().items_left(), 501 - 3 * 4);
}

TEST_F(TriggerCycle, streams_of_one_cycle_share_one_time_stamp_that_never_goes_back) {
    for (int cycle = 0; cycle < 5; ++cycle) ASSERT_TRUE(module.trigger());
    ASSERT_EQ(module.sent.size(), 10u);
    uint32_t previous = 0;
    for (size_t i = 0; i < 10; i += 2) {
        const uint32_t first = time_stamp(module.sent[i].words());
        EXPECT_EQ(first, time_stamp(module.sent[i + 1].words()));
        EXPECT_GE(first, previous);
        previous = first;
    }
}

TEST_F(TriggerCycle, time_value_is_the_fixed_point_word_of_a_value_near_25) {
    for (int cycle = 0; cycle < 50; ++cycle) ASSERT_TRUE(module.trigger());
    double sum = 0;
    for (const SentDatagram& packet : module.sent) {
        const uint16_t word = packet.words()[7];
        const int magnitude = word >> 4 & 0x7F;
        sum += (word & 0x800) ? -magnitude : magnitude;
    }
    EXPECT_NEAR(sum / static_cast<double>(module.sent.size()), 24.5, 2.0);
}

TEST_F(TriggerCycle, all_channel_packets_carry_pedestals_near_2024_and_one_hit) {
    for (int cycle = 0; cycle < 20; ++cycle) ASSERT_TRUE(module.trigger());
    ASSERT_EQ(module.sent.size(), 40u);
    double sum = 0;
    double squares = 0;
    int n = 0;
    for (const SentDatagram& packet : module.sent) {
        int hits = 0;
        for (uint16_t value : channel_values(packet)) {
            if (!is_pedestal(value)) {
                ++hits;
                EXPECT_GT(value, 2074) << "a hit only adds";
                continue;
            }
            sum += value;
            squares += static_cast<double>(value) * value;
            ++n;
        }
        EXPECT_EQ(hits, 1) << "one simulated hit per event";
    }
    const double mean = sum / n;
    const double sigma = std::sqrt(squares / n - mean * mean);
    EXPECT_NEAR(mean, 2024.0, 2.0);
    EXPECT_GT(sigma, 4.0);
    EXPECT_LT(sigma, 6.5);
}

TEST_F(TriggerCycle, efficiency_zero_sends_nothing_but_event_numbers_advance) {
    module.set_efficiency(0.0);
    // Never 0, so the efficiency test never passes.
    RandomSequence& random = module.random_sequence();
    const RandomSequence::IntegerSource previous = random.set_integer_source([] { return 1; });
    for (int cycle = 0; cycle < 2; ++cycle) module.trigger();
    random.set_integer_source(previous);
    EXPECT_TRUE(module.sent.empty());
    EXPECT_EQ(module.event_count(1), 2u);
    EXPECT_EQ(module.pedestals().items_left(), 501) << "a stream that does not send takes no block";

    module.set_efficiency(1.0);
    ASSERT_TRUE(module.trigger());
    ASSERT_EQ(module.sent.size(), 2u);
    EXPECT_EQ(module.sent[0].words()[3], 3) << "the skipped events leave a gap";
}

TEST_F(TriggerCycle, hit_channel_mode_sends_the_hit_channel_and_its_value_twice) {
    set_mode(1, 2, 0);
    set_mode(2, 2, 0);
    for (int cycle = 0; cycle < 10; ++cycle) ASSERT_TRUE(module.trigger());
    ASSERT_EQ(module.sent.size(), 20u);
    for (const SentDatagram& packet : module.sent) {
        const std::vector<uint16_t> w = packet.words();
        ASSERT_EQ(packet.bytes.size(), 26u);
        EXPECT_EQ(w[2], 1);
        EXPECT_EQ(w[8] & 0xF, 2);
        EXPECT_LT(w[9], 128) << "the hit channel lies within the stream";
        EXPECT_EQ(w[10], w[11]);
        EXPECT_GT(w[10], 2074) << "the hit channel carries the amplitude";
        EXPECT_EQ(w[12], 0xACAB);
    }
}

TEST_F(TriggerCycle, neighbour_mode_sends_unclamped_channels_with_clamped_values) {
    set_mode(1, 4, 200);
    set_mode(2, 4, 3);
    for (int cycle = 0; cycle < 5; ++cycle) ASSERT_TRUE(module.trigger());
    ASSERT_EQ(module.sent.size(), 10u);
    for (size_t i = 0; i < module.sent.size(); i += 2) {
        const std::vector<uint16_t> wide = module.sent[i].words();
        ASSERT_EQ(module.sent[i].bytes.size(), 26u + 6 * 200);
        EXPECT_EQ(wide[2], 200);
        const int k = wide[9];
        ASSERT_LT(k, 128);
        EXPECT_EQ(wide[10], wide[11]) << "the first triple is the hit channel twice";
        EXPECT_GT(wide[10], 2074);
        for (int m = 0; m <= 200; ++m) {
            const int at = 9 + 3 * m;
            EXPECT_EQ(wide[at], k + m) << "channel words are not clamped";
            if (m > 0) {
                // Upwards the values stop at channel 127, downwards at channel 0.
                const int up = std::min(m, 127 - k);
                const int down = std::min(m, k);
                EXPECT_EQ(wide[at + 1], wide[9 + 3 * up + 1]) << "m " << m;
                EXPECT_EQ(wide[at + 2], wide[9 + 3 * down + 2]) << "m " << m;
                if (m <= 127 - k) {
                    EXPECT_TRUE(is_pedestal(wide[at + 1])) << "m " << m;
                }
                if (m <= k) {
                    EXPECT_TRUE(is_pedestal(wide[at + 2])) << "m " << m;
                }
            }
        }
        EXPECT_EQ(wide.back(), 0xACAB);

        const std::vector<uint16_t> narrow = module.sent[i + 1].words();
        ASSERT_EQ(module.sent[i + 1].bytes.size(), 44u);
        EXPECT_EQ(narrow[2], 3);
        EXPECT_EQ(narrow[21], 0xACAB);
    }
}

TEST_F(TriggerCycle, unknown_mode_sends_header_and_trailer_with_the_channel_count) {
    set_mode(1, 0, 5);
    set_mode(2, 3, 5);
    ASSERT_TRUE(module.trigger());
    ASSERT_EQ(module.sent.size(), 2u);
    for (const SentDatagram& packet : module.sent) {
        const std::vector<uint16_t> w = packet.words();
        ASSERT_EQ(packet.bytes.size(), 20u);
        EXPECT_EQ(w[2], 128);
        EXPECT_EQ(w[9], 0xACAB);
    }
}

TEST_F(TriggerCycle, short_buffer_holds_the_trigger_and_registers_the_pedestal_generator) {
    ASSERT_FALSE(module.pedestals_registered());
    for (int cycle = 0; cycle < 125; ++cycle) ASSERT_TRUE(module.trigger()) << cycle;
    ASSERT_EQ(module.pedestals().items_left(), 1);
    const size_t sent = module.sent.size();

    EXPECT_FALSE(module.trigger());
    EXPECT_EQ(module.sent.size(), sent);
    EXPECT_EQ(module.event_count(1), 125u) << "a held trigger counts nothing";
    EXPECT_TRUE(module.pedestals_registered());

    refill();
    EXPECT_TRUE(module.trigger());
    EXPECT_EQ(module.event_count(1), 126u);
}

TEST_F(TriggerCycle, stream_without_chips_ends_its_turn_without_a_packet) {
    printed_by([&] { module.deliver({kMagic, 0x0001, 0x0150, 0x0000}); });
    module.sent.clear();
    ASSERT_TRUE(module.trigger());
    EXPECT_EQ(module.event_count(1), 1u);
    ASSERT_EQ(module.sent.size(), 1u);
    EXPECT_EQ(module.sent[0].words()[1], 2 << 8 | 14);
}

TEST_F(TriggerCycle, pacing_holds_the_trigger_until_the_interval_has_elapsed) {
    module.set_period(1000.0);
    EXPECT_TRUE(module.signal_step());
    EXPECT_EQ(module.event_count(1), 0u);
    EXPECT_TRUE(module.sent.empty());

    module.set_period(0.0);
    EXPECT_FALSE(module.signal_step()) << "outside a run the generator removes itself";
    EXPECT_EQ(module.event_count(1), 1u);
}

TEST_F(TriggerCycle, not_a_number_interval_lets_the_trigger_fire_at_once) {
    module.set_period(std::nan(""));
    ASSERT_TRUE(std::isnan(module.trigger_interval()));
    module.signal_step();
    EXPECT_EQ(module.event_count(1), 1u);
}

TEST_F(TriggerCycle, interval_is_drawn_around_the_period_with_ten_percent_sigma) {
    double sum = 0;
    double squares = 0;
    for (int i = 0; i < 2000; ++i) {
        module.set_period(0.01);
        sum += module.trigger_interval();
        squares += module.trigger_interval() * module.trigger_interval();
    }
    const double mean = sum / 2000;
    EXPECT_NEAR(mean, 0.01, 0.0002);
    EXPECT_NEAR(std::sqrt(squares / 2000 - mean * mean), 0.001, 0.0002);
}

TEST_F(TriggerCycle, hits_of_128_channels_lie_on_an_11_wide_grid_around_row_5) {
    // 128 channels: side 11, spots at columns 2 and 8 of row 5. Rounding can carry a hit into
    // row 11 (channels 121 to 127), never beyond the stream.
    set_mode(1, 2, 0);
    set_mode(2, 2, 0);
    double rows = 0;
    double strong_columns = 0;
    double weak_columns = 0;
    int strong = 0;
    int weak = 0;
    for (int cycle = 0; cycle < 100; ++cycle) ASSERT_TRUE(module.trigger());
    for (const SentDatagram& packet : module.sent) {
        const std::vector<uint16_t> w = packet.words();
        ASSERT_LT(w[9], 128);
        rows += w[9] / 11;
        if (w[10] > 2024 + 350) {
            ++strong;
            strong_columns += w[9] % 11;
        } else {
            ++weak;
            weak_columns += w[9] % 11;
        }
    }
    EXPECT_NEAR(rows / static_cast<double>(module.sent.size()), 5.0, 1.0);
    ASSERT_GT(strong, 0);
    ASSERT_GT(weak, 0);
    EXPECT_LT(strong_columns / strong + 1.0, weak_columns / weak);
}

class TriggerCycleWithoutStreams : public TriggerCycle {
  protected:
    uint8_t mask() const override { return 0x00; }
};

TEST_F(TriggerCycleWithoutStreams, cycle_sends_nothing_and_completes) {
    EXPECT_TRUE(module.trigger());
    EXPECT_TRUE(module.sent.empty());
    EXPECT_EQ(module.pedestals().items_left(), 501);
}

class TriggerCycleChipType1 : public TriggerCycle {
  protected:
    TriggerCycleChipType1() : TriggerCycle(1) {}
};

TEST_F(TriggerCycleChipType1, chip_type_1_gives_128_channels_per_chip) {
    ASSERT_TRUE(module.trigger());
    ASSERT_EQ(module.sent.size(), 2u);
    for (const SentDatagram& packet : module.sent) {
        ASSERT_EQ(packet.bytes.size(), 20u + 2 * 256);
        EXPECT_EQ(packet.words()[2], 256);
        const std::vector<uint16_t> values = channel_values(packet);
        EXPECT_EQ(std::count_if(values.begin(), values.end(), is_pedestal), 255);
    }
}

TEST_F(TriggerCycleChipType1, hits_fall_around_the_two_spots_with_their_amplitudes) {
    // 256 channels: side 16, spots at column 4 and column 12 of row 8; the second spot's
    // amplitude is a third of the first's.
    constexpr int kCycles = 100;
    int left = 0;
    int strong = 0;
    int weak = 0;
    double rows = 0;
    double strong_columns = 0;
    double weak_columns = 0;
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        module.sent.clear();
        ASSERT_TRUE(module.trigger());
        const std::vector<uint16_t> values = channel_values(module.sent[0]);
        const auto hit = std::find_if_not(values.begin(), values.end(), is_pedestal);
        ASSERT_NE(hit, values.end());
        const int channel = static_cast<int>(hit - values.begin());
        rows += channel / 16;
        if (channel % 16 < 8) ++left;
        const int amplitude = *hit - 2024;
        if (amplitude > 430 && amplitude < 570) {
            ++strong;
            strong_columns += channel % 16;
        } else if (amplitude > 120 && amplitude < 215) {
            ++weak;
            weak_columns += channel % 16;
        } else {
            ADD_FAILURE() << "amplitude " << amplitude << " fits neither spot";
        }
    }
    EXPECT_NEAR(rows / kCycles, 8.0, 1.5);
    ASSERT_GT(strong, 0);
    ASSERT_GT(weak, 0);
    EXPECT_LT(strong_columns / strong + 2.0, weak_columns / weak)
        << "the full amplitude belongs to the left spot, the third to the right one";
    EXPECT_GT(left, kCycles / 4);
    EXPECT_LT(left, 3 * kCycles / 4);
    EXPECT_GT(strong, kCycles / 4);
    EXPECT_GT(weak, kCycles / 4);
}

class TriggerCycleOneHybrid : public TriggerCycle {
  protected:
    uint8_t mask() const override { return 0x01; }
};

TEST_F(TriggerCycleOneHybrid, blocks_made_before_a_chip_type_change_fill_only_their_values) {
    // The buffer holds 64-value blocks; chip type 1 gives each chip room for 128.
    printed_by([&] { module.deliver({kMagic, 0x0001, 0x0110, 0x0200}); });
    module.sent.clear();
    ASSERT_EQ(module.channels_per_chip(), 128);
    ASSERT_TRUE(module.trigger());
    ASSERT_EQ(module.sent.size(), 1u);
    const std::vector<uint16_t> values = channel_values(module.sent[0]);
    ASSERT_EQ(values.size(), 256u);
    int pedestals = 0;
    int others = 0;
    for (size_t i = 0; i < values.size(); ++i) {
        const bool in_block = (i % 128) < 64;
        if (in_block && is_pedestal(values[i])) ++pedestals;
        if (!in_block && values[i] != 0) ++others;
    }
    EXPECT_GE(pedestals, 127);
    EXPECT_LE(others, 1) << "room beyond an old block must not carry stale memory";
}

// Known answers: the first packets of a few configurations, from a fresh start's first draws,
// reduced to a digest of every byte but the time stamp (words 4 and 5, the only part that
// depends on timing). Any change of the draw order, a generator constant, the spots or the
// rounding of the hit position changes them; the statistical tests above are too wide for that.
struct KnownAnswer {
    const char* name;
    int chip_type;  // on the wire: 1 gives 128 channels per chip, others 64
    uint8_t mask;
    int chips;
    int mode;
    int nadj;
    uint64_t digest;
};

uint64_t digest_of(const std::vector<SentDatagram>& packets) {
    uint64_t digest = 0xcbf29ce484222325ULL;  // FNV-1a
    for (const SentDatagram& packet : packets) {
        for (size_t i = 0; i < packet.bytes.size(); ++i) {
            if (i >= 8 && i < 12) continue;
            digest = (digest ^ packet.bytes[i]) * 0x100000001b3ULL;
        }
    }
    return digest;
}

// The module as a host sets it up, the pedestal buffer filled, then `triggers` cycles.
std::vector<SentDatagram> first_packets(const KnownAnswer& k, int triggers) {
    CapturingModule module(k.chip_type, kRecordAll);
    printed_by([&] {
        module.configure(k.mask);
        module.deliver({kMagic, 0x000B, 0, 0});
        for (const DataStream* stream : module.stream_list()) {
            const auto id = static_cast<unsigned>(stream->id());
            for (const ModuleRequest& r :
                 {ModuleRequest::stream_configuration(
                      {id, static_cast<unsigned>(k.chip_type), static_cast<unsigned>(k.chips)}),
                  ModuleRequest::readout_mode(
                      {id, static_cast<unsigned>(k.mode), static_cast<unsigned>(k.nadj)})}) {
                module.deliver({kMagic, r.code, r.word2, r.word3});
            }
        }
    });
    module.set_efficiency(0.75);
    module.sent.clear();
    while (module.pedestal_step()) {
    }
    for (int t = 0; t < triggers; ++t) EXPECT_TRUE(module.trigger()) << k.name << " cycle " << t;
    return module.data_packets();
}

class KnownAnswers : public testing::TestWithParam<KnownAnswer> {};

TEST_P(KnownAnswers, first_packets_of_a_fresh_start_are_the_same_as_ever) {
    const KnownAnswer& k = GetParam();
    const std::vector<SentDatagram> packets = first_packets(k, 12);
    ASSERT_FALSE(packets.empty());
    EXPECT_EQ(digest_of(packets), k.digest) << std::hex << "digest 0x" << digest_of(packets)
                                            << " of " << std::dec << packets.size() << " packets";
}

INSTANTIATE_TEST_SUITE_P(
    Generation, KnownAnswers,
    testing::Values(
        KnownAnswer{"mode1_128_per_chip", 1, 0x03, 2, 1, 0, 0x3a55f1a09311249dULL},
        KnownAnswer{"mode1_64_per_chip_3_chips", 2, 0x01, 3, 1, 0, 0x0ff3e05ceea972ccULL},
        KnownAnswer{"mode2_64_per_chip", 5, 0x05, 2, 2, 0, 0xed424856a1c8ea6cULL},
        KnownAnswer{"mode4_128_per_chip_3_chips", 1, 0x0F, 3, 4, 3, 0x800f4f39d2b14a72ULL}),
    [](const testing::TestParamInfo<KnownAnswer>& info) { return info.param.name; });
}  // namespace
