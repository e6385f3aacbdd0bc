#include "daqreplay/ReplayedEvents.h"

#include <algorithm>
#include <utility>

#include "module/DataStream.h"
#include "module/generation.h"
#include "protocol/BasePacket.h"
#include "protocol/DataPacketView.h"
#include "support/Vantor.h"

using namespace daq;

namespace {

// The wait between the cycles of a run that has nothing left to send; they only count events.
constexpr double kIntervalWithoutData = 0.1;

void put_word(std::vector<uint8_t>& bytes, size_t i, uint16_t value) {
    bytes[2 * i] = static_cast<uint8_t>(value >> 8);
    bytes[2 * i + 1] = static_cast<uint8_t>(value & 0xFF);
}

}  // namespace

ReplayedEvents::ReplayedEvents(ReplayCapture capture, ReplayOptions options)
    : capture_(std::move(capture)), options_(options) {}

std::optional<ReplayedEvents::CapturedLayout> ReplayedEvents::captured_layout(
    const DataStream& stream) const {
    const std::vector<CapturedPacket>* packets = capture_.packets_of(stream.id());
    if (packets == nullptr) return std::nullopt;
    const CapturedPacket& first = packets->front();
    const DataPacketView view(first.bytes.data(), first.bytes.size());
    return CapturedLayout{view.mode(), view.count()};
}

void ReplayedEvents::report_layout(const DataStream& stream, const CapturedLayout& captured,
                                   const std::string& asked) {
    Vantor::ostream log;
    log << Vantor::loglevel(Vantor::Log::Info) << "Hybrid " << stream.id() << " asks for " << asked
        << ", but its captured packets have readout mode " << captured.mode << " and count "
        << captured.count << ": the capture's layout is kept" << std::endl;
}

void ReplayedEvents::chips_set(const DataStream& stream) {
    const std::optional<CapturedLayout> captured = captured_layout(stream);
    if (!captured) return;
    // The count word gives the channels in every readout mode but 2 and 4.
    const int channels =
        std::max(stream.nchip(), 0) * packet::channels_per_chip(stream.chip_type());
    const unsigned mode = captured->mode;
    if (mode == 2 || mode == 4 || static_cast<unsigned>(channels) == captured->count) return;
    report_layout(
        stream, *captured,
        std::to_string(stream.nchip()) + " chips (" + std::to_string(channels) + " channels)");
}

void ReplayedEvents::readout_mode_set(const DataStream& stream) {
    const std::optional<CapturedLayout> captured = captured_layout(stream);
    if (!captured) return;
    const auto asked_mode = static_cast<unsigned>(stream.readout_mode());
    if (asked_mode == captured->mode &&
        (asked_mode != 4 || static_cast<unsigned>(stream.nadj()) == captured->count)) {
        return;
    }
    std::string asked = "readout mode " + std::to_string(asked_mode);
    if (asked_mode == 4) asked += " with nadj " + std::to_string(stream.nadj());
    report_layout(stream, *captured, asked);
}

std::optional<double> ReplayedEvents::start_run(const Pacing& pacing) {
    next_.clear();
    end_reported_ = false;
    behind_ = 0.0;
    // The drawn intervals go on as testModule's do; the others begin at the capture's start.
    if (options_.pace == ReplayPace::kRate) return std::nullopt;
    return next_interval(pacing);
}

size_t ReplayedEvents::next_index(int id) const {
    const auto found = next_.find(id);
    return found == next_.end() ? 0 : found->second;
}

const CapturedPacket* ReplayedEvents::take_packet(int id) {
    const std::vector<CapturedPacket>* packets = capture_.packets_of(id);
    if (packets == nullptr) return nullptr;
    size_t& next = next_[id];
    if (next == packets->size()) {
        if (!options_.loop) return nullptr;
        next = 0;
    }
    return &(*packets)[next++];
}

bool ReplayedEvents::data_left(const std::vector<DataStream*>& streams) const {
    return std::any_of(streams.begin(), streams.end(), [this](const DataStream* s) {
        const std::vector<CapturedPacket>* packets = capture_.packets_of(s->id());
        return packets != nullptr && (options_.loop || next_index(s->id()) < packets->size());
    });
}

void ReplayedEvents::pass_over(const DataStream& stream) { take_packet(stream.id()); }

std::span<const uint8_t> ReplayedEvents::make_event(const DataStream& stream,
                                                    const Trigger& trigger) {
    const CapturedPacket* packet = take_packet(stream.id());
    if (packet == nullptr) return {};
    if (options_.keep_headers) return packet->bytes;
    outgoing_ = packet->bytes;
    put_word(outgoing_, 3, trigger.event);
    put_word(outgoing_, 4, static_cast<uint16_t>(trigger.time_stamp >> 16));
    put_word(outgoing_, 5, static_cast<uint16_t>(trigger.time_stamp & 0xFFFF));
    return outgoing_;
}

double ReplayedEvents::next_interval(const Pacing& pacing) {
    if (pacing.run_active && !end_reported_ && !data_left(pacing.streams)) {
        Vantor::ostream log;
        log << Vantor::loglevel(Vantor::Log::Info) << "The capture " << capture_.path
            << " is at its end: the run goes on without data" << std::endl;
        end_reported_ = true;
    }
    if (options_.pace == ReplayPace::kRate) return draw_interval(pacing.random, pacing.period);
    if (options_.pace == ReplayPace::kAsFastAsPossible) return 0.0;
    for (const DataStream* stream : pacing.streams) {
        const std::vector<CapturedPacket>* packets = capture_.packets_of(stream->id());
        if (packets == nullptr) continue;
        size_t next = next_index(stream->id());
        if (next == packets->size()) {
            if (!options_.loop) continue;
            next = 0;
        }
        // A pass through the capture begins without a wait.
        if (next == 0) {
            behind_ = 0.0;
            return 0.0;
        }
        const int64_t gap_ns = (*packets)[next].time_ns - (*packets)[next - 1].time_ns;
        // The captured gaps run from one trigger to the next, so they hold the duration of the
        // captured cycles already: what this cycle took beyond its interval is taken off.
        const double wait =
            std::max(static_cast<double>(gap_ns), 0.0) * 1e-9 - (behind_ + pacing.overrun);
        behind_ = std::max(-wait, 0.0);
        return std::max(wait, 0.0);
    }
    return kIntervalWithoutData;
}
