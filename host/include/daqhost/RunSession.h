// A run of one module or of many, step by step as a host takes it: discovery, the stop of a
// run left going, the configuration of every hybrid, the start, reception until the run is
// done, the stop and the data still on its way. Each request goes to every module at once; a
// module that gets no acknowledge, or an error code, is reported and left out of the rest.
// The statistics of each module's streams, its acknowledges and retries are kept as the
// packets arrive, and the whole session can be recorded in a capture.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "daqhost/CaptureWriter.h"
#include "daqhost/ModuleClient.h"
#include "daqhost/ModuleGroup.h"
#include "daqhost/ModuleRecovery.h"
#include "daqhost/StreamStatistics.h"
#include "protocol/Export.h"

namespace daq {

// How one hybrid is configured. The chip type is module-wide (RunSettings::chip_type): the
// module takes it from every stream configuration.
struct HybridSettings {
    unsigned hybrid = 1;
    unsigned chips = 2;
    unsigned mode = 1;
    unsigned nadj = 0;
};

struct RunSettings {
    std::vector<ModuleClient::Settings> modules;
    std::vector<HybridSettings> hybrids = {HybridSettings{}};
    unsigned chip_type = 1;
    // The run ends when every module that runs has reached this many events (0: no bound),
    // or after this many seconds (0: no bound), or when the caller says so.
    uint64_t events = 0;
    double seconds = 0;
    // A capture file of every datagram sent and received; empty for none.
    std::string capture;
    // With these, a module that falls silent during the run is rediscovered, configured and
    // started again; without them a silent module is only waited for.
    std::optional<RecoverySettings> recover;
    // Keep what a live view shows of each stream (StreamStatistics::channels).
    bool live_view = false;
};

// A module's figures in the summary of a run, or the total of many.
struct DAQ_API ModuleFigures {
    std::string hybrids;  // "1,2"
    uint64_t events = 0;  // the highest event number of its streams
    uint64_t packets = 0;
    uint64_t missing = 0;
    std::optional<double> trigger_rate_hz;  // the mean of its streams'
    uint64_t malformed = 0;
    uint64_t kernel_drops = 0;
    uint64_t acknowledges = 0;
    uint64_t missing_acknowledges = 0;
    uint64_t retries = 0;
    size_t outages = 0;

    size_t modules = 0;  // in a total: how many, how many ran, how many failed
    size_t started = 0;
    size_t failed = 0;

    void add(const ModuleFigures& f);
    // Adds a module's figures to a total, and counts it.
    void add_module(const ModuleFigures& f, bool started, bool failed);
};

// One module's part in the run.
struct DAQ_API ModuleRun {
    StreamStatistics statistics;
    // Whatever an earlier run sent before the stop that configure() makes is not this run's.
    bool counting = false;
    // Every request so far acknowledged with error 0: the module takes the next one.
    bool live = true;
    bool started = false;
    // The request that left the module out, or whose acknowledge did not come; empty if none.
    std::string failed_at;
    uint64_t acknowledges = 0;
    uint64_t missing_acknowledges = 0;
    uint64_t retries = 0;
    // Its outages and how each ended, when the run recovers silent modules.
    ModuleRecovery recovery;

    // Its figures, with the datagrams its socket dropped (the client knows those).
    ModuleFigures figures(uint64_t kernel_drops) const;
};

class DAQ_API RunSession {
  public:
    explicit RunSession(RunSettings settings);
    ~RunSession();
    RunSession(const RunSession&) = delete;
    RunSession& operator=(const RunSession&) = delete;

    // Every failure the session meets, as one line of text ("no acknowledge of ... from ...").
    void on_error(std::function<void(const std::string&)> report) { report_ = std::move(report); }

    // Opens every module's socket (a module whose socket cannot be opened is reported and left
    // out) and the capture; false when no module is left or the capture cannot be made.
    bool open();
    // Discovery, the stop of a run left going (so that this run starts at event 1), and the
    // stream configuration and readout mode of every hybrid; false when no module is left.
    bool configure();
    // The start; false when no module took it.
    bool start();
    // Receives until every module has the events asked for, the seconds have passed, or
    // `go_on` (asked after each wait of at most 0.1 s) says no; false on an error.
    bool receive_until_done(const std::function<bool()>& go_on);
    // The stop, whatever ended the run, and what the modules sent before it (until nothing has
    // come for 0.2 s, 2 s at most).
    void stop();
    // Closes the capture; false (reported) when it could not be written whole.
    bool close();
    // open(), configure(), start(), receive_until_done(), stop() and close() in turn; true when
    // every module ran to the end.
    bool run(const std::function<bool()>& go_on = [] { return true; });

    // Seconds from the start request to the end of reception (so far, while it goes on).
    double seconds() const;
    bool single() const { return modules_.size() == 1; }
    size_t size() const { return modules_.size(); }
    const ModuleRun& module(size_t i) const { return modules_[i]; }
    const ModuleClient& client(size_t i) const { return group_->client(i); }
    ModuleFigures figures(size_t i) const;
    ModuleFigures total() const;
    // Whether every module ran its run without being left out and, when silent modules are
    // recovered, ended it outside an outage.
    bool every_module_ran() const;
    const RunSettings& settings() const { return settings_; }
    const CaptureWriter& capture() const { return capture_; }

  private:
    // Sends the request to every live module at once; true while any module is left.
    bool request_all(const ModuleRequest& request, const std::string& what);
    // Counts and reports module `i`'s outcome; true when acknowledged with error 0.
    bool accepted(size_t i, unsigned code, const std::string& what, const RequestOutcome& outcome);
    // Module `i`'s request alone, counted as every request is; true when acknowledged with
    // error 0.
    bool request_one(size_t i, const ModuleRequest& request);
    // Looks for silent modules, and recovers or gives up each as its rules say.
    void watch_modules();
    // Discovery, stop, configuration and start of module `i` again; true when it took them.
    bool recover(size_t i);
    void record(const Datagram& datagram);
    void take(ModuleRun& module, const Datagram& datagram);
    bool events_reached() const;
    void report(const std::string& message) const;

    RunSettings settings_;
    std::unique_ptr<ModuleGroup> group_;
    std::vector<ModuleRun> modules_;
    CaptureWriter capture_;
    std::function<void(const std::string&)> report_;
    std::chrono::steady_clock::time_point started_;
    std::optional<double> seconds_;
};

}  // namespace daq
