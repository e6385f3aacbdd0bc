// The fixture of the end-to-end tests: a testModule of the test's own and a host program that
// talks to it over UDP on loopback.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "testing/EmulatorProcess.h"
#include "testing/UdpPeer.h"

// Whether a datagram is a whole data packet, as the host library reads it.
bool is_data_packet(const std::vector<uint8_t>& datagram);
// The 16 bytes of an acknowledge, as the host must receive them.
std::vector<uint8_t> acknowledge_bytes(uint8_t code, uint16_t error, uint8_t first, uint8_t second,
                                       uint8_t third);
// The emulator's text form of host-order words: "[ cafe    a  100    1 ]".
std::string dump_of(const std::vector<uint16_t>& words);

class EmulatorTest : public ::testing::Test {
  protected:
    // Starts testModule with these options and waits until it serves.
    void start_emulator(const std::vector<std::string>& args = {});
    // Sends a discovery request from `peer`, which then receives every reply, and checks the
    // acknowledge.
    void discover(UdpPeer& peer);
    void discover() { discover(host); }

    // Sends raw bytes from `from` to the emulator.
    void send_raw(const std::vector<uint8_t>& bytes, UdpPeer& from);
    void send_raw(const std::vector<uint8_t>& bytes) { send_raw(bytes, host); }
    // Sends a request from `from` and returns the next acknowledge that reaches `to` (the
    // discovered peer), counting and skipping the data packets before it.
    std::optional<std::vector<uint8_t>> request(const std::vector<uint16_t>& words, UdpPeer& from,
                                                UdpPeer& to);
    std::optional<std::vector<uint8_t>> request(const std::vector<uint16_t>& words) {
        return request(words, host, host);
    }
    // The next acknowledge that reaches `to`, skipping data packets; nothing after the timeout.
    std::optional<std::vector<uint8_t>> next_acknowledge(UdpPeer& to, double timeout_s);

    // Sends a request that the emulator logs with a line of its own and waits for that line
    // (and for its acknowledge, once a peer is known): everything the emulator printed for the
    // requests before it is then in its output. Returns the offset in the standard output
    // just after the marker's line.
    size_t sync_output();
    // The standard output that the emulator printed for the request with this code whose
    // "Got a message" line begins at or after `from`: the lines between that line and the next
    // "Got a message" line.
    std::string output_of_request(int code, size_t from = 0);

    std::string emulator_host() const { return target_; }

    std::unique_ptr<EmulatorProcess> emulator;
    UdpPeer host;
    // The peer that the last discovery made the emulator's host, or null.
    UdpPeer* peer = nullptr;
    size_t data_packets_skipped = 0;

    static constexpr double kTimeout = 10.0;

  private:
    std::string target_ = "127.0.0.1";
    uint16_t next_marker_ = 1;
};
