// A run of one module or of many, step by step as a host takes it: discovery, the stop of a
// run left going, the configuration of every hybrid, the start, reception until the run is
// done, the stop and the data still on its way. A module that gets no acknowledge, or an error
// code, is reported and left out of the rest.
//
// Everything happens on one loop that never waits for one module: each module's requests
// (the steps above, and the recovery of a module fallen silent) run as its own sequence, sent
// and sent again on its own clock, while the data of every module are received, the caller's
// `go_on` is asked at least ten times a second, and the other modules go on. A module is silent
// by what reached the host's socket, not by what the host has read: when the host falls behind
// (a busy machine, a stopped process), what waits is taken before a module is judged silent or
// a request unacknowledged, and how far it fell behind is measured (pace()). What the session
// sends and receives is read as a capture of it is read back (RecordedRun), and can be
// recorded in a capture.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "daqhost/CaptureWriter.h"
#include "daqhost/HostPace.h"
#include "daqhost/ModuleClient.h"
#include "daqhost/ModuleGroup.h"
#include "daqhost/ModuleRecovery.h"
#include "daqhost/ModuleRun.h"
#include "daqhost/StreamStatistics.h"
#include "protocol/Export.h"

namespace daq {

class ModuleResolver;
class RunReader;

// How one hybrid is configured. The chip type is module-wide (RunSettings::chip_type): the
// module takes it from every stream configuration.
struct HybridSettings {
    unsigned hybrid = 1;
    unsigned chips = 2;
    unsigned mode = 1;
    unsigned nadj = 0;
};

// Modules that come and go under DNS names (the tasks of a scaled service, started again
// elsewhere at new addresses): the names are looked up again during the run. An address that
// appears is a module that joins: it is discovered, configured and started, and counted from
// then on. A module whose address is gone has left: whatever was under way with it stops (an
// outage that ends "left"), and it is not tried again unless its address comes back.
struct FollowSettings {
    std::vector<std::string> names;
    double every_s = 1.0;
    // A joining module's client settings: these, with its address (and this port) put in.
    ModuleClient::Settings common;
    // One look: every address the names have now (none when they no longer exist), or nothing
    // when the look failed (a name server that does not answer): then nothing changes.
    using Lookup = std::function<std::optional<std::vector<Endpoint>>()>;
    // How the names are looked up; empty for the system's resolver.
    Lookup lookup;
};

// One module's own configuration, where it differs from the run's: a stand may mix modules of
// one hybrid and of two, which one list of hybrids for all cannot configure.
struct ModuleRunSettings {
    // Empty: the run's.
    std::optional<std::vector<HybridSettings>> hybrids;
    std::optional<unsigned> chip_type;
};

struct RunSettings {
    std::vector<ModuleClient::Settings> modules;
    // What every module is configured with, unless its own settings say otherwise.
    std::vector<HybridSettings> hybrids = {HybridSettings{}};
    unsigned chip_type = 1;
    // The modules' own settings, by their index in `modules`; a module past the end (one that
    // joins, say) takes the run's.
    std::vector<ModuleRunSettings> per_module;
    // The run ends when every module that runs has reached this many events (0: no bound),
    // or after this many seconds (0: no bound), or when the caller says so.
    uint64_t events = 0;
    double seconds = 0;
    // A capture file of every datagram sent and received; empty for none.
    std::string capture;
    // With these, a module that falls silent during the run is rediscovered, configured and
    // started again, and stopped once given up; without them a silent module is only waited
    // for.
    std::optional<RecoverySettings> recover;
    // Keep what a live view shows of each stream (StreamStatistics::channels).
    bool live_view = false;
    // Follow the modules of DNS names; then the run succeeds when it ends with as many
    // modules running as `expect_modules` (0: as many as it was given).
    std::optional<FollowSettings> follow;
    size_t expect_modules = 0;

    // What module `i` is configured with: its own settings, else the run's.
    const std::vector<HybridSettings>& hybrids_of(size_t i) const {
        if (i < per_module.size() && per_module[i].hybrids) return *per_module[i].hybrids;
        return hybrids;
    }
    unsigned chip_type_of(size_t i) const {
        if (i < per_module.size() && per_module[i].chip_type) return *per_module[i].chip_type;
        return chip_type;
    }
};

// What a progress line shows: the run so far, summed over the modules that started.
struct RunProgress {
    double seconds = 0;
    size_t started = 0;
    uint64_t fewest_events = 0;  // of the modules that started
    uint64_t packets = 0;
    uint64_t bytes = 0;
    uint64_t missing = 0;
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
    // stream configuration and readout mode of every hybrid; false when no module is left, or
    // when `go_on` (asked between waits of at most 0.1 s) said no.
    bool configure(const std::function<bool()>& go_on = [] { return true; });
    // The start, its acknowledges awaited whatever `go_on` says (asked all the same); false
    // when no module took it.
    bool start(const std::function<bool()>& go_on = [] { return true; });
    // Receives until every module has the events asked for, the seconds have passed, every
    // module is given up, or `go_on` (asked between waits of at most 0.1 s) says no; false on
    // an error.
    bool receive_until_done(const std::function<bool()>& go_on);
    // The stop, whatever ended the run, and what the modules sent before it (until nothing has
    // come for 0.2 s, 2 s at most).
    void stop();
    // Closes the capture; false (reported) when it could not be written whole.
    bool close();
    // open(), configure(), start(), receive_until_done(), stop() and close() in turn, with
    // `go_on` asked throughout; true when every module ran to the end (when following names:
    // when the run kept its module count).
    bool run(const std::function<bool()>& go_on = [] { return true; });
    // From any thread or a signal handler: the session ends as when `go_on` says no.
    void interrupt() { interrupted_ = true; }
    // Whether `go_on` said no, or interrupt() was called, before the run ended by itself.
    bool interrupted() const { return interrupted_; }

