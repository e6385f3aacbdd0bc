#include "protocol/AcknowledgePacket.h"

namespace daq {

AcknowledgePacket::AcknowledgePacket(unsigned char code, unsigned char first, unsigned char second,
                                     unsigned char third)
    : BasePacket(0, static_cast<unsigned char>(code | packet::kReplyFlag), packet::kAllHybrids, 0) {
    set_version(first, second, third);
}

int AcknowledgePacket::size() const { return 16; }

uint16_t AcknowledgePacket::word(int i) const {
    switch (i) {
        case 4:
            return version1;
        case 5:
            return version2;
        case 6:
            return reserved;
        default:
            return BasePacket::word(i);
    }
}

void AcknowledgePacket::set_version(unsigned char first, unsigned char second,
                                    unsigned char third) {
    version1 = first;
    version2 = static_cast<uint16_t>(second * 256 + third);
}

}  // namespace daq
