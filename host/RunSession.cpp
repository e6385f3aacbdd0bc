#include "daqhost/RunSession.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "protocol/Acknowledge.h"
#include "protocol/BasePacket.h"
#include "protocol/DataPacketView.h"

namespace daq {

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string fixed_seconds(double s) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.1f", s);
    return text;
}

}  // namespace

void ModuleFigures::add(const ModuleFigures& f) {
    events += f.events;
    packets += f.packets;
    missing += f.missing;
    malformed += f.malformed;
    kernel_drops += f.kernel_drops;
    acknowledges += f.acknowledges;
    missing_acknowledges += f.missing_acknowledges;
    retries += f.retries;
    outages += f.outages;
}

void ModuleFigures::add_module(const ModuleFigures& f, bool module_started, bool module_failed) {
    add(f);
    ++modules;
    started += module_started ? 1 : 0;
    failed += module_failed ? 1 : 0;
}

ModuleFigures ModuleRun::figures(uint64_t kernel_drops) const {
    ModuleFigures f;
    double rates = 0;
    int streams_with_rate = 0;
    for (const StreamSummary& s : statistics.summaries()) {
        f.hybrids += (f.hybrids.empty() ? "" : ",") + std::to_string(s.hybrid);
        f.packets += s.packets;
        f.missing += s.missing;
        if (s.trigger_rate_hz) {
            rates += *s.trigger_rate_hz;
            ++streams_with_rate;
        }
    }
    if (streams_with_rate > 0) f.trigger_rate_hz = rates / streams_with_rate;
    f.events = statistics.triggers();
    f.malformed = statistics.malformed_total();
    f.kernel_drops = kernel_drops;
    f.acknowledges = acknowledges;
    f.missing_acknowledges = missing_acknowledges;
    f.retries = retries;
    f.outages = recovery.outages().size();
    return f;
}

RunSession::RunSession(RunSettings settings)
    : settings_(std::move(settings)),
      group_(std::make_unique<ModuleGroup>(settings_.modules)),
      modules_(settings_.modules.size()) {
    // modules_ is not resized again: the receivers keep their module.
    for (size_t i = 0; i < modules_.size(); ++i) {
        ModuleRun& module = modules_[i];
        if (settings_.recover) module.recovery = ModuleRecovery(*settings_.recover);
        if (settings_.live_view) module.statistics.keep_channels();
        group_->client(i).on_receive([this, &module](const Datagram& d) { take(module, d); });
        group_->client(i).on_send([this](const Datagram& d) { record(d); });
    }
}

RunSession::~RunSession() = default;

void RunSession::report(const std::string& message) const {
    if (report_) report_(message);
}

bool RunSession::open() {
    bool any = false;
    for (size_t i = 0; i < modules_.size(); ++i) {
        ModuleClient& client = group_->client(i);
        if (client.open()) {
            any = true;
            continue;
        }
        report(client.error());
        modules_[i].live = false;
        modules_[i].failed_at = "socket";
    }
    if (!any) return false;
    if (!settings_.capture.empty() && !capture_.open(settings_.capture)) {
        report(capture_.error());
        return false;
    }
    return true;
}

bool RunSession::accepted(size_t i, unsigned code, const std::string& what,
                          const RequestOutcome& outcome) {
    ModuleRun& module = modules_[i];
    const ModuleClient& client = group_->client(i);
    module.retries += outcome.attempts > 0 ? outcome.attempts - 1 : 0;
    if (!outcome.acknowledged()) {
        if (outcome.status == RequestOutcome::kNoAcknowledge) ++module.missing_acknowledges;
        report(client.unacknowledged_text(code, outcome));
        return false;
    }
    if (outcome.ack.error != packet::kDone) {
        const std::string name = single() ? "" : client.module().text() + ": ";
        report(name + command_name(code) + what + ": error " + std::to_string(outcome.ack.error) +
               " (" + error_text(outcome.ack.error) + ")");
        return false;
    }
    return true;
}

bool RunSession::request_all(const ModuleRequest& request, const std::string& what) {
    std::vector<size_t> members;
    for (size_t i = 0; i < modules_.size(); ++i) {
        if (modules_[i].live) members.push_back(i);
    }
    const std::vector<RequestOutcome> outcomes = group_->request(members, request);
    bool any = false;
    for (size_t k = 0; k < members.size(); ++k) {
        if (accepted(members[k], request.code, what, outcomes[k])) {
            any = true;
            continue;
        }
        ModuleRun& module = modules_[members[k]];
        module.live = false;
        module.failed_at = command_name(request.code) + what;
    }
    return any;
}

bool RunSession::configure() {
    if (!request_all(ModuleRequest::discovery(), "")) return false;
    // A run left going by an earlier host would stream on into this one with its own event
    // numbers: stop it, so that this run starts at event 1. A stop while idle does nothing.
    if (!request_all(ModuleRequest::daq_command(packet::kAllHybrids, false),
                     " (stop before the run)")) {
        return false;
    }
    for (const HybridSettings& h : settings_.hybrids) {
        const std::string what = " of hybrid " + std::to_string(h.hybrid);
        if (!request_all(
                ModuleRequest::stream_configuration({h.hybrid, settings_.chip_type, h.chips}),
                what) ||
            !request_all(ModuleRequest::readout_mode({h.hybrid, h.mode, h.nadj}), what)) {
            return false;
        }
    }
    return true;
}

bool RunSession::start() {
    started_ = std::chrono::steady_clock::now();
    // The module sends in order: after the acknowledge of the stop that configure() made,
    // nothing of an earlier run can come.
    for (ModuleRun& m : modules_) m.counting = true;
    if (!request_all(ModuleRequest::daq_command(packet::kAllHybrids, true), " (start)")) {
        return false;
    }
    for (ModuleRun& m : modules_) {
        m.started = m.live;
        m.recovery.started(seconds());
    }
    return true;
}

