// The data packets of a capture, read once at start-up and kept by stream, for a module that
// sends them again (ReplayedEvents).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "daqhost/Endpoint.h"

// Captured stream `from` is sent as stream `to`.
struct StreamMapping {
    uint8_t from = 0;
    uint8_t to = 0;
};

struct CapturedPacket {
    int64_t time_ns = 0;  // when the capture took it: a host's receive time
    // As on the wire, the stream id in words 1 and 8 already that of the stream it is sent as.
    std::vector<uint8_t> bytes;
};

struct ReplayCapture {
    std::string path;
    // The module whose data packets are kept ("a.b.c.d:10000"): the one asked for, or else the
    // sender of the first data packet.
    std::string module;
    // Every module that sent a whole data packet, in the order of its first one.
    std::vector<std::string> modules;
    // By the stream id they are sent as, each in capture order.
    std::map<int, std::vector<CapturedPacket>> streams;
    uint64_t packets = 0;
    // Datagrams from a module that are neither an acknowledge nor a whole data packet.
    uint64_t damaged = 0;
    // Whole data packets of other modules of the same capture.
    uint64_t other_modules = 0;

    // The packets to be sent as stream `id`, or null when there are none.
    const std::vector<CapturedPacket>* packets_of(int id) const;
};

// Reads the data packets of a capture: the datagrams from a module (DatagramClassifier) that
// DataPacketView accepts, of `wanted` (port 0: on any port, a port: the module port of the
// capture) or else of the first module that sent one, with their stream ids mapped. Requests
// and acknowledges are passed over, damaged packets counted. Nothing, with `error` set, for a
// file that is missing, empty, truncated or not a capture, and for one without data packets of
// the module.
std::optional<ReplayCapture> read_replay_capture(const std::string& path,
                                                 const std::vector<StreamMapping>& mappings,
                                                 const std::optional<daq::Endpoint>& wanted,
                                                 std::string& error);

// The ids of a module's streams: the hybrids 1 to 4 of the mask's low bits.
std::vector<int> module_streams(uint8_t mask);

// The ids of the module's streams that have no packet in the capture.
std::vector<int> streams_without_data(const ReplayCapture& capture, uint8_t mask);
