#include "DecodeCommand.h"

#include <CLI/CLI.hpp>
#include <charconv>
#include <concepts>
#include <cstdio>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "CommandLine.h"
#include "daqhost/CaptureReader.h"
#include "daqhost/EventReading.h"
#include "protocol/Acknowledge.h"
#include "protocol/BasePacket.h"
#include "protocol/DataPacket.h"
#include "protocol/DataPacketView.h"
#include "protocol/PacketConversion.h"

using namespace daq;

namespace {
// A request must hold words 0 and 1 to have a code at all.
constexpr size_t kRequestHeaderBytes = 4;
// Decoding is bound by output; one large buffer keeps it from writing line by line.
constexpr size_t kOutputBufferBytes = 1 << 20;

struct DecodeOptions {
    std::string file;
    bool json = false;
    uint16_t port = ModuleClient::kModulePort;
};

enum class Direction { kRequest, kAcknowledge, kData, kMalformed };

// One datagram as the decoder understood it; the views read the record's payload.
struct Decoded {
    Direction direction = Direction::kMalformed;
    const char* fault = "";
    ModuleRequest request;
    Acknowledge ack;
    std::optional<DataPacketView> data;
};

const char* direction_name(Direction direction) {
    switch (direction) {
        case Direction::kRequest:
            return "request";
        case Direction::kAcknowledge:
            return "acknowledge";
        case Direction::kData:
            return "data";
        case Direction::kMalformed:
            return "malformed";
    }
    return "malformed";
}

Decoded decode_request(const std::vector<uint8_t>& payload) {
    Decoded decoded;
    if (payload.size() < kRequestHeaderBytes) {
        decoded.fault = "shorter than a request header";
        return decoded;
    }
    const std::optional<ModuleRequest> request =
        ModuleRequest::parse(payload.data(), payload.size());
    if (!request) {
        decoded.fault = "bad magic";
        return decoded;
    }
    decoded.request = *request;
    decoded.direction = Direction::kRequest;
    return decoded;
}

Decoded decode_from_module(const std::vector<uint8_t>& payload) {
    Decoded decoded;
    if (const std::optional<Acknowledge> ack = Acknowledge::parse(payload.data(), payload.size())) {
        decoded.direction = Direction::kAcknowledge;
        decoded.ack = *ack;
        return decoded;
    }
    decoded.data.emplace(payload.data(), payload.size());
    if (decoded.data->ok()) {
        decoded.direction = Direction::kData;
    } else {
        decoded.fault = describe(decoded.data->fault());
    }
    return decoded;
}

// Appends text and numbers to one output line without a std::string per field.
class Line {
  public:
    void clear() { text_.clear(); }
    const std::string& text() const { return text_; }

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
    std::string text_;
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

void text_data(Line& line, const DataPacketView& view) {
    line << "stream " << view.stream() << ", mode " << view.mode() << ", count " << view.count()
         << ", event " << view.event() << ", time stamp " << view.time_stamp() << " us, time value "
         << view.time_value() << ", " << view.length() << " bytes";
    if (view.mode() == DataPacket::kAllChannels) {
        const Hit hit = find_hit(view);
        if (hit.found) line << ", hit channel " << hit.channel << " value " << hit.value;
    } else if (view.triple_count() > 0) {
        line << ", triples";
        for (size_t m = 0; m < view.triple_count(); ++m) {
            const NeighbourTriple t = view.triple(m);
            line << " [" << t.channel << ' ' << t.right << ' ' << t.left << ']';
        }
    }
}

void text_line(Line& line, int64_t time_ns, const CaptureRecord& record, const Decoded& d) {
    line.seconds(time_ns) << ' ' << direction_name(d.direction) << ' ' << record.source.text()
                          << " > " << record.destination.text() << ": ";
    switch (d.direction) {
        case Direction::kRequest:
            text_request(line, d.request);
            break;
        case Direction::kAcknowledge:
            line << "code " << d.ack.code << " (" << command_name(d.ack.code) << "), error "
                 << d.ack.error << " (" << error_text(d.ack.error) << "), version "
                 << d.ack.version_text();
            break;
        case Direction::kData:
            text_data(line, *d.data);
            break;
        case Direction::kMalformed:
            line << d.fault << ", " << record.payload.size() << " bytes";
            break;
    }
    line << '\n';
}

// Ordered, so that every line reads time, direction and ends first, as the text does.
nlohmann::ordered_json json_object(int64_t time_ns, const CaptureRecord& record, const Decoded& d) {
    nlohmann::ordered_json j;
    j["time"] = static_cast<double>(time_ns) / 1e9;
    j["direction"] = direction_name(d.direction);
    j["source"] = record.source.text();
    j["destination"] = record.destination.text();
    switch (d.direction) {
        case Direction::kRequest: {
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
        case Direction::kAcknowledge:
            j["code"] = d.ack.code;
            j["name"] = command_name(d.ack.code);
            j["error"] = d.ack.error;
            j["error_text"] = error_text(d.ack.error);
            j["version"] = d.ack.version_text();
            break;
        case Direction::kData: {
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
                const Hit hit = find_hit(view);
                if (hit.found) {
                    j["hit_channel"] = hit.channel;
                    j["hit_value"] = hit.value;
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
        case Direction::kMalformed:
            j["fault"] = d.fault;
            j["bytes"] = record.payload.size();
            break;
    }
    return j;
}

int decode(const DecodeOptions& options) {
    std::setvbuf(stdout, nullptr, _IOFBF, kOutputBufferBytes);
    CaptureReader reader;
    if (!reader.open(options.file)) {
        report_error(reader.error());
        return kExitFailure;
    }
    CaptureRecord record;
    Line line;
    std::optional<int64_t> first_ns;
    uint64_t off_port = 0;
    uint64_t malformed = 0;
    while (reader.next(record)) {
        if (!first_ns) first_ns = record.time_ns;
        const bool to_module = record.destination.port == options.port;
        const bool from_module = record.source.port == options.port;
        if (!to_module && !from_module) {
            ++off_port;
            continue;
        }
        // A host may use the module's port as well; then only the contents tell the
        // direction.
        Decoded decoded = from_module ? decode_from_module(record.payload) : Decoded{};
        if (!from_module || (to_module && decoded.direction == Direction::kMalformed)) {
            decoded = decode_request(record.payload);
        }
        if (decoded.direction == Direction::kMalformed) ++malformed;
        const int64_t time_ns = record.time_ns - *first_ns;
        if (options.json) {
            std::string text = json_object(time_ns, record, decoded).dump();
            text.push_back('\n');
            std::fputs(text.c_str(), stdout);
        } else {
            line.clear();
            text_line(line, time_ns, record, decoded);
            std::fputs(line.text().c_str(), stdout);
        }
    }
    const bool written = std::fflush(stdout) == 0 && std::ferror(stdout) == 0;
    const int write_error = errno;
    if (!options.json) {
        const std::string summary = std::to_string(reader.records()) + " datagrams read, " +
                                    std::to_string(reader.skipped() + off_port) + " skipped, " +
                                    std::to_string(malformed) + " malformed\n";
        std::fputs(summary.c_str(), stderr);
    }
    if (reader.failed()) {
        report_error(reader.error());
        return kExitFailure;
    }
    if (!written) {
        report_error(std::string("standard output: ") + std::strerror(write_error));
        return kExitFailure;
    }
    return 0;
}
}  // namespace

void add_decode_command(CLI::App& app, int& status) {
    auto options = std::make_shared<DecodeOptions>();
    CLI::App* command =
        app.add_subcommand("decode", "print the datagrams of a capture file, one line each");
    command->add_option("FILE", options->file, "a pcap capture file")->required();
    command->add_flag("--json", options->json, "one JSON object per line instead of text");
    command->add_option("--port", options->port, "the module's UDP port")->capture_default_str();
    command->callback([options, &status] { status = decode(*options); });
}
