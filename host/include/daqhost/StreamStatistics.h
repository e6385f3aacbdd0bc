// What a host has received of each hybrid's stream in a run: packets, gaps in the event
// numbers and the efficiency they imply, the trigger rate from the time stamps, and the
// pedestal, hit and time-value means.
//
// Event numbers are 16 bits and count every trigger from 1 at the start of the run, whether
// the hybrid sent a packet or failed the efficiency test: a gap is either. Both they and the
// 32-bit time stamps wrap, so both are unwrapped step by step.
//
// A module may be stopped and started again within a run; each start counts its events from 1
// and its time stamps from 0 again (its first trigger comes 10 ms after the start). The
// packets tell the starts apart, not the order in which they arrive, since the network may
// reorder the last packets of a start behind the stop's acknowledge or the next start's
// request. A packet begins a new start of its stream when its time stamp lies before the last
// one's by more than 1 s (whoever started the module again), or, once the module was stopped
// and sent a new start (expect_new_start), by more than half of what the last one's lies past
// 10 ms: it is then nearer to where a start begins than to the last packet. Anything else
// continues the start under way, filling a gap or extending it. So a packet up to 1 s late is
// read as late in a start that lasted over 2 s, and a shorter start is told from the next one
// as long as it saw three triggers and its late packets come from its second half. A late
// packet of the start before that comes after the new start's first ones (ahead of them by
// more than that bound, and within it of where the start before stood) is counted in the
// start before.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "daqhost/EventReading.h"
#include "protocol/DataPacketView.h"
#include "protocol/Export.h"

namespace daq {

struct StreamSummary {
    int hybrid = 0;
    uint64_t packets = 0;
    uint64_t bytes = 0;
    // Event numbers never received: before the first packet (the run counts from 1) and
    // between packets; a late packet fills the gap it was counted in.
    uint64_t missing = 0;
    uint64_t duplicates = 0;
    uint64_t late = 0;  // arrived after a later event number
    uint64_t first_event = 0;
    uint64_t last_event = 0;  // unwrapped: the triggers of the run up to the last packet
    unsigned mode = 0;        // of the last packet
    double efficiency = 0;    // packets / (packets + missing)
    // Over the spans of packets within each start of the module, outages left out.
    std::optional<double> trigger_rate_hz;
    std::optional<double> pedestal_mean;
    std::optional<double> pedestal_sigma;
    uint64_t pedestal_values = 0;
    std::optional<double> hit_value_mean;
    std::optional<double> hit_amplitude_mean;  // hit value − pedestal mean
    std::optional<double> time_value_mean;
};

// How often each value was seen.
using Histogram = std::map<int, uint64_t>;

// The distributions of one stream's values, kept only when asked for (they cost a map insert
// per value): the hit's channel (the hit map) and value, and the pedestal values.
struct StreamDistributions {
    Histogram hit_channels;
    Histogram hit_values;
    Histogram pedestals;
    int packet_channels = 0;  // the most values an all-channel packet carried
};

// One channel's pedestal values in a live view.
struct ChannelPedestal {
    uint64_t values = 0;
    double mean = 0;
    double sigma = 0;
};

// What a live view of a stream shows, cheap enough for the receive path at any rate: the hit
// map, the hit values, and each channel's pedestal mean and sigma (from the all-channel
// packets), all taken from packets at least 5 ms apart by their time stamps.
struct StreamChannels {
    Histogram hit_channels;
    Histogram hit_values;
    std::vector<ChannelPedestal> pedestals;  // by channel
};

class DAQ_API StreamStatistics {
  public:
    StreamStatistics() = default;
    // With `distributions`, the distributions of each stream's values are kept too.
    explicit StreamStatistics(bool distributions) : keep_distributions_(distributions) {}
    // From now on, what a live view shows of each stream is kept too (see StreamChannels).
    void keep_channels() { keep_channels_ = true; }

    // What became of a datagram given to add().
    enum class Taken {
        kMalformed,  // counted by its fault only
        kCounted,    // in its stream's start under way: late and repeated packets too
        kNewStart,   // the first packet of its stream, or of a new start of it
        kSetApart,   // of a start set apart (see set_apart_old_start): not counted
    };
    // Counts one datagram from the module that claims to be a data packet.
    Taken add(const DataPacketView& view);
    // The same, with the packet's hit and pedestal sums read already (see DatagramVerdict);
    // none for a malformed one.
    Taken add(const DataPacketView& view, const EventValues& values);

    // The module's run starts again, whatever its next packets say: each stream's next packet
    // begins a new start. A new start's event numbers and time stamps begin anew; the stream
    // carries on from where it stood, so no packet of it counts as a late or repeated one of
    // the old start, and the events between the starts are not counted.
    void restart_run();
    // The module acknowledged a stop and was sent a start: each stream's new start begins with
    // its first packet that lies well back from its last one (see above).
    void expect_new_start();
    // The module is back after it was cut off, and its old start may still be going: each
    // stream's packets are set apart, not counted, until one begins a new start.
    void set_apart_old_start();
    // The module fell silent: the trigger rate leaves out the time until its next packet.
    void break_rate();
    // An outage began: as break_rate(), and the events between each stream's last packet and
    // its next are the outage's loss, not missing ones.
    void outage_began();

