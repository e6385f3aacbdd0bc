#include "daqhost/CaptureDistributions.h"

#include <algorithm>
#include <cmath>

#include "protocol/BasePacket.h"

namespace daq {

int CaptureDistributions::Module::configured_channels(int hybrid) const {
    const auto found = configured.find(hybrid);
    return found == configured.end() ? 0 : found->second;
}

CaptureDistributions::Module& CaptureDistributions::module_at(const Endpoint& endpoint) {
    for (Module& m : modules_) {
        if (m.endpoint == endpoint) return m;
    }
    return modules_.emplace_back(Module{endpoint, StreamStatistics{true}, {}});
}

void CaptureDistributions::add(const CaptureRecord& record) {
    const DatagramClassifier::Classification c = classifier_.classify(record);
    if (c.kind == DatagramClassifier::Kind::kRequest) {
        Module& module = module_at(c.module);
        if (c.request.code != packet::kConfigureStream) return;
        const StreamConfiguration s = c.request.stream_configuration();
        module.configured[static_cast<int>(s.hybrid)] =
            static_cast<int>(s.chips) * packet::channels_per_chip(static_cast<int>(s.chip_type));
    } else if (c.data) {
        // Whole data packets and what fails as one, counted as malformed.
        module_at(c.module).statistics.add(*c.data);
    }
}

size_t CaptureDistributions::keep(const Endpoint& module) {
    std::erase_if(modules_, [&](const Module& m) {
        return m.endpoint.address != module.address ||
               (module.port != 0 && m.endpoint.port != module.port);
    });
    return modules_.size();
}

uint64_t CaptureDistributions::packets() const {
    uint64_t packets = 0;
    for (const Module& m : modules_) packets += m.statistics.packets();
    return packets;
}

uint64_t CaptureDistributions::malformed() const {
    uint64_t malformed = 0;
    for (const Module& m : modules_) malformed += m.statistics.malformed_total();
    return malformed;
}

CaptureDistributions::HitGrid CaptureDistributions::hit_grid(const Histogram& hit_channels,
                                                             int channels) {
    HitGrid grid;
    grid.side = static_cast<int>(std::sqrt(static_cast<double>(channels)));
    while (grid.side * grid.side > channels) --grid.side;
    while ((grid.side + 1) * (grid.side + 1) <= channels) ++grid.side;
    grid.cells.assign(static_cast<size_t>(grid.side) * grid.side, 0);
    for (const auto& [channel, count] : hit_channels) {
        if (channel < static_cast<int>(grid.cells.size())) {
            grid.cells[channel] = count;
        } else {
            grid.off_grid += count;
        }
    }
    return grid;
}

CaptureDistributions::Bins CaptureDistributions::bins(const Histogram& values, int max_bins) {
    Bins bins;
    if (values.empty()) return bins;
    uint64_t total = 0;
    for (const auto& [value, count] : values) total += count;
    const int lowest = values.begin()->first;
    const int highest = values.rbegin()->first;
    int low = lowest;
    int high = highest;
    uint64_t seen = 0;
    for (const auto& [value, count] : values) {
        if (seen <= total / 50 && seen + count > total / 50) low = value;
        seen += count;
        if (seen >= total - total / 50) {
            high = value;
            break;
        }
    }
    const int span = high - low;
    bins.low = std::max(low - span, lowest);
    bins.high = std::min(high + span, highest);
    if (max_bins > 0) bins.width = (bins.high - bins.low + max_bins) / max_bins;
    for (const auto& [value, count] : values) {
        if (value < bins.low || value > bins.high) {
            bins.outside += count;
        } else {
            bins.counts[(value - bins.low) / bins.width] += count;
        }
    }
    return bins;
}

}  // namespace daq
