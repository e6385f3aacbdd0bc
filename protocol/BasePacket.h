// The four-word header that every packet begins with. Words are held in host order; the
// conversion to the wire appends the trailer 0xACAB (see PacketConversion.h).
#pragma once

#include <cstdint>
#include <string>

#include "protocol/Export.h"

namespace daq {

namespace packet {
constexpr uint16_t kMagic = 0xCAFE;
constexpr uint16_t kTrailer = 0xACAB;
constexpr uint8_t kReplyFlag = 0x80;
constexpr uint8_t kAllHybrids = 0xFF;

// Command codes: the low byte of word 1 of a request.
enum Code : uint8_t {
    kConfigureStream = 1,
    kHoldDelay = 2,
    kBias = 3,
    kMbias = 4,
    kCoincidenceTimeWindow = 5,
    kNoAction = 6,
    kConfig = 7,
    kReadoutMode = 8,
    kTriggerType = 9,
    kDaqCommand = 10,
    kDiscovery = 11,
    kData = 14,
};

// Error codes carried in word 3 of an acknowledge.
enum Error : uint16_t {
    kDone = 0,
    kNoSuchHybrid = 1,
    kUnknownCommand = 0xFF,
};

// Channels per chip of a chip type as a stream configuration request carries it: type 1 has
// 128, every other type 64. The type is module-wide.
constexpr int kChannelsOfChipType1 = 128;
constexpr int kChannelsOfOtherChips = 64;
constexpr int channels_per_chip(int chip_type) {
    return chip_type == 1 ? kChannelsOfChipType1 : kChannelsOfOtherChips;
}

// Bytes of packet storage for a packet of b bytes: the next multiple of four strictly above b,
// so there are always between 1 and 4 spare bytes.
constexpr int storage_bytes(int b) { return b / 4 * 4 + 4; }
}  // namespace packet

// The name of a request code: "stream configuration", "readout mode", ..., "unknown".
DAQ_API const char* command_name(unsigned code);
// "done", "no such hybrid", "unknown command", or "error N" for any other error code.
DAQ_API std::string error_text(uint16_t error);

class DAQ_API BasePacket {
  public:
    BasePacket(unsigned char id, unsigned char code, unsigned char hybrid, unsigned short value);
    virtual ~BasePacket() = default;

    // Length on the wire in bytes, trailer included.
    virtual int size() const;
    // Word i of the packet in host order, counted from the magic word; 0 past the packet.
    virtual uint16_t word(int i) const;

    uint16_t magic;
    uint16_t code_word;
    uint16_t hybrid_word;
    uint16_t value;
};

}  // namespace daq
