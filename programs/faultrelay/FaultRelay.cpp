#include "faultrelay/FaultRelay.h"

#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <iostream>
#include <nlohmann/json.hpp>
#include <utility>

#include "faultrelay/FaultList.h"
#include "faultrelay/Report.h"
#include "protocol/Acknowledge.h"

using namespace daq;

namespace {

// Larger than any UDP datagram.
constexpr size_t kMaxDatagram = 65536;
// How long a datagram held back for reordering waits for a next one before it leaves anyway.
constexpr auto kReorderBound = std::chrono::milliseconds(50);
// How often the statistics file is written and the decision record flushed.
constexpr auto kWritePeriod = std::chrono::seconds(1);
constexpr int kSocketBuffer = 4 * 1024 * 1024;
// Receive batches per socket and wake-up, so that held datagrams and signals are served in time
// under a flood.
constexpr int kBatchesPerWake = 8;

std::string with_reason(const std::string& what) { return what + ": " + std::strerror(errno); }

// The earliest of the two: the order in which held datagrams leave.
bool later(const auto& a, const auto& b) {
    return a.due != b.due ? a.due > b.due : a.order > b.order;
}

int open_socket() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    // The forced variants pass over the system's limits, but only for a privileged process.
    for (const auto& [forced, plain] :
         {std::pair{SO_RCVBUFFORCE, SO_RCVBUF}, std::pair{SO_SNDBUFFORCE, SO_SNDBUF}}) {
        if (::setsockopt(fd, SOL_SOCKET, forced, &kSocketBuffer, sizeof(kSocketBuffer)) != 0) {
            ::setsockopt(fd, SOL_SOCKET, plain, &kSocketBuffer, sizeof(kSocketBuffer));
        }
    }
    return fd;
}

Endpoint local_endpoint(int fd) {
    sockaddr_in local = {};
    socklen_t length = sizeof(local);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    return Endpoint::from(local);
}

}  // namespace

FaultRelay::FaultRelay(const RelaySettings& settings)
    : settings_(settings),
      lanes_{Lane{.direction = Direction::kToModule,
                  .plan = FaultPlan(settings.faults[0], settings.seed, Direction::kToModule)},
             Lane{.direction = Direction::kFromModule,
                  .plan = FaultPlan(settings.faults[1], settings.seed, Direction::kFromModule)}},
      receive_buffer_(kBatch * kMaxDatagram) {
    for (size_t i = 0; i < kBatch; ++i) {
        received_vectors_[i] = {receive_buffer_.data() + i * kMaxDatagram, kMaxDatagram};
        received_[i].msg_hdr.msg_iov = &received_vectors_[i];
        received_[i].msg_hdr.msg_iovlen = 1;
    }
    if (!settings_.stats_path.empty()) stats_.emplace(settings_.stats_path);
    if (!settings_.control_socket_path.empty()) control_.emplace(settings_.control_socket_path);
    for (Lane& each : lanes_) {
        const FaultSettings& faults = each.plan.settings();
        each.link.change(faults.bandwidth_mbps, faults.queue_bytes);
    }
    if (!settings_.decisions_path.empty()) decisions_.emplace(settings_.decisions_path);
}

FaultRelay::~FaultRelay() {
    for (const int fd : {front_fd_, back_fd_, signal_fd_}) {
        if (fd >= 0) ::close(fd);
    }
    if (mask_changed_) ::pthread_sigmask(SIG_SETMASK, &previous_mask_, nullptr);
}

FaultRelay::Lane& FaultRelay::lane(Direction direction) {
    return lanes_[direction == Direction::kToModule ? 0 : 1];
}

const FaultRelay::Lane& FaultRelay::lane(Direction direction) const {
    return lanes_[direction == Direction::kToModule ? 0 : 1];
}

