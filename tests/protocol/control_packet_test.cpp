// The header, the acknowledge and the configuration packets with their size registry.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "protocol/AcknowledgePacket.h"
#include "protocol/ConfigPacket.h"
#include "protocol/PacketConversion.h"
#include "testing/WireBytes.h"

using namespace daq;

using testing::ElementsAre;

namespace {

TEST(AcknowledgePacket, discovery_ack_reads_magic_flagged_code_hybrid_ff_then_zeros) {
    AcknowledgePacket ack(11, 0, 0, 0);
    ack.set_error(0);
    EXPECT_EQ(ack.size(), 16);
    EXPECT_EQ(ack.word(0), 0xCAFE);
    EXPECT_EQ(ack.word(1), 0x008B);
    EXPECT_EQ(ack.word(2), 0xFF00);
    for (int i = 3; i <= 6; ++i) EXPECT_EQ(ack.word(i), 0) << "word " << i;
}

TEST(AcknowledgePacket, discovery_ack_converts_to_golden_sixteen_bytes) {
    AcknowledgePacket ack(11, 0, 0, 0);
    ack.set_error(0);
    int length = -1;
    WireWords wire = convert_packet(&ack, length);
    ASSERT_EQ(length, 16);
    EXPECT_THAT(wire_bytes(wire.get(), length),
                ElementsAre(0xCA, 0xFE, 0x00, 0x8B, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                            0x00, 0x00, 0xAC, 0xAB));
}

TEST(AcknowledgePacket, reply_flag_is_or_so_a_flagged_code_keeps_its_byte) {
    EXPECT_EQ(AcknowledgePacket(10, 0, 0, 0).word(1), 0x008A);
    EXPECT_EQ(AcknowledgePacket(0x8B, 0, 0, 0).word(1), 0x008B);
    EXPECT_EQ(AcknowledgePacket(0xFF, 0, 0, 0).word(1), 0x00FF);
    EXPECT_EQ(AcknowledgePacket(0, 0, 0, 0).word(1), 0x0080);
}

TEST(AcknowledgePacket, version_and_error_land_in_words_three_to_five_on_the_wire) {
    AcknowledgePacket ack(10, 0, 0, 0);
    ack.set_version(2, 2, 4);
    ack.set_error(0xFF);
    EXPECT_EQ(ack.word(4), 0x0002);
    EXPECT_EQ(ack.word(5), 0x0204);
    int length = 0;
    WireWords wire = convert_packet(&ack, length);
    ASSERT_EQ(length, 16);
    EXPECT_THAT(wire_bytes(wire.get(), length),
                ElementsAre(0xCA, 0xFE, 0x00, 0x8A, 0xFF, 0x00, 0x00, 0xFF, 0x00, 0x02, 0x02, 0x04,
                            0x00, 0x00, 0xAC, 0xAB));
}

TEST(AcknowledgePacket, announcement_version_bytes_four_two_zero) {
    AcknowledgePacket announcement(11, 4, 2, 0);
    EXPECT_EQ(announcement.word(4), 0x0004);
    EXPECT_EQ(announcement.word(5), 0x0200);
}

TEST(BasePacket, header_converts_to_golden_ten_bytes_with_trailer) {
    BasePacket packet(0, 1, 0xFF, 5);
    EXPECT_EQ(packet.size(), 10);
    int length = -1;
    WireWords wire = convert_packet(&packet, length);
    ASSERT_EQ(length, 10);
    EXPECT_THAT(wire_bytes(wire.get(), length),
                ElementsAre(0xCA, 0xFE, 0x00, 0x01, 0xFF, 0x00, 0x00, 0x05, 0xAC, 0xAB));
}

TEST(BasePacket, id_byte_goes_high_and_hybrid_byte_leaves_low_byte_zero) {
    BasePacket packet(0x12, 0x34, 0x56, 0x789A);
    EXPECT_EQ(packet.word(1), 0x1234);
    EXPECT_EQ(packet.word(2), 0x5600);
    EXPECT_EQ(packet.word(3), 0x789A);
}

class ConfigPacketRegistry : public testing::Test {
  protected:
    void SetUp() override { entries_before = ConfigPacketSizes.size(); }
    void TearDown() override {
        for (ConfigPacket* packet : made) destroy_config_packet(packet);
        EXPECT_EQ(ConfigPacketSizes.size(), entries_before);
    }
    ConfigPacket* make(int kind, int count) {
        ConfigPacket* packet = create_config_packet(kind, count);
        if (packet != nullptr) made.push_back(packet);
        return packet;
    }

