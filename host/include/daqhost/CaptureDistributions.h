// The distributions of each module's values in a capture, for a plot of them: per module (the
// module end of the datagrams a DatagramClassifier finds, in the order it first appears), the
// statistics of its streams with the distributions of their values (hit map, hit values,
// pedestals), and the channel count each hybrid's stream configuration gave, which a capture
// of packets that carry only the hit needs to lay out its hit map.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "daqhost/CaptureRecord.h"
#include "daqhost/DatagramClassifier.h"
#include "daqhost/Endpoint.h"
#include "daqhost/StreamStatistics.h"
#include "protocol/Export.h"

namespace daq {

class DAQ_API CaptureDistributions {
  public:
    struct Module {
        Endpoint endpoint;
        StreamStatistics statistics{true};
        std::map<int, int> configured;  // by hybrid: chips × channels per chip

        // The channels of a hybrid's last stream configuration; 0 when none was seen.
        int configured_channels(int hybrid) const;
    };

    // Modules on `module_port`, or, without it, on the ports the capture's discoveries show.
    explicit CaptureDistributions(std::optional<uint16_t> module_port = std::nullopt)
        : classifier_(module_port) {}

    // Counts one datagram of the capture: a stream configuration request, or a data packet
    // (a malformed one among the module's malformed datagrams).
    void add(const CaptureRecord& record);
    // Why no module was found ("no datagram to or from port 10001"); empty when one was.
    std::string no_module_reason() const { return classifier_.no_module_reason(); }

    const std::vector<Module>& modules() const { return modules_; }
    // Leaves out every module but those at `module`'s address and, unless it is 0, port;
    // returns how many are left.
    size_t keep(const Endpoint& module);
    // Of the modules kept: well-formed data packets, and malformed datagrams.
    uint64_t packets() const;
    uint64_t malformed() const;

    // A hybrid's hits per channel on the largest square grid that `channels` fills, row by
    // row; the hits of channels past it are counted apart.
    struct HitGrid {
        int side = 0;
        std::vector<uint64_t> cells;
        uint64_t off_grid = 0;
    };
    static HitGrid hit_grid(const Histogram& hit_channels, int channels);

    // The bulk of a distribution in bins: only the middle 96 % of the values, widened by its
    // own span on each side (within the values seen), since a few stray values would squeeze
    // the bulk into one bar. Bins of one value each or, with `max_bins`, of as many as keep
    // the bins to that many.
    struct Bins {
        int low = 0;
        int high = 0;
        int width = 1;
        Histogram counts;      // bin number from `low` → count
        uint64_t outside = 0;  // values outside low to high
    };
    static Bins bins(const Histogram& values, int max_bins = 0);

  private:
    Module& module_at(const Endpoint& endpoint);

    DatagramClassifier classifier_;
    std::vector<Module> modules_;
};

}  // namespace daq
