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

EventValues read_event(const DataPacketView& view) {
    EventValues e;
    const auto take = [&e](uint16_t value) {
        const int64_t v = value - EventValues::kPedestalOrigin;
        e.pedestal_sum += v;
        e.pedestal_square_sum += v * v;
        ++e.pedestals;
    };
    if (view.mode() != 1) {
        e.hit = find_hit(view);
        for_each_pedestal(view, e.hit, take);
        return e;
    }
    // find_hit and for_each_pedestal in one pass over the values: the sums take every value,
    // and the hit's is taken out again at the end.
    const size_t n = view.value_count();
    for (size_t i = 0; i < n; ++i) {
        const uint16_t v = view.value(i);
        take(v);
        if (!e.hit.found || v > e.hit.value) e.hit = {true, static_cast<int>(i), v};
    }
    if (!e.hit.found) return e;
    const int64_t h = e.hit.value - EventValues::kPedestalOrigin;
    e.pedestal_sum -= h;
    e.pedestal_square_sum -= h * h;
    --e.pedestals;
    return e;
}

}  // namespace daq