    size_t entries_before = 0;
    std::vector<ConfigPacket*> made;
};

TEST_F(ConfigPacketRegistry, kinds_five_and_six_record_58_words_per_unit_plus_four) {
    ConfigPacket* five = make(5, 2);
    ConfigPacket* six = make(6, 2);
    ASSERT_NE(five, nullptr);
    ASSERT_NE(six, nullptr);
    EXPECT_EQ(ConfigPacketSizes.at(five), 120);
    EXPECT_EQ(ConfigPacketSizes.at(six), 120);
    EXPECT_EQ(five->size(), 240);
}

TEST_F(ConfigPacketRegistry, kind_seven_records_55_words_per_unit_plus_four) {
    ConfigPacket* seven = make(7, 2);
    ASSERT_NE(seven, nullptr);
    EXPECT_EQ(ConfigPacketSizes.at(seven), 114);
    EXPECT_EQ(seven->size(), 228);
}

TEST_F(ConfigPacketRegistry, other_kinds_give_null_and_register_nothing) {
    EXPECT_EQ(make(4, 2), nullptr);
    EXPECT_EQ(make(8, 2), nullptr);
    EXPECT_EQ(make(0, 1), nullptr);
    EXPECT_EQ(ConfigPacketSizes.size(), entries_before);
}

TEST_F(ConfigPacketRegistry, header_is_id_zero_code_seven_hybrid_ff_value_zero) {
    ConfigPacket* packet = make(7, 1);
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(packet->word(0), 0xCAFE);
    EXPECT_EQ(packet->word(1), 0x0007);
    EXPECT_EQ(packet->word(2), 0xFF00);
    EXPECT_EQ(packet->word(3), 0x0000);
}

TEST_F(ConfigPacketRegistry, one_unit_of_kind_seven_asks_122_bytes_and_gets_124) {
    ConfigPacket* packet = make(7, 1);
    ASSERT_NE(packet, nullptr);
    const int words = ConfigPacketSizes.at(packet);
    EXPECT_EQ(words, 59);
    EXPECT_EQ(2 * (words + 2), 122);
    EXPECT_EQ(packet::storage_bytes(122), 124);
}

TEST_F(ConfigPacketRegistry, wire_form_carries_header_payload_and_trailer_last) {
    ConfigPacket* packet = make(7, 1);
    ASSERT_NE(packet, nullptr);
    const int payload_words = packet->size() / 2 - 5;
    ASSERT_EQ(payload_words, 54);
    for (int i = 0; i < payload_words; ++i)
        packet->payload()[i] = static_cast<uint16_t>(0x1000 + i);
    int length = 0;
    WireWords wire = convert_packet(packet, length);
    ASSERT_EQ(length, 118);
    const std::vector<uint8_t> bytes = wire_bytes(wire.get(), length);
    EXPECT_EQ(bytes[0], 0xCA);
    EXPECT_EQ(bytes[1], 0xFE);
    EXPECT_EQ(bytes[3], 0x07);
    for (int i = 0; i < payload_words; ++i) {
        const size_t at = 2 * static_cast<size_t>(4 + i);
        ASSERT_EQ(bytes[at], 0x10 + (i >> 8)) << "payload word " << i;
        ASSERT_EQ(bytes[at + 1], i & 0xFF) << "payload word " << i;
    }
    EXPECT_EQ(bytes[116], 0xAC);
    EXPECT_EQ(bytes[117], 0xAB);
}

TEST_F(ConfigPacketRegistry, destroy_removes_the_packet_from_the_registry) {
    ConfigPacket* packet = create_config_packet(6, 3);
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(ConfigPacketSizes.count(packet), 1u);
    destroy_config_packet(packet);
    EXPECT_EQ(ConfigPacketSizes.count(packet), 0u);
    EXPECT_EQ(ConfigPacketSizes.size(), entries_before);
}

TEST_F(ConfigPacketRegistry, destroying_null_is_a_no_op) {
    destroy_config_packet(nullptr);
    EXPECT_EQ(ConfigPacketSizes.size(), entries_before);
}

TEST_F(ConfigPacketRegistry, unregistered_packet_has_size_zero_and_converts_to_nothing) {
    ConfigPacket packet(3);
    EXPECT_EQ(packet.size(), 0);
    int length = -1;
    WireWords wire = convert_packet(&packet, length);
    EXPECT_EQ(length, 0);
}

TEST(StorageRule, next_multiple_of_four_strictly_above_the_byte_count) {
    EXPECT_EQ(packet::storage_bytes(0), 4);
    EXPECT_EQ(packet::storage_bytes(120), 124);
    EXPECT_EQ(packet::storage_bytes(121), 124);
    EXPECT_EQ(packet::storage_bytes(123), 124);
    EXPECT_EQ(packet::storage_bytes(124), 128);
    for (int b = 0; b < 64; ++b) {
        const int n = packet::storage_bytes(b);
        EXPECT_EQ(n % 4, 0);
        EXPECT_GE(n - b, 1);
        EXPECT_LE(n - b, 4);
    }
}

}  // namespace