bool FaultRelay::open() {
    front_fd_ = open_socket();
    back_fd_ = open_socket();
    if (front_fd_ < 0 || back_fd_ < 0) {
        report(with_reason("cannot open a UDP socket"));
        return false;
    }
    const sockaddr_in listen = settings_.listen.sockaddr();
    if (::bind(front_fd_, reinterpret_cast<const sockaddr*>(&listen), sizeof(listen)) != 0) {
        report(with_reason("cannot bind to " + settings_.listen.text()));
        return false;
    }
    // Connected, the back socket takes datagrams from the module only.
    const sockaddr_in module = settings_.module.sockaddr();
    if (::connect(back_fd_, reinterpret_cast<const sockaddr*>(&module), sizeof(module)) != 0) {
        report(with_reason("cannot reach the module at " + settings_.module.text()));
        return false;
    }
    front_ = local_endpoint(front_fd_);
    back_port_ = local_endpoint(back_fd_).port;
    lane(Direction::kToModule).out_fd = back_fd_;
    lane(Direction::kFromModule).out_fd = front_fd_;
    lane(Direction::kFromModule).addressed = true;

    // Blocked, the signals come through the signal descriptor, between two system calls.
    sigset_t signals;
    sigemptyset(&signals);
    // SIGHUP too, so that it never ends the relay by mistake.
    for (const int sig : {SIGINT, SIGTERM, SIGUSR1, SIGHUP}) sigaddset(&signals, sig);
    if (::pthread_sigmask(SIG_BLOCK, &signals, &previous_mask_) != 0) {
        report("cannot block SIGINT, SIGTERM, SIGUSR1 and SIGHUP");
        return false;
    }
    mask_changed_ = true;
    signal_fd_ = ::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signal_fd_ < 0) {
        report(with_reason("cannot take the signals over"));
        return false;
    }
    if (control_ && !control_->open()) {
        report(control_->error());
        return false;
    }
    if (decisions_ && !decisions_->open()) return false;
    return !stats_ || stats_->write(statistics());
}

std::string FaultRelay::startup_text() const {
    std::string text = "relaying " + front_.text() + " <-> " + settings_.module.text() +
                       " (back port " + std::to_string(back_port_) + "), seed " +
                       std::to_string(settings_.seed) + ", " + faults_text();
    if (control_) text += ", control socket " + control_->path();
    if (decisions_) text += ", decisions to " + decisions_->path();
    return text;
}

std::string FaultRelay::faults_text() const {
    std::string text;
    for (const Direction direction : kDirections) {
        if (!text.empty()) text += ", ";
        text +=
            std::string(direction_name(direction)) + ": " + lane(direction).plan.settings().text();
    }
    return text;
}

std::string FaultRelay::counters_text() const {
    std::string text;
    for (const Direction direction : kDirections) {
        text +=
            std::string(direction_name(direction)) + ": " + lane(direction).counters.text() + "\n";
    }
    return text;
}

nlohmann::json FaultRelay::statistics() const {
    nlohmann::json document;
    for (const Direction direction : kDirections) {
        const char* name = direction_name(direction);
        document[name] = lane(direction).counters.json();
        document["faults"][name] = lane(direction).plan.settings().json();
    }
    document["seed"] = settings_.seed;
    if (control_) document["control"] = hold_.json();
    return document;
}

