#include "daqhost/ModuleRecovery.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace daq {

namespace {

// Between an attempt that went unanswered and the next: the attempt already waited for its
// acknowledge.
constexpr double kAttemptPause_s = 0.5;

}  // namespace

const char* describe(Outage::End end) {
    switch (end) {
        case Outage::End::kRecovered:
            return "recovered";
        case Outage::End::kGivenUp:
            return "given up";
        case Outage::End::kLeft:
            return "left";
        case Outage::End::kOngoing:
            break;
    }
    return "ongoing";
}

void ModuleRecovery::started(double now_s) { last_data_s_ = now_s; }

double ModuleRecovery::bound(std::optional<double> trigger_rate_hz) const {
    if (!trigger_rate_hz || *trigger_rate_hz <= 0) return settings_.silence_s;
    return std::max(settings_.silence_s, 10.0 / *trigger_rate_hz);
}

void ModuleRecovery::measure(double now_s) {
    Outage& outage = outages_.back();
    outage.seconds = now_s - outage.start_s;
    outage.events_lost_estimate = static_cast<uint64_t>(std::llround(rate_hz_ * outage.seconds));
}

void ModuleRecovery::close(Outage::End end, double now_s) {
    measure(now_s);
    outages_.back().end = end;
    open_ = false;
    started_again_s_.reset();
    next_attempt_s_.reset();
}

void ModuleRecovery::data(double now_s) {
    last_data_s_ = now_s;
    if (std::exchange(back_, false)) measure(now_s);
    // Data of the old start, come back before the new one, does not end the outage: the
    // recovery under way restarts the module anyway.
    if (open_ && started_again_s_) close(Outage::End::kRecovered, now_s);
}

void ModuleRecovery::open(std::optional<double> trigger_rate_hz) {
    if (open_) return;
    back_ = false;
    outages_.push_back({last_data_s_, 0, 0, 0, Outage::End::kOngoing});
    rate_hz_ = trigger_rate_hz.value_or(0);
    open_ = true;
}

void ModuleRecovery::rediscovery(double now_s, std::optional<double> trigger_rate_hz) {
    if (given_up_) return;
    open(trigger_rate_hz);
    ++outages_.back().attempts;
    started_again_s_.reset();
    next_attempt_s_.reset();
    measure(now_s);
}

void ModuleRecovery::started_again(double now_s) {
    if (open_) started_again_s_ = now_s;
}

void ModuleRecovery::left(double now_s, std::optional<double> trigger_rate_hz) {
    open(trigger_rate_hz);
    close(Outage::End::kLeft, now_s);
    left_ = true;
}

void ModuleRecovery::rejoined() { back_ = std::exchange(left_, false); }

void ModuleRecovery::give_up(double now_s) {
    if (open_) close(Outage::End::kGivenUp, now_s);
    given_up_ = true;
}

ModuleRecovery::Action ModuleRecovery::due(double now_s,
                                           std::optional<double> trigger_rate_hz) const {
    if (given_up_ || left_) return Action::kNone;
    const double silence_s = bound(trigger_rate_hz);
    if (!open_) return now_s - last_data_s_ > silence_s ? Action::kRecover : Action::kNone;
    if (now_s - outages_.back().start_s >= settings_.give_up_s) return Action::kGiveUp;
    // Started again but silent still (restarted once more, say): recover anew.
    if (started_again_s_) {
        return now_s - *started_again_s_ > silence_s ? Action::kRecover : Action::kNone;
    }
    return next_attempt_s_ && now_s >= *next_attempt_s_ ? Action::kRecover : Action::kNone;
}

void ModuleRecovery::attempt_failed(double now_s) {
    if (open_) next_attempt_s_ = now_s + kAttemptPause_s;
}

void ModuleRecovery::ended(double now_s) {
    if (open_) measure(now_s);
}

}  // namespace daq
