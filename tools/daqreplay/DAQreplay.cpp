#include "daqreplay/DAQreplay.h"

#include <algorithm>
#include <utility>

#include "protocol/BasePacket.h"
#include "protocol/DataPacketView.h"
#include "protocol/Request.h"
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

DAQreplay::DAQreplay(const std::string& interface, int port, int chip_type, ReplayCapture capture,
                     ReplayOptions options)
    : DAQmodule(interface, port, chip_type, Pedestals::kNone),
      capture_(std::move(capture)),
      options_(options) {}

unsigned short DAQreplay::take_request(const std::string& sender, unsigned short port,
                                       const char* data, int size, AcknowledgePacket* ack) {
    const unsigned short result = DAQmodule::take_request(sender, port, data, size, ack);
    const Request request(data, size);
    const int code = request.code();
    if (code != packet::kConfigureStream && code != packet::kReadoutMode) return result;
    if (const DataStream* stream = find_stream(request.hybrid())) check_layout(*stream, code);
    return result;
}

void DAQreplay::check_layout(const DataStream& stream, int code) {
    const std::vector<CapturedPacket>* packets = capture_.packets_of(stream.id());
    if (packets == nullptr) return;
    const CapturedPacket& first = packets->front();
    const DataPacketView captured(first.bytes.data(), first.bytes.size());
    const unsigned mode = captured.mode();
    const unsigned count = captured.count();
    std::string asked;
    if (code == packet::kReadoutMode) {
        const auto asked_mode = static_cast<unsigned>(stream.readout_mode());
        if (asked_mode == mode && (mode != 4 || static_cast<unsigned>(stream.nadj()) == count)) {
            return;
        }
        asked = "readout mode " + std::to_string(asked_mode);
        if (asked_mode == 4) asked += " with nadj " + std::to_string(stream.nadj());
    } else {
        // The count word gives the channels in every readout mode but 2 and 4.
        const int channels = std::max(stream.nchip(), 0) * channels_per_chip();
        if (mode == 2 || mode == 4 || static_cast<unsigned>(channels) == count) return;
        asked =
            std::to_string(stream.nchip()) + " chips (" + std::to_string(channels) + " channels)";
    }
    Vantor::ostream log;
    log << Vantor::loglevel(Vantor::Log::Info) << "Hybrid " << stream.id() << " asks for " << asked
        << ", but its captured packets have readout mode " << mode << " and count " << count
        << ": the capture's layout is kept" << std::endl;
}

void DAQreplay::start_run() {
    next_.clear();
    end_reported_ = false;
    behind_ = 0.0;
    DAQmodule::start_run();
    // The drawn intervals go on as testModule's do; the others begin at the capture's start.
    if (options_.pace != ReplayPace::kRate) set_interval();
}

size_t DAQreplay::next_index(int id) const {
    const auto found = next_.find(id);
    return found == next_.end() ? 0 : found->second;
}

const CapturedPacket* DAQreplay::take_packet(int id) {
    const std::vector<CapturedPacket>* packets = capture_.packets_of(id);
    if (packets == nullptr) return nullptr;
    size_t& next = next_[id];
    if (next == packets->size()) {
        if (!options_.loop) return nullptr;
        next = 0;
    }
    return &(*packets)[next++];
}

bool DAQreplay::data_left() const {
    return std::any_of(stream_list().begin(), stream_list().end(), [this](const DataStream* s) {
        const std::vector<CapturedPacket>* packets = capture_.packets_of(s->id());
        return packets != nullptr && (options_.loop || next_index(s->id()) < packets->size());
    });
}

void DAQreplay::produce_event(const DataStream& stream, uint16_t event, uint32_t time_stamp, int) {
    // A packet whose trigger fails the efficiency test is passed over, as a generated one
    // would not have been sent: the gap in the event numbers stands for it.
    const bool passed = passes_efficiency_test();
    const CapturedPacket* packet = take_packet(stream.id());
    if (passed && packet != nullptr) send_captured(*packet, event, time_stamp);
}

void DAQreplay::send_captured(const CapturedPacket& packet, uint16_t event, uint32_t time_stamp) {
    const std::vector<uint8_t>* bytes = &packet.bytes;
    if (!options_.keep_headers) {
        outgoing_ = packet.bytes;
        put_word(outgoing_, 3, event);
        put_word(outgoing_, 4, static_cast<uint16_t>(time_stamp >> 16));
        put_word(outgoing_, 5, static_cast<uint16_t>(time_stamp & 0xFFFF));
        bytes = &outgoing_;
    }
    send_data(reinterpret_cast<const char*>(bytes->data()), static_cast<int>(bytes->size()));
}

double DAQreplay::next_interval(double overrun) {
    if (run_active() && !end_reported_ && !data_left()) {
        Vantor::ostream log;
        log << Vantor::loglevel(Vantor::Log::Info) << "The capture " << capture_.path
            << " is at its end: the run goes on without data" << std::endl;
        end_reported_ = true;
    }
    if (options_.pace == ReplayPace::kRate) return DAQmodule::next_interval(overrun);
    if (options_.pace == ReplayPace::kAsFastAsPossible) return 0.0;
    for (const DataStream* stream : stream_list()) {
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
        const double wait = std::max(static_cast<double>(gap_ns), 0.0) * 1e-9 - (behind_ + overrun);
        behind_ = std::max(-wait, 0.0);
        return std::max(wait, 0.0);
    }
    return kIntervalWithoutData;
}
