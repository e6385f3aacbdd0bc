// Sorts the datagrams of a capture into requests to a module, acknowledges and data packets
// from a module, and the rest, and says which module each concerns. A module is known by its
// UDP port: the one the caller gives, or else every port the capture's discoveries show (the
// destination of a discovery request, the source of its acknowledge), and 10000 as long as no
// discovery has been seen. So a capture is classified as it is read: a module's datagrams
// before its discovery count only when they use port 10000. Where both ends use a module's
// port (a host may bind it too), the contents decide: an acknowledge or a whole data packet
// comes from the module, anything else goes to it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "daqhost/CaptureRecord.h"
#include "daqhost/Endpoint.h"
#include "daqhost/EventReading.h"
#include "protocol/Acknowledge.h"
#include "protocol/DataPacketView.h"
#include "protocol/Export.h"
#include "protocol/ModuleRequest.h"

namespace daq {

struct DatagramVerdict;

class DAQ_API DatagramClassifier {
  public:
    enum class Kind {
        kRequest,
        kAcknowledge,
        kData,
        kMalformed,  // to or from a module, but none of the three
        kOther,      // neither end is a module's port
    };

    struct Classification {
        Kind kind = Kind::kOther;
        // The module's end: the destination of a request, the source of what a module sends.
        Endpoint module;
        bool to_module = false;
        ModuleRequest request;    // kRequest
        Acknowledge acknowledge;  // kAcknowledge
        // kData, and kMalformed from a module (with its fault); it reads the record's payload,
        // which must outlive it.
        std::optional<DataPacketView> data;
        const char* fault = "";  // kMalformed: "bad magic", "no trailer", ...
    };

    // Modules on `module_port` only, or, without it, on the ports the discoveries show.
    explicit DatagramClassifier(std::optional<uint16_t> module_port = std::nullopt)
        : fixed_port_(module_port) {}

    Classification classify(const CaptureRecord& record);
    // classify(), and the hit and pedestal sums of a data packet: the verdict that a reader of
    // the run takes.
    DatagramVerdict judge(const CaptureRecord& record);
    // The verdict on a datagram that a module sent from `source`, as its host's socket,
    // connected to the module, takes it: an acknowledge, or what claims to be a data packet.
    // Its data view reads `data`, which must outlive it.
    static DatagramVerdict from_module(const uint8_t* data, size_t length, const Endpoint& source);

    bool is_module_port(uint16_t port) const;
    // Whether a discovery has shown a module's port (never with a port given).
    bool discovered() const { return !learned_ports_.empty(); }
    // Datagrams classified so far that were to or from a module.
    uint64_t module_datagrams() const { return module_datagrams_; }
    // Why none of the datagrams classified was a module's ("no datagram to or from port
    // 10001", "no discovery, and no datagram to or from port 10000"); empty when some were.
    std::string no_module_reason() const;

  private:
    void learn(const CaptureRecord& record);

    std::optional<uint16_t> fixed_port_;
    std::vector<uint16_t> learned_ports_;
    uint64_t module_datagrams_ = 0;
};

// What a datagram is, decided once where it is received (a module's socket, a capture) and
// handed on with it, so that nothing after parses the acknowledge or looks for the hit again.
struct DAQ_API DatagramVerdict : DatagramClassifier::Classification {
    EventValues event;  // kData: the packet's hit and pedestal sums (read_event)

    // `c`, with the hit of its data packet found.
    static DatagramVerdict of(const DatagramClassifier::Classification& c);
};

}  // namespace daq
