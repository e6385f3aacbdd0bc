// The emulator layer in-process: header check, discovery of the host peer, routing to
// take_request and the acknowledge of every accepted request. The socket is replaced by a mock
// send_packet.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <bit>
#include <cstring>

#include "emulator/DAQemulator.h"
#include "protocol/BasePacket.h"

using namespace daq;

using packet::kMagic;
using testing::_;
using testing::ElementsAre;
using testing::Invoke;
using testing::Return;

namespace {

class MockEmulator : public DAQemulator {
  public:
    MockEmulator() : DAQemulator("lo", 10000) {}
    MOCK_METHOD(unsigned short, take_request,
                (const std::string& sender, unsigned short port, const char* data, int length,
                 AcknowledgePacket* ack),
                (override));
    MOCK_METHOD(int, send_packet,
                (const std::string& address, int port, const char* data, int length), (override));
};

// Host-order words as handle_request receives them, after the module's filter.
std::vector<char> host_words(const std::vector<uint16_t>& words) {
    std::vector<char> bytes(2 * words.size());
    std::memcpy(bytes.data(), words.data(), bytes.size());
    return bytes;
}

class EmulatorRouting : public testing::Test {
  protected:
    void SetUp() override {
        ON_CALL(emulator, send_packet(_, _, _, _))
            .WillByDefault(
                Invoke([this](const std::string& address, int port, const char* data, int length) {
                    sent_to.emplace_back(address, port);
                    sent.emplace_back(data, data + length);
                    return 0;
                }));
    }

    // Delivers the request and returns what was printed on standard output.
    std::string handle(const std::vector<uint16_t>& words, const std::string& sender,
                       unsigned short port, int length = -1) {
        const std::vector<char> data = host_words(words);
        testing::internal::CaptureStdout();
        emulator.handle_request(sender, port, data.data(),
                                length < 0 ? static_cast<int>(data.size()) : length);
        return testing::internal::GetCapturedStdout();
    }

    testing::NiceMock<MockEmulator> emulator;
    std::vector<std::pair<std::string, int>> sent_to;
    std::vector<std::vector<uint8_t>> sent;
};

TEST_F(EmulatorRouting, peer_is_unset_before_the_first_discovery) {
    EXPECT_EQ(emulator.server_ip(), "");
    EXPECT_EQ(emulator.server_port(), 0);
}

TEST_F(EmulatorRouting, discovery_remembers_the_sender_and_answers_it_with_golden_bytes) {
    EXPECT_CALL(emulator, take_request).Times(0);
    EXPECT_CALL(emulator, send_packet("10.0.0.5", 4660, _, 16));
    const std::string out = handle({kMagic, 0x000B, 0x0000, 0x0000}, "10.0.0.5", 4660);
    EXPECT_EQ(out, "Got a message from 10.0.0.5:4660 with code 11\n");
    EXPECT_EQ(emulator.server_ip(), "10.0.0.5");
    EXPECT_EQ(emulator.server_port(), 4660);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_THAT(sent[0], ElementsAre(0xCA, 0xFE, 0x00, 0x8B, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00,
                                     0x00, 0x00, 0x00, 0x00, 0xAC, 0xAB));
}

TEST_F(EmulatorRouting, later_request_is_acknowledged_to_the_remembered_peer) {
    handle({kMagic, 0x000B, 0, 0}, "10.0.0.5", 4660);
    EXPECT_CALL(emulator, take_request("10.0.0.9", 5000, _, 8, _)).WillOnce(Return(0));
    const std::string out = handle({kMagic, 0x000A, 0x0100, 0x0001}, "10.0.0.9", 5000);
    EXPECT_EQ(out, "Got a message from 10.0.0.9:5000 with code 10\n");
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent_to[1], std::make_pair(std::string("10.0.0.5"), 4660));
    EXPECT_EQ(emulator.server_ip(), "10.0.0.5") << "only discovery changes the peer";
}

TEST_F(EmulatorRouting, second_discovery_moves_the_peer) {
    handle({kMagic, 0x000B, 0, 0}, "10.0.0.5", 4660);
    handle({kMagic, 0x000B, 0, 0}, "10.0.0.7", 4000);
    EXPECT_EQ(emulator.server_ip(), "10.0.0.7");
    EXPECT_EQ(emulator.server_port(), 4000);
    handle({kMagic, 0x0006, 0, 0}, "10.0.0.5", 4660);
    ASSERT_EQ(sent_to.size(), 3u);
    EXPECT_EQ(sent_to[2], std::make_pair(std::string("10.0.0.7"), 4000));
}

