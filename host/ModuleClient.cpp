#include "daqhost/ModuleClient.h"

#include <arpa/inet.h>
#include <linux/sock_diag.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <sstream>
#include <utility>

#include "daqhost/DatagramClassifier.h"
#include "protocol/BasePacket.h"
#include "protocol/PacketConversion.h"

namespace daq {

namespace {

// Datagrams taken per system call, and the room for each: the largest UDP payload.
constexpr unsigned kBatch = 64;
constexpr size_t kDatagramRoom = 65536;

int64_t now_ns() {
    timespec t = {};
    clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

double monotonic_s() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string system_error(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

// Made with the client, its buffers once the socket opens. It keeps the receiver that takes
// verdicts too, which the client's own members have no room for without a change of its layout.
struct ModuleClient::Batch {
    void allocate() {
        buffers.resize(kBatch * kDatagramRoom);
        for (unsigned i = 0; i < kBatch; ++i) {
            iov[i] = {buffers.data() + i * kDatagramRoom, kDatagramRoom};
        }
    }
    void prepare() {
        for (unsigned i = 0; i < kBatch; ++i) {
            msgs[i] = {};
            msgs[i].msg_hdr.msg_name = &from[i];
            msgs[i].msg_hdr.msg_namelen = sizeof(from[i]);
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
            msgs[i].msg_hdr.msg_control = control[i];
            msgs[i].msg_hdr.msg_controllen = sizeof(control[i]);
        }
    }

    std::function<void(const Datagram&, const DatagramVerdict&)> judged_receiver;
    std::vector<uint8_t> buffers;
    iovec iov[kBatch];
    sockaddr_in from[kBatch];
    mmsghdr msgs[kBatch];
    alignas(
        cmsghdr) char control[kBatch][CMSG_SPACE(sizeof(timespec)) + CMSG_SPACE(sizeof(uint32_t))];
};

ModuleClient::ModuleClient(const Settings& settings)
    : settings_(settings), batch_(std::make_unique<Batch>()) {}

void ModuleClient::on_receive(
    std::function<void(const Datagram&, const DatagramVerdict&)> receiver) {
    batch_->judged_receiver = std::move(receiver);
}

ModuleClient::~ModuleClient() {
    if (fd_ >= 0) ::close(fd_);
}

bool ModuleClient::open() {
    if (fd_ >= 0) return true;
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0) {
        error_ = system_error("cannot make a UDP socket");
        return false;
    }
    // A run at the highest rate brings some 90 MB/s: a deep queue rides out the moments when
    // this process is not on a processor. Beyond the system's limit only root may go.
    const int buffer = settings_.receive_buffer;
    if (::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof(buffer)) != 0) {
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof(buffer));
    }
    const int on = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof(on));
    ::setsockopt(fd_, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof(on));
    const sockaddr_in local = settings_.local.sockaddr();
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0) {
        error_ = system_error("cannot bind " + settings_.local.text());
        return false;
    }
    // Connected, the socket takes datagrams from the module's address and port only, and
    // knows the local address that the module sees.
    const sockaddr_in module = settings_.module.sockaddr();
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&module), sizeof(module)) != 0) {
        error_ = system_error("cannot reach " + settings_.module.text());
        return false;
    }
    sockaddr_in address = {};
    socklen_t length = sizeof(address);
    if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        local_ = Endpoint::from(address);
    }
    batch_->allocate();
    return true;
}

int ModuleClient::receive_buffer() const {
    int size = 0;
    socklen_t length = sizeof(size);
    if (fd_ < 0 || ::getsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, &length) != 0) return 0;
    return size;
}

bool ModuleClient::send_request(const ModuleRequest& request) {
    const auto wire = request.wire();
    const int64_t time = now_ns();
    if (::send(fd_, wire.data(), wire.size(), 0) != static_cast<ssize_t>(wire.size())) {
        error_ = system_error("cannot send to " + settings_.module.text());
        return false;
    }
    if (sender_) {
        sender_({wire.data(), wire.size(), time, local_, settings_.module});
    }
    return true;
}

