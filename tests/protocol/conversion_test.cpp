// Byte order of raw word buffers, the in-place conversion of datagrams, the text dump and the
// word reader of received requests.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <bit>

#include "protocol/PacketConversion.h"
#include "protocol/Request.h"
#include "testing/WireBytes.h"

using namespace daq;

using testing::ElementsAre;

namespace {

std::vector<uint16_t> counting_words(int n) {
    std::vector<uint16_t> words;
    for (int i = 0; i < n; ++i) words.push_back(static_cast<uint16_t>(0x0100 * (i + 1) + i));
    return words;
}

TEST(ConvertRawWords, twenty_bytes_give_ten_network_order_words) {
    const std::vector<char> data = host_words(counting_words(10));
    WireWords wire = convert_packet(data.data(), 20);
    const std::vector<uint8_t> bytes = wire_bytes(wire.get(), 20);
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(bytes[2 * i], i + 1) << "high byte first, word " << i;
        EXPECT_EQ(bytes[2 * i + 1], i) << "low byte second, word " << i;
    }
}

TEST(ConvertRawWords, twenty_six_bytes_convert_thirteen_and_pad_a_fourteenth_zero) {
    std::vector<uint16_t> words = counting_words(13);
    const std::vector<char> data = host_words(words);
    WireWords wire = convert_packet(data.data(), 26);
    const std::vector<uint8_t> bytes = wire_bytes(wire.get(), 28);
    EXPECT_EQ(bytes[24], 13);
    EXPECT_EQ(bytes[25], 12);
    EXPECT_EQ(wire[13], 0);
}

TEST(ConvertRawWords, trailing_odd_byte_is_not_copied) {
    std::vector<char> data = host_words({0xCAFE, 0x1234});
    data.push_back(static_cast<char>(0x77));
    WireWords wire = convert_packet(data.data(), 5);
    EXPECT_THAT(wire_bytes(wire.get(), 4), ElementsAre(0xCA, 0xFE, 0x12, 0x34));
}

TEST(ToHostOrder, nine_byte_datagram_converts_four_words_and_leaves_the_ninth_byte) {
    char data[9] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09};
    to_host_order(data, 9);
    const std::vector<uint16_t> expected = {0x0102, 0x0304, 0x0506, 0x0708};
    for (int i = 0; i < 4; ++i) {
        uint16_t word;
        std::memcpy(&word, data + 2 * i, 2);
        EXPECT_EQ(word, expected[static_cast<size_t>(i)]) << "word " << i;
    }
    EXPECT_EQ(data[8], 0x09);
}

TEST(ToHostOrder, zero_and_one_byte_datagrams_are_left_alone) {
    char data[2] = {0x11, 0x22};
    to_host_order(data, 0);
    to_host_order(data, 1);
    EXPECT_EQ(data[0], 0x11);
    EXPECT_EQ(data[1], 0x22);
}

TEST(ToHostOrder, undoes_convert_packet) {
    const std::vector<uint16_t> words = {0xCAFE, 0x000A, 0x0100, 0x0001, 0xACAB};
    const std::vector<char> data = host_words(words);
    WireWords wire = convert_packet(data.data(), 10);
    char* back = reinterpret_cast<char*>(wire.get());
    to_host_order(back, 10);
    EXPECT_EQ(std::memcmp(back, data.data(), 10), 0);
}

TEST(DumpPacket, words_right_aligned_in_four_places_each_followed_by_a_blank) {
    const std::vector<char> data = host_words({0xCAFE, 0x0001, 0x0A00});
    EXPECT_EQ(dump_packet(data.data(), 6), "[ cafe    1  a00 ]");
}

TEST(DumpPacket, zero_length_gives_bracket_blank_bracket) {
    EXPECT_EQ(dump_packet(nullptr, 0), "[ ]");
}

TEST(DumpPacket, odd_length_prints_only_whole_words) {
    const std::vector<char> data = host_words({0xCAFE, 0x0001});
    EXPECT_EQ(dump_packet(data.data(), 3), "[ cafe ]");
}

TEST(DumpPacket, zero_and_all_ones_words) {
    const std::vector<char> data = host_words({0x0000, 0xFFFF, 0x00AB, 0x0F00});
    EXPECT_EQ(dump_packet(data.data(), 8), "[    0 ffff   ab  f00 ]");
}

TEST(DumpPacket, network_order_buffer_shows_swapped_words_on_little_endian_hosts) {
    if constexpr (std::endian::native != std::endian::little) {
        GTEST_SKIP() << "only a little-endian host swaps the bytes";
    }
    const std::vector<char> data = host_words({0xCAFE, 0xACAB});
    WireWords wire = convert_packet(data.data(), 4);
    EXPECT_EQ(dump_packet(reinterpret_cast<const char*>(wire.get()), 4), "[ feca abac ]");
}

TEST(RequestWords, words_beyond_the_datagram_read_as_zero) {
    const std::vector<char> data = host_words({0xCAFE, 0x010A, 0x0203});
    const Request five(data.data(), 5);
    EXPECT_EQ(five.word(0), 0xCAFE);
    EXPECT_EQ(five.word(1), 0x010A);
    EXPECT_EQ(five.word(2), 0) << "a half word is not a word";
    EXPECT_EQ(five.word(3), 0);
    const Request six(data.data(), 6);
    EXPECT_EQ(six.word(2), 0x0203);
    EXPECT_EQ(six.word(3), 0);
    EXPECT_EQ(six.word(-1), 0);
}

TEST(RequestWords, code_is_low_byte_of_word_one_and_hybrid_high_byte_of_word_two) {
    const std::vector<char> data = host_words({0xCAFE, 0x7F8B, 0x03F4, 0x0001});
    const Request request(data.data(), 8);
    EXPECT_EQ(request.code(), 0x8B);
    EXPECT_EQ(request.hybrid(), 0x03);
    const Request empty(data.data(), 2);
    EXPECT_EQ(empty.code(), 0);
    EXPECT_EQ(empty.hybrid(), 0);
}

}  // namespace