bool FaultRelay::run() {
    next_write_ = Clock::now() + kWritePeriod;
    bool stopping = false;
    while (!stopping) {
        timespec timeout = {};
        const std::optional<Clock::time_point> wake = next_wake();
        if (wake) {
            const auto left = std::max(Clock::duration::zero(), *wake - Clock::now());
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            timeout = {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        }
        // Kept between turns, so that waiting allocates nothing.
        std::vector<pollfd>& fds = poll_entries_;
        fds = {{signal_fd_, POLLIN, 0}, {front_fd_, POLLIN, 0}, {back_fd_, POLLIN, 0}};
        if (control_) control_->add_poll_entries(fds);
        if (::ppoll(fds.data(), fds.size(), wake ? &timeout : nullptr, nullptr) < 0 &&
            errno != EINTR) {
            report(with_reason("cannot wait for datagrams"));
            return false;
        }
        if (fds[0].revents != 0) stopping = handle_signals();
        release_due(Clock::now());
        if (fds[1].revents != 0) receive(Direction::kToModule);
        if (fds[2].revents != 0) receive(Direction::kFromModule);
        if (control_) {
            control_->serve(std::span(fds).subspan(3),
                            [this](std::string_view line) { return answer(line); });
        }
        if ((stats_ || decisions_) && Clock::now() >= next_write_) {
            if (stats_) stats_->write(statistics());
            if (decisions_) decisions_->flush();
            next_write_ = Clock::now() + kWritePeriod;
        }
    }
    if (stats_) stats_->write(statistics());
    if (decisions_) decisions_->flush();
    return true;
}

std::optional<FaultRelay::Clock::time_point> FaultRelay::next_wake() const {
    std::optional<Clock::time_point> wake;
    const auto earliest = [&](Clock::time_point at) { wake = wake ? std::min(*wake, at) : at; };
    if (!queue_.empty()) earliest(queue_.front().due);
    for (const Lane& each : lanes_) {
        if (each.reordered) earliest(each.reorder_deadline);
    }
    if (stats_ || decisions_) earliest(next_write_);
    return wake;
}

bool FaultRelay::handle_signals() {
    bool stop = false;
    signalfd_siginfo info = {};
    while (::read(signal_fd_, &info, sizeof(info)) == static_cast<ssize_t>(sizeof(info))) {
        if (info.ssi_signo == SIGUSR1) {
            std::cerr << counters_text() << std::flush;
        } else if (info.ssi_signo == SIGHUP) {
            report("SIGHUP: nothing to do (faults change through --control-socket)");
        } else {
            stop = true;
        }
    }
    return stop;
}

std::string FaultRelay::answer(std::string_view line) {
    std::array<FaultSettings, 2> faults;
    for (const Direction direction : kDirections) {
        faults[index_of(direction)] = lane(direction).plan.settings();
    }
    std::string error;
    const std::optional<ControlRequest> request = ControlRequest::read(line, faults, hold_, error);
    if (!request) return nlohmann::json{{"ok", false}, {"error", error}}.dump();
    nlohmann::json reply = {{"ok", true}};
    switch (request->kind) {
        case ControlRequest::Kind::kSet:
        case ControlRequest::Kind::kClear:
        case ControlRequest::Kind::kHoldAcknowledges:
            if (request->faults != faults) apply(request->faults);
            hold_ = request->hold;
            if (stats_) stats_->write(statistics());
            // For whoever reads the log; the client has the reply.
            report("control: " + faults_text() + ", " + hold_.text());
            [[fallthrough]];
        case ControlRequest::Kind::kList:
            reply["in-force"] = in_force();
            reply["text"] = faults_text() + ", " + hold_.text();
            break;
        case ControlRequest::Kind::kCounters:
            reply["counters"] = statistics();
            break;
        case ControlRequest::Kind::kFaults:
            reply["list"] = fault_list();
            break;
    }
    return reply.dump();
}

void FaultRelay::apply(const std::array<FaultSettings, 2>& faults) {
    for (const Direction direction : kDirections) {
        const FaultSettings& settings = faults[index_of(direction)];
        Lane& each = lane(direction);
        each.plan.change(settings);
        each.link.change(settings.bandwidth_mbps, settings.queue_bytes);
    }
}

nlohmann::json FaultRelay::in_force() const {
    nlohmann::json document = {{"acknowledges", hold_.json()}};
    for (const Direction direction : kDirections) {
        document[direction_name(direction)] = lane(direction).plan.settings().json();
    }
    return document;
}

std::chrono::microseconds FaultRelay::take_ack_delay() {
    if (!hold_.holding()) return std::chrono::microseconds::zero();
    if (hold_.left) --*hold_.left;
    return std::chrono::microseconds(
        std::llround(std::min(1000 * hold_.ms, FaultPlan::kLongestHoldUs)));
}

void FaultRelay::receive(Direction direction) {
    Lane& in = lane(direction);
    const bool from_host = direction == Direction::kToModule;
    const int fd = from_host ? front_fd_ : back_fd_;
    for (int batch = 0; batch < kBatchesPerWake; ++batch) {
        for (size_t i = 0; i < kBatch; ++i) {
            received_[i].msg_hdr.msg_name = from_host ? &sources_[i] : nullptr;
            received_[i].msg_hdr.msg_namelen = from_host ? sizeof(sockaddr_in) : 0;
        }
        const int count = ::recvmmsg(fd, received_.data(), kBatch, MSG_DONTWAIT, nullptr);
        if (count < 0) {
            // The module's port was closed when a datagram reached it: nothing to relay.
            if (errno == ECONNREFUSED || errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                report(with_reason("cannot receive from " +
                                   (from_host ? front_ : settings_.module).text()));
            }
            return;
        }
        const Clock::time_point now = Clock::now();
        for (size_t i = 0; i < static_cast<size_t>(count); ++i) {
            if (from_host) {
                host_ = sources_[i];
                has_host_ = true;
            } else if (!has_host_) {
                // No host has sent anything yet: there is nowhere to send it.
                continue;
            }
            const std::span<uint8_t> payload(receive_buffer_.data() + i * kMaxDatagram,
                                             received_[i].msg_len);
            relay(in, payload, host_, now);
        }
        // Before the next batch overwrites what the messages point into.
        flush(in);
        if (static_cast<size_t>(count) < kBatch) return;
    }
}

void FaultRelay::relay(Lane& lane, std::span<uint8_t> payload, const sockaddr_in& destination,
                       Clock::time_point now) {
    // Recognised before a fault may flip one of its bits, held only when it is relayed.
    const bool acknowledge = lane.direction == Direction::kFromModule && hold_.ms > 0 &&
                             Acknowledge::parse(payload.data(), payload.size()).has_value();
    const FaultDecision decision = lane.plan.decide(payload);
    lane.counters.count(decision);
    const bool relayed = decision.fate == FaultDecision::Fate::kRelayed;
    const std::chrono::microseconds ack_hold =
        relayed && acknowledge ? take_ack_delay() : std::chrono::microseconds::zero();
    if (decisions_) decisions_->add(lane.direction, decision, ack_hold);
    if (!relayed) return;
    if (ack_hold.count() > 0) ++lane.counters.ack_delayed;
    const Clock::time_point due = now + decision.hold + ack_hold;
    if (decision.held_for_reorder) {
        lane.reordered =
            Held{due, 0, lane.direction, destination, decision.copies, copy_of(payload)};
        lane.reorder_deadline = now + kReorderBound;
        return;
    }
    if (due <= now) {
        leave(lane, payload, destination, decision.copies, now);
    } else {
        hold(Held{due, ++order_, lane.direction, destination, decision.copies, copy_of(payload)});
    }
    if (decision.releases_held) release_reordered(lane, due, now);
}

void FaultRelay::release_reordered(Lane& lane, Clock::time_point not_before,
                                   Clock::time_point now) {
    // Gone already when it waited longer than kReorderBound.
    if (!lane.reordered) return;
    Held held = std::move(*lane.reordered);
    lane.reordered.reset();
    held.due = std::max(held.due, not_before);
    held.order = ++order_;
    if (held.due <= now) {
        send_held(std::move(held), now);
    } else {
        hold(std::move(held));
    }
}

void FaultRelay::release_due(Clock::time_point now) {
    while (!queue_.empty() && queue_.front().due <= now) {
        std::pop_heap(queue_.begin(), queue_.end(), later<Held, Held>);
        Held held = std::move(queue_.back());
        queue_.pop_back();
        send_held(std::move(held), now);
    }
    for (Lane& each : lanes_) {
        if (each.reordered && now >= each.reorder_deadline) release_reordered(each, now, now);
    }
    flush_all();
}

void FaultRelay::hold(Held held) {
    queue_.push_back(std::move(held));
    std::push_heap(queue_.begin(), queue_.end(), later<Held, Held>);
}

void FaultRelay::leave(Lane& lane, std::span<const uint8_t> bytes, const sockaddr_in& destination,
                       unsigned copies, Clock::time_point now) {
    for (unsigned copy = 0; copy < copies; ++copy) {
        const std::optional<Clock::time_point> start = lane.link.admit(bytes.size(), now);
        if (!start) {
            ++lane.counters.tail_dropped;
        } else if (*start <= now) {
            add_outgoing(lane, bytes, destination);
        } else {
            hold(Held{*start, ++order_, lane.direction, destination, 1, copy_of(bytes), true});
        }
    }
}

void FaultRelay::send_held(Held held, Clock::time_point now) {
    Lane& out = lane(held.direction);
    if (held.shaped) {
        add_outgoing(out, held.bytes, held.destination);
    } else {
        leave(out, held.bytes, held.destination, held.copies, now);
    }
    // Moving the vector keeps its bytes where the messages point.
    leaving_.push_back(std::move(held.bytes));
}

std::vector<uint8_t> FaultRelay::copy_of(std::span<const uint8_t> payload) {
    std::vector<uint8_t> bytes;
    if (!spare_.empty()) {
        bytes = std::move(spare_.back());
        spare_.pop_back();
    }
    bytes.assign(payload.begin(), payload.end());
    return bytes;
}

void FaultRelay::add_outgoing(Lane& lane, std::span<const uint8_t> bytes,
                              const sockaddr_in& destination) {
    if (lane.outgoing == kBatch) flush(lane);
    const size_t i = lane.outgoing++;
    // sendmmsg only reads the bytes.
    lane.vectors[i] = {const_cast<uint8_t*>(bytes.data()), bytes.size()};
    lane.destinations[i] = destination;
    msghdr& header = lane.messages[i].msg_hdr;
    header = {};
    header.msg_iov = &lane.vectors[i];
    header.msg_iovlen = 1;
    if (lane.addressed) {
        header.msg_name = &lane.destinations[i];
        header.msg_namelen = sizeof(sockaddr_in);
    }
}

void FaultRelay::flush(Lane& lane) {
    size_t at = 0;
    while (at < lane.outgoing) {
        const int sent =
            ::sendmmsg(lane.out_fd, &lane.messages[at], lane.outgoing - at, MSG_NOSIGNAL);
        if (sent > 0) {
            at += static_cast<size_t>(sent);
            lane.counters.sent += static_cast<uint64_t>(sent);
            lane.send_failing = false;
            continue;
        }
        // This datagram cannot leave (no module listening, no route): the next ones may.
        if (!lane.send_failing) {
            const Endpoint destination =
                lane.addressed ? Endpoint::from(lane.destinations[at]) : settings_.module;
            report(with_reason("cannot send to " + destination.text()));
        }
        lane.send_failing = true;
        ++at;
    }
    lane.outgoing = 0;
}

void FaultRelay::flush_all() {
    for (Lane& each : lanes_) flush(each);
    for (std::vector<uint8_t>& bytes : leaving_) spare_.push_back(std::move(bytes));
    leaving_.clear();
}