bool ModuleClient::send(const ModuleRequest& request) {
    return (fd_ >= 0 || open()) && send_request(request);
}

RequestOutcome ModuleClient::request(uint8_t code, uint16_t word2, uint16_t word3) {
    return request(ModuleRequest{code, word2, word3});
}

RequestOutcome ModuleClient::request(const ModuleRequest& request) {
    start_request(request);
    // Each pass waits until the acknowledge or the attempt's timeout: at most 1 + retries
    // timeouts in all.
    while (pending_) continue_request(request_time_left());
    return outcome_;
}

void ModuleClient::start_request(const ModuleRequest& request) {
    request_ = request;
    outcome_ = {};
    pending_ = true;
    if (fd_ < 0 && !open()) {
        outcome_.status = RequestOutcome::kSendFailed;
        pending_ = false;
        return;
    }
    send_attempt();
}

void ModuleClient::send_attempt() {
    ++outcome_.attempts;
    if (!send_request(request_)) {
        outcome_.status = RequestOutcome::kSendFailed;
        pending_ = false;
        return;
    }
    deadline_ = monotonic_s() + settings_.timeout_s;
}

double ModuleClient::request_time_left() const { return deadline_ - monotonic_s(); }

void ModuleClient::continue_request(double wait_s) {
    if (!pending_) return;
    bool got_ack = false;
    if (receive_batch(wait_s > 0 ? wait_s : 0, request_.code, &outcome_.ack, &got_ack) < 0) {
        outcome_.status = RequestOutcome::kSendFailed;
        pending_ = false;
        return;
    }
    if (got_ack) {
        outcome_.status = RequestOutcome::kAcknowledged;
        pending_ = false;
        return;
    }
    if (request_time_left() > 0) return;
    if (outcome_.attempts <= settings_.retries) {
        send_attempt();
        return;
    }
    outcome_.status = RequestOutcome::kNoAcknowledge;
    pending_ = false;
}

RequestOutcome ModuleClient::discover() { return request(ModuleRequest::discovery()); }

RequestOutcome ModuleClient::configure_stream(unsigned hybrid, unsigned chip_type, unsigned chips) {
    return request(ModuleRequest::stream_configuration({hybrid, chip_type, chips}));
}

RequestOutcome ModuleClient::set_readout_mode(unsigned hybrid, unsigned mode, unsigned nadj) {
    return request(ModuleRequest::readout_mode({hybrid, mode, nadj}));
}

RequestOutcome ModuleClient::daq_command(unsigned hybrid, bool start) {
    return request(ModuleRequest::daq_command(hybrid, start));
}

RequestOutcome ModuleClient::start() { return daq_command(packet::kAllHybrids, true); }

RequestOutcome ModuleClient::stop() { return daq_command(packet::kAllHybrids, false); }

int ModuleClient::receive(double timeout_s) {
    if (fd_ < 0 && !open()) return -1;
    return receive_batch(timeout_s, -1, nullptr, nullptr);
}

int ModuleClient::drain(double timeout_s, double budget_s) {
    if (fd_ < 0 && !open()) return -1;
    const double end = monotonic_s() + budget_s;
    int total = 0;
    // A batch less than full emptied the socket.
    for (int n = receive_batch(timeout_s, -1, nullptr, nullptr);; n = receive(0)) {
        if (n < 0) return -1;
        total += n;
        if (n < static_cast<int>(kBatch) || monotonic_s() >= end) return total;
    }
}

uint64_t ModuleClient::new_drops() {
    uint32_t memory[SK_MEMINFO_VARS] = {};
    socklen_t length = sizeof(memory);
    if (fd_ < 0 || ::getsockopt(fd_, SOL_SOCKET, SO_MEMINFO, memory, &length) != 0 ||
        length <= SK_MEMINFO_DROPS * sizeof(uint32_t)) {
        return 0;
    }
    const uint64_t drops = memory[SK_MEMINFO_DROPS];
    if (drops <= kernel_drops_) return 0;
    return drops - std::exchange(kernel_drops_, drops);
}

