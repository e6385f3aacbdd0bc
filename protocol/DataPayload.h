// The payload of a data packet, laid out by the readout mode, from the channel values of one
// stream and event (host order). The module and the benchmark's bare loop write it here;
// DataPacketView reads it back.
//
//   mode 1  every channel: value(0) … value(nchan − 1)
//   mode 2  the hit channel k, value(k), value(k)
//   mode 4  nadj + 1 triples (k + m, value(min(k + m, nchan − 1)), value(max(k − m, 0))),
//           m = 0 … nadj; the channel word is not clamped, the values are
//   other   nothing
#pragma once

#include <cstdint>

namespace daq {

// Writes the payload of `mode` at `payload`, which has room for DataPacket::payload_bytes of
// the packet. `values` holds the stream's `nchan` channel values; `hit` is the hit channel.
void encode_payload(uint16_t* payload, int mode, const uint16_t* values, int nchan, int hit,
                    int nadj);

}  // namespace daq
