// Byte order and text form of packets. Inside the program words are in host order; on the
// wire every word is in network order (high byte first).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "protocol/Export.h"

namespace daq {

class BasePacket;

using WireWords = std::unique_ptr<uint16_t[]>;

// The wire form of a packet object: size() / 2 words in network order, the last one the
// trailer 0xACAB. `length` receives the length in bytes (0 for an unregistered
// configuration packet, whose array is then empty).
DAQ_API WireWords convert_packet(const BasePacket* packet, int& length);

// A network-order copy of `length` bytes of host-order words. No trailer is added; a final odd
// byte is not copied. The array has room for an even number of words.
DAQ_API WireWords convert_packet(const char* data, int length);

// Word i of a datagram as it is on the wire (network order), in host order; 0 when the
// datagram does not hold the whole word.
inline uint16_t wire_word(const uint8_t* bytes, size_t length, size_t i) {
    if (2 * i + 2 > length) return 0;
    return static_cast<uint16_t>(bytes[2 * i] << 8 | bytes[2 * i + 1]);
}

// Turns the whole words of a received datagram from network to host order, in place; a final
// odd byte is left as it is.
DAQ_API void to_host_order(char* data, int length);

// "[ " then each of the length / 2 host-order words in lower-case hexadecimal, right-aligned
// in four places and followed by a blank, then "]".
DAQ_API std::string dump_packet(const char* data, int length);

}  // namespace daq
