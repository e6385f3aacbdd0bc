// Reads a data packet as it arrives from the wire (network order), after checking that the
// datagram is one: the inverse of DataPacket and encode_payload. Nothing is copied; the view
// reads the datagram's bytes, which must outlive it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/Export.h"
#include "protocol/PacketConversion.h"

namespace daq {

// What makes a datagram not a well-formed data packet, in the order the checks are made.
enum class DataPacketFault {
    kNone,
    kTooShort,        // fewer than the 20 bytes of header and trailer
    kBadMagic,        // word 0 is not 0xCAFE
    kNotData,         // the low byte of word 1 is not 14
    kOddLength,       // not a whole number of 16-bit words
    kLengthMismatch,  // the length is not what the readout mode and count give
    kNoTrailer,       // the last word is not 0xACAB
};

// A short text for a fault ("bad magic", "length does not match mode and count", ...).
DAQ_API const char* describe(DataPacketFault fault);

// One payload triple of readout modes 2 and 4: a channel and the values to its right and left.
struct NeighbourTriple {
    uint16_t channel;
    uint16_t right;
    uint16_t left;
};

class DAQ_API DataPacketView {
  public:
    DataPacketView(const uint8_t* bytes, size_t length);

    // kNone when the datagram is a well-formed data packet; the accessors below read only the
    // words the datagram holds, whatever the fault.
    DataPacketFault fault() const { return fault_; }
    bool ok() const { return fault_ == DataPacketFault::kNone; }

    // The length a packet with this header must have: 20 bytes plus the payload of its mode.
    static size_t expected_length(uint16_t count, unsigned mode);

    // Word i in host order; 0 past the datagram. Inline: a host reads every value of every
    // packet through it.
    uint16_t word(size_t i) const { return wire_word(bytes_, length_, i); }

    uint8_t id() const { return static_cast<uint8_t>(word(1) >> 8); }
    uint16_t count() const { return word(2); }
    uint16_t event() const { return word(3); }
    // Microseconds since the start of the run, modulo 2^32.
    uint32_t time_stamp() const { return static_cast<uint32_t>(word(4)) << 16 | word(5); }
    uint16_t time_value_word() const { return word(7); }
    double time_value() const;
    uint8_t stream() const { return static_cast<uint8_t>(word(8) >> 8); }
    // The readout mode: the low four bits of word 8.
    unsigned mode() const { return word(8) & 0xFu; }

    // Mode 1: the channel values, value(0) to value(value_count() − 1).
    size_t value_count() const;
    uint16_t value(size_t i) const { return word(9 + i); }

    // Modes 2 and 4: the triples, the first being the hit channel itself.
    size_t triple_count() const;
    NeighbourTriple triple(size_t m) const;

    const uint8_t* bytes() const { return bytes_; }
    size_t length() const { return length_; }

  private:
    const uint8_t* bytes_;
    size_t length_;
    DataPacketFault fault_;
};

// The inverse of floating_point_binary: bit 11 the sign, bits 4 to 10 the whole part, bits 0
// to 3 sixteenths.
DAQ_API double time_value_of(uint16_t word);

}  // namespace daq
