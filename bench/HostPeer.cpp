#include "HostPeer.h"

#include <arpa/inet.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "Report.h"
#include "protocol/Acknowledge.h"
#include "protocol/BasePacket.h"
#include "protocol/DataPacketView.h"
#include "protocol/ModuleRequest.h"
#include "testing/UdpPeer.h"

using namespace daq;

namespace {

constexpr int kBatch = 64;
constexpr size_t kDatagramRoom = 9216;
// The stream all trigger counts and time spans are taken from.
constexpr int kReferenceStream = 1;

}  // namespace

double RoundTrips::quantile(double q) const { return ::quantile(samples_us, q).value_or(0); }

double Traffic::interval_spread() const {
    if (intervals < 2 || interval_sum_us <= 0) return 0;
    const auto n = static_cast<double>(intervals);
    const double mean = interval_sum_us / n;
    const double variance = (interval_square_sum_us2 - n * mean * mean) / (n - 1);
    return std::sqrt(std::max(variance, 0.0)) / mean;
}

HostPeer::HostPeer(uint16_t target_port) {
    target_.sin_family = AF_INET;
    target_.sin_port = htons(target_port);
    target_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

    // Large enough for seconds of the fastest run: the host must not be the one that drops.
    fd_ = open_loopback_socket(0, 64 << 20, port_);
    if (fd_ < 0) return;
    // The time each datagram reached the socket, so that round trips leave out how long this
    // process took to get to it.
    const int on = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof(on));
    timeval timeout = {0, 20000};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    reader_ = std::thread(&HostPeer::receive_loop, this);
}

HostPeer::~HostPeer() {
    stop_ = true;
    if (reader_.joinable()) reader_.join();
    if (fd_ >= 0) ::close(fd_);
}

void HostPeer::set_patient(bool patient) { patient_ = patient; }

bool HostPeer::pin_reader(int cpu) {
    if (!reader_.joinable()) return false;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return pthread_setaffinity_np(reader_.native_handle(), sizeof(set), &set) == 0;
}

void HostPeer::receive_loop() {
    std::vector<uint8_t> room(kBatch * kDatagramRoom);
    mmsghdr messages[kBatch];
    iovec vectors[kBatch];
    constexpr size_t kControlRoom = CMSG_SPACE(sizeof(timespec));
    alignas(cmsghdr) char controls[kBatch][kControlRoom];
    while (!stop_) {
        for (int i = 0; i < kBatch; ++i) {
            vectors[i] = {room.data() + i * kDatagramRoom, kDatagramRoom};
            messages[i] = {};
            messages[i].msg_hdr.msg_iov = &vectors[i];
            messages[i].msg_hdr.msg_iovlen = 1;
            messages[i].msg_hdr.msg_control = controls[i];
            messages[i].msg_hdr.msg_controllen = kControlRoom;
        }
        // Blocks for the first datagram (up to the socket's time-out), then takes what is
        // already queued.
        const int n = ::recvmmsg(fd_, messages, kBatch, MSG_WAITFORONE, nullptr);
        if (n <= 0) continue;
        if (patient_ && n < kBatch) {
            // Not waiting on the socket, so a sender never has to wake this thread up.
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        const Clock::time_point arrival = Clock::now();
        std::lock_guard<std::mutex> lock(mutex_);
        last_arrival_ = arrival;
        for (int i = 0; i < n; ++i) {
            int64_t kernel_ns = 0;
            for (cmsghdr* c = CMSG_FIRSTHDR(&messages[i].msg_hdr); c != nullptr;
                 c = CMSG_NXTHDR(&messages[i].msg_hdr, c)) {
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                    timespec stamp;
                    std::memcpy(&stamp, CMSG_DATA(c), sizeof(stamp));
                    kernel_ns = static_cast<int64_t>(stamp.tv_sec) * 1000000000 + stamp.tv_nsec;
                }
            }
            take(room.data() + i * kDatagramRoom, messages[i].msg_len, arrival, kernel_ns);
        }
        changed_.notify_all();
    }
}

