#include "protocol/Acknowledge.h"

#include "protocol/BasePacket.h"
#include "protocol/PacketConversion.h"

namespace daq {

std::optional<Acknowledge> Acknowledge::parse(const uint8_t* bytes, size_t length) {
    if (length != 16) return std::nullopt;
    if (wire_word(bytes, length, 0) != packet::kMagic ||
        wire_word(bytes, length, 7) != packet::kTrailer) {
        return std::nullopt;
    }
    const uint16_t code_word = wire_word(bytes, length, 1);
    if ((code_word & packet::kReplyFlag) == 0 || wire_word(bytes, length, 2) != packet::kAllHybrids
                                                                                    << 8) {
        return std::nullopt;
    }
    Acknowledge ack;
    ack.code = static_cast<uint8_t>(code_word & 0x7F);
    ack.code_byte = static_cast<uint8_t>(code_word & 0xFF);
    ack.error = wire_word(bytes, length, 3);
    ack.version[0] = static_cast<uint8_t>(wire_word(bytes, length, 4) & 0xFF);
    ack.version[1] = static_cast<uint8_t>(wire_word(bytes, length, 5) >> 8);
    ack.version[2] = static_cast<uint8_t>(wire_word(bytes, length, 5) & 0xFF);
    return ack;
}

std::string Acknowledge::version_text() const {
    return std::to_string(version[0]) + "." + std::to_string(version[1]) + "." +
           std::to_string(version[2]);
}

}  // namespace daq
