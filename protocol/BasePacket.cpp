#include "protocol/BasePacket.h"

BasePacket::BasePacket(unsigned char id, unsigned char code, unsigned char hybrid,
                       unsigned short value)
    : magic(packet::kMagic),
      code_word(static_cast<uint16_t>(id * 256 + code)),
      hybrid_word(static_cast<uint16_t>(hybrid * 256)),
      value(value) {}

int BasePacket::size() const { return 10; }

uint16_t BasePacket::word(int i) const {
    switch (i) {
        case 0:
            return magic;
        case 1:
            return code_word;
        case 2:
            return hybrid_word;
        case 3:
            return value;
        default:
            return 0;
    }
}
