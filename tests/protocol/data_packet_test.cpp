// The data packet: header, size rule, trailer position and the fixed-point time value; the
// payload of each readout mode, written and read back from the wire; malformed datagrams.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "protocol/BasePacket.h"
#include "protocol/DataPacket.h"
#include "protocol/DataPacketView.h"
#include "protocol/DataPayload.h"
#include "protocol/PacketConversion.h"

using namespace daq;

namespace {

TEST(DataPacketCreate, all_channels_of_256_is_532_bytes_with_trailer_at_word_265) {
    DataPacket::Ptr packet = DataPacket::create(3, 3, 256, 1);
    const uint16_t* w = packet->words();
    EXPECT_EQ(packet->packet_size(), 532);
    EXPECT_EQ(DataPacket::payload_bytes(256, 1), 512);
    EXPECT_EQ(packet::storage_bytes(512 + 22), 536);
    EXPECT_EQ(w[1], 0x030E);
    EXPECT_EQ(w[2], 256);
    EXPECT_EQ(w[8], 0x0301);
    EXPECT_EQ(w[265], 0xACAB);
    for (int i = 9; i < 265; ++i) ASSERT_EQ(w[i], 0) << "payload word " << i << " not cleared";
}

TEST(DataPacketCreate, hit_channel_mode_forces_count_one_and_26_bytes) {
    DataPacket::Ptr packet = DataPacket::create(2, 2, 640, 2);
    const uint16_t* w = packet->words();
    EXPECT_EQ(w[2], 1);
    EXPECT_EQ(packet->packet_size(), 26);
    EXPECT_EQ(packet::storage_bytes(6 + 22), 32);
    EXPECT_EQ(w[9], 0);
    EXPECT_EQ(w[10], 0);
    EXPECT_EQ(w[11], 0);
    EXPECT_EQ(w[12], 0xACAB);
}

TEST(DataPacketCreate, neighbours_mode_holds_count_plus_one_triples) {
    DataPacket::Ptr packet = DataPacket::create(1, 1, 3, 4);
    const uint16_t* w = packet->words();
    EXPECT_EQ(w[2], 3);
    EXPECT_EQ(DataPacket::payload_bytes(3, 4), 24);
    EXPECT_EQ(packet->packet_size(), 44);
    EXPECT_EQ(packet::storage_bytes(24 + 22), 48);
    EXPECT_EQ(w[21], 0xACAB);
}

TEST(DataPacketCreate, unknown_mode_has_no_payload_and_keeps_the_count) {
    DataPacket::Ptr packet = DataPacket::create(1, 1, 128, 0);
    const uint16_t* w = packet->words();
    EXPECT_EQ(w[2], 128);
    EXPECT_EQ(packet->packet_size(), 20);
    EXPECT_EQ(packet::storage_bytes(0 + 22), 24);
    EXPECT_EQ(w[9], 0xACAB);
}

TEST(DataPacketCreate, fresh_header_reads_magic_code_count_0_0_1_2_0_stream_type) {
    DataPacket::Ptr packet = DataPacket::create(5, 7, 10, 1);
    const uint16_t* w = packet->words();
    EXPECT_EQ(w[0], 0xCAFE);
    EXPECT_EQ(w[1], 5 * 256 + 14);
    EXPECT_EQ(w[2], 10);
    EXPECT_EQ(w[3], 0);
    EXPECT_EQ(w[4], 0);
    EXPECT_EQ(w[5], 1);
    EXPECT_EQ(w[6], 2);
    EXPECT_EQ(w[7], 0);
    EXPECT_EQ(w[8], 7 * 256 + 1);
}

TEST(DataPacketCreate, id_and_stream_keep_only_their_low_eight_bits) {
    DataPacket::Ptr packet = DataPacket::create(0x1203, 0x3404, 2, 1);
    EXPECT_EQ(packet->words()[1], 0x030E);
    EXPECT_EQ(packet->words()[8], 0x0401);
}

TEST(DataPacketSize, follows_words_two_and_eight_as_the_generator_leaves_them) {
    DataPacket::Ptr packet = DataPacket::create(1, 1, 0, 4);
    uint16_t* w = packet->words();
    EXPECT_EQ(packet->packet_size(), 26);
    w[2] = 65535;
    EXPECT_EQ(packet->packet_size(), 26 + 6 * 65535) << "the count must not be read as signed";
    w[8] = 0x0102;
    EXPECT_EQ(packet->packet_size(), 26) << "type 2 does not consult the count";
    w[8] = 0x0103;
    EXPECT_EQ(packet->packet_size(), 20);
    w[8] = 0x0111;
    w[2] = 5;
    EXPECT_EQ(packet->packet_size(), 30) << "only the low four bits of word 8 select the type";
}

TEST(FloatingPointBinary, integer_part_modulo_128_in_bits_four_to_ten) {
    EXPECT_EQ(floating_point_binary(25.7) & 0xFFF0, 0x190);
    EXPECT_EQ(floating_point_binary(200.0) & 0xFFF0, 0x480);
    EXPECT_EQ(floating_point_binary(127.0), 0x7F0);
    EXPECT_EQ(floating_point_binary(128.0), 0x000);
}

TEST(FloatingPointBinary, negative_values_set_bit_eleven_with_the_magnitude) {
    EXPECT_EQ(floating_point_binary(-3.2) & 0xFFF0, 0x830);
    EXPECT_EQ(floating_point_binary(-0.5), 0x800);
    EXPECT_EQ(floating_point_binary(-200.0), 0x800 | 0x480);
}

TEST(FloatingPointBinary, fraction_bits_and_top_four_bits_stay_zero) {
    for (double x : {25.7, -3.2, 200.0, 0.9999, -0.0625, 1.0e6, -1.0e6, 65535.5, 1.0e12}) {
        const uint16_t word = floating_point_binary(x);
        EXPECT_EQ(word & 0x000F, 0) << x;
        EXPECT_EQ(word & 0xF000, 0) << x;
    }
}

TEST(FloatingPointBinary, zero_and_not_a_number_give_zero) {
    EXPECT_EQ(floating_point_binary(0.0), 0);
    EXPECT_EQ(floating_point_binary(std::numeric_limits<double>::quiet_NaN()) & 0xF7FF, 0);
}

// A packet of stream 2 as the module sends it, with eight channel values 0x0800 + i (hit at
// channel `hit` already added by the caller), event 5, time stamp 0x00012345 and time value 25.
std::vector<uint8_t> wire_packet(int mode, int hit, int nadj, const std::vector<uint16_t>& values) {
    const int nchan = static_cast<int>(values.size());
    const int count = mode == DataPacket::kHitAndNeighbours ? nadj : nchan;
    DataPacket::Ptr packet = DataPacket::create(2, 2, count, mode);
    uint16_t* w = packet->words();
    w[DataPacket::kEvent] = 5;
    w[DataPacket::kTimeHigh] = 0x0001;
    w[DataPacket::kTimeLow] = 0x2345;
    w[DataPacket::kTimeValue] = floating_point_binary(25.0);
    encode_payload(packet->payload(), mode, values.data(), nchan, hit, nadj);
    const int bytes = packet->packet_size();
    WireWords wire = convert_packet(reinterpret_cast<const char*>(w), bytes);
    const auto* first = reinterpret_cast<const uint8_t*>(wire.get());
    return {first, first + bytes};
}

std::vector<uint16_t> eight_values() {
    return {0x800, 0x801, 0x802, 0x803, 0x804, 0x805, 0x806, 0x807};
}

const std::vector<uint8_t> kHeaderMode1 = {0xCA, 0xFE, 0x02, 0x0E, 0x00, 0x08, 0x00, 0x05, 0x00,
                                           0x01, 0x23, 0x45, 0x00, 0x02, 0x01, 0x90, 0x02, 0x01};

TEST(DataPayloadGolden, mode_1_sends_every_channel_after_the_header) {
    std::vector<uint8_t> expected = kHeaderMode1;
    for (uint8_t i = 0; i < 8; ++i) expected.insert(expected.end(), {0x08, i});
    expected.insert(expected.end(), {0xAC, 0xAB});
    EXPECT_EQ(wire_packet(1, 3, 0, eight_values()), expected);
}

TEST(DataPayloadGolden, mode_2_sends_the_hit_channel_and_its_value_twice) {
    const std::vector<uint8_t> expected = {0xCA, 0xFE, 0x02, 0x0E, 0x00, 0x01, 0x00, 0x05, 0x00,
                                           0x01, 0x23, 0x45, 0x00, 0x02, 0x01, 0x90, 0x02, 0x02,
                                           0x00, 0x03, 0x08, 0x03, 0x08, 0x03, 0xAC, 0xAB};
    EXPECT_EQ(wire_packet(2, 3, 0, eight_values()), expected);
}

TEST(DataPayloadGolden, mode_4_channel_words_run_past_the_end_while_values_are_clamped) {
    // Hit at channel 6 of 8, two neighbours: (6, v6, v6), (7, v7, v5), (8, v7, v4).
    const std::vector<uint8_t> expected = {
        0xCA, 0xFE, 0x02, 0x0E, 0x00, 0x02, 0x00, 0x05, 0x00, 0x01, 0x23, 0x45, 0x00,
        0x02, 0x01, 0x90, 0x02, 0x04, 0x00, 0x06, 0x08, 0x06, 0x08, 0x06, 0x00, 0x07,
        0x08, 0x07, 0x08, 0x05, 0x00, 0x08, 0x08, 0x07, 0x08, 0x04, 0xAC, 0xAB};
    EXPECT_EQ(wire_packet(4, 6, 2, eight_values()), expected);
}

TEST(DataPayloadGolden, mode_4_left_values_at_channel_zero_repeat_channel_zero) {
    const std::vector<uint8_t> wire = wire_packet(4, 0, 2, eight_values());
    const DataPacketView view(wire.data(), wire.size());
    ASSERT_TRUE(view.ok());
    EXPECT_EQ(view.triple(2).channel, 2);
    EXPECT_EQ(view.triple(2).right, 0x802);
    EXPECT_EQ(view.triple(2).left, 0x800);
}

TEST(DataPayloadGolden, other_modes_send_header_and_trailer_only) {
    const std::vector<uint8_t> wire = wire_packet(3, 3, 0, eight_values());
    ASSERT_EQ(wire.size(), 20u);
    EXPECT_EQ(wire[5], 8) << "the count stays the channel count";
    EXPECT_EQ(wire[17], 3);
    EXPECT_EQ(DataPacketView(wire.data(), wire.size()).fault(), DataPacketFault::kNone);
}

TEST(DataPacketViewDecode, reads_back_every_header_field_and_value_of_mode_1) {
    const std::vector<uint16_t> values = eight_values();
    const std::vector<uint8_t> wire = wire_packet(1, 3, 0, values);
    const DataPacketView view(wire.data(), wire.size());
    ASSERT_TRUE(view.ok()) << describe(view.fault());
    EXPECT_EQ(view.id(), 2);
    EXPECT_EQ(view.stream(), 2);
    EXPECT_EQ(view.mode(), 1u);
    EXPECT_EQ(view.count(), 8);
    EXPECT_EQ(view.event(), 5);
    EXPECT_EQ(view.time_stamp(), 0x12345u);
    EXPECT_DOUBLE_EQ(view.time_value(), 25.0);
    ASSERT_EQ(view.value_count(), 8u);
    EXPECT_EQ(view.triple_count(), 0u);
    for (size_t i = 0; i < 8; ++i) EXPECT_EQ(view.value(i), values[i]);
}

TEST(DataPacketViewDecode, mode_2_and_4_give_triples_with_the_hit_first) {
    const std::vector<uint8_t> two = wire_packet(2, 5, 0, eight_values());
    const DataPacketView hit(two.data(), two.size());
    ASSERT_TRUE(hit.ok());
    ASSERT_EQ(hit.triple_count(), 1u);
    EXPECT_EQ(hit.triple(0).channel, 5);
    EXPECT_EQ(hit.triple(0).right, 0x805);
    EXPECT_EQ(hit.triple(0).left, 0x805);

    const std::vector<uint8_t> four = wire_packet(4, 5, 3, eight_values());
    const DataPacketView neighbours(four.data(), four.size());
    ASSERT_TRUE(neighbours.ok());
    ASSERT_EQ(neighbours.triple_count(), 4u);
    EXPECT_EQ(neighbours.value_count(), 0u);
    EXPECT_EQ(neighbours.triple(3).channel, 8);
    EXPECT_EQ(neighbours.triple(3).right, 0x807);
    EXPECT_EQ(neighbours.triple(3).left, 0x802);
}

TEST(DataPacketViewDecode, time_value_is_the_inverse_of_the_fixed_point_word) {
    for (double x : {0.0, 1.0, 25.0, 127.0, -3.0, -100.0}) {
        EXPECT_DOUBLE_EQ(time_value_of(floating_point_binary(x)), x);
    }
    EXPECT_DOUBLE_EQ(time_value_of(0x198), 25.5) << "bits 0 to 3 are sixteenths";
    EXPECT_DOUBLE_EQ(time_value_of(0x830), -3.0);
}

struct Malformed {
    const char* name;
    std::vector<uint8_t> bytes;
    DataPacketFault fault;
};

std::vector<Malformed> malformed_packets() {
    std::vector<uint8_t> good = wire_packet(1, 3, 0, eight_values());
    std::vector<Malformed> cases;
    cases.push_back({"empty", {}, DataPacketFault::kTooShort});
    cases.push_back({"header only", {good.begin(), good.begin() + 18}, DataPacketFault::kTooShort});
    auto magic = good;
    magic[0] = 0xCB;
    cases.push_back({"bad magic", magic, DataPacketFault::kBadMagic});
    auto ack = good;
    ack[3] = 0x8B;
    cases.push_back({"acknowledge code", ack, DataPacketFault::kNotData});
    auto odd = good;
    odd.push_back(0);
    cases.push_back({"odd length", odd, DataPacketFault::kOddLength});
    cases.push_back(
        {"truncated payload", {good.begin(), good.end() - 4}, DataPacketFault::kLengthMismatch});
    auto count = good;
    count[5] = 9;
    cases.push_back({"count too large", count, DataPacketFault::kLengthMismatch});
    auto trailer = good;
    trailer.back() = 0xAC;
    cases.push_back({"no trailer", trailer, DataPacketFault::kNoTrailer});
    return cases;
}

TEST(DataPacketViewMalformed, each_kind_is_named_and_no_read_leaves_the_datagram) {
    for (const Malformed& m : malformed_packets()) {
        const DataPacketView view(m.bytes.data(), m.bytes.size());
        EXPECT_EQ(view.fault(), m.fault) << m.name << ": " << describe(view.fault());
        EXPECT_FALSE(view.ok()) << m.name;
        // Every accessor stays inside the datagram (AddressSanitizer checks the reads).
        EXPECT_LE(view.value_count() * 2, m.bytes.size()) << m.name;
        for (size_t i = 0; i < view.value_count(); ++i) (void)view.value(i);
        EXPECT_EQ(view.word(m.bytes.size()), 0) << m.name;
    }
}

TEST(DataPacketViewMalformed, a_huge_count_with_few_bytes_is_a_length_mismatch) {
    std::vector<uint8_t> wire = wire_packet(4, 3, 0, eight_values());
    wire[4] = 0xFF;
    wire[5] = 0xFF;
    const DataPacketView view(wire.data(), wire.size());
    EXPECT_EQ(view.fault(), DataPacketFault::kLengthMismatch);
    EXPECT_EQ(view.triple_count(), 1u) << "triples are counted from the bytes, not the count";
    EXPECT_THAT(describe(view.fault()), testing::HasSubstr("length"));
}

}  // namespace
