#include "daqhost/DatagramDescription.h"

#include <charconv>
#include <concepts>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string_view>

#include "daqhost/EventReading.h"
#include "protocol/BasePacket.h"
#include "protocol/DataPacket.h"

namespace daq {

namespace {

using Kind = DatagramClassifier::Kind;
using Decoded = DatagramClassifier::Classification;

// Appends text and numbers to one output line without a std::string per field.
class Line {
  public:
    explicit Line(std::string& text) : text_(text) {}

    Line& operator<<(std::string_view text) {
        text_.append(text);
        return *this;
    }
    Line& operator<<(char c) {
        text_.push_back(c);
        return *this;
    }
    template <std::integral T>
    Line& operator<<(T value) {
        char digits[24];
        text_.append(digits, std::to_chars(digits, digits + sizeof(digits), value).ptr);
        return *this;
    }
    // The shortest text that reads back as the same number, so that sixteenths stay exact.
    Line& operator<<(double value) {
        char digits[32];
        text_.append(digits, std::to_chars(digits, digits + sizeof(digits), value).ptr);
        return *this;
    }
    Line& hex(uint16_t value) {
        char digits[8];
        std::snprintf(digits, sizeof(digits), "0x%04x", value);
        text_.append(digits);
        return *this;
    }
    // Nanoseconds as seconds with six decimals.
    Line& seconds(int64_t ns) {
        if (ns < 0) text_.push_back('-');
        const uint64_t magnitude = ns < 0 ? 0 - static_cast<uint64_t>(ns) : ns;
        const uint64_t microseconds = (magnitude + 500) / 1000;
        char digits[32];
        std::snprintf(digits, sizeof(digits), "%llu.%06llu",
                      static_cast<unsigned long long>(microseconds / 1'000'000),
                      static_cast<unsigned long long>(microseconds % 1'000'000));
        text_.append(digits);
        return *this;
    }

