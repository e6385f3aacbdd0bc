// The rules by which a run session brings back a module that has fallen silent during a run,
// and the record of each outage. A module is silent when no data packet has come from it for
// a bound; the session then rediscovers it, configures and starts it again, and the outage
// ends with the first data packet of that new start, or is given up after a longer bound. The
// rules see only the run's clock and the outcomes, so they are tested without a network.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "protocol/Export.h"

namespace daq {

struct RecoverySettings {
    // Silent: no data packet for this long, or for ten trigger periods of the module when
    // those are longer (a slow trigger is not an outage).
    double silence_s = 1.0;
    // An outage that has lasted this long is given up: the module is left out of the run.
    double give_up_s = 30.0;
};

struct Outage {
    enum class End { kOngoing, kRecovered, kGivenUp };
    double start_s = 0;  // the run's time of the last data packet before the silence
    // Until the first data packet after the module was started again, until it was given up,
    // or, while ongoing, until the last look.
    double seconds = 0;
    // The triggers the module's rate before the outage gives over its length.
    uint64_t events_lost = 0;
    unsigned attempts = 0;  // rediscoveries tried
    End end = End::kOngoing;
};

// "recovered", "given up", "ongoing".
DAQ_API const char* describe(Outage::End end);

class DAQ_API ModuleRecovery {
  public:
    enum class Action { kNone, kRecover, kGiveUp };

    explicit ModuleRecovery(RecoverySettings settings = {}) : settings_(settings) {}

    // The run has started at `now_s`: data is due from then on.
    void started(double now_s);
    // A data packet came.
    void data(double now_s);
    // What the session must do now, given the module's trigger rate so far (if known).
    Action due(double now_s, std::optional<double> trigger_rate_hz);
    // The outcome of a recovery that due() asked for: the module took the new start, or it
    // did not (no acknowledge, or an error).
    void attempted(bool started_again, double now_s);
    // The run has ended: an outage still open stays ongoing, with its length so far.
    void ended(double now_s);

    bool silent() const { return open_; }
    bool given_up() const { return given_up_; }
    const std::vector<Outage>& outages() const { return outages_; }

  private:
    double bound(std::optional<double> trigger_rate_hz) const;
    // The open outage's length and loss as of now.
    void measure(double now_s);
    void close(Outage::End end, double now_s);

    RecoverySettings settings_;
    std::vector<Outage> outages_;
    double last_data_s_ = 0;
    bool open_ = false;
    bool given_up_ = false;
    // Within an outage: the module took the new start at this time, and its data is awaited.
    std::optional<double> started_again_s_;
    double next_attempt_s_ = 0;
    double rate_hz_ = 0;  // before the outage
};

}  // namespace daq
