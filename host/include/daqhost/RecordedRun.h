// A run read back from its capture: per module, the figures that RunSession keeps as the
// packets arrive, rebuilt from the datagrams the capture holds. A module is the far end of the
// datagrams to and from the module port, in the order it first appears. Data packets count
// from the module's first start request on, as a live run counts them from its start; a
// request sent again before its acknowledge is a retry, and one that never got it (before the
// next request of another code, or the end) an acknowledge missing. The capture does not say
// what the host's socket dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "daqhost/CaptureRecord.h"
#include "daqhost/ModuleClient.h"
#include "daqhost/RunSession.h"
#include "protocol/Export.h"

namespace daq {

class DAQ_API RecordedRun {
  public:
    explicit RecordedRun(uint16_t module_port = ModuleClient::kModulePort)
        : module_port_(module_port) {}

    // Reads the capture; false with error() set when it cannot be opened or is damaged (the
    // datagrams before the damage are counted).
    bool read(const std::string& path);
    // Counts one datagram of a capture, as read() counts each: for a capture read bit by bit.
    void add(const CaptureRecord& record);
    // Keep what a live view shows of each stream of the modules found from now on.
    void keep_channels() { keep_channels_ = true; }
    const std::string& error() const { return error_; }
    uint64_t records() const { return records_; }

    size_t size() const { return modules_.size(); }
    bool single() const { return modules_.size() == 1; }
    const Endpoint& endpoint(size_t i) const { return modules_[i].endpoint; }
    const ModuleRun& module(size_t i) const { return modules_[i].run; }
    ModuleFigures figures(size_t i) const { return modules_[i].run.figures(0); }
    ModuleFigures total() const;
    // From the last start request to the first stop request after it (or the last datagram).
    double seconds() const;

  private:
    struct Module {
        Endpoint endpoint;
        ModuleRun run;
        std::optional<uint8_t> awaited;  // the code of the request without its acknowledge
    };
    Module& module_at(const Endpoint& endpoint);
    void take_request(Module& module, const CaptureRecord& record);
    void take_from_module(Module& module, const CaptureRecord& record);

    uint16_t module_port_;
    std::vector<Module> modules_;
    std::string error_;
    uint64_t records_ = 0;
    std::optional<int64_t> start_ns_;
    std::optional<int64_t> stop_ns_;
    int64_t last_ns_ = 0;
    bool keep_channels_ = false;
};

}  // namespace daq
