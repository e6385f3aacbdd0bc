// The reading of a run from its datagrams: every request the host sent and everything each
// module sent back, taken in the order the host handled them, whether they come from the
// sockets as the run goes (RunSession) or from the run's capture afterwards (RecordedRun).
// Every figure of a run is made here and only here, so that a capture read back tells the
// story the live run told: the streams' statistics, the acknowledges, retries and those
// missing, the start and end of the run, and each module's outages.
//
// What the datagrams say:
// - The run starts with the first start request; a module's data counts from the start
//   request it was sent, and the module has started once it acknowledged that start.
// - A request sent again before its acknowledge is a retry; one that never got it (before a
//   request of another code, or the end) is an acknowledge missing.
// - The data tell a module's starts apart, not the order they arrive in: a stop's acknowledge
//   may overtake the start's last packets, and those of the next start may come among them.
//   Packets that continue a start (by their event numbers and time stamps) are counted in it,
//   filling gaps or extending it, also after its stop was acknowledged; the first that lies
//   well back from it begins the module's next start (StreamStatistics says how far), and
//   counts on from where the stream stood. Once the module acknowledged a stop and was sent
//   a start, a shorter step back does so than otherwise, so that a start of any length is
//   told from the next.
// - A rediscovery sent to a started module opens an outage (or is another attempt of the open
//   one); a start acknowledged during it, and then data, ends it recovered. The events from
//   the last packet before the outage to the first after it are its loss (its estimate), not
//   missing ones, whether the module's start went on meanwhile or it was started anew; the
//   trigger rate leaves the outage's time out.
// - A stop addressed to one hybrid while the module is in an outage gives the module up (the
//   run's own stops address the whole module, hybrid 255): its later datagrams are counted
//   apart, not in its figures.
// - A module first sent a request after the run started joined the run then (a module that
//   came up under a name the host follows); one whose address went away left it (the session
//   says so: a capture has no datagram for it), and one sent a discovery once it had left
//   joined again. What it sends while away, and what its old start sends once it is back
//   until each hybrid's new start, is counted apart; the outage it left in lasts until its
//   first packet of the new start, and what it missed while away is that outage's loss.
// - The run ends with the last stop each module was sent (the first of its attempts), the
//   latest of them; with none, at the last datagram.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "daqhost/DatagramClassifier.h"
#include "daqhost/Endpoint.h"
#include "daqhost/ModuleRecovery.h"
#include "daqhost/ModuleRun.h"
#include "protocol/Acknowledge.h"
#include "protocol/Export.h"
#include "protocol/ModuleRequest.h"

namespace daq {

// Internal to the library, and exported for its programs (the CLI, the Python binding). Its
// layout is not its own to change within a SONAME: RunSession and RecordedRun hold one in
// place, and programs built against version 3.0 read `modules_` and a Module's `run` by
// inline code.
class DAQ_API RunReader {
  public:
    // `recover`: the rules by which a live session decides on its silent modules.
    explicit RunReader(std::optional<RecoverySettings> recover = std::nullopt)
        : recover_(recover.value_or(RecoverySettings{})) {}

    // Keep what a live view shows of each stream of the modules added from now on.
    void keep_channels() { keep_channels_ = true; }
    // The module at `endpoint`, added if it is new; its index.
    size_t add_module(const Endpoint& endpoint);
    std::optional<size_t> find(const Endpoint& endpoint) const;

    // A request sent to module `i` at `time_ns` (since the Unix epoch).
    void sent(size_t i, int64_t time_ns, const ModuleRequest& request);
    // A datagram from module `i`: an acknowledge, or what claims to be a data packet.
    void received(size_t i, int64_t time_ns, const uint8_t* data, size_t length);
    // The same, as its verdict tells it (one from the module: not a request).
    void received(size_t i, int64_t time_ns, const DatagramVerdict& verdict);
    // Module `i`'s address went away at `time_ns`: its request under way is dropped and its
    // outage, if any, ends as left.
    void left(size_t i, int64_t time_ns);
    // Nothing more comes: requests still without their acknowledge are counted missing, and
    // outages still open are measured to the run's end.
    void finish();

    size_t size() const { return modules_.size(); }
    const Endpoint& endpoint(size_t i) const { return modules_[i].endpoint; }
    const ModuleRun& module(size_t i) const { return modules_[i].run; }
    ModuleRun& module(size_t i) { return modules_[i].run; }
    ModuleFigures total() const;
    // Whether every module ran its run without being left out, and ended it outside an
    // outage.
    bool every_module_ran() const;
    // How many modules run at the end: started, not left out, given up or left, and outside
    // an outage.
    size_t running() const;

    bool started() const { return start_ns_.has_value(); }
    // When the run started (its first start request, since the Unix epoch), if it has.
    std::optional<int64_t> start_ns() const { return start_ns_; }
    bool finished() const { return finished_; }
    // Seconds into the run at `time_ns`; 0 before its start.
    double seconds_at(int64_t time_ns) const;
    // The run's length: to its end once finished, to the last datagram until then; 0 when no
    // run started.
    double seconds() const;

  private:
    struct Module {
        Endpoint endpoint;
        ModuleRun run;
        std::optional<ModuleRequest> awaited;  // the request without its acknowledge
        // The first attempt of its last stop, while no start has followed.
        std::optional<int64_t> stopped_ns;
        bool contacted = false;  // it was sent a request
    };
    // The request without its acknowledge never got one.
    static void acknowledge_missing(Module& m);
    // The module failed at `request` (unless it already had, or the request was part of an
    // outage): "stream configuration of hybrid 2".
    static void fail(Module& m, const ModuleRequest& request);
    void take_acknowledge(Module& m, int64_t time_ns, const Acknowledge& ack);

    RecoverySettings recover_;
    std::vector<Module> modules_;
    std::optional<int64_t> start_ns_;
    std::optional<int64_t> end_ns_;
    int64_t last_ns_ = 0;
    bool keep_channels_ = false;
    bool finished_ = false;
};

}  // namespace daq
