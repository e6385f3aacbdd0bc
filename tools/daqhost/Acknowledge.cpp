#include "daqhost/Acknowledge.h"

#include "protocol/BasePacket.h"
#include "protocol/PacketConversion.h"

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

std::string error_text(uint16_t error) {
    switch (error) {
        case packet::kDone:
            return "done";
        case packet::kNoSuchHybrid:
            return "no such hybrid";
        case packet::kUnknownCommand:
            return "unknown command";
        default:
            return "error " + std::to_string(error);
    }
}

const char* command_name(unsigned code) {
    switch (code) {
        case packet::kConfigureStream:
            return "stream configuration";
        case packet::kHoldDelay:
            return "hold delay";
        case packet::kBias:
            return "bias";
        case packet::kMbias:
            return "mbias";
        case packet::kCoincidenceTimeWindow:
            return "coincidence time window";
        case packet::kNoAction:
            return "no action";
        case packet::kConfig:
            return "configuration";
        case packet::kReadoutMode:
            return "readout mode";
        case packet::kTriggerType:
            return "trigger type";
        case packet::kDaqCommand:
            return "DAQ command";
        case packet::kDiscovery:
            return "discovery";
        case packet::kData:
            return "data";
        default:
            return "unknown";
    }
}
