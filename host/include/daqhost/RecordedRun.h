// A run read back from its capture: the datagrams the capture holds, in its order, read as the
// live session read them, so that every figure (the streams, acknowledges,
// retries, outages, the run's length) is the one the live run gave. A module is the module end
// of the datagrams a DatagramClassifier finds, in the order it first appears. The capture does
// not say what the host's socket dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "daqhost/CaptureRecord.h"
#include "daqhost/DatagramClassifier.h"
#include "daqhost/ModuleRun.h"
#include "protocol/Export.h"

namespace daq {

class RunReader;

class DAQ_API RecordedRun {
  public:
    // Modules on `module_port`, or, without it, on the ports the capture's discoveries show.
    explicit RecordedRun(std::optional<uint16_t> module_port = std::nullopt);
    ~RecordedRun();
    RecordedRun(const RecordedRun& other);
    RecordedRun(RecordedRun&& other) noexcept;
    RecordedRun& operator=(const RecordedRun& other);
    RecordedRun& operator=(RecordedRun&& other) noexcept;

    // Reads the capture; false with error() set when it cannot be opened or is damaged (the
    // datagrams before the damage are counted).
    bool read(const std::string& path);
    // Counts one datagram of a capture, as read() counts each: for a capture read bit by bit,
    // with finish() after the last.
    void add(const CaptureRecord& record);
    void finish();
    // Keep what a live view shows of each stream of the modules found from now on.
    void keep_channels();
    const std::string& error() const { return error_; }
    uint64_t records() const { return records_; }
    // Why no module was found ("no datagram to or from port 10001"); empty when one was.
    std::string no_module_reason() const { return classifier_.no_module_reason(); }

    size_t size() const;
    bool single() const { return size() == 1; }
    const Endpoint& endpoint(size_t i) const;
    const ModuleRun& module(size_t i) const;
    ModuleFigures figures(size_t i) const { return module(i).figures(); }
    ModuleFigures total() const;
    bool every_module_ran() const;
    // From the first start request to the run's stop (to the last datagram until finished).
    double seconds() const;
    // The reading of the capture's datagrams: the library's own, for its programs.
    const RunReader& reader() const;

  private:
    RunReader& reading();

    DatagramClassifier classifier_;
    // The RunReader of the capture's datagrams, held in place: the layout of version 3.0,
    // whose programs read the reader by inline code.
    alignas(8) std::byte reader_[88];
    std::string error_;
    uint64_t records_ = 0;
};

}  // namespace daq