    // Seconds from the start request to the end of the run (so far, while it goes on); 0
    // before the start.
    double seconds() const;
    bool single() const;
    size_t size() const;
    const ModuleRun& module(size_t i) const;
    const ModuleClient& client(size_t i) const { return group_->client(i); }
    ModuleFigures figures(size_t i) const;
    ModuleFigures total() const;
    RunProgress progress() const;
    // How far the host fell behind so far.
    HostPace pace() const;
    // Whether every module ran its run without being left out and, when silent modules are
    // recovered, ended it outside an outage.
    bool every_module_ran() const;
    // When following names: whether as many modules run at the end as expected.
    bool kept_module_count() const;
    const RunSettings& settings() const { return settings_; }
    const CaptureWriter& capture() const { return capture_; }
    // The reading of the run's datagrams: the library's own, for its programs.
    const RunReader& reader() const;

  private:
    // What a module's request sequence is for, and so what its end means.
    enum class Purpose { kNone, kConfigure, kStart, kStop, kRecover, kGiveUp, kJoin, kLeave };
    // A module's requests in turn, and what they are for; the requests of a sequence.
    struct Sequence;
    struct Steps;

    RunReader& reading();
    void begin(size_t i, Purpose purpose, Steps steps);
    // The stream configuration and readout mode of module `i`'s hybrids.
    Steps configuration_steps(size_t i) const;
    // Discovery, a stop, the configuration and a start: module `i` (re)started during the run.
    Steps restart_steps(size_t i, const std::string& stop_for) const;
    // Module `i` of the settings, added to the group, the reader and the sequences.
    void add_module(size_t i);
    // Takes the newest answer of the followed names: modules join and leave.
    void follow_modules();
    void join(const Endpoint& endpoint);
    void leave(size_t i);
    // One turn of the loop: sends the requests that are due, waits for datagrams at most
    // `wait_s` (less when a request falls due sooner) and takes them; false on an error.
    bool turn(double wait_s);
    // A turn that begins at `now_s` (steady clock): how late it is.
    void note_lateness(double now_s);
    struct LoopEnd;
    // Acts on the end of module `i`'s sequence, once it has ended.
    void settle(size_t i);
    // Turns until no sequence runs, asking `go_on` (if any) between turns; false on an error,
    // or when `go_on` said no and the sequences are `interruptible`: then they are dropped.
    bool run_sequences(const std::function<bool()>& go_on, bool interruptible);
    bool go_on(const std::function<bool()>& ask);
    // Looks for silent modules, and recovers or gives up each as its rules say.
    void watch_modules();
    // Whether every datagram that reached module `i`'s socket before `time_ns` has been taken,
    // once what waits there is taken (for a bounded time).
    bool taken_up_to(size_t i, int64_t time_ns);
    // Whether module `i` is silent by what reached its socket: nothing waits there, and the
    // socket dropped nothing within the silence bound.
    bool silent_at_socket(size_t i);
    void sent(size_t i, const Datagram& datagram);
    void received(size_t i, const Datagram& datagram, const DatagramVerdict& verdict);
    // As above, the verdict made here: kept for programs built against the library before.
    void received(size_t i, const Datagram& datagram);
    void record(const Datagram& datagram);
    bool events_reached() const;
    void report(const std::string& message) const;

    RunSettings settings_;
    std::unique_ptr<ModuleGroup> group_;
    // The RunReader of the run's datagrams, held in place: the session keeps the layout of
    // version 3.0, whose programs read the reader by inline code.
    alignas(8) std::byte reader_[88];
    std::vector<Sequence> sequences_;
    // When following names: its looks, and which modules the names gave.
    std::unique_ptr<ModuleResolver> resolver_;
    std::vector<bool> followed_;
    size_t given_ = 0;  // the modules of the settings
    CaptureWriter capture_;
    std::function<void(const std::string&)> report_;
    std::chrono::steady_clock::time_point watched_;
    // Per module: when its unanswered request was last sent (since the Unix epoch), and the
    // run's time its socket was last found to have dropped datagrams.
    std::vector<std::optional<int64_t>> sent_ns_;
    std::vector<std::optional<double>> dropped_s_;
    // When the loop's next turn is due (steady clock, in seconds; 0: not measured), and the
    // most a turn came late.
    double turn_due_s_ = 0;
    double lateness_max_s_ = 0;
    std::atomic<bool> interrupted_ = false;
};

}  // namespace daq
