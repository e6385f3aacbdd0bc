// The IPv4 and UDP headers around a datagram in a capture file: what the writer puts around
// each payload and the reader takes off again.
#pragma once

#include <cstddef>
#include <cstdint>

namespace daq::capture_framing {

constexpr size_t kIpv4HeaderBytes = 20;
constexpr size_t kUdpHeaderBytes = 8;
constexpr uint8_t kProtocolUdp = 17;

}  // namespace daq::capture_framing
