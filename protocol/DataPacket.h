// The data packet: one event of one hybrid's stream. Nine header words, a payload laid out by
// the readout mode, and the trailer, all in one storage block that the packet starts.
//
//   word 0  0xCAFE            word 5  time stamp, low 16 bits
//   word 1  id << 8 | 14      word 6  2
//   word 2  count             word 7  floating_point_binary(time value)
//   word 3  event number      word 8  stream << 8 | type
//   word 4  time stamp, high  word 9… payload, then 0xACAB
#pragma once

#include <cstdint>
#include <memory>

namespace daq {

struct DataPacket {
    enum Word {
        kMagic,
        kCode,
        kCount,
        kEvent,
        kTimeHigh,
        kTimeLow,
        kVersion,
        kTimeValue,
        kStreamType,
        kPayload
    };

    // Readout modes (the packet's type).
    static constexpr int kAllChannels = 1;
    static constexpr int kHitChannel = 2;
    static constexpr int kHitAndNeighbours = 4;

    struct Deleter {
        void operator()(DataPacket* packet) const;
    };
    using Ptr = std::unique_ptr<DataPacket, Deleter>;

    // A new zero-filled packet with its header and trailer in place; type 2 records count 1.
    static Ptr create(int id, int stream, int count, int type);

    // Payload bytes of a packet of this type and count, as create lays it out.
    static int payload_bytes(int count, int type);

    DataPacket(int id, int stream, int count, int type);

    // Length on the wire in bytes, from words 2 and 8.
    int packet_size() const;

    uint16_t* words() { return word; }
    const uint16_t* words() const { return word; }
    uint16_t* payload() { return word + kPayload; }

    // The storage continues past these words with the rest of the payload and the trailer.
    uint16_t word[kPayload + 1];
};

// The 12-bit sign-and-magnitude fixed-point word of x: bit 11 the sign, bits 4 to 10 the
// integer part modulo 128; the fraction bits 0 to 3 stay 0.
uint16_t floating_point_binary(double x);

}  // namespace daq
