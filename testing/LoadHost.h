// What the load, fault and soak programs share on the host side: the requests the load and
// fault tests send from raw peers, the tests they apply to what comes back (read with the host
// library's acknowledge and data-packet readers), and the resident memory of the emulator
// process.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "protocol/Acknowledge.h"
#include "protocol/BasePacket.h"
#include "protocol/DataPacketView.h"
#include "protocol/ModuleRequest.h"
#include "testing/UdpPeer.h"

namespace load {

using namespace daq;

inline std::vector<uint8_t> wire_request(const ModuleRequest& request) {
    const auto bytes = request.wire();
    return {bytes.begin(), bytes.end()};
}
inline std::vector<uint8_t> discovery_request() { return wire_request(ModuleRequest::discovery()); }
// A DAQ command for the whole module: non-zero starts a run, 0 stops it.
inline std::vector<uint8_t> daq_request(uint16_t command) {
    return wire_request(ModuleRequest::setting(packet::kDaqCommand, packet::kAllHybrids, command));
}

inline bool is_acknowledge(const std::vector<uint8_t>& bytes) {
    return Acknowledge::parse(bytes.data(), bytes.size()).has_value();
}
inline bool is_acknowledge_of(const std::vector<uint8_t>& bytes, uint8_t code) {
    const std::optional<Acknowledge> ack = Acknowledge::parse(bytes.data(), bytes.size());
    return ack && ack->answers(code);
}
inline bool is_data_packet(const std::vector<uint8_t>& bytes) {
    return DataPacketView(bytes.data(), bytes.size()).ok();
}

// Sends the request until its acknowledge comes back (again every half second), skipping
// data packets and other acknowledges; false when none came within the time.
inline bool request_acknowledged(UdpPeer& host, const std::vector<uint8_t>& request, uint8_t code,
                                 double timeout_s) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(timeout_s));
    while (Clock::now() < deadline) {
        if (!host.send(request)) return false;
        const auto resend = Clock::now() + std::chrono::milliseconds(500);
        while (Clock::now() < resend) {
            auto reply = host.receive(0.1);
            if (reply && is_acknowledge_of(*reply, code)) return true;
        }
    }
    return false;
}

// Waits for `count` data packets; false when they did not all come within the time.
inline bool data_flows(UdpPeer& host, int count, double timeout_s) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(timeout_s));
    int seen = 0;
    while (seen < count && Clock::now() < deadline) {
        auto packet = host.receive(0.1);
        if (packet && is_data_packet(*packet)) ++seen;
    }
    return seen >= count;
}

// The resident set of the process in kB (VmRSS), or nothing when it cannot be read.
inline std::optional<long> resident_kb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return std::nullopt;
}

// The UDP counters of the network namespace (the Udp lines of /proc/net/snmp): datagrams
// delivered to sockets and those dropped because the receiving socket's buffer was full.
struct UdpCounters {
    long delivered = 0;
    long dropped_full_buffer = 0;
};

inline std::optional<UdpCounters> udp_counters() {
    std::ifstream snmp("/proc/net/snmp");
    std::string names;
    std::string values;
    while (std::getline(snmp, names) && std::getline(snmp, values)) {
        if (names.rfind("Udp:", 0) != 0) continue;
        std::istringstream name_words(names);
        std::istringstream value_words(values);
        std::string name;
        std::string value;
        UdpCounters counters;
        while (name_words >> name && value_words >> value) {
            if (name == "InDatagrams") counters.delivered = std::stol(value);
            if (name == "RcvbufErrors") counters.dropped_full_buffer = std::stol(value);
        }
        return counters;
    }
    return std::nullopt;
}

}  // namespace load
