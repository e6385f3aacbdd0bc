// The configuration packet: a header with code 7 followed by payload words in the same
// storage. Its length is known only to the process-wide registry ConfigPacketSizes, so it
// must be made by create_config_packet and freed by destroy_config_packet.
#pragma once

#include <map>

#include "protocol/BasePacket.h"

namespace daq {

class ConfigPacket : public BasePacket {
  public:
    explicit ConfigPacket(unsigned char id);
    ~ConfigPacket() override;

    // Twice the word count recorded in the registry, or 0 when the packet is not registered.
    int size() const override;
    uint16_t word(int i) const override;

    // The payload words, from word 4 on; there are size() / 2 - 5 of them.
    uint16_t* payload();
    const uint16_t* payload() const;
};

// Total length in words, trailer included, of every live configuration packet.
extern std::map<const ConfigPacket*, int> ConfigPacketSizes;

// Allocates packet storage for a packet of `bytes` bytes on the wire, by the storage rule,
// behind the object itself, and constructs the packet with argument 0 at its start.
template <typename Packet>
Packet* construct_packet(int bytes) {
    char* storage = new char[sizeof(Packet) + packet::storage_bytes(bytes)]();
    return new (storage) Packet(0);
}

// A configuration packet of `count` units of kind 5 or 6 (58 words each) or 7 (55 words),
// registered with its total length; null for any other kind.
ConfigPacket* create_config_packet(int kind, int count);

// Unregisters and frees a packet made by create_config_packet; null is a no-op.
void destroy_config_packet(ConfigPacket* packet);

}  // namespace daq
