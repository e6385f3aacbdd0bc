// The rules by which a run session brings back a module that has fallen silent during a run,
// and the record of each outage. A module is silent when no data packet has come from it for
// a bound; the session then rediscovers it, configures and starts it again, and the outage
// ends with the first data packet of that new start, or is given up after a longer bound.
//
// The record follows the run's datagrams alone (a rediscovery sent, a start acknowledged, data,
// a module given up), so that a run read back from its capture records the outages the live
// run recorded; due() and attempt_failed() are the live session's decisions. Both see only
// the run's clock, so they are tested without a network.
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
    // An outage that has lasted this long is given up: the module is stopped and left out of
    // the run.
    double give_up_s = 30.0;
};

struct Outage {
    enum class End { kOngoing, kRecovered, kGivenUp, kLeft };
    double start_s = 0;  // the run's time of the last data packet before the silence
    // Until the first data packet after the module was started again, until it was given up
    // or left (until its first data packet once it rejoined, if it does), or, while ongoing,
    // until the last look (the end of the run, once it has ended).
    double seconds = 0;
    // An estimate: the triggers the module's rate before the outage gives over its length.
    uint64_t events_lost_estimate = 0;
    unsigned attempts = 0;  // rediscoveries sent
    End end = End::kOngoing;
};

// "recovered", "given up", "left", "ongoing".
DAQ_API const char* describe(Outage::End end);

class DAQ_API ModuleRecovery {
  public:
    enum class Action { kNone, kRecover, kGiveUp };

    explicit ModuleRecovery(RecoverySettings settings = {}) : settings_(settings) {}

    // The record, from the run's datagrams.
    // The module took the run's start at `now_s`: data is due from then on.
    void started(double now_s);
    // A data packet came.
    void data(double now_s);
    // A rediscovery was sent during the run: it opens an outage unless one is open (the
    // module's trigger rate before it, if known, estimates the events lost), and counts as an
    // attempt of the outage.
    void rediscovery(double now_s, std::optional<double> trigger_rate_hz);
    // The module took a new start during an outage; its first data packet ends the outage.
    void started_again(double now_s);
    // The module was given up: an open outage ends so.
    void give_up(double now_s);
    // The module's address is gone (the name it was found by no longer has it): an open
    // outage ends so, else one opens at the last data packet and ends at once. Nothing is
    // tried again until it rejoins.
    void left(double now_s, std::optional<double> trigger_rate_hz);
    // A module is at the address again, to be started anew. The outage it left in lasts until
    // its next data packet: what the module missed while away is that outage's loss.
    void rejoined();
    // The run has ended: an outage still open stays ongoing, with its length so far.
    void ended(double now_s);

    // The decisions of a live session.
    // What the session must do now, given the module's trigger rate so far (if known):
    // rediscover it (a new outage, or another attempt of the open one), or give it up.
    Action due(double now_s, std::optional<double> trigger_rate_hz) const;
    // The requests of the attempt under way went unanswered or were refused: the next
    // attempt comes after a pause.
    void attempt_failed(double now_s);

    bool silent() const { return open_; }
    // The run's time of the last data packet (or of the start, before any).
    double last_data_s() const { return last_data_s_; }
    bool given_up() const { return given_up_; }
    bool has_left() const { return left_; }
    const std::vector<Outage>& outages() const { return outages_; }

  private:
    double bound(std::optional<double> trigger_rate_hz) const;
    // Opens an outage at the last data packet, unless one is open.
    void open(std::optional<double> trigger_rate_hz);
    // The open outage's length and loss as of now.
    void measure(double now_s);
    void close(Outage::End end, double now_s);

    RecoverySettings settings_;
    std::vector<Outage> outages_;
    double last_data_s_ = 0;
    bool open_ = false;
    bool given_up_ = false;
    bool left_ = false;
    // It rejoined after it left in an outage, and no data packet has come since.
    bool back_ = false;
    // Within an outage: the module took the new start at this time, and its data is awaited.
    std::optional<double> started_again_s_;
    // Within an outage: when the next attempt may begin, once the last has failed.
    std::optional<double> next_attempt_s_;
    double rate_hz_ = 0;  // before the outage
};

}  // namespace daq
