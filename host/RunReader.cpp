#include "RunReader.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "protocol/Acknowledge.h"
#include "protocol/BasePacket.h"
#include "protocol/DataPacketView.h"

namespace daq {

namespace {

// What names a request beyond its command: its hybrid, or what a DAQ command was for.
std::string request_text(const ModuleRequest& request, bool counting) {
    switch (request.code) {
        case packet::kConfigureStream:
        case packet::kReadoutMode:
            return command_name(request.code) + std::string(" of hybrid ") +
                   std::to_string(request.hybrid());
        case packet::kDaqCommand:
            if (request.starts()) return command_name(request.code) + std::string(" (start)");
            return command_name(request.code) +
                   std::string(counting ? " (stop)" : " (stop before the run)");
        default:
            return command_name(request.code);
    }
}

}  // namespace

size_t RunReader::add_module(const Endpoint& endpoint) {
    if (const std::optional<size_t> i = find(endpoint)) return *i;
    Module& m = modules_.emplace_back();
    m.endpoint = endpoint;
    m.run.recovery = ModuleRecovery(recover_);
    if (keep_channels_) m.run.statistics.keep_channels();
    return modules_.size() - 1;
}

std::optional<size_t> RunReader::find(const Endpoint& endpoint) const {
    const auto found = std::find_if(modules_.begin(), modules_.end(),
                                    [&](const Module& m) { return m.endpoint == endpoint; });
    if (found == modules_.end()) return std::nullopt;
    return static_cast<size_t>(found - modules_.begin());
}

void RunReader::fail(Module& m, const ModuleRequest& request) {
    ModuleRun& run = m.run;
    if (run.may_fail()) run.failed_at = request_text(request, run.counting);
}

void RunReader::acknowledge_missing(Module& m) {
    if (!m.awaited) return;
    ++m.run.missing_acknowledges;
    fail(m, *m.awaited);
    m.awaited.reset();
}

void RunReader::sent(size_t i, int64_t time_ns, const ModuleRequest& request) {
    Module& m = modules_[i];
    ModuleRun& run = m.run;
    last_ns_ = std::max(last_ns_, time_ns);
    const bool retry = m.awaited && m.awaited->code == request.code;
    if (retry) {
        ++run.retries;
    } else {
        acknowledge_missing(m);
    }
    m.awaited = request;
    if (!std::exchange(m.contacted, true) && start_ns_ && time_ns > *start_ns_) {
        run.joined_s = seconds_at(time_ns);
    }
    if (request.code == packet::kDiscovery && run.left_s) {
        // Started anew, as a module that joins; its old start, should it still be going, is
        // not this start's.
        run.left_s.reset();
        run.joined_s = seconds_at(time_ns);
        run.started = false;
        run.recovery.rejoined();
        run.statistics.set_apart_old_start();
        return;
    }
    if (request.code == packet::kDiscovery && run.started && !run.recovery.given_up()) {
        // The rate before the outage estimates its loss, and leaves the outage out.
        const bool opens = !run.recovery.silent();
        run.recovery.rediscovery(seconds_at(time_ns), run.figures().trigger_rate_hz);
        if (opens) run.statistics.outage_began();
        return;
    }
    if (request.code != packet::kDaqCommand) return;
    if (request.starts()) {
        if (run.counting && m.stopped_ns) run.statistics.expect_new_start();
        run.counting = true;
        if (!start_ns_) start_ns_ = time_ns;
        m.stopped_ns.reset();
        return;
    }
    if (!retry && !m.stopped_ns) m.stopped_ns = time_ns;
    if (run.counting && run.recovery.silent() && request.hybrid() != packet::kAllHybrids) {
        char why[64];
        run.recovery.give_up(seconds_at(time_ns));
        std::snprintf(why, sizeof(why), "recovery: silent for %.1f s",
                      run.recovery.outages().back().seconds);
        if (run.failed_at.empty()) run.failed_at = why;
    }
}

void RunReader::take_acknowledge(Module& m, int64_t time_ns, const Acknowledge& ack) {
    ModuleRun& run = m.run;
    ++run.acknowledges;
    if (!m.awaited || !ack.answers(m.awaited->code)) return;
    const ModuleRequest request = *m.awaited;
    m.awaited.reset();
    if (ack.error != packet::kDone) {
        fail(m, request);
        return;
    }
    // A stop acknowledged does not end the start in the statistics: its last packets may
    // still come behind the acknowledge, and the data tell the next start (see sent()).
    if (request.code != packet::kDaqCommand || !request.starts()) return;
    if (!run.started && run.counting) {
        run.started = true;
        run.recovery.started(seconds_at(time_ns));
    } else if (run.recovery.silent()) {
        run.recovery.started_again(seconds_at(time_ns));
    }
}

void RunReader::received(size_t i, int64_t time_ns, const uint8_t* data, size_t length) {
    received(i, time_ns, DatagramClassifier::from_module(data, length, modules_[i].endpoint));
}

void RunReader::received(size_t i, int64_t time_ns, const DatagramVerdict& verdict) {
    Module& m = modules_[i];
    ModuleRun& run = m.run;
    last_ns_ = std::max(last_ns_, time_ns);
    if (verdict.kind == DatagramClassifier::Kind::kAcknowledge) {
        take_acknowledge(m, time_ns, verdict.acknowledge);
        return;
    }
    // A module given up, or one that left (cut off, say, and streaming on once back), is no
    // longer counted: what it sends is counted apart, as is what its old start sends once it
    // is back, until its new start.
    if (run.recovery.given_up() || run.left_s) {
        ++run.after_give_up;
        return;
    }
    if (!run.counting || !verdict.data) return;
    if (run.statistics.add(*verdict.data, verdict.event) == StreamStatistics::Taken::kSetApart) {
        ++run.after_give_up;
        return;
    }
    run.recovery.data(seconds_at(time_ns));
}

void RunReader::left(size_t i, int64_t time_ns) {
    Module& m = modules_[i];
    ModuleRun& run = m.run;
    last_ns_ = std::max(last_ns_, time_ns);
    m.awaited.reset();
    run.left_s = seconds_at(time_ns);
    if (!run.started) return;
    run.recovery.left(*run.left_s, run.figures().trigger_rate_hz);
    run.statistics.outage_began();
}

void RunReader::finish() {
    if (finished_) return;
    for (Module& m : modules_) acknowledge_missing(m);
    for (const Module& m : modules_) {
        if (m.stopped_ns && (!end_ns_ || *m.stopped_ns > *end_ns_)) end_ns_ = m.stopped_ns;
    }
    if (!end_ns_) end_ns_ = last_ns_;
    for (Module& m : modules_) m.run.recovery.ended(seconds_at(*end_ns_));
    finished_ = true;
}

double RunReader::seconds_at(int64_t time_ns) const {
    if (!start_ns_ || time_ns <= *start_ns_) return 0;
    return static_cast<double>(time_ns - *start_ns_) / 1e9;
}

double RunReader::seconds() const { return seconds_at(finished_ ? *end_ns_ : last_ns_); }

bool RunReader::every_module_ran() const {
    return std::all_of(modules_.begin(), modules_.end(), [](const Module& m) {
        return m.run.failed_at.empty() && !m.run.recovery.silent();
    });
}

size_t RunReader::running() const {
    return static_cast<size_t>(std::count_if(modules_.begin(), modules_.end(), [](const Module& m) {
        const ModuleRun& r = m.run;
        return r.started && r.failed_at.empty() && !r.left_s && !r.recovery.given_up() &&
               !r.recovery.silent();
    }));
}

ModuleFigures RunReader::total() const {
    ModuleFigures sum;
    for (const Module& m : modules_) {
        sum.add_module(m.run.figures(), m.run.started, !m.run.failed_at.empty());
    }
    return sum;
}

}  // namespace daq
