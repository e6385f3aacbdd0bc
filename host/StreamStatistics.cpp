#include "daqhost/StreamStatistics.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "daqhost/EventReading.h"
#include "protocol/DataPacket.h"

namespace daq {

namespace {
constexpr int64_t kPedestalOrigin = EventValues::kPedestalOrigin;
constexpr uint32_t kEventModulus = 1u << 16;
// A packet whose time stamp is this much before the last one's begins a new start of the
// module: a late packet is milliseconds behind, a new start's time stamps count from 10 ms.
constexpr uint64_t kNewStartStep_us = 1000000;
// A module's first trigger of a start comes this long after the start.
constexpr uint64_t kFirstTrigger_us = 10000;
}  // namespace

StreamStatistics::Position StreamStatistics::position(const Stream& s) {
    if (s.apart_at) return *s.apart_at;
    return {s.last_raw_time, static_cast<uint16_t>(s.last_raw_event),
            s.last_time_us - s.start_origin_us};
}

uint32_t StreamStatistics::new_start_bound_us(const Stream& s) {
    if (!s.new_start_awaited && !s.old_start_apart) return kNewStartStep_us;
    const uint64_t since_start_us = position(s).since_start_us;
    const uint64_t past_first_us =
        since_start_us > kFirstTrigger_us ? since_start_us - kFirstTrigger_us : 0;
    return static_cast<uint32_t>(std::min(kNewStartStep_us, past_first_us / 2));
}

bool StreamStatistics::begins_new_start(const Stream& s, uint32_t time_stamp) {
    if (s.last_raw_event < 0) return true;
    // Time stamps wrap after 2^32 µs: a step back is one shorter than half of that.
    const uint32_t back = position(s).raw_time - time_stamp;
    return back < (1u << 31) && back > new_start_bound_us(s);
}

bool StreamStatistics::of_previous_start(Stream& s, uint32_t time_stamp) {
    if (!s.previous || s.last_raw_event < 0) return false;
    const PreviousStart& p = *s.previous;
    // Once the start under way is past the one before, nothing more of that can come.
    if (s.last_time_us - s.start_origin_us > p.at.since_start_us + p.bound_us) {
        s.previous.reset();
        return false;
    }
    const uint32_t ahead = time_stamp - s.last_raw_time;
    if (ahead >= (1u << 31) || ahead <= p.bound_us) return false;
    const uint32_t after = time_stamp - p.at.raw_time;
    return std::min(after, 0u - after) <= p.bound_us;
}

bool StreamStatistics::take_step(StreamSummary& sum, uint32_t step, bool gap_missing) {
    if (step == 0) {
        ++sum.duplicates;
        return false;
    }
    if (step > kEventModulus / 2) {
        // Behind the last one: a packet that came late; it fills a gap counted before.
        ++sum.late;
        if (sum.missing > 0) --sum.missing;
        return false;
    }
    if (gap_missing) sum.missing += step - 1;
    sum.last_event += step;
    return true;
}

StreamStatistics::Taken StreamStatistics::add(const DataPacketView& view) {
    return add(view, view.ok() ? read_event(view) : EventValues{});
}

StreamStatistics::Taken StreamStatistics::add(const DataPacketView& view,
                                              const EventValues& values) {
    if (!view.ok()) {
        ++malformed_[view.fault()];
        return Taken::kMalformed;
    }
    Stream& s = streams_[view.stream()];
    const bool previous = of_previous_start(s, view.time_stamp());
    const bool new_start = !previous && begins_new_start(s, view.time_stamp());
    if (previous && s.previous->set_apart) return Taken::kSetApart;
    if (!previous && !new_start && s.old_start_apart) {
        set_apart(s, view.time_stamp(), view.event());
        return Taken::kSetApart;
    }
    s.summary.hybrid = view.stream();
    ++s.summary.packets;
    s.summary.bytes += view.length();
    s.summary.mode = view.mode();
    ++packets_;
    bytes_ += view.length();
    if (previous) {
        add_previous_event(s, view);
    } else {
        add_event(s, view, new_start);
    }
    add_values(s, view, values);
    if (keep_distributions_) add_distributions(s.distributions, view, values.hit);
    if (keep_channels_) add_channels(s, view, values.hit);
    return new_start ? Taken::kNewStart : Taken::kCounted;
}

void StreamStatistics::add_channels(Stream& s, const DataPacketView& view) {
    add_channels(s, view, find_hit(view));
}

void StreamStatistics::add_channels(Stream& s, const DataPacketView& view, const Hit& hit) {
    // A sample of the packets is plenty for a view, and keeps the cost per packet next to
    // nothing at high rates: time stamps count microseconds and wrap, so the step is taken
    // modulo 2^32.
    constexpr uint32_t kSampleStep_us = 5000;
    const uint32_t time = view.time_stamp();
    if (s.channels_sampled_at && time - *s.channels_sampled_at < kSampleStep_us) return;
    s.channels_sampled_at = time;
    if (!hit.found) return;
    ++s.hit_channels[hit.channel];
    ++s.hit_values[hit.value];
    if (view.mode() != DataPacket::kAllChannels) return;
    const size_t n = view.value_count();
    if (s.channel_values.size() < n) {
        s.channel_values.resize(n);
        s.channel_sums.resize(n);
        s.channel_square_sums.resize(n);
    }
    for (size_t i = 0; i < n; ++i) {
        if (static_cast<int>(i) == hit.channel) continue;
        const double v = static_cast<double>(view.value(i) - kPedestalOrigin);
        ++s.channel_values[i];
        s.channel_sums[i] += v;
        s.channel_square_sums[i] += v * v;
    }
}

StreamChannels StreamStatistics::channels(int hybrid) const {
    StreamChannels c;
    const auto found = streams_.find(hybrid);
    if (found == streams_.end()) return c;
    const Stream& s = found->second;
    c.hit_channels = s.hit_channels;
    c.hit_values = s.hit_values;
    c.pedestals.resize(s.channel_values.size());
    for (size_t i = 0; i < c.pedestals.size(); ++i) {
        ChannelPedestal& p = c.pedestals[i];
        p.values = s.channel_values[i];
        if (p.values == 0) continue;
        const double n = static_cast<double>(p.values);
        const double mean = s.channel_sums[i] / n;
        p.mean = mean + kPedestalOrigin;
        p.sigma = std::sqrt(std::max(0.0, s.channel_square_sums[i] / n - mean * mean));
    }
    return c;
}

void StreamStatistics::add_distributions(StreamDistributions& d, const DataPacketView& view,
                                         const Hit& hit) {
    if (view.mode() == DataPacket::kAllChannels) {
        d.packet_channels = std::max(d.packet_channels, static_cast<int>(view.value_count()));
    }
    if (!hit.found) return;
    ++d.hit_channels[hit.channel];
    ++d.hit_values[hit.value];
    for_each_pedestal(view, hit, [&d](uint16_t value) { ++d.pedestals[value]; });
}

const StreamDistributions& StreamStatistics::distributions(int hybrid) const {
    static const StreamDistributions kNone;
    const auto found = streams_.find(hybrid);
    return found == streams_.end() ? kNone : found->second.distributions;
}

void StreamStatistics::add_event(Stream& s, const DataPacketView& view, bool new_start) {
    StreamSummary& sum = s.summary;
    const uint16_t event = view.event();
    const uint32_t time = view.time_stamp();
    const bool across_outage = std::exchange(s.across_outage, false);
    if (new_start && s.last_raw_event >= 0) {
        s.previous = PreviousStart{position(s), new_start_bound_us(s), s.old_start_apart};
        s.apart_at.reset();
        close_span(s);
        s.run_restarted = true;
    }
    if (new_start && s.run_restarted) {
        // The first packet of the run started again: its numbers and time stamps count from
        // the start anew, and carry on from where the stream stood.
        if (!across_outage) sum.missing += event > 0 ? event - 1u : 0;
        sum.last_event += event;
        s.start_origin_us = s.last_time_us;
        s.last_time_us += time;
        s.new_start_awaited = false;
        s.old_start_apart = false;
    } else if (new_start) {
        sum.first_event = event;
        sum.last_event = event;
        sum.missing = event > 0 ? event - 1u : 0;
        s.last_time_us = time;
    } else {
        const uint32_t step = (event - static_cast<uint32_t>(s.last_raw_event)) % kEventModulus;
        if (!take_step(sum, step, !across_outage)) return;
        // Time stamps wrap after 2^32 µs; steps between packets are far shorter.
        s.last_time_us += time - s.last_raw_time;
    }
    s.last_raw_event = event;
    s.last_raw_time = time;
    if (!s.span_open) {
        s.span_open = true;
        s.span_first_event = sum.last_event;
        s.span_first_time_us = s.last_time_us;
    }
}

void StreamStatistics::add_previous_event(Stream& s, const DataPacketView& view) {
    Position& p = s.previous->at;
    const uint32_t step = (view.event() - uint32_t{p.raw_event}) % kEventModulus;
    if (!take_step(s.summary, step, true)) return;
    // Its events come before the start under way's: that start's span moves on with them,
    // and the closed spans (the start before ended one) grow by the step.
    const uint32_t time_step = view.time_stamp() - p.raw_time;
    if (s.span_open) s.span_first_event += step;
    s.closed_events += step;
    s.closed_time_us += time_step;
    p = {view.time_stamp(), view.event(), p.since_start_us + time_step};
}

void StreamStatistics::set_apart(Stream& s, uint32_t time_stamp, uint16_t event) {
    const Position at = position(s);
    const uint32_t ahead = time_stamp - at.raw_time;
    if (ahead == 0 || ahead >= (1u << 31)) return;
    s.apart_at = Position{time_stamp, event, at.since_start_us + ahead};
}

void StreamStatistics::close_span(Stream& s) {
    if (!s.span_open) return;
    s.closed_events += s.summary.last_event - s.span_first_event;
    s.closed_time_us += s.last_time_us - s.span_first_time_us;
    s.span_open = false;
}

void StreamStatistics::break_rate() {
    for (auto& [id, s] : streams_) close_span(s);
}

void StreamStatistics::outage_began() {
    for (auto& [id, s] : streams_) {
        close_span(s);
        s.across_outage = true;
    }
}

void StreamStatistics::expect_new_start() {
    for (auto& [id, s] : streams_) s.new_start_awaited = s.last_raw_event >= 0;
}

void StreamStatistics::set_apart_old_start() {
    for (auto& [id, s] : streams_) s.old_start_apart = s.last_raw_event >= 0;
}

void StreamStatistics::add_values(Stream& s, const DataPacketView& view) {
    add_values(s, view, read_event(view));
}

void StreamStatistics::add_values(Stream& s, const DataPacketView& view,
                                  const EventValues& values) {
    s.time_value_sum += view.time_value();
    if (!values.hit.found) return;
    s.hit_sum += values.hit.value;
    ++s.hits;
    s.pedestal_sum += static_cast<double>(values.pedestal_sum);
    s.pedestal_square_sum += static_cast<double>(values.pedestal_square_sum);
    s.summary.pedestal_values += values.pedestals;
}

std::vector<StreamSummary> StreamStatistics::summaries() const {
    std::vector<StreamSummary> result;
    for (const auto& [id, s] : streams_) {
        StreamSummary sum = s.summary;
        const uint64_t triggers = sum.packets + sum.missing;
        sum.efficiency = triggers > 0 ? static_cast<double>(sum.packets) / triggers : 0;
        uint64_t events = s.closed_events;
        uint64_t span_us = s.closed_time_us;
        if (s.span_open) {
            events += sum.last_event - s.span_first_event;
            span_us += s.last_time_us - s.span_first_time_us;
        }
        if (span_us > 0 && events > 0) {
            sum.trigger_rate_hz = static_cast<double>(events) * 1e6 / static_cast<double>(span_us);
        }
        if (sum.pedestal_values > 0) {
            const double n = static_cast<double>(sum.pedestal_values);
            const double mean = s.pedestal_sum / n;
            sum.pedestal_mean = mean + kPedestalOrigin;
            sum.pedestal_sigma = std::sqrt(std::max(0.0, s.pedestal_square_sum / n - mean * mean));
        }
        if (s.hits > 0) {
            sum.hit_value_mean = s.hit_sum / static_cast<double>(s.hits);
            if (sum.pedestal_mean)
                sum.hit_amplitude_mean = *sum.hit_value_mean - *sum.pedestal_mean;
        }
        if (sum.packets > 0)
            sum.time_value_mean = s.time_value_sum / static_cast<double>(sum.packets);
        result.push_back(sum);
    }
    return result;
}

void StreamStatistics::restart_run() {
    for (auto& [id, s] : streams_) {
        if (s.last_raw_event < 0) continue;
        close_span(s);
        s.last_raw_event = -1;
        s.run_restarted = true;
    }
}

uint64_t StreamStatistics::malformed_total() const {
    uint64_t total = 0;
    for (const auto& [fault, n] : malformed_) total += n;
    return total;
}

uint64_t StreamStatistics::missing(int hybrid) const {
    const auto found = streams_.find(hybrid);
    return found == streams_.end() ? 0 : found->second.summary.missing;
}

uint64_t StreamStatistics::triggers() const {
    uint64_t most = 0;
    for (const auto& [id, s] : streams_) most = std::max(most, s.summary.last_event);
    return most;
}

std::vector<int> StreamStatistics::hybrids() const {
    std::vector<int> ids;
    for (const auto& [id, s] : streams_) ids.push_back(id);
    return ids;
}

}  // namespace daq