void RunSession::record(const Datagram& datagram) {
    if (capture_.is_open()) {
        capture_.write(datagram.time_ns, datagram.source, datagram.destination, datagram.data,
                       datagram.length);
    }
}

void RunSession::take(ModuleRun& module, const Datagram& datagram) {
    record(datagram);
    if (Acknowledge::parse(datagram.data, datagram.length)) {
        ++module.acknowledges;
        return;
    }
    if (!module.counting) return;
    module.statistics.add(DataPacketView(datagram.data, datagram.length));
    if (settings_.recover) module.recovery.data(seconds());
}

bool RunSession::request_one(size_t i, const ModuleRequest& request) {
    const RequestOutcome outcome = group_->request({i}, request)[0];
    ModuleRun& module = modules_[i];
    module.retries += outcome.attempts > 0 ? outcome.attempts - 1 : 0;
    if (outcome.status == RequestOutcome::kNoAcknowledge) ++module.missing_acknowledges;
    return outcome.acknowledged() && outcome.ack.error == packet::kDone;
}

bool RunSession::recover(size_t i) {
    if (!request_one(i, ModuleRequest::discovery()) ||
        !request_one(i, ModuleRequest::daq_command(packet::kAllHybrids, false))) {
        return false;
    }
    // The module sends in order: after the stop's acknowledge, what comes is of the new start,
    // whose event numbers begin at 1 again.
    modules_[i].statistics.restart_run();
    for (const HybridSettings& h : settings_.hybrids) {
        if (!request_one(
                i, ModuleRequest::stream_configuration({h.hybrid, settings_.chip_type, h.chips})) ||
            !request_one(i, ModuleRequest::readout_mode({h.hybrid, h.mode, h.nadj}))) {
            return false;
        }
    }
    return request_one(i, ModuleRequest::daq_command(packet::kAllHybrids, true));
}

void RunSession::watch_modules() {
    for (size_t i = 0; i < modules_.size(); ++i) {
        ModuleRun& module = modules_[i];
        if (!module.started || !module.live) continue;
        const std::string name = group_->client(i).module().text();
        switch (module.recovery.due(seconds(), figures(i).trigger_rate_hz)) {
            case ModuleRecovery::Action::kNone:
                break;
            case ModuleRecovery::Action::kRecover: {
                const Outage& outage = module.recovery.outages().back();
                if (outage.attempts == 0) {
                    report(name + ": silent since " + fixed_seconds(outage.start_s) +
                           " s into the run; rediscovering");
                }
                const bool started_again = recover(i);
                module.recovery.attempted(started_again, seconds());
                if (started_again) report(name + ": started again");
                break;
            }
            case ModuleRecovery::Action::kGiveUp:
                module.live = false;
                module.failed_at = "recovery: silent for " +
                                   fixed_seconds(module.recovery.outages().back().seconds) + " s";
                report(name + ": " + module.failed_at + ", given up");
                break;
        }
    }
}

// Every module that runs has reached the events asked for (those that reach them first send
// on until the common stop).
bool RunSession::events_reached() const {
    return std::all_of(modules_.begin(), modules_.end(), [this](const ModuleRun& m) {
        return !m.started || !m.live || m.statistics.triggers() >= settings_.events;
    });
}

bool RunSession::receive_until_done(const std::function<bool()>& go_on) {
    while (go_on()) {
        if (group_->receive(0.1) < 0) {
            report(group_->error());
            return false;
        }
        if (settings_.recover) {
            watch_modules();
            // Every module given up: nothing is left to receive.
            if (std::none_of(modules_.begin(), modules_.end(),
                             [](const ModuleRun& m) { return m.started && m.live; })) {
                break;
            }
        }
        if (settings_.events > 0 && events_reached()) break;
        if (settings_.seconds > 0 && seconds_since(started_) >= settings_.seconds) break;
    }
    return true;
}

void RunSession::stop() {
    seconds_ = seconds_since(started_);
    for (ModuleRun& m : modules_) m.recovery.ended(*seconds_);
    // The stop goes out whatever ended the run, so that no module streams on.
    request_all(ModuleRequest::daq_command(packet::kAllHybrids, false), " (stop)");
    const auto start = std::chrono::steady_clock::now();
    while (seconds_since(start) < 2.0) {
        if (group_->receive(0.2) <= 0) return;
    }
}

bool RunSession::close() {
    if (capture_.is_open() && !capture_.close()) {
        report(capture_.error());
        return false;
    }
    return true;
}

bool RunSession::run(const std::function<bool()>& go_on) {
    if (!open()) return false;
    const bool ran = configure() && start();
    if (ran) {
        receive_until_done(go_on);
        stop();
    }
    return close() && ran && every_module_ran();
}

double RunSession::seconds() const { return seconds_ ? *seconds_ : seconds_since(started_); }

bool RunSession::every_module_ran() const {
    return std::all_of(modules_.begin(), modules_.end(), [](const ModuleRun& m) {
        return m.failed_at.empty() && !m.recovery.silent();
    });
}

ModuleFigures RunSession::figures(size_t i) const {
    return modules_[i].figures(group_->client(i).kernel_drops());
}

ModuleFigures RunSession::total() const {
    ModuleFigures sum;
    for (size_t i = 0; i < modules_.size(); ++i) {
        sum.add_module(figures(i), modules_[i].started, !modules_[i].failed_at.empty());
    }
    return sum;
}

}  // namespace daq
