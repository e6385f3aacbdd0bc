// A request as a host sends it and a module reads it: the code (the low byte of word 1) and
// the two parameter words (words 2 and 3), in host order. The fields of the requests that carry
// them are put in place and read back here, and nowhere else.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "protocol/BasePacket.h"
#include "protocol/Export.h"

namespace daq {

// Stream configuration (code 1): the chip type and the number of chips of a hybrid. The chip
// type is module-wide: the module takes it from every such request.
struct StreamConfiguration {
    unsigned hybrid = 0;
    unsigned chip_type = 0;  // four bits
    unsigned chips = 0;      // eight bits
};

// Readout mode (code 8): what a hybrid's data packets carry, and the neighbours on each side of
// the hit in mode 4.
struct ReadoutModeSetting {
    unsigned hybrid = 0;
    unsigned mode = 0;  // four bits
    unsigned nadj = 0;  // sixteen bits
};

struct DAQ_API ModuleRequest {
    uint8_t code = 0;
    uint16_t word2 = 0;
    uint16_t word3 = 0;

    // Magic, code, the two words and the trailer.
    static constexpr size_t kWireBytes = 10;

    static ModuleRequest discovery();
    static ModuleRequest no_action();
    static ModuleRequest stream_configuration(const StreamConfiguration& fields);
    static ModuleRequest readout_mode(const ReadoutModeSetting& fields);
    // DAQ command (code 10): start and stop act on the whole module; the hybrid must only be
    // present or 255.
    static ModuleRequest daq_command(unsigned hybrid, bool start);
    // The settings the module only logs (hold delay, bias, mbias, coincidence time window,
    // configuration, trigger type): the hybrid byte in word 2, the value in word 3.
    static ModuleRequest setting(uint8_t code, unsigned hybrid, uint16_t value);

    // The hybrid byte: the high byte of word 2.
    unsigned hybrid() const { return word2 >> 8; }
    StreamConfiguration stream_configuration() const;
    ReadoutModeSetting readout_mode() const;
    // A DAQ command starts a run for any non-zero word 3.
    bool starts() const { return word3 != 0; }

    // The request on the wire, in network order.
    std::array<uint8_t, kWireBytes> wire() const;
    // A request read from the wire: at least the four words with the magic; the trailer is not
    // required, as the module does not require it.
    static std::optional<ModuleRequest> parse(const uint8_t* bytes, size_t length);
};

}  // namespace daq
