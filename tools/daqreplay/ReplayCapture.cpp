#include "daqreplay/ReplayCapture.h"

#include "daqhost/CaptureReader.h"
#include "protocol/Acknowledge.h"
#include "protocol/DataPacketView.h"

using namespace daq;

namespace {

constexpr uint16_t kModulePort = 10000;
constexpr int kHybrids = 4;
// Where the stream id byte stands: the high bytes of words 1 and 8.
constexpr size_t kIdByteOfWord1 = 2;
constexpr size_t kIdByteOfWord8 = 16;

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
                                                 std::string& error) {
    CaptureReader reader;
    if (!reader.open(path)) {
        error = reader.error();
        return std::nullopt;
    }
    ReplayCapture capture;
    capture.path = path;
    std::optional<Endpoint> module;
    CaptureRecord record;
    while (reader.next(record)) {
        if (record.source.port != kModulePort) continue;
        const uint8_t* bytes = record.payload.data();
        const size_t length = record.payload.size();
        const DataPacketView view(bytes, length);
        if (!view.ok()) {
            if (!Acknowledge::parse(bytes, length)) ++capture.damaged;
            continue;
        }
        if (!module) module = record.source;
        if (record.source != *module) {
            ++capture.other_modules;
            continue;
        }
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
    if (!module) {
        error = path + ": no data packets (whole data packets sent from port 10000)";
        return std::nullopt;
    }
    capture.module = module->text();
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
