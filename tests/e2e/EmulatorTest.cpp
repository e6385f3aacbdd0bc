#include "EmulatorTest.h"

#include <cstdio>

#include "protocol/DataPacketView.h"

using namespace daq;

bool is_data_packet(const std::vector<uint8_t>& datagram) {
    return DataPacketView(datagram.data(), datagram.size()).ok();
}

std::vector<uint8_t> acknowledge_bytes(uint8_t code, uint16_t error, uint8_t first, uint8_t second,
                                       uint8_t third) {
    return wire_words({0xCAFE, static_cast<uint16_t>(code | 0x80), 0xFF00, error, first,
                       static_cast<uint16_t>(second << 8 | third), 0, 0xACAB});
}

std::string dump_of(const std::vector<uint16_t>& words) {
    std::string text = "[ ";
    char field[8];
    for (uint16_t word : words) {
        std::snprintf(field, sizeof(field), "%4x ", word);
        text += field;
    }
    return text + "]";
}

void EmulatorTest::start_emulator(const std::vector<std::string>& args) {
    ASSERT_TRUE(host.ok()) << "cannot bind a UDP socket on 127.0.0.1";
    emulator = std::make_unique<EmulatorProcess>(args);
    ASSERT_TRUE(emulator->start());
    ASSERT_TRUE(emulator->wait_until_serving(kTimeout)) << "stdout:\n"
                                                        << emulator->stdout_text() << "stderr:\n"
                                                        << emulator->stderr_text();
    // Outside a namespace of our own the emulator may have chosen another local address.
    const std::string served = emulator->server_host();
    if (!served.empty()) target_ = served;
}

void EmulatorTest::discover(UdpPeer& from) {
    peer = &from;
    const auto ack = request({0xCAFE, 0x000B, 0, 0}, from, from);
    ASSERT_TRUE(ack.has_value()) << "no acknowledge of the discovery request";
    ASSERT_EQ(*ack, acknowledge_bytes(11, 0, 0, 0, 0));
}

void EmulatorTest::send_raw(const std::vector<uint8_t>& bytes, UdpPeer& from) {
    ASSERT_TRUE(from.send(bytes, target_, 10000));
}

std::optional<std::vector<uint8_t>> EmulatorTest::next_acknowledge(UdpPeer& to, double timeout_s) {
    // Bounded: a run at a high rate could otherwise keep this loop busy for ever.
    for (int i = 0; i < 1000000; ++i) {
        auto datagram = to.receive(timeout_s);
        if (!datagram) return std::nullopt;
        if (is_data_packet(*datagram)) {
            ++data_packets_skipped;
            continue;
        }
        return datagram;
    }
    return std::nullopt;
}

std::optional<std::vector<uint8_t>> EmulatorTest::request(const std::vector<uint16_t>& words,
                                                          UdpPeer& from, UdpPeer& to) {
    if (!from.send(wire_words(words), target_, 10000)) {
        ADD_FAILURE() << "cannot send to the emulator";
        return std::nullopt;
    }
    return next_acknowledge(to, kTimeout);
}

size_t EmulatorTest::sync_output() {
    const uint16_t marker = next_marker_++;
    const std::vector<uint16_t> words = {0xCAFE, 0x0002, 0x5900, marker};
    const std::string line = "hold_delay: " + dump_of(words) + "\n";
    if (peer != nullptr) {
        const auto ack = request(words, host, *peer);
        EXPECT_TRUE(ack.has_value()) << "no acknowledge of the marker request";
    } else {
        send_raw(wire_words(words));
    }
    EXPECT_TRUE(emulator->wait_for_stdout(line, kTimeout)) << "marker line missing: " << line;
    const std::string out = emulator->stdout_text();
    const size_t at = out.find(line);
    return at == std::string::npos ? out.size() : at + line.size();
}

std::string EmulatorTest::output_of_request(int code, size_t from) {
    const std::string out = emulator->stdout_text();
    const std::string tail = " with code " + std::to_string(code) + "\n";
    for (size_t at = out.find("Got a message from ", from); at != std::string::npos;
         at = out.find("Got a message from ", at + 1)) {
        const size_t end_of_line = out.find('\n', at);
        if (end_of_line == std::string::npos) break;
        const size_t begin = end_of_line + 1;
        if (out.compare(begin - tail.size(), tail.size(), tail) != 0) continue;
        const size_t next = out.find("Got a message from ", begin);
        return out.substr(begin, next == std::string::npos ? std::string::npos : next - begin);
    }
    return "<no request with code " + std::to_string(code) + ">";
}