  private:
    std::string& text_;
};

void text_request(Line& line, const ModuleRequest& request) {
    const unsigned code = request.code;
    const unsigned hybrid = request.hybrid();
    line << "code " << code << " (" << command_name(code) << "), words ";
    line.hex(request.word2) << ' ';
    line.hex(request.word3);
    switch (code) {
        case packet::kConfigureStream: {
            const StreamConfiguration c = request.stream_configuration();
            line << ", hybrid " << hybrid << ", chip type " << c.chip_type << ", chips " << c.chips;
            break;
        }
        case packet::kReadoutMode: {
            const ReadoutModeSetting r = request.readout_mode();
            line << ", hybrid " << hybrid << ", mode " << r.mode << ", nadj " << r.nadj;
            break;
        }
        case packet::kDaqCommand:
            line << ", hybrid " << hybrid << (hybrid == packet::kAllHybrids ? " (all)" : "")
                 << ", command " << (request.starts() ? "start" : "stop");
            break;
        default:
            break;
    }
}

void text_data(Line& line, const DataPacketView& view, const Hit& hit) {
    line << "stream " << view.stream() << ", mode " << view.mode() << ", count " << view.count()
         << ", event " << view.event() << ", time stamp " << view.time_stamp() << " us, time value "
         << view.time_value() << ", " << view.length() << " bytes";
    if (view.mode() == DataPacket::kAllChannels) {
        if (hit.found) line << ", hit channel " << hit.channel << " value " << hit.value;
    } else if (view.triple_count() > 0) {
        line << ", triples";
        for (size_t m = 0; m < view.triple_count(); ++m) {
            const NeighbourTriple t = view.triple(m);
            line << " [" << t.channel << ' ' << t.right << ' ' << t.left << ']';
        }
    }
}

}  // namespace

const char* DatagramDescription::direction(Kind kind) {
    switch (kind) {
        case Kind::kRequest:
            return "request";
        case Kind::kAcknowledge:
            return "acknowledge";
        case Kind::kData:
            return "data";
        case Kind::kMalformed:
        case Kind::kOther:
            break;
    }
    return "malformed";
}

const std::string& DatagramDescription::line(int64_t time_ns, const CaptureRecord& record,
                                             const Decoded& d) {
    return line(time_ns, record, DatagramVerdict::of(d));
}

void DatagramDescription::text(int64_t time_ns, const CaptureRecord& record, const Decoded& d) {
    text(time_ns, record, DatagramVerdict::of(d));
}

void DatagramDescription::json(int64_t time_ns, const CaptureRecord& record, const Decoded& d) {
    json(time_ns, record, DatagramVerdict::of(d));
}

const std::string& DatagramDescription::line(int64_t time_ns, const CaptureRecord& record,
                                             const DatagramVerdict& d) {
    line_.clear();
    if (form_ == Form::kJson) {
        json(time_ns, record, d);
    } else {
        text(time_ns, record, d);
    }
    return line_;
}

void DatagramDescription::text(int64_t time_ns, const CaptureRecord& record,
                               const DatagramVerdict& d) {
    Line line(line_);
    line.seconds(time_ns) << ' ' << direction(d.kind) << ' ' << record.source.text() << " > "
                          << record.destination.text() << ": ";
    const Acknowledge& ack = d.acknowledge;
    switch (d.kind) {
        case Kind::kRequest:
            text_request(line, d.request);
            break;
        case Kind::kAcknowledge:
            line << "code " << ack.code << " (" << command_name(ack.code) << "), error "
                 << ack.error << " (" << error_text(ack.error) << "), version "
                 << ack.version_text();
            break;
        case Kind::kData:
            text_data(line, *d.data, d.event.hit);
            break;
        case Kind::kMalformed:
        case Kind::kOther:
            line << d.fault << ", " << record.payload.size() << " bytes";
            break;
    }
    line << '\n';
}

// Ordered, so that every line reads time, direction and ends first, as the text does.
void DatagramDescription::json(int64_t time_ns, const CaptureRecord& record,
                               const DatagramVerdict& d) {
    nlohmann::ordered_json j;
    j["time"] = static_cast<double>(time_ns) / 1e9;
    j["direction"] = direction(d.kind);
    j["source"] = record.source.text();
    j["destination"] = record.destination.text();
    switch (d.kind) {
        case Kind::kRequest: {
            const ModuleRequest& request = d.request;
            const unsigned code = request.code;
            j["code"] = code;
            j["name"] = command_name(code);
            j["word2"] = request.word2;
            j["word3"] = request.word3;
            if (code == packet::kConfigureStream) {
                const StreamConfiguration c = request.stream_configuration();
                j["hybrid"] = c.hybrid;
                j["chip_type"] = c.chip_type;
                j["chips"] = c.chips;
            } else if (code == packet::kReadoutMode) {
                const ReadoutModeSetting r = request.readout_mode();
                j["hybrid"] = r.hybrid;
                j["mode"] = r.mode;
                j["nadj"] = r.nadj;
            } else if (code == packet::kDaqCommand) {
                j["hybrid"] = request.hybrid();
                j["command"] = request.starts() ? "start" : "stop";
            }
            break;
        }
        case Kind::kAcknowledge:
            j["code"] = d.acknowledge.code;
            j["name"] = command_name(d.acknowledge.code);
            j["error"] = d.acknowledge.error;
            j["error_text"] = error_text(d.acknowledge.error);
            j["version"] = d.acknowledge.version_text();
            break;
        case Kind::kData: {
            const DataPacketView& view = *d.data;
            j["stream"] = view.stream();
            j["mode"] = view.mode();
            j["count"] = view.count();
            j["event"] = view.event();
            j["time_stamp"] = view.time_stamp();
            j["time_value"] = view.time_value();
            j["bytes"] = view.length();
            if (view.mode() == DataPacket::kAllChannels) {
                nlohmann::ordered_json::array_t values;
                values.reserve(view.value_count());
                for (size_t i = 0; i < view.value_count(); ++i) values.emplace_back(view.value(i));
                j["values"] = std::move(values);
                if (d.event.hit.found) {
                    j["hit_channel"] = d.event.hit.channel;
                    j["hit_value"] = d.event.hit.value;
                }
            } else if (view.triple_count() > 0) {
                nlohmann::ordered_json::array_t triples;
                triples.reserve(view.triple_count());
                for (size_t m = 0; m < view.triple_count(); ++m) {
                    const NeighbourTriple t = view.triple(m);
                    triples.push_back({t.channel, t.right, t.left});
                }
                j["triples"] = std::move(triples);
            }
            break;
        }
        case Kind::kMalformed:
        case Kind::kOther:
            j["fault"] = d.fault;
            j["bytes"] = record.payload.size();
            break;
    }
    line_ = j.dump();
    line_.push_back('\n');
}

}  // namespace daq
