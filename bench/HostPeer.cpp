#include "HostPeer.h"

#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <cmath>

#include "Report.h"
#include "protocol/BasePacket.h"
#include "protocol/DataPacketView.h"

using namespace daq;

namespace {

// The stream all trigger counts and time spans are taken from.
constexpr int kReferenceStream = 1;
// The most datagrams ModuleClient::receive() takes in one call: fewer means none were left.
constexpr int kClientBatch = 64;
// How long the reader waits on a quiet socket before it looks whether it should stop.
constexpr int kIdleWaitMs = 20;
// Longer than any request here waits: the client never sends a request again by itself.
constexpr double kLongestWait = 10.0;

}  // namespace

double RoundTrips::quantile(double q) const { return ::quantile(samples_us, q).value_or(0); }

double Traffic::interval_spread() const {
    if (intervals < 2 || interval_sum_us <= 0) return 0;
    const auto n = static_cast<double>(intervals);
    const double mean = interval_sum_us / n;
    const double variance = (interval_square_sum_us2 - n * mean * mean) / (n - 1);
    return std::sqrt(std::max(variance, 0.0)) / mean;
}

HostPeer::HostPeer(uint16_t module_port)
    : client_([module_port] {
          ModuleClient::Settings settings;
          settings.module = {INADDR_LOOPBACK, module_port};
          settings.local = {INADDR_LOOPBACK, 0};
          // Large enough for seconds of the fastest run: the host must not be the one that
          // drops.
          settings.receive_buffer = 64 << 20;
          // Each request waits as long as exchange() is told, and goes out once.
          settings.timeout_s = kLongestWait;
          settings.retries = 0;
          return settings;
      }()) {
    client_.on_receive([this](const Datagram& datagram) { take(datagram); });
    // The time each request went out, so that round trips are taken from there to the kernel's
    // receive time of the acknowledge, leaving out how long this process took to get to it.
    client_.on_send([this](const Datagram& datagram) { sent_ns_ = datagram.time_ns; });
    if (!client_.open()) return;
    reader_ = std::thread(&HostPeer::receive_loop, this);
}

HostPeer::~HostPeer() {
    stop_ = true;
    if (reader_.joinable()) reader_.join();
}

void HostPeer::set_patient(bool patient) { patient_ = patient; }

bool HostPeer::pin_reader(int cpu) {
    if (!reader_.joinable()) return false;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return pthread_setaffinity_np(reader_.native_handle(), sizeof(set), &set) == 0;
}

std::unique_lock<std::mutex> HostPeer::take_client() {
    // The reader takes the lock again right after each batch: without this flag a request
    // could wait for the end of the run.
    client_wanted_ = true;
    std::unique_lock<std::mutex> lock(mutex_);
    client_wanted_ = false;
    return lock;
}

void HostPeer::receive_loop() {
    pollfd socket = {client_.descriptor(), POLLIN, 0};
    int received = 0;
    while (!stop_) {
        if (client_wanted_) {
            std::this_thread::yield();
            continue;
        }
        // Waits on the socket only when the last turn found nothing: during a run the next
        // batch is nearly always there. Not under the lock, which a request may take meanwhile.
        if (received == 0) ::poll(&socket, 1, kIdleWaitMs);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            received = client_.receive(0);
            if (received > 0) last_arrival_ = Clock::now();
        }
        if (received <= 0) {
            received = 0;
            continue;
        }
        changed_.notify_all();
        if (patient_ && received < kClientBatch) {
            // Not waiting on the socket, so a sender never has to wake this thread up.
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
}

void HostPeer::take(const Datagram& datagram) {
    ++datagrams_;
    const DataPacketView packet(datagram.data, datagram.length);
    if (packet.ok()) {
        count_packet(packet);
        return;
    }
    if (awaited_code_ < 0 || ack_ns_ != 0) return;
    const std::optional<Acknowledge> ack = Acknowledge::parse(datagram.data, datagram.length);
    if (ack && ack->answers(static_cast<unsigned>(awaited_code_))) ack_ns_ = datagram.time_ns;
}

void HostPeer::count_packet(const DataPacketView& packet) {
    const int id = packet.id();
    StreamCount& stream = counts_[id > 0 && id < kStreams ? id : 0];
    const uint16_t event = packet.event();
    const uint32_t time_stamp = packet.time_stamp();
    if (stream.last_event >= 0) {
        const auto skipped = static_cast<uint16_t>(event - stream.last_event - 1);
        const uint32_t step = time_stamp - stream.last_time_stamp;
        stream.missing += skipped;
        stream.span_us += step;
        if (skipped == 0) {
            ++stream.intervals;
            stream.interval_sum_us += step;
            stream.interval_square_sum_us2 += static_cast<double>(step) * step;
        }
    }
    stream.last_event = event;
    stream.last_time_stamp = time_stamp;
    ++stream.packets;
    stream.bytes += packet.length();
    if (id == kReferenceStream) first_stream_packets_ = stream.packets;
}

std::optional<Acknowledge> HostPeer::exchange(const ModuleRequest& request, double timeout_s) {
    awaited_code_ = request.code;
    ack_ns_ = 0;
    const uint64_t datagrams_before = datagrams_;
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(timeout_s));
    client_.start_request(request);
    while (client_.request_pending()) {
        const double left = std::chrono::duration<double>(deadline - Clock::now()).count();
        if (left <= 0) break;
        client_.continue_request(std::min(left, client_.request_time_left()));
    }
    awaited_code_ = -1;
    if (datagrams_ != datagrams_before) last_arrival_ = Clock::now();
    changed_.notify_all();
    if (client_.request_pending() || !client_.request_outcome().acknowledged()) {
        return std::nullopt;
    }
    return client_.request_outcome().ack;
}

