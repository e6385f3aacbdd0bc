#include "protocol/BasePacket.h"

#include <string>

namespace daq {

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

}  // namespace daq
