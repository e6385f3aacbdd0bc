// One UDP datagram of a capture: when it was sent or received, its two ends and its payload.
#pragma once

#include <cstdint>
#include <vector>

#include "daqhost/Endpoint.h"

namespace daq {

struct CaptureRecord {
    int64_t time_ns = 0;  // since the Unix epoch
    Endpoint source;
    Endpoint destination;
    std::vector<uint8_t> payload;  // the UDP payload: a request, an acknowledge or a data packet
};

}  // namespace daq
