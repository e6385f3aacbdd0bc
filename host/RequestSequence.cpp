#include "RequestSequence.h"

#include <utility>

#include "protocol/BasePacket.h"

namespace daq {

void RequestSequence::begin(std::vector<Step> steps) {
    steps_ = std::move(steps);
    index_ = 0;
    outcome_ = {};
    sent_ = false;
    state_ = steps_.empty() ? State::kDone : State::kRunning;
}

void RequestSequence::cancel() {
    steps_.clear();
    index_ = 0;
    sent_ = false;
    state_ = State::kIdle;
}

const ModuleRequest* RequestSequence::due(double now_s) {
    if (state_ != State::kRunning) return nullptr;
    if (sent_ && now_s < deadline_s_) return nullptr;
    if (sent_) {
        const Step& s = steps_[index_];
        const int retries = s.retries >= 0 ? s.retries : retries_;
        if (outcome_.attempts > retries) {
            fail(RequestOutcome::kNoAcknowledge);
            return nullptr;
        }
    }
    ++outcome_.attempts;
    sent_ = true;
    deadline_s_ = now_s + timeout_s_;
    return &steps_[index_].request;
}

void RequestSequence::send_failed() {
    if (state_ == State::kRunning) fail(RequestOutcome::kSendFailed);
}

void RequestSequence::fail(RequestOutcome::Status status) {
    outcome_.status = status;
    state_ = State::kFailed;
}

void RequestSequence::acknowledged(const Acknowledge& ack) {
    if (state_ != State::kRunning || !sent_ || !ack.answers(steps_[index_].request.code)) return;
    outcome_.ack = ack;
    outcome_.status = RequestOutcome::kAcknowledged;
    if (ack.error != packet::kDone) {
        state_ = State::kFailed;
        return;
    }
    if (++index_ == steps_.size()) {
        --index_;
        state_ = State::kDone;
        return;
    }
    outcome_ = {};
    sent_ = false;
}

double RequestSequence::time_left(double now_s) const {
    if (state_ != State::kRunning) return std::numeric_limits<double>::infinity();
    if (!sent_) return 0;
    const double left = deadline_s_ - now_s;
    return left > 0 ? left : 0;
}

}  // namespace daq
