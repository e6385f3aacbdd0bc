#include "protocol/DataPacket.h"

#include <cstring>
#include <new>

#include "protocol/BasePacket.h"

namespace daq {

int DataPacket::payload_bytes(int count, int type) {
    switch (type) {
        case kAllChannels:
            return 2 * count;
        case kHitChannel:
            return 6;
        case kHitAndNeighbours:
            return 6 * (count + 1);
        default:
            return 0;
    }
}

DataPacket::Ptr DataPacket::create(int id, int stream, int count, int type) {
    const int payload = payload_bytes(count, type);
    if (type == kHitChannel) count = 1;
    const int storage = packet::storage_bytes(payload + 22);
    auto* words = new uint16_t[storage / 2]();
    auto* data_packet = new (words) DataPacket(id, stream, count, type);
    words[kPayload + payload / 2] = packet::kTrailer;
    return Ptr(data_packet);
}

void DataPacket::Deleter::operator()(DataPacket* packet) const {
    delete[] reinterpret_cast<uint16_t*>(packet);
}

DataPacket::DataPacket(int id, int stream, int count, int type) {
    word[kMagic] = packet::kMagic;
    word[kCode] = static_cast<uint16_t>(((id & 0xFF) << 8) | packet::kData);
    word[kCount] = static_cast<uint16_t>(count);
    word[kEvent] = 0;
    word[kTimeHigh] = 0;
    word[kTimeLow] = 1;
    word[kVersion] = 2;
    word[kTimeValue] = 0;
    word[kStreamType] = static_cast<uint16_t>(((stream & 0xFF) << 8) | (type & 0xFF));
}

int DataPacket::packet_size() const {
    const int count = word[kCount];
    switch (word[kStreamType] & 0xF) {
        case kAllChannels:
            return 20 + 2 * count;
        case kHitChannel:
            return 26;
        case kHitAndNeighbours:
            return 26 + 6 * count;
        default:
            return 20;
    }
}

uint16_t floating_point_binary(double x) {
    uint16_t result = 0;
    if (x < 0) result |= 0x800;
    // Truncated toward zero; out-of-range values saturate instead of being undefined.
    int n;
    if (!(x > -2147483648.0)) {
        n = x < 0 ? -2147483647 - 1 : 0;
    } else if (x >= 2147483647.0) {
        n = 2147483647;
    } else {
        n = static_cast<int>(x);
    }
    for (int i = 0; i < 7; ++i) {
        if (n % 2 != 0) result |= static_cast<uint16_t>(1 << (i + 4));
        n /= 2;
    }
    return result;
}

}  // namespace daq
