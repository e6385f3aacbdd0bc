// Records datagrams in a pcap file (nanosecond time stamps, raw IPv4 frames with IPv4 and UDP
// headers), which tcpdump, tshark and Wireshark open as they are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "daqhost/Endpoint.h"
#include "protocol/Export.h"

namespace daq {

class DAQ_API CaptureWriter {
  public:
    CaptureWriter() = default;
    ~CaptureWriter();
    CaptureWriter(const CaptureWriter&) = delete;
    CaptureWriter& operator=(const CaptureWriter&) = delete;

    // Creates (or truncates) the file; false with error() set when it cannot.
    bool open(const std::string& path);
    bool is_open() const;
    // Appends one datagram; false with error() set once a write has failed (later calls do
    // nothing and return false).
    bool write(int64_t time_ns, const Endpoint& source, const Endpoint& destination,
               const uint8_t* payload, size_t length);
    // Flushes and closes; false with error() set when the data could not all be written.
    // Safe to call twice; the destructor calls it.
    bool close();

    const std::string& error() const { return error_; }
    uint64_t records() const { return records_; }

  private:
    struct Dumper;
    Dumper* dumper_ = nullptr;
    std::string path_;
    std::string error_;
    std::vector<uint8_t> frame_;
    uint64_t records_ = 0;
};

}  // namespace daq
