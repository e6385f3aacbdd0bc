// The data packet: header, size rule, trailer position and the fixed-point time value.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "protocol/BasePacket.h"
#include "protocol/DataPacket.h"

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

}  // namespace
