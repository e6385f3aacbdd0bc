#include "daqhost/RunSession.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <new>
#include <utility>

#include "ModuleResolver.h"
#include "RequestSequence.h"
#include "RunReader.h"
#include "protocol/BasePacket.h"

namespace daq {

struct RunSession::Sequence {
    RequestSequence requests;
    Purpose purpose = Purpose::kNone;
};

struct RunSession::Steps : std::vector<RequestSequence::Step> {
    using vector::vector;
};

namespace {

// The loop's longest wait: `go_on`, progress and the recovery's rules are looked at this often
// at least.
constexpr double kTurn_s = 0.1;
// Silent modules are looked for this often at most: the rules' bounds are seconds.
constexpr auto kWatchEvery = std::chrono::milliseconds(20);

double monotonic_s() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The clock of the datagrams' time stamps, which the run's times are read from.
int64_t now_ns() {
    timespec t = {};
    clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

std::string fixed_seconds(double s) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.1f", s);
    return text;
}

RequestSequence::Step step(const ModuleRequest& request, std::string what, int retries = -1) {
    return {request, std::move(what), retries};
}

}  // namespace

RunSession::RunSession(RunSettings settings)
    : settings_(std::move(settings)),
      group_(std::make_unique<ModuleGroup>(std::vector<ModuleClient::Settings>{})) {
    // The reader takes the place version 3.0 gave it, neither larger nor more aligned.
    static_assert(sizeof(RunReader) == sizeof(reader_) && alignof(RunReader) <= 8);
    new (reader_) RunReader(settings_.recover);
    if (settings_.live_view) reading().keep_channels();
    given_ = settings_.modules.size();
    for (size_t i = 0; i < given_; ++i) add_module(i);
}

void RunSession::add_module(size_t i) {
    const ModuleClient::Settings& module = settings_.modules[i];
    group_->add(module);
    reading().add_module(module.module);
    sequences_.emplace_back().requests = RequestSequence(module.timeout_s, module.retries);
    followed_.push_back(false);
    sent_ns_.emplace_back();
    dropped_s_.emplace_back();
    group_->client(i).on_receive(
        [this, i](const Datagram& d, const DatagramVerdict& v) { received(i, d, v); });
    group_->client(i).on_send([this, i](const Datagram& d) { sent(i, d); });
}

RunSession::~RunSession() { reading().~RunReader(); }

RunReader& RunSession::reading() { return *std::launder(reinterpret_cast<RunReader*>(reader_)); }

const RunReader& RunSession::reader() const {
    return *std::launder(reinterpret_cast<const RunReader*>(reader_));
}

bool RunSession::single() const { return reader().size() == 1; }

size_t RunSession::size() const { return reader().size(); }

const ModuleRun& RunSession::module(size_t i) const { return reader().module(i); }

void RunSession::report(const std::string& message) const {
    if (report_) report_(message);
}

bool RunSession::open() {
    bool any = false;
    for (size_t i = 0; i < size(); ++i) {
        ModuleClient& client = group_->client(i);
        if (client.open()) {
            any = true;
            continue;
        }
        report(client.error());
        reading().module(i).live = false;
        reading().module(i).failed_at = "socket";
    }
    if (!any) return false;
    if (!settings_.capture.empty() && !capture_.open(settings_.capture)) {
        report(capture_.error());
        return false;
    }
    return true;
}

void RunSession::record(const Datagram& datagram) {
    if (capture_.is_open()) {
        capture_.write(datagram.time_ns, datagram.source, datagram.destination, datagram.data,
                       datagram.length);
    }
}

void RunSession::sent(size_t i, const Datagram& datagram) {
    record(datagram);
    sent_ns_[i] = datagram.time_ns;
    if (const auto request = ModuleRequest::parse(datagram.data, datagram.length)) {
        reading().sent(i, datagram.time_ns, *request);
    }
}

void RunSession::received(size_t i, const Datagram& datagram) {
    received(i, datagram,
             DatagramClassifier::from_module(datagram.data, datagram.length, datagram.source));
}

void RunSession::received(size_t i, const Datagram& datagram, const DatagramVerdict& verdict) {
    record(datagram);
    reading().received(i, datagram.time_ns, verdict);
    RequestSequence& requests = sequences_[i].requests;
    if (!requests.running()) return;
    if (verdict.kind == DatagramClassifier::Kind::kAcknowledge) {
        requests.acknowledged(verdict.acknowledge);
        // The step it answered is over: the next has no attempt yet.
        if (!requests.running() || requests.outcome().attempts == 0) sent_ns_[i].reset();
    }
}

void RunSession::begin(size_t i, Purpose purpose, Steps steps) {
    sequences_[i].purpose = purpose;
    sequences_[i].requests.begin(std::move(steps));
    sent_ns_[i].reset();
}

RunSession::Steps RunSession::configuration_steps(size_t i) const {
    Steps steps;
    const unsigned chip_type = settings_.chip_type_of(i);
    for (const HybridSettings& h : settings_.hybrids_of(i)) {
        const std::string what = " of hybrid " + std::to_string(h.hybrid);
        steps.push_back(
            step(ModuleRequest::stream_configuration({h.hybrid, chip_type, h.chips}), what));
        steps.push_back(step(ModuleRequest::readout_mode({h.hybrid, h.mode, h.nadj}), what));
    }
    return steps;
}

void RunSession::settle(size_t i) {
    Sequence& sequence = sequences_[i];
    const RequestSequence& requests = sequence.requests;
    if (sequence.purpose == Purpose::kNone || requests.running()) return;
    const Purpose purpose = std::exchange(sequence.purpose, Purpose::kNone);
    const bool done = requests.state() == RequestSequence::State::kDone;
    const RequestOutcome& outcome = requests.outcome();
    ModuleRun& module = reading().module(i);
    const ModuleClient& client = group_->client(i);
    const std::string name = client.module().text();
    switch (purpose) {
        case Purpose::kRecover:
            if (done) {
                report(name + ": started again");
            } else {
                module.recovery.attempt_failed(seconds());
            }
            return;
        case Purpose::kGiveUp:
        case Purpose::kLeave:
        case Purpose::kNone:
            return;
        case Purpose::kJoin:
            if (done) report(name + ": joined the run");
            break;
        case Purpose::kConfigure:
        case Purpose::kStart:
        case Purpose::kStop:
            break;
    }
    if (done) return;
    const unsigned code = requests.step().request.code;
    if (outcome.acknowledged()) {
        report((single() ? "" : name + ": ") + command_name(code) + requests.step().what +
               ": error " + std::to_string(outcome.ack.error) + " (" +
               error_text(outcome.ack.error) + ")");
    } else {
        report(client.unacknowledged_text(code, outcome));
    }
    module.live = false;
    if (module.may_fail()) module.failed_at = command_name(code) + requests.step().what;
}

bool RunSession::turn(double wait_s) {
    const double now = monotonic_s();
    note_lateness(now);
    // From here until the wait, the turn is due now: a host stopped while it sends is late.
    turn_due_s_ = now;
    double wait = wait_s;
    for (size_t i = 0; i < size(); ++i) {
        RequestSequence& requests = sequences_[i].requests;
        // An acknowledge that came in time but waits unread is not missing: past its deadline,
        // a request is judged once what came before the deadline has been taken.
        if (sent_ns_[i] && requests.time_left(now) <= 0) {
            const auto timeout_ns =
                static_cast<int64_t>(group_->client(i).settings().timeout_s * 1e9);
            if (!taken_up_to(i, *sent_ns_[i] + timeout_ns)) {
                wait = 0;
                continue;
            }
        }
        if (const ModuleRequest* request = requests.due(now)) {
            if (!group_->client(i).send(*request)) requests.send_failed();
        }
        settle(i);
        wait = std::min(wait, requests.time_left(now));
    }
    const double waits = monotonic_s();
    note_lateness(waits);
    turn_due_s_ = waits + wait;
    if (group_->receive(wait) < 0) {
        report(group_->error());
        return false;
    }
    for (size_t i = 0; i < size(); ++i) settle(i);
    return true;
}

void RunSession::note_lateness(double now_s) {
    if (turn_due_s_ > 0) lateness_max_s_ = std::max(lateness_max_s_, now_s - turn_due_s_);
}

// The last turn of a loop is measured as the loop ends: the time until the caller's next step
// is the caller's, not the loop's lateness.
struct RunSession::LoopEnd {
    RunSession& session;
    ~LoopEnd() {
        session.note_lateness(monotonic_s());
        session.turn_due_s_ = 0;
    }
};

bool RunSession::go_on(const std::function<bool()>& ask) {
    // Both are asked: the caller's `go_on` also shows progress.
    const bool asked = ask();
    if (!asked) interrupted_ = true;
    return !interrupted_;
}

bool RunSession::run_sequences(const std::function<bool()>& ask, bool interruptible) {
    const auto running = [this] {
        return std::any_of(sequences_.begin(), sequences_.end(),
                           [](const Sequence& s) { return s.purpose != Purpose::kNone; });
    };
    const LoopEnd end{*this};
    while (running()) {
        if (ask && !go_on(ask) && interruptible) {
            for (Sequence& s : sequences_) {
                s.requests.cancel();
                s.purpose = Purpose::kNone;
            }
            return false;
        }
        if (!turn(kTurn_s)) return false;
    }
    return true;
}

bool RunSession::configure(const std::function<bool()>& go_on) {
    for (size_t i = 0; i < size(); ++i) {
        if (!reading().module(i).live) continue;
        Steps steps = {
            step(ModuleRequest::discovery(), ""),
            // A run left going by an earlier host would stream on into this one with its own
            // event numbers: stop it, so that this run starts at event 1. A stop while idle
            // does nothing.
            step(ModuleRequest::daq_command(packet::kAllHybrids, false), " (stop before the run)")};
        for (RequestSequence::Step& s : configuration_steps(i)) steps.push_back(std::move(s));
        begin(i, Purpose::kConfigure, std::move(steps));
    }
    if (!run_sequences(go_on, true)) return false;
    for (size_t i = 0; i < size(); ++i) {
        if (module(i).live) return true;
    }
    return false;
}

bool RunSession::start(const std::function<bool()>& go_on) {
    for (size_t i = 0; i < size(); ++i) {
        if (reading().module(i).live) {
            begin(i, Purpose::kStart,
                  {step(ModuleRequest::daq_command(packet::kAllHybrids, true), " (start)")});
        }
    }
    // Once sent, a start is seen through (its acknowledges awaited, whatever go_on says), so
    // that every module that took it counts as started, and is stopped.
    const bool whole = run_sequences(go_on, false);
    bool any = false;
    for (size_t i = 0; i < size(); ++i) any = any || (module(i).started && module(i).live);
    return whole && any;
}

RunSession::Steps RunSession::restart_steps(size_t i, const std::string& stop_for) const {
    // One discovery an attempt: an unanswered one ends the attempt.
    Steps steps = {
        step(ModuleRequest::discovery(), "", 0),
        step(ModuleRequest::daq_command(packet::kAllHybrids, false), " (stop " + stop_for + ")")};
    for (RequestSequence::Step& s : configuration_steps(i)) steps.push_back(std::move(s));
    steps.push_back(step(ModuleRequest::daq_command(packet::kAllHybrids, true), " (start)"));
    return steps;
}

void RunSession::follow_modules() {
    const std::optional<std::vector<Endpoint>> found = resolver_->take();
    if (!found) return;
    for (size_t i = 0; i < size(); ++i) {
        const bool there =
            std::find(found->begin(), found->end(), reading().endpoint(i)) != found->end();
        if (there) followed_[i] = true;
        if (!there && followed_[i] && module(i).live && !module(i).left_s) leave(i);
    }
    for (const Endpoint& endpoint : *found) join(endpoint);
}

void RunSession::join(const Endpoint& endpoint) {
    size_t i = 0;
    if (const std::optional<size_t> known = reading().find(endpoint)) {
        // Only a module that left comes back; the others are in the run already.
        i = *known;
        if (!module(i).left_s) return;
        reading().module(i).live = true;
    } else {
        ModuleClient::Settings settings = settings_.follow->common;
        settings.module = endpoint;
        settings_.modules.push_back(settings);
        i = size();
        add_module(i);
        followed_[i] = true;
        if (!group_->client(i).open()) {
            report(group_->client(i).error());
            reading().module(i).live = false;
            reading().module(i).failed_at = "socket";
            return;
        }
    }
    report(endpoint.text() + ": joins the run");
    begin(i, Purpose::kJoin, restart_steps(i, "before the start"));
}

void RunSession::leave(size_t i) {
    sequences_[i].requests.cancel();
    reading().left(i, now_ns());
    reading().module(i).live = false;
    report(client(i).module().text() + ": left the run (its address is gone)");
    // Should it still be there, cut off for a while, it does not stream on when it is back:
    // one stop, its acknowledge waited for one timeout at most.
    begin(i, Purpose::kLeave,
          {step(ModuleRequest::daq_command(packet::kAllHybrids, false), " (left)", 0)});
}

bool RunSession::taken_up_to(size_t i, int64_t time_ns) {
    ModuleClient& client = group_->client(i);
    if (client.taken_through_ns() >= time_ns) return true;
    // A failure of the socket is reported by the loop's next reception.
    if (client.drain(0, ModuleGroup::kReceiveBudget_s) < 0) return true;
    return client.taken_through_ns() >= time_ns;
}

bool RunSession::silent_at_socket(size_t i) {
    // What waits may move the module's last data on; a host still behind judges later. The
    // silence is judged as of before the look, which the host may be stopped after.
    const int64_t now = now_ns();
    const double now_s = reading().seconds_at(now);
    if (!taken_up_to(i, now)) return false;
    // Datagrams dropped because the host fell behind were sent all the same.
    if (group_->client(i).new_drops() > 0) dropped_s_[i] = now_s;
    const double bound_s = settings_.recover ? settings_.recover->silence_s : 0;
    if (dropped_s_[i] && now_s - *dropped_s_[i] <= bound_s) return false;
    const ModuleRun& m = module(i);
    return m.recovery.due(now_s, m.figures().trigger_rate_hz) == ModuleRecovery::Action::kRecover;
}

void RunSession::watch_modules() {
    const auto now = std::chrono::steady_clock::now();
    if (now - watched_ < kWatchEvery) return;
    watched_ = now;
    const double run_s = seconds();
    for (size_t i = 0; i < size(); ++i) {
        ModuleRun& module = reading().module(i);
        if (!module.started || !module.live) continue;
        const std::string name = client(i).module().text();
        switch (module.recovery.due(run_s, module.figures().trigger_rate_hz)) {
            case ModuleRecovery::Action::kNone:
                break;
            case ModuleRecovery::Action::kRecover: {
                if (sequences_[i].purpose == Purpose::kRecover || !silent_at_socket(i)) break;
                if (!module.recovery.silent()) {
                    report(name + ": silent since " + fixed_seconds(module.recovery.last_data_s()) +
                           " s into the run; rediscovering");
                }
                // An unanswered attempt is followed by the next after a pause, each counted.
                begin(i, Purpose::kRecover, restart_steps(i, "before the restart"));
                break;
            }
            case ModuleRecovery::Action::kGiveUp: {
                // Stopped, so that it does not stream on should it come back; the stop is
                // addressed to one of its hybrids (it acts on the whole module all the same),
                // which tells it from the run's own stop in a capture. Its acknowledge is
                // waited for one timeout at most, and holds up nothing.
                // A module given no hybrids (only a program can do that) takes hybrid 1's.
                const std::vector<HybridSettings>& hybrids = settings_.hybrids_of(i);
                const unsigned hybrid = hybrids.empty() ? 1 : hybrids.front().hybrid;
                begin(i, Purpose::kGiveUp,
                      {step(ModuleRequest::daq_command(hybrid, false), " (give up)", 0)});
                module.live = false;
                report(name + ": recovery: silent for " +
                       fixed_seconds(run_s - module.recovery.outages().back().start_s) +
                       " s, given up");
                break;
            }
        }
    }
}

// Every module that runs has reached the events asked for (those that reach them first send
// on until the common stop).
bool RunSession::events_reached() const {
    for (size_t i = 0; i < size(); ++i) {
        const ModuleRun& m = module(i);
        if (m.started && m.live && m.statistics.triggers() < settings_.events) return false;
    }
    return true;
}

bool RunSession::receive_until_done(const std::function<bool()>& ask) {
    if (settings_.follow && !resolver_) {
        const FollowSettings& follow = *settings_.follow;
        resolver_ = std::make_unique<ModuleResolver>(
            follow.lookup ? follow.lookup
                          : ModuleResolver::dns(follow.names, follow.common.module.port),
            follow.every_s);
    }
    const LoopEnd end{*this};
    while (go_on(ask)) {
        if (!turn(kTurn_s)) return false;
        if (resolver_) follow_modules();
        if (settings_.recover) {
            watch_modules();
            // Every module given up: nothing is left to receive (unless more may join).
            bool any = false;
            for (size_t i = 0; i < size(); ++i) any = any || (module(i).started && module(i).live);
            if (!any && !resolver_) break;
        }
        if (settings_.events > 0 && events_reached()) break;
        if (settings_.seconds > 0 && seconds() >= settings_.seconds) break;
    }
    return true;
}

void RunSession::stop() {
    // No module joins or leaves any more.
    resolver_.reset();
    // The stop goes out whatever ended the run, so that no module streams on; a recovery
    // under way gives way to it.
    for (size_t i = 0; i < size(); ++i) {
        if (!module(i).live) continue;
        begin(i, Purpose::kStop,
              {step(ModuleRequest::daq_command(packet::kAllHybrids, false), " (stop)")});
    }
    run_sequences(nullptr, false);
    const double start = monotonic_s();
    while (monotonic_s() - start < 2.0) {
        if (group_->receive(0.2) <= 0) break;
    }
    reading().finish();
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
    const bool configured = configure(go_on);
    if (!configured && interrupted_) report("interrupted before the start");
    const bool started = configured && start(go_on);
    // The run's own steps between its loops are the loop's time, not the caller's.
    turn_due_s_ = monotonic_s();
    if (started) receive_until_done(go_on);
    // Whatever took the start is stopped, even when the start went wrong for others.
    if (configured) {
        stop();
    } else {
        reading().finish();
    }
    const bool whole = settings_.follow ? kept_module_count() : every_module_ran();
    return close() && started && whole;
}

double RunSession::seconds() const {
    return reader().finished() ? reader().seconds() : reader().seconds_at(now_ns());
}

bool RunSession::every_module_ran() const { return reader().every_module_ran(); }

bool RunSession::kept_module_count() const {
    const size_t expected = settings_.expect_modules > 0 ? settings_.expect_modules : given_;
    return reader().running() >= expected;
}

ModuleFigures RunSession::figures(size_t i) const {
    return module(i).figures(group_->client(i).kernel_drops());
}

ModuleFigures RunSession::total() const {
    ModuleFigures sum;
    for (size_t i = 0; i < size(); ++i) {
        sum.add_module(figures(i), module(i).started, !module(i).failed_at.empty());
    }
    return sum;
}

HostPace RunSession::pace() const {
    HostPace pace;
    // Between turns (in `go_on`, say), the turn to come is late already by this much.
    const double late_s = turn_due_s_ > 0 ? monotonic_s() - turn_due_s_ : 0;
    pace.lateness_max_s = std::max(lateness_max_s_, late_s);
    pace.queued_max = group_->queued_max();
    for (size_t i = 0; i < size(); ++i) {
        pace.backlog_max_s = std::max(pace.backlog_max_s, client(i).backlog_max_s());
        pace.kernel_drops += client(i).kernel_drops();
    }
    pace.silence_s = settings_.recover.value_or(RecoverySettings{}).silence_s;
    return pace;
}

RunProgress RunSession::progress() const {
    RunProgress p;
    p.seconds = seconds();
    for (size_t i = 0; i < size(); ++i) {
        const ModuleRun& m = module(i);
        if (!m.started) continue;
        const uint64_t events = m.statistics.triggers();
        p.fewest_events = p.started == 0 ? events : std::min(p.fewest_events, events);
        ++p.started;
        p.packets += m.statistics.packets();
        p.bytes += m.statistics.bytes();
        for (int hybrid : m.statistics.hybrids()) p.missing += m.statistics.missing(hybrid);
    }
    return p;
}

}  // namespace daq
