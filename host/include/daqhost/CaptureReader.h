// Reads the UDP datagrams of a pcap file: the files CaptureWriter makes (raw IPv4), and
// captures taken on Ethernet or with tcpdump -i any. Frames that are not whole IPv4/UDP
// datagrams are skipped and counted.
#pragma once

#include <cstdint>
#include <string>

#include "daqhost/CaptureRecord.h"
#include "protocol/Export.h"

namespace daq {

class DAQ_API CaptureReader {
  public:
    CaptureReader() = default;
    ~CaptureReader();
    CaptureReader(const CaptureReader&) = delete;
    CaptureReader& operator=(const CaptureReader&) = delete;

    // Opens a capture; false with error() set ("PATH: empty file", "PATH: not a pcap capture
    // file", "PATH: link type N is not supported", ...).
    bool open(const std::string& path);
    // The next UDP datagram; false at the end of the file, and also on a damaged file, with
    // error() set then ("PATH: truncated in record N: ...").
    bool next(CaptureRecord& record);

    const std::string& error() const { return error_; }
    bool failed() const { return !error_.empty(); }
    // Frames read so far that were not IPv4/UDP datagrams (or were fragments of one).
    uint64_t skipped() const { return skipped_; }
    uint64_t records() const { return records_; }

  private:
    struct Handle;
    Handle* handle_ = nullptr;
    std::string path_;
    std::string error_;
    int link_type_ = 0;
    uint64_t skipped_ = 0;
    uint64_t records_ = 0;
};

}  // namespace daq
