#include "daqhost/DatagramClassifier.h"

#include <algorithm>

#include "daqhost/ModuleClient.h"
#include "protocol/BasePacket.h"

namespace daq {

namespace {

using Classification = DatagramClassifier::Classification;
using Kind = DatagramClassifier::Kind;

// The magic, the code and the two words: what ModuleRequest::parse needs.
constexpr size_t kRequestHeaderBytes = 8;

Classification to_module(const CaptureRecord& record) {
    Classification c;
    c.module = record.destination;
    c.to_module = true;
    const std::vector<uint8_t>& payload = record.payload;
    if (const auto request = ModuleRequest::parse(payload.data(), payload.size())) {
        c.kind = Kind::kRequest;
        c.request = *request;
    } else {
        c.kind = Kind::kMalformed;
        c.fault =
            payload.size() < kRequestHeaderBytes ? "shorter than a request header" : "bad magic";
    }
    return c;
}

Classification sent_by_module(const uint8_t* data, size_t length, const Endpoint& source) {
    Classification c;
    c.module = source;
    if (const auto ack = Acknowledge::parse(data, length)) {
        c.kind = Kind::kAcknowledge;
        c.acknowledge = *ack;
        return c;
    }
    c.data.emplace(data, length);
    if (c.data->ok()) {
        c.kind = Kind::kData;
    } else {
        c.kind = Kind::kMalformed;
        c.fault = describe(c.data->fault());
    }
    return c;
}

}  // namespace

void DatagramClassifier::learn(const CaptureRecord& record) {
    const uint8_t* bytes = record.payload.data();
    const size_t length = record.payload.size();
    uint16_t port = 0;
    if (const auto request = ModuleRequest::parse(bytes, length);
        request && request->code == packet::kDiscovery) {
        port = record.destination.port;
    } else if (const auto ack = Acknowledge::parse(bytes, length);
               ack && ack->code == packet::kDiscovery) {
        port = record.source.port;
    } else {
        return;
    }
    if (std::find(learned_ports_.begin(), learned_ports_.end(), port) == learned_ports_.end()) {
        learned_ports_.push_back(port);
    }
}

bool DatagramClassifier::is_module_port(uint16_t port) const {
    if (fixed_port_) return port == *fixed_port_;
    if (learned_ports_.empty()) return port == ModuleClient::kModulePort;
    return std::find(learned_ports_.begin(), learned_ports_.end(), port) != learned_ports_.end();
}

Classification DatagramClassifier::classify(const CaptureRecord& record) {
    if (!fixed_port_) learn(record);
    const bool to = is_module_port(record.destination.port);
    const bool from = is_module_port(record.source.port);
    if (!to && !from) return {};
    ++module_datagrams_;
    if (!from) return to_module(record);
    Classification c = sent_by_module(record.payload.data(), record.payload.size(), record.source);
    if (to && c.kind == Kind::kMalformed) return to_module(record);
    return c;
}

DatagramVerdict DatagramVerdict::of(const Classification& c) {
    DatagramVerdict v{c, {}};
    if (v.kind == Kind::kData) v.event = read_event(*v.data);
    return v;
}

DatagramVerdict DatagramClassifier::judge(const CaptureRecord& record) {
    return DatagramVerdict::of(classify(record));
}

DatagramVerdict DatagramClassifier::from_module(const uint8_t* data, size_t length,
                                                const Endpoint& source) {
    return DatagramVerdict::of(sent_by_module(data, length, source));
}

std::string DatagramClassifier::no_module_reason() const {
    if (module_datagrams_ > 0) return "";
    if (fixed_port_) return "no datagram to or from port " + std::to_string(*fixed_port_);
    return "no discovery, and no datagram to or from port " +
           std::to_string(ModuleClient::kModulePort);
}

}  // namespace daq