    std::vector<StreamSummary> summaries() const;
    // Datagrams that failed the data-packet checks, by fault.
    const std::map<DataPacketFault, uint64_t>& malformed() const { return malformed_; }
    uint64_t malformed_total() const;

    // For a live view: packets, bytes and missing event numbers of all streams, and the
    // highest event number (unwrapped) any stream has reached.
    uint64_t packets() const { return packets_; }
    uint64_t bytes() const { return bytes_; }
    uint64_t missing(int hybrid) const;
    uint64_t triggers() const;
    std::vector<int> hybrids() const;
    // The distributions of a stream's values; empty ones when they are not kept.
    const StreamDistributions& distributions(int hybrid) const;
    // What a live view shows of a stream; empty when it is not kept.
    StreamChannels channels(int hybrid) const;

  private:
    // Where a start stands: its last packet, and how long it had run then.
    struct Position {
        uint32_t raw_time = 0;
        uint16_t raw_event = 0;
        uint64_t since_start_us = 0;
    };
    // The start before the one under way, the bound by which they were told apart, and
    // whether it was set apart.
    struct PreviousStart {
        Position at;
        uint32_t bound_us = 0;
        bool set_apart = false;
    };
    struct Stream {
        StreamSummary summary;
        int64_t last_raw_event = -1;  // -1 before the first packet of a run
        bool run_restarted = false;
        uint32_t last_raw_time = 0;
        uint64_t last_time_us = 0;     // unwrapped, and carried on across new starts
        uint64_t start_origin_us = 0;  // where the start under way began on that scale
        bool new_start_awaited = false;
        bool old_start_apart = false;
        bool across_outage = false;  // an outage began after its last packet
        // The start before the one under way, while late packets of it may still come.
        std::optional<PreviousStart> previous;
        // Where the start set apart stands, once a packet of it has come.
        std::optional<Position> apart_at;
        // The trigger rate's spans: the one under way (from its first packet) and those
        // closed by a new start or an outage.
        bool span_open = false;
        uint64_t span_first_event = 0;
        uint64_t span_first_time_us = 0;
        uint64_t closed_events = 0;
        uint64_t closed_time_us = 0;
        double pedestal_sum = 0;  // of (value − kPedestalOrigin), to keep the sums small
        double pedestal_square_sum = 0;
        double hit_sum = 0;
        uint64_t hits = 0;
        double time_value_sum = 0;
        StreamDistributions distributions;
        // The live view's: sums by channel of (value − kPedestalOrigin) and its square.
        Histogram hit_channels;
        Histogram hit_values;
        std::vector<uint64_t> channel_values;
        std::vector<double> channel_sums;
        std::vector<double> channel_square_sums;
        std::optional<uint32_t> channels_sampled_at;  // time stamp of the last packet taken
    };
    // Where the stream's start stands: the one set apart, if any, else the one under way.
    static Position position(const Stream& s);
    // How far back from there a packet lies that begins a new start.
    static uint32_t new_start_bound_us(const Stream& s);
    static bool begins_new_start(const Stream& s, uint32_t time_stamp);
    // A late packet of the start before: ahead of the start under way by more than the bound
    // that told them apart, and within it of where the start before stood.
    static bool of_previous_start(Stream& s, uint32_t time_stamp);
    // Counts a packet `step` event numbers on from the last: a repeat, a late one that fills
    // a gap, or a next one (the gap before it missing, if `gap_missing`). Whether it was next.
    static bool take_step(StreamSummary& sum, uint32_t step, bool gap_missing);
    static void add_event(Stream& s, const DataPacketView& view, bool new_start);
    static void add_previous_event(Stream& s, const DataPacketView& view);
    // A packet of the start set apart: where that start stands, if it is ahead.
    static void set_apart(Stream& s, uint32_t time_stamp, uint16_t event);
    static void close_span(Stream& s);
    static void add_values(Stream& s, const DataPacketView& view, const EventValues& values);
    static void add_distributions(StreamDistributions& d, const DataPacketView& view,
                                  const Hit& hit);
    static void add_channels(Stream& s, const DataPacketView& view, const Hit& hit);
    // As above with the hit looked for: kept for programs built against the library before.
    static void add_values(Stream& s, const DataPacketView& view);
    static void add_channels(Stream& s, const DataPacketView& view);

    std::map<int, Stream> streams_;
    std::map<DataPacketFault, uint64_t> malformed_;
    uint64_t packets_ = 0;
    uint64_t bytes_ = 0;
    bool keep_distributions_ = false;
    bool keep_channels_ = false;
};

}  // namespace daq
