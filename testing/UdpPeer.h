// A UDP socket on 127.0.0.1 that plays a host program (or a stranger) talking to testModule.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

class UdpPeer {
  public:
    // Binds to 127.0.0.1 on `port` (0: a free port the system picks). The receive buffer is
    // made large (8 MB where the system allows) so that a run's data packets are not dropped
    // while a test is busy elsewhere.
    explicit UdpPeer(uint16_t port = 0);
    ~UdpPeer();
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    // False when the socket could not be made or bound.
    bool ok() const { return fd_ >= 0; }
    // The bound port.
    uint16_t port() const { return port_; }

    // Sends one datagram (an empty vector sends an empty datagram).
    bool send(const std::vector<uint8_t>& bytes, const std::string& host = "127.0.0.1",
              uint16_t port = 10000);
    // The next datagram, or nothing when none arrived within the timeout.
    std::optional<std::vector<uint8_t>> receive(double timeout_s);
    // Discards every datagram already received; returns how many.
    size_t drain();

  private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

// A UDP socket bound to 127.0.0.1 on `port` (0: a free port the system picks), with its
// receive buffer raised to `receive_buffer` bytes where the system allows; `bound_port`
// receives the port. Returns the descriptor, or -1 when the socket cannot be made or bound.
int open_loopback_socket(uint16_t port, int receive_buffer, uint16_t& bound_port);

// The bytes of 16-bit words in network order (high byte first), as on the wire.
std::vector<uint8_t> wire_words(std::initializer_list<uint16_t> words);
std::vector<uint8_t> wire_words(const std::vector<uint16_t>& words);
// Word `index` of a datagram in network order; 0 when the datagram does not hold it.
uint16_t wire_word(const std::vector<uint8_t>& bytes, size_t index);