std::optional<uint16_t> HostPeer::request(const ModuleRequest& request, double timeout_s) {
    const std::unique_lock<std::mutex> lock = take_client();
    const std::optional<Acknowledge> ack = exchange(request, timeout_s);
    if (!ack) return std::nullopt;
    return ack->error;
}

bool HostPeer::daq_command(bool start) {
    return request(ModuleRequest::daq_command(packet::kAllHybrids, start)) == packet::kDone;
}

bool HostPeer::discover(double timeout_s) {
    const auto deadline = Clock::now() + std::chrono::duration<double>(timeout_s);
    while (Clock::now() < deadline) {
        if (request(ModuleRequest::discovery(), 0.1).has_value()) return true;
    }
    return false;
}

bool HostPeer::configure(int hybrids, int mode, int nadj, int chip_type) {
    constexpr unsigned kTwoChips = 2;
    for (int id = 1; id <= hybrids; ++id) {
        const auto hybrid = static_cast<unsigned>(id);
        const ModuleRequest stream = ModuleRequest::stream_configuration(
            {hybrid, static_cast<unsigned>(chip_type), kTwoChips});
        const ModuleRequest readout = ModuleRequest::readout_mode(
            {hybrid, static_cast<unsigned>(mode), static_cast<unsigned>(nadj)});
        for (const ModuleRequest& r : {stream, readout}) {
            if (request(r) != packet::kDone) return false;
        }
    }
    return true;
}

void HostPeer::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    counts_ = Counts();
    first_stream_packets_ = 0;
}

void HostPeer::wait_quiet(double quiet_s, double timeout_s) {
    const auto quiet =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(quiet_s));
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(timeout_s));
    while (Clock::now() < deadline) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (Clock::now() - last_arrival_ >= quiet) return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

HostPeer::Counts HostPeer::snapshot() {
    std::lock_guard<std::mutex> lock(mutex_);
    return counts_;
}

Traffic HostPeer::between(const Counts& before, const Counts& after) {
    Traffic traffic;
    for (int i = 0; i < kStreams; ++i) {
        traffic.packets += after[i].packets - before[i].packets;
        traffic.bytes += after[i].bytes - before[i].bytes;
        traffic.missing += after[i].missing - before[i].missing;
    }
    const StreamCount& from = before[kReferenceStream];
    const StreamCount& to = after[kReferenceStream];
    traffic.triggers = (to.packets - from.packets) + (to.missing - from.missing);
    // Before the stream's first packet there is no step to measure from.
    if (from.packets == 0 && traffic.triggers > 0) --traffic.triggers;
    traffic.seconds = static_cast<double>(to.span_us - from.span_us) / 1e6;
    traffic.intervals = to.intervals - from.intervals;
    traffic.interval_sum_us = to.interval_sum_us - from.interval_sum_us;
    traffic.interval_square_sum_us2 = to.interval_square_sum_us2 - from.interval_square_sum_us2;
    return traffic;
}

bool HostPeer::wait_for_packets(uint64_t packets, double timeout_s) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(timeout_s),
                             [&] { return first_stream_packets_ >= packets; });
}

RoundTrips HostPeer::probe(int count, double spacing_s) {
    RoundTrips trips;
    auto next = Clock::now();
    const auto spacing =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(spacing_s));
    const ModuleRequest no_action = ModuleRequest::no_action();
    for (int i = 0; i < count; ++i) {
        std::this_thread::sleep_until(next);
        next += spacing;
        const std::unique_lock<std::mutex> lock = take_client();
        if (!exchange(no_action, 1.0) || ack_ns_ == 0) {
            ++trips.lost;
            continue;
        }
        trips.samples_us.push_back(static_cast<double>(ack_ns_ - sent_ns_) / 1000.0);
    }
    return trips;
}

uint64_t HostPeer::kernel_drops() {
    std::lock_guard<std::mutex> lock(mutex_);
    return client_.kernel_drops();
}
