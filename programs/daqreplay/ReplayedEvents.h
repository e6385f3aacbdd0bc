// The events of a capture, served again: each trigger cycle sends every stream's next data
// packet of the capture instead of one that was generated. A module with this source
// discovers, acknowledges and runs as testModule does, and makes no pedestals.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "daqreplay/ReplayCapture.h"
#include "module/EventSource.h"

enum class ReplayPace {
    kCaptured,         // the captured intervals of the first stream that has packets left
    kRate,             // drawn as testModule draws them (-r)
    kAsFastAsPossible  // no wait between cycles
};

struct ReplayOptions {
    ReplayPace pace = ReplayPace::kCaptured;
    // Sends the captured event numbers and time stamps instead of the run's own.
    bool keep_headers = false;
    // Starts a stream's packets again after its last one.
    bool loop = false;
};

class ReplayedEvents : public EventSource {
  public:
    ReplayedEvents(ReplayCapture capture, ReplayOptions options);

    double next_interval(const Pacing& pacing) override;
    std::span<const uint8_t> make_event(const DataStream& stream, const Trigger& trigger) override;
    // A packet whose trigger fails the efficiency test is passed over, as a generated one
    // would not have been sent: the gap in the event numbers stands for it.
    void pass_over(const DataStream& stream) override;
    // Each run sends the capture from its first packet.
    std::optional<double> start_run(const Pacing& pacing) override;
    void chips_set(const DataStream& stream) override;
    void readout_mode_set(const DataStream& stream) override;

  private:
    // The index of the next packet stream `id` sends; its packets' size when none is left.
    size_t next_index(int id) const;
    // The next packet of stream `id`, which from then on counts as taken; null when none is
    // left.
    const CapturedPacket* take_packet(int id);
    bool data_left(const std::vector<DataStream*>& streams) const;
    // The readout mode and count word of the captured packets of `stream`, as the first of
    // them has them: the layout the replay keeps, whatever a request asks.
    struct CapturedLayout {
        unsigned mode;
        unsigned count;
    };
    std::optional<CapturedLayout> captured_layout(const DataStream& stream) const;
    // Logs one line when a request asks a stream for a layout its captured packets do not have.
    static void report_layout(const DataStream& stream, const CapturedLayout& captured,
                              const std::string& asked);

    ReplayCapture capture_;
    ReplayOptions options_;
    std::map<int, size_t> next_;
    std::vector<uint8_t> outgoing_;
    bool end_reported_ = false;
    // How far the captured pace is behind the capture's own time line, in seconds: a cycle
    // that ends late shortens the next wait by as much, so that lateness does not add up.
    double behind_ = 0.0;
};