TEST_F(EmulatorRouting, handler_error_and_version_reach_the_acknowledge) {
    handle({kMagic, 0x000B, 0, 0}, "127.0.0.1", 4660);
    EXPECT_CALL(emulator, take_request(_, _, _, _, _))
        .WillOnce(Invoke(
            [](const std::string&, unsigned short, const char*, int, AcknowledgePacket* ack) {
                ack->set_version(2, 2, 4);
                return static_cast<unsigned short>(0x00FF);
            }));
    handle({kMagic, 0x0063, 0, 0}, "127.0.0.1", 4660);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_THAT(sent[1], ElementsAre(0xCA, 0xFE, 0x00, 0xE3, 0xFF, 0x00, 0x00, 0xFF, 0x00, 0x02,
                                     0x02, 0x04, 0x00, 0x00, 0xAC, 0xAB));
}

TEST_F(EmulatorRouting, flagged_discovery_code_is_routed_as_an_ordinary_request) {
    EXPECT_CALL(emulator, take_request(_, _, _, _, _)).WillOnce(Return(0xFF));
    handle({kMagic, 0x008B, 0, 0}, "10.0.0.5", 4660);
    EXPECT_EQ(emulator.server_ip(), "") << "code 139 is not a discovery";
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0][3], 0x8B);
    EXPECT_EQ(sent[0][7], 0xFF);
}

TEST_F(EmulatorRouting, request_before_any_discovery_is_carried_out_and_acknowledged_to_nobody) {
    EXPECT_CALL(emulator, take_request(_, _, _, _, _)).WillOnce(Return(0));
    EXPECT_CALL(emulator, send_packet("", 0, _, 16));
    handle({kMagic, 0x000A, 0x0100, 0x0001}, "10.0.0.5", 4660);
}

TEST_F(EmulatorRouting, header_passes_when_it_has_all_the_bits_of_the_magic) {
    EXPECT_CALL(emulator, take_request(_, _, _, _, _)).Times(2).WillRepeatedly(Return(0));
    EXPECT_CALL(emulator, send_packet(_, _, _, 16)).Times(2);
    handle({0xFFFF, 0x0006, 0, 0}, "10.0.0.5", 4660);
    handle({0xCAFF, 0x0006, 0, 0}, "10.0.0.5", 4660);
}

TEST_F(EmulatorRouting, header_without_all_magic_bits_is_dropped_silently) {
    EXPECT_CALL(emulator, take_request).Times(0);
    EXPECT_CALL(emulator, send_packet).Times(0);
    for (uint16_t magic : {0xCAFC, 0x0000, 0x4AFE, 0xFECA}) {
        EXPECT_EQ(handle({magic, 0x000B, 0, 0}, "10.0.0.5", 4660), "") << std::hex << magic;
    }
    EXPECT_EQ(emulator.server_ip(), "");
}

TEST_F(EmulatorRouting, datagram_shorter_than_four_bytes_is_dropped_silently) {
    handle({kMagic, 0x000B, 0, 0}, "10.0.0.5", 4660);
    EXPECT_CALL(emulator, take_request).Times(0);
    EXPECT_CALL(emulator, send_packet).Times(0);
    for (int length : {1, 2, 3}) {
        EXPECT_EQ(handle({kMagic, 0x000A, 0, 0}, "10.0.0.9", 5000, length), "") << length;
    }
}

TEST_F(EmulatorRouting, four_byte_request_is_enough_to_be_handled) {
    EXPECT_CALL(emulator, take_request(_, _, _, 4, _)).WillOnce(Return(0));
    EXPECT_CALL(emulator, send_packet(_, _, _, 16));
    handle({kMagic, 0x0006}, "10.0.0.5", 4660);
}

TEST_F(EmulatorRouting, base_take_request_does_nothing_and_returns_zero) {
    DAQemulator plain("lo", 10000);
    AcknowledgePacket ack(10, 0, 0, 0);
    const std::vector<char> data = host_words({kMagic, 0x000A, 0, 1});
    EXPECT_EQ(plain.take_request("10.0.0.5", 4660, data.data(), 8, &ack), 0);
    EXPECT_EQ(ack.word(4), 0);
    EXPECT_EQ(ack.word(5), 0);
}

TEST_F(EmulatorRouting, announcement_goes_to_the_peer_with_version_4_2_0) {
    handle({kMagic, 0x000B, 0, 0}, "10.0.0.5", 4660);
    testing::internal::CaptureStdout();
    emulator.send_my_ip();
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent_to[1], std::make_pair(std::string("10.0.0.5"), 4660));
    EXPECT_THAT(sent[1], ElementsAre(0xCA, 0xFE, 0x00, 0x8B, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x04,
                                     0x02, 0x00, 0x00, 0x00, 0xAC, 0xAB));
    if constexpr (std::endian::native == std::endian::little) {
        // The dump reads the network-order words as host-order ones.
        EXPECT_EQ(out, "Sensing Discover packet: [ feca 8b00   ff    0  400    2    0 abac ]\n");
    }
}

}  // namespace
