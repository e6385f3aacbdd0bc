// The requests one module is sent in turn, as a session sends them without waiting for any:
// each is sent, its acknowledge awaited until a deadline and the request sent again after it
// (up to its retries), and the sequence ends when the last is acknowledged with error 0, or
// fails at the first that is refused or goes unanswered. The session's one loop asks due()
// what to send and hands over the acknowledges as they come, for every module at once, so that
// a module that does not answer holds up nothing else. The clock is the caller's: the rules
// are tested without a network.
#pragma once

#include <limits>
#include <string>
#include <vector>

#include "daqhost/ModuleClient.h"
#include "protocol/Export.h"
#include "protocol/ModuleRequest.h"

namespace daq {

class DAQ_API RequestSequence {
  public:
    struct Step {
        ModuleRequest request;
        // How a failure names the request beyond its command: " of hybrid 2", " (start)".
        std::string what;
        // Attempts after the first; -1 for the sequence's own.
        int retries = -1;
    };
    enum class State { kIdle, kRunning, kDone, kFailed };

    RequestSequence() = default;
    RequestSequence(double timeout_s, int retries) : timeout_s_(timeout_s), retries_(retries) {}

    // Starts the steps anew (whatever was under way is dropped); the first send is due now.
    void begin(std::vector<Step> steps);
    // Drops whatever is under way; the sequence is idle.
    void cancel();

    // The request to send at `now_s`, when one is due: the step's first attempt, or another
    // once the last attempt's deadline has passed. After its last attempt, the sequence fails
    // instead (and nothing is due). Each request returned is taken as sent.
    const ModuleRequest* due(double now_s);
    // The request due could not be sent: the sequence fails.
    void send_failed();
    // An acknowledge came from the module: one of the step's request ends it, acknowledged
    // with error 0 (the next step is due at once, or the sequence is done) or refused.
    void acknowledged(const Acknowledge& ack);

    State state() const { return state_; }
    bool running() const { return state_ == State::kRunning; }
    // Seconds from `now_s` until due() has something to do: 0 when now, infinity when not
    // running.
    double time_left(double now_s) const;
    // The step under way, or the step it failed at.
    const Step& step() const { return steps_[index_]; }
    // How the step under way went so far, or the step it failed at.
    const RequestOutcome& outcome() const { return outcome_; }

  private:
    void fail(RequestOutcome::Status status);

    double timeout_s_ = 1.0;
    int retries_ = 2;
    std::vector<Step> steps_;
    size_t index_ = 0;
    State state_ = State::kIdle;
    RequestOutcome outcome_;
    // The end of the current attempt; before the first attempt, none.
    double deadline_s_ = -std::numeric_limits<double>::infinity();
    bool sent_ = false;
};

}  // namespace daq
