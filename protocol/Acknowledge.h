// The acknowledge a module sends for every request, as a host reads it from the wire (the
// module builds it as an AcknowledgePacket).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "protocol/Export.h"

namespace daq {

struct DAQ_API Acknowledge {
    uint8_t code = 0;       // the request's code, without the reply flag
    uint8_t code_byte = 0;  // as sent: the request's code with the reply flag set
    uint16_t error = 0;
    uint8_t version[3] = {0, 0, 0};

    // A 16-byte datagram with the magic, the reply flag, the hybrid byte 0xFF and the
    // trailer; nothing for anything else.
    static std::optional<Acknowledge> parse(const uint8_t* bytes, size_t length);

    // Whether this answers a request of `request_code` (a code of 128 or more already has the
    // reply flag, and its acknowledge carries the same byte).
    bool answers(unsigned request_code) const { return code_byte == (request_code | 0x80u); }

    // "2.2.4"
    std::string version_text() const;
};

}  // namespace daq
