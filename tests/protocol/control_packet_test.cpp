// The header, requests (built and read), the acknowledge (built and read) and the
// configuration packets with their size registry.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <tuple>

#include "protocol/Acknowledge.h"
#include "protocol/AcknowledgePacket.h"
#include "protocol/BasePacket.h"
#include "protocol/ConfigPacket.h"
#include "protocol/ModuleRequest.h"
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

// Every request a host builds, as it goes on the wire: magic, code, words 2 and 3, trailer.
TEST(ModuleRequest, each_builder_gives_its_golden_bytes_and_reads_back) {
    struct Golden {
        const char* name;
        ModuleRequest request;
        std::array<uint8_t, 10> bytes;
    };
    const Golden table[] = {
        {"discovery",
         ModuleRequest::discovery(),
         {0xCA, 0xFE, 0x00, 0x0B, 0x00, 0x00, 0x00, 0x00, 0xAC, 0xAB}},
        {"no action",
         ModuleRequest::no_action(),
         {0xCA, 0xFE, 0x00, 0x06, 0x00, 0x00, 0x00, 0x00, 0xAC, 0xAB}},
        {"stream configuration: hybrid 3, chip type 5, 4 chips",
         ModuleRequest::stream_configuration({3, 5, 4}),
         {0xCA, 0xFE, 0x00, 0x01, 0x03, 0x50, 0x04, 0x00, 0xAC, 0xAB}},
        {"readout mode: hybrid 2, mode 4, nadj 300",
         ModuleRequest::readout_mode({2, 4, 300}),
         {0xCA, 0xFE, 0x00, 0x08, 0x02, 0x04, 0x01, 0x2C, 0xAC, 0xAB}},
        {"start, the whole module",
         ModuleRequest::daq_command(255, true),
         {0xCA, 0xFE, 0x00, 0x0A, 0xFF, 0x00, 0x00, 0x01, 0xAC, 0xAB}},
        {"stop, hybrid 1",
         ModuleRequest::daq_command(1, false),
         {0xCA, 0xFE, 0x00, 0x0A, 0x01, 0x00, 0x00, 0x00, 0xAC, 0xAB}},
        {"hold delay 0x1234 for all",
         ModuleRequest::setting(packet::kHoldDelay, 255, 0x1234),
         {0xCA, 0xFE, 0x00, 0x02, 0xFF, 0x00, 0x12, 0x34, 0xAC, 0xAB}},
        // Each field keeps to its bits: nothing spills into the hybrid byte or the next field.
        {"stream configuration out of range",
         ModuleRequest::stream_configuration({0x103, 0x15, 0x104}),
         {0xCA, 0xFE, 0x00, 0x01, 0x03, 0x50, 0x04, 0x00, 0xAC, 0xAB}},
        {"readout mode out of range",
         ModuleRequest::readout_mode({2, 0x14, 300}),
         {0xCA, 0xFE, 0x00, 0x08, 0x02, 0x04, 0x01, 0x2C, 0xAC, 0xAB}},
    };
    for (const Golden& g : table) {
        const auto wire = g.request.wire();
        EXPECT_EQ(wire, g.bytes) << g.name;
        const std::optional<ModuleRequest> back = ModuleRequest::parse(wire.data(), wire.size());
        ASSERT_TRUE(back.has_value()) << g.name;
        EXPECT_EQ(back->code, g.request.code) << g.name;
        EXPECT_EQ(back->word2, g.request.word2) << g.name;
        EXPECT_EQ(back->word3, g.request.word3) << g.name;
    }
    const StreamConfiguration c =
        ModuleRequest::stream_configuration({3, 5, 4}).stream_configuration();
    EXPECT_EQ(std::tie(c.hybrid, c.chip_type, c.chips), std::make_tuple(3u, 5u, 4u));
    const ReadoutModeSetting r = ModuleRequest::readout_mode({2, 4, 300}).readout_mode();
    EXPECT_EQ(std::tie(r.hybrid, r.mode, r.nadj), std::make_tuple(2u, 4u, 300u));
}

TEST(ModuleRequest, parse_refuses_short_datagrams_and_foreign_magic) {
    const auto wire = ModuleRequest::discovery().wire();
    EXPECT_FALSE(ModuleRequest::parse(wire.data(), 7).has_value());
    EXPECT_TRUE(ModuleRequest::parse(wire.data(), 8).has_value()) << "the module needs no trailer";
    auto foreign = wire;
    foreign[0] = 0xCB;
    EXPECT_FALSE(ModuleRequest::parse(foreign.data(), foreign.size()).has_value());
}

// The acknowledge the module builds is the one a host reads, and nothing else is.
TEST(Acknowledge, reads_back_what_the_module_builds_and_refuses_the_rest) {
    AcknowledgePacket built(packet::kReadoutMode, 2, 2, 4);
    built.set_error(packet::kNoSuchHybrid);
    int length = -1;
    const WireWords wire = convert_packet(&built, length);
    std::vector<uint8_t> bytes = wire_bytes(wire.get(), length);
    const std::optional<Acknowledge> ack = Acknowledge::parse(bytes.data(), bytes.size());
    ASSERT_TRUE(ack.has_value());
    EXPECT_EQ(ack->code, packet::kReadoutMode);
    EXPECT_TRUE(ack->answers(packet::kReadoutMode));
    EXPECT_FALSE(ack->answers(packet::kDaqCommand));
    EXPECT_EQ(ack->error, packet::kNoSuchHybrid);
    EXPECT_EQ(ack->version_text(), "2.2.4");
    EXPECT_EQ(error_text(ack->error), "no such hybrid");
    EXPECT_STREQ(command_name(ack->code), "readout mode");

    EXPECT_FALSE(Acknowledge::parse(bytes.data(), bytes.size() - 1).has_value());
    std::vector<uint8_t> unflagged = bytes;
    unflagged[3] &= 0x7F;
    EXPECT_FALSE(Acknowledge::parse(unflagged.data(), unflagged.size()).has_value())
        << "a request is not an acknowledge";
    std::vector<uint8_t> no_trailer = bytes;
    no_trailer[15] = 0;
    EXPECT_FALSE(Acknowledge::parse(no_trailer.data(), no_trailer.size()).has_value());
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