void HostPeer::take(const uint8_t* bytes, size_t length, Clock::time_point arrival,
                    int64_t kernel_ns) {
    const DataPacketView packet(bytes, length);
    if (packet.ok()) {
        count_packet(packet);
        return;
    }
    if (awaited_code_ < 0 || ack_arrived_) return;
    const std::optional<Acknowledge> ack = Acknowledge::parse(bytes, length);
    if (ack && ack->answers(static_cast<unsigned>(awaited_code_))) {
        ack_arrived_ = true;
        ack_error_ = ack->error;
        ack_time_ = arrival;
        ack_kernel_ns_ = kernel_ns;
    }
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

bool HostPeer::send_request(uint8_t code, uint16_t word2, uint16_t word3) {
    const auto wire = ModuleRequest{code, word2, word3}.wire();
    return ::sendto(fd_, wire.data(), wire.size(), 0, reinterpret_cast<const sockaddr*>(&target_),
                    sizeof(target_)) == static_cast<ssize_t>(wire.size());
}

std::optional<uint16_t> HostPeer::request(uint8_t code, uint16_t word2, uint16_t word3,
                                          double timeout_s) {
    std::unique_lock<std::mutex> lock(mutex_);
    awaited_code_ = code;
    ack_arrived_ = false;
    if (!send_request(code, word2, word3)) return std::nullopt;
    const bool arrived = changed_.wait_for(lock, std::chrono::duration<double>(timeout_s),
                                           [this] { return ack_arrived_; });
    awaited_code_ = -1;
    if (!arrived) return std::nullopt;
    return ack_error_;
}

bool HostPeer::daq_command(uint16_t command) {
    return request(packet::kDaqCommand, packet::kAllHybrids << 8, command) == packet::kDone;
}

bool HostPeer::discover(double timeout_s) {
    const auto deadline = Clock::now() + std::chrono::duration<double>(timeout_s);
    while (Clock::now() < deadline) {
        if (request(packet::kDiscovery, 0, 0, 0.1).has_value()) return true;
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
            if (request(r.code, r.word2, r.word3) != packet::kDone) return false;
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

namespace {

int64_t realtime_ns() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

}  // namespace

RoundTrips HostPeer::probe(int count, double spacing_s) {
    RoundTrips trips;
    auto next = Clock::now();
    const auto spacing =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(spacing_s));
    for (int i = 0; i < count; ++i) {
        std::this_thread::sleep_until(next);
        next += spacing;
        std::unique_lock<std::mutex> lock(mutex_);
        awaited_code_ = packet::kNoAction;
        ack_arrived_ = false;
        const Clock::time_point sent = Clock::now();
        const int64_t sent_ns = realtime_ns();
        if (!send_request(packet::kNoAction, 0, 0)) {
            ++trips.lost;
            continue;
        }
        if (!changed_.wait_for(lock, std::chrono::seconds(1), [this] { return ack_arrived_; })) {
            ++trips.lost;
            continue;
        }
        awaited_code_ = -1;
        // The kernel's arrival time when the system gives it, else when the reader saw it.
        const double trip_us =
            ack_kernel_ns_ > 0
                ? static_cast<double>(ack_kernel_ns_ - sent_ns) / 1000.0
                : std::chrono::duration<double, std::micro>(ack_time_ - sent).count();
        trips.samples_us.push_back(trip_us);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    awaited_code_ = -1;
    return trips;
}

uint64_t HostPeer::kernel_drops() const {
    // Columns of /proc/net/udp: sl local rem st tx:rx tr:when retrnsmt uid timeout inode ref
    // pointer drops. The local address is hex "ADDRESS:PORT".
    std::ifstream table("/proc/self/net/udp");
    std::string line;
    std::getline(table, line);
    char wanted[8];
    std::snprintf(wanted, sizeof(wanted), ":%04X", port_);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local;
        fields >> slot >> local;
        if (local.size() < 5 || local.compare(local.size() - 5, 5, wanted) != 0) continue;
        std::string field;
        for (int i = 0; i < 10; ++i) fields >> field;
        uint64_t drops = 0;
        fields >> drops;
        return drops;
    }
    return 0;
}
