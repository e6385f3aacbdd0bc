#include "protocol/DataPayload.h"

#include <algorithm>
#include <cstring>

#include "protocol/DataPacket.h"

namespace daq {

void encode_payload(uint16_t* payload, int mode, const uint16_t* values, int nchan, int hit,
                    int nadj) {
    switch (mode) {
        case DataPacket::kAllChannels:
            std::memcpy(payload, values, static_cast<size_t>(nchan) * 2);
            break;
        case DataPacket::kHitChannel:
            payload[0] = static_cast<uint16_t>(hit);
            payload[1] = values[hit];
            payload[2] = values[hit];
            break;
        case DataPacket::kHitAndNeighbours:
            // m runs to nadj inclusive, up to 65535: the counter must be wider than 16 bits.
            for (int m = 0; m <= nadj; ++m) {
                payload[3 * m] = static_cast<uint16_t>(hit + m);
                payload[3 * m + 1] = values[std::min(hit + m, nchan - 1)];
                payload[3 * m + 2] = values[std::max(hit - m, 0)];
            }
            break;
        default:
            break;
    }
}

}  // namespace daq
