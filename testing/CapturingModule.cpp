#include "testing/CapturingModule.h"

#include <cstring>
#include <memory>
#include <utility>

#include "protocol/Acknowledge.h"
#include "protocol/BasePacket.h"
#include "protocol/DataPacketView.h"
#include "protocol/PacketConversion.h"

using namespace daq;

namespace {
// The shortest packet the module sends: an acknowledge of eight words.
constexpr size_t kShortestPacket = 16;
}  // namespace

std::vector<uint16_t> SentDatagram::words() const {
    std::vector<uint16_t> result(bytes.size() / 2);
    for (size_t i = 0; i < result.size(); ++i) result[i] = wire_word(bytes.data(), bytes.size(), i);
    return result;
}

bool SentDatagram::is_data() const { return DataPacketView(bytes.data(), bytes.size()).ok(); }

bool SentDatagram::is_ack() const {
    return Acknowledge::parse(bytes.data(), bytes.size()).has_value();
}

bool is_whole_packet(const uint8_t* bytes, size_t length) {
    if (bytes == nullptr || length < kShortestPacket || length % 2 != 0) return false;
    return wire_word(bytes, length, 0) == packet::kMagic &&
           wire_word(bytes, length, length / 2 - 1) == packet::kTrailer;
}

CapturingModule::CapturingModule(int chip_type, Capture capture, int port)
    : DAQmodule("lo", port, chip_type), capture_(capture) {}

CapturingModule::CapturingModule(int chip_type, Capture capture,
                                 std::unique_ptr<EventSource> events)
    : DAQmodule("lo", 10000, chip_type, std::move(events)), capture_(capture) {}

void CapturingModule::take(const std::string& address, int port, const char* data, int length) {
    const size_t size = length > 0 ? static_cast<size_t>(length) : 0;
    const auto* bytes = reinterpret_cast<const uint8_t*>(data);
    ++packets_;
    bytes_ += size;
    if (capture_.check) {
        if (!is_whole_packet(bytes, size)) ++malformed_;
        for (size_t i = 0; i < size; ++i) checksum_ += bytes[i];
    }
    if (capture_.record) {
        sent.push_back({address, port, std::vector<uint8_t>(bytes, bytes + size)});
    }
}

int CapturingModule::send_packet(const std::string& address, int port, const char* data,
                                 int length) {
    take(address, port, data, length);
    if (capture_.forward) return DAQmodule::send_packet(address, port, data, length);
    return 0;
}

int CapturingModule::send_packets(const std::string& address, int port,
                                  std::span<OutgoingDatagram> datagrams) {
    for (OutgoingDatagram& datagram : datagrams) {
        take(address, port, datagram.data, datagram.length);
        datagram.sent = true;
    }
    if (capture_.forward) return DAQmodule::send_packets(address, port, datagrams);
    return static_cast<int>(datagrams.size());
}

void CapturingModule::deliver(const std::string& sender, unsigned short port, const char* data,
                              size_t length) {
    if (length == 0) return;
    const auto buffer = std::make_unique_for_overwrite<char[]>(length);
    std::memcpy(buffer.get(), data, length);
    const int size = static_cast<int>(length);
    filter(buffer.get(), size);
    handle_request(sender, port, buffer.get(), size);
}

void CapturingModule::deliver(const std::vector<uint16_t>& words, const std::string& sender,
                              unsigned short port) {
    const size_t length = 2 * words.size();
    const WireWords wire =
        convert_packet(reinterpret_cast<const char*>(words.data()), static_cast<int>(length));
    deliver(sender, port, reinterpret_cast<const char*>(wire.get()), length);
}

std::vector<SentDatagram> CapturingModule::data_packets() const {
    std::vector<SentDatagram> result;
    for (const SentDatagram& datagram : sent) {
        if (datagram.is_data()) result.push_back(datagram);
    }
    return result;
}