int ModuleClient::receive_batch(double timeout_s, int awaited, Acknowledge* ack, bool* got_ack) {
    Batch& batch = *batch_;
    batch.prepare();
    // During a run datagrams are nearly always waiting: take them first, and wait on the
    // socket only when there are none, which spares a system call per batch.
    int64_t asked = now_ns();
    int n = ::recvmmsg(fd_, batch.msgs, kBatch, MSG_DONTWAIT, nullptr);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        taken_through_ns_ = std::max(taken_through_ns_, asked);
        pollfd poll_fd = {fd_, POLLIN, 0};
        const auto whole = static_cast<time_t>(timeout_s);
        const timespec wait = {whole,
                               static_cast<long>((timeout_s - static_cast<double>(whole)) * 1e9)};
        const int ready = ::ppoll(&poll_fd, 1, &wait, nullptr);
        if (ready <= 0) {
            if (ready < 0 && errno != EINTR) {
                error_ = system_error("cannot wait for the socket");
                return -1;
            }
            return 0;
        }
        asked = now_ns();
        n = ::recvmmsg(fd_, batch.msgs, kBatch, MSG_DONTWAIT, nullptr);
    }
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
        // An ICMP port-unreachable from a closed module port shows up as ECONNREFUSED on a
        // connected socket: nothing is listening there, which the timeout will report.
        if (errno == ECONNREFUSED) return 0;
        error_ = system_error("cannot receive");
        return -1;
    }
    // Fewer than asked for: nothing more had come when the call was made.
    if (n < static_cast<int>(kBatch)) taken_through_ns_ = std::max(taken_through_ns_, asked);
    const int64_t taken = now_ns();
    for (int i = 0; i < n; ++i) {
        mmsghdr& msg = batch.msgs[i];
        int64_t time = 0;
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg.msg_hdr); c != nullptr;
             c = CMSG_NXTHDR(&msg.msg_hdr, c)) {
            if (c->cmsg_level != SOL_SOCKET) continue;
            if (c->cmsg_type == SO_TIMESTAMPNS) {
                timespec t;
                std::memcpy(&t, CMSG_DATA(c), sizeof(t));
                time = static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
            } else if (c->cmsg_type == SO_RXQ_OVFL) {
                uint32_t drops;
                std::memcpy(&drops, CMSG_DATA(c), sizeof(drops));
                kernel_drops_ = drops;
            }
        }
        if (time == 0) {
            time = taken;
        } else if (i == 0) {
            // The first of a batch waited longest.
            backlog_max_s_ = std::max(backlog_max_s_, static_cast<double>(taken - time) * 1e-9);
        }
        taken_through_ns_ = std::max(taken_through_ns_, time);
        const Datagram datagram = {static_cast<const uint8_t*>(batch.iov[i].iov_base), msg.msg_len,
                                   time, Endpoint::from(batch.from[i]), local_};
        const bool awaits = awaited >= 0 && !*got_ack;
        if (!awaits && !batch.judged_receiver) {
            if (receiver_) receiver_(datagram);
            continue;
        }
        const DatagramVerdict verdict =
            DatagramClassifier::from_module(datagram.data, datagram.length, datagram.source);
        if (awaits && verdict.kind == DatagramClassifier::Kind::kAcknowledge &&
            verdict.acknowledge.answers(static_cast<unsigned>(awaited))) {
            *ack = verdict.acknowledge;
            *got_ack = true;
        }
        if (batch.judged_receiver) {
            batch.judged_receiver(datagram, verdict);
        } else if (receiver_) {
            receiver_(datagram);
        }
    }
    return n;
}

std::string ModuleClient::unacknowledged_text(unsigned code, const RequestOutcome& outcome) const {
    if (outcome.status == RequestOutcome::kSendFailed) return error_;
    std::ostringstream timeout;
    timeout << settings_.timeout_s;
    return "no acknowledge of " + std::string(command_name(code)) + " from " +
           settings_.module.text() + " after " + std::to_string(outcome.attempts) +
           " attempt(s) of " + timeout.str() + " s";
}

}  // namespace daq
