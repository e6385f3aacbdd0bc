#include "protocol/ConfigPacket.h"

#include <new>

namespace daq {

std::map<const ConfigPacket*, int> ConfigPacketSizes;

ConfigPacket::ConfigPacket(unsigned char id) : BasePacket(id, 7, packet::kAllHybrids, 0) {}

ConfigPacket::~ConfigPacket() { ConfigPacketSizes.erase(this); }

int ConfigPacket::size() const {
    auto entry = ConfigPacketSizes.find(this);
    return entry == ConfigPacketSizes.end() ? 0 : 2 * entry->second;
}

uint16_t* ConfigPacket::payload() {
    return reinterpret_cast<uint16_t*>(reinterpret_cast<char*>(this) + sizeof(ConfigPacket));
}

const uint16_t* ConfigPacket::payload() const {
    return reinterpret_cast<const uint16_t*>(reinterpret_cast<const char*>(this) +
                                             sizeof(ConfigPacket));
}

uint16_t ConfigPacket::word(int i) const {
    if (i < 4) return BasePacket::word(i);
    // The last word of the registered length is the trailer, which the conversion writes.
    if (i >= size() / 2 - 1) return 0;
    return payload()[i - 4];
}

ConfigPacket* create_config_packet(int kind, int count) {
    int words_per_unit;
    switch (kind) {
        case 5:
        case 6:
            words_per_unit = 58;
            break;
        case 7:
            words_per_unit = 55;
            break;
        default:
            return nullptr;
    }
    if (count < 0 || count > (1 << 20)) return nullptr;
    const int total_words = count * words_per_unit + 4;
    ConfigPacket* packet = construct_packet<ConfigPacket>(2 * (total_words + 2));
    ConfigPacketSizes[packet] = total_words;
    return packet;
}

void destroy_config_packet(ConfigPacket* packet) {
    if (packet == nullptr) return;
    packet->~ConfigPacket();
    delete[] reinterpret_cast<char*>(packet);
}

}  // namespace daq
