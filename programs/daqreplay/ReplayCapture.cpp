#include "daqreplay/ReplayCapture.h"

#include <algorithm>
#include <utility>

#include "daqhost/CaptureReader.h"
#include "daqhost/DatagramClassifier.h"
#include "protocol/DataPacketView.h"

using namespace daq;

namespace {

constexpr int kHybrids = 4;
// Where the stream id byte stands: the high bytes of words 1 and 8.
constexpr size_t kIdByteOfWord1 = 2;
constexpr size_t kIdByteOfWord8 = 16;

std::string module_list(const std::vector<std::string>& modules) {
    std::string text;
    for (const std::string& m : modules) text += (text.empty() ? "" : ", ") + m;
    return text;
}

uint8_t mapped(uint8_t id, const std::vector<StreamMapping>& mappings) {
    for (const StreamMapping& mapping : mappings) {
        if (mapping.from == id) return mapping.to;
    }
    return id;
}

}  // namespace

const std::vector<CapturedPacket>* ReplayCapture::packets_of(int id) const {
    const auto found = streams.find(id);
    return found == streams.end() || found->second.empty() ? nullptr : &found->second;
}

std::optional<ReplayCapture> read_replay_capture(const std::string& path,
                                                 const std::vector<StreamMapping>& mappings,
                                                 const std::optional<Endpoint>& wanted,
                                                 std::string& error) {
    CaptureReader reader;
    if (!reader.open(path)) {
        error = reader.error();
        return std::nullopt;
    }
    ReplayCapture capture;
    capture.path = path;
    const auto is_wanted = [&](const Endpoint& module) {
        return !wanted || (module.address == wanted->address &&
                           (wanted->port == 0 || module.port == wanted->port));
    };
    DatagramClassifier classifier(wanted && wanted->port != 0 ? std::optional(wanted->port)
                                                              : std::nullopt);
    std::optional<Endpoint> module;
    // Damaged packets by module, as the module kept is known only from its first whole one.
    std::vector<std::pair<Endpoint, uint64_t>> damaged;
    CaptureRecord record;
    while (reader.next(record)) {
        const DatagramClassifier::Classification c = classifier.classify(record);
        if (c.kind == DatagramClassifier::Kind::kMalformed && !c.to_module) {
            auto found = std::find_if(damaged.begin(), damaged.end(),
                                      [&](const auto& d) { return d.first == c.module; });
            if (found == damaged.end()) found = damaged.insert(found, {c.module, 0});
            ++found->second;
        }
        if (c.kind != DatagramClassifier::Kind::kData) continue;
        const std::string sender = c.module.text();
        if (std::find(capture.modules.begin(), capture.modules.end(), sender) ==
            capture.modules.end()) {
            capture.modules.push_back(sender);
        }
        if (!module && is_wanted(c.module)) module = c.module;
        if (c.module != module) {
            ++capture.other_modules;
            continue;
        }
        const DataPacketView& view = *c.data;
        const uint8_t id = mapped(view.id(), mappings);
        const bool remapped = id != view.id();
        CapturedPacket packet{record.time_ns, std::move(record.payload)};
        if (remapped) {
            packet.bytes[kIdByteOfWord1] = id;
            packet.bytes[kIdByteOfWord8] = id;
        }
        capture.streams[id].push_back(std::move(packet));
        ++capture.packets;
    }
    if (reader.failed()) {
        error = reader.error();
        return std::nullopt;
    }
    if (const std::string none = classifier.no_module_reason(); !none.empty()) {
        error = path + ": " + none + " (--module ADDR:PORT names the module and its port)";
        return std::nullopt;
    }
    if (!module) {
        error = path + ": no data packets (whole data packets from a module)";
        if (wanted && !capture.modules.empty()) {
            error = path + ": no data packets of " + wanted->address_text() +
                    (wanted->port == 0 ? "" : ":" + std::to_string(wanted->port)) +
                    " (whole data packets from a module), only of " + module_list(capture.modules);
        }
        return std::nullopt;
    }
    capture.module = module->text();
    for (const auto& [sender, count] : damaged) {
        if (sender == *module) capture.damaged = count;
    }
    return capture;
}

std::vector<int> module_streams(uint8_t mask) {
    std::vector<int> ids;
    for (int i = 0; i < kHybrids; ++i) {
        if ((mask & (1 << i)) != 0) ids.push_back(i + 1);
    }
    return ids;
}

std::vector<int> streams_without_data(const ReplayCapture& capture, uint8_t mask) {
    std::vector<int> ids;
    for (const int id : module_streams(mask)) {
        if (capture.packets_of(id) == nullptr) ids.push_back(id);
    }
    return ids;
}
