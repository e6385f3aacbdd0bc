#include "daqhost/EventReading.h"

namespace daq {

Hit find_hit(const DataPacketView& view) {
    Hit hit;
    if (view.mode() == 1) {
        const size_t n = view.value_count();
        for (size_t i = 0; i < n; ++i) {
            const uint16_t v = view.value(i);
            if (!hit.found || v > hit.value) hit = {true, static_cast<int>(i), v};
        }
    } else if (view.triple_count() > 0) {
        const NeighbourTriple first = view.triple(0);
        hit = {true, first.channel, first.right};
    }
    return hit;
}

}  // namespace daq
