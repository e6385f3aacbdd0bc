// A module whose datagrams are captured instead of (or besides) being sent, and the request
// step of the server without its socket. Module tests record what the module sends, the
// fuzzers check that every datagram is a whole packet, and the benchmarks count, or forward
// through the server's own socket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "module/DAQmodule.h"

// One datagram the module sent, as a host receives it.
struct SentDatagram {
    std::string address;
    int port = 0;
    std::vector<uint8_t> bytes;

    // The whole words, in host order.
    std::vector<uint16_t> words() const;
    // Whether a host reads it as a well-formed data packet.
    bool is_data() const;
    // Whether a host reads it as an acknowledge.
    bool is_ack() const;
};

// What a CapturingModule does with each datagram besides counting it.
struct Capture {
    // Keeps a copy of every datagram in CapturingModule::sent.
    bool record = false;
    // Counts the datagrams that are not whole packets (see is_whole_packet), and reads every
    // byte into a checksum, so that a sanitizer sees a datagram shorter than its length.
    bool check = false;
    // Also sends it through the server's socket, which init_server() must have made.
    bool forward = false;
};

// Magic first, trailer last, whole words, and at least the 16 bytes of an acknowledge.
bool is_whole_packet(const uint8_t* bytes, size_t length);

class CapturingModule : public DAQmodule {
  public:
    // `port` is the one the server would bind; only a forwarding module binds it, and 0 there
    // lets the system pick a free one.
    CapturingModule(int chip_type, Capture capture, int port = 10000);
    // A module of events from another source, which never binds (the data-path fuzzer's source
    // keeps its pedestal blocks from one input to the next).
    CapturingModule(int chip_type, Capture capture, std::unique_ptr<EventSource> events);

    int send_packet(const std::string& address, int port, const char* data, int length) override;
    // A trigger cycle's packets: each taken as send_packet() takes it, in order; forwarded
    // through the server's own batch send.
    int send_packets(const std::string& address, int port,
                     std::span<OutgoingDatagram> datagrams) override;

    // One request step as the server runs it once a datagram has arrived, minus the socket:
    // the bytes (network order) are copied to a buffer of exactly their length, so that
    // reading past the datagram is caught, filtered in place, then handled. An empty datagram
    // reaches no hook.
    void deliver(const std::string& sender, unsigned short port, const char* data, size_t length);
    // The same for a request of host-order words, as a host writes it.
    void deliver(const std::vector<uint16_t>& words, const std::string& sender = "127.0.0.1",
                 unsigned short port = 4660);

    // The recorded datagrams that are data packets.
    std::vector<SentDatagram> data_packets() const;

    uint64_t packets_sent() const { return packets_; }
    uint64_t bytes_sent() const { return bytes_; }
    uint64_t malformed() const { return malformed_; }
    unsigned checksum() const { return checksum_; }

    // Every datagram sent, when recording; the owner may clear it.
    std::vector<SentDatagram> sent;

  private:
    // Counts, checks and records one datagram as the capture asks.
    void take(const std::string& address, int port, const char* data, int length);

    Capture capture_;
    uint64_t packets_ = 0;
    uint64_t bytes_ = 0;
    uint64_t malformed_ = 0;
    unsigned checksum_ = 0;
};
