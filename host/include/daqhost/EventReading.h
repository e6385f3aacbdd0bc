// What one data packet tells of its event: where the hit is and which of its values are
// pedestals. The packet does not say which channel was hit in readout mode 1; the hit is the
// largest value there (a hit adds about 500 or 167 counts to a pedestal of about 2024, whose
// noise sigma is about 5). In modes 2 and 4 the first triple is the hit.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/DataPacketView.h"
#include "protocol/Export.h"

namespace daq {

struct Hit {
    bool found = false;
    int channel = -1;
    uint16_t value = 0;
};

// The hit of a well-formed data packet; not found in modes without a payload.
DAQ_API Hit find_hit(const DataPacketView& view);

// The values of one event as a run's statistics take them: the hit, and the sums of the
// pedestals (for_each_pedestal) less kPedestalOrigin, which keeps the sums small.
struct EventValues {
    static constexpr int64_t kPedestalOrigin = 2048;
    Hit hit;
    int64_t pedestal_sum = 0;
    int64_t pedestal_square_sum = 0;
    uint64_t pedestals = 0;
};

// The hit and the pedestal sums of a well-formed data packet, in one pass over its values.
DAQ_API EventValues read_event(const DataPacketView& view);

// Calls f(value) for every value of the packet that is a pedestal of a channel other than the
// hit: in mode 1 every other channel; in mode 4 the neighbours (left values past channel 0,
// which repeat channel 0, are left out); none in mode 2.
template <typename F>
void for_each_pedestal(const DataPacketView& view, const Hit& hit, F&& f) {
    if (!hit.found) return;
    if (view.mode() == 1) {
        const size_t n = view.value_count();
        for (size_t i = 0; i < n; ++i) {
            if (static_cast<int>(i) != hit.channel) f(view.value(i));
        }
    } else if (view.mode() == 4) {
        const size_t n = view.triple_count();
        for (size_t m = 1; m < n; ++m) {
            const NeighbourTriple t = view.triple(m);
            // Past the last channel the right value repeats the last channel's. The packet
            // does not say where that is, so those repetitions count; the hit's own value,
            // repeated when the hit is the last channel, never does.
            if (t.right != hit.value) f(t.right);
            if (static_cast<int>(m) <= hit.channel) f(t.left);
        }
    }
}

}  // namespace daq
