#include "testing/UdpPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace {

constexpr int kReceiveBuffer = 8 * 1024 * 1024;
// Larger than any UDP datagram.
constexpr size_t kMaxDatagram = 65536;
// drain() stops here even if a sender keeps the socket busy.
constexpr size_t kMaxDrained = 1000000;

}  // namespace

int open_loopback_socket(uint16_t port, int receive_buffer, uint16_t& bound_port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    // The forced variant passes over net.core.rmem_max, but only for a privileged process.
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &receive_buffer, sizeof(receive_buffer)) !=
        0) {
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof(receive_buffer));
    }
    sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(local);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        ::close(fd);
        return -1;
    }
    bound_port = ntohs(local.sin_port);
    return fd;
}

UdpPeer::UdpPeer(uint16_t port) { fd_ = open_loopback_socket(port, kReceiveBuffer, port_); }

UdpPeer::~UdpPeer() {
    if (fd_ >= 0) ::close(fd_);
}

bool UdpPeer::send(const std::vector<uint8_t>& bytes, const std::string& host, uint16_t port) {
    if (fd_ < 0) return false;
    sockaddr_in destination = {};
    destination.sin_family = AF_INET;
    destination.sin_port = htons(port);
    if (::inet_pton(AF_INET, host.c_str(), &destination.sin_addr) != 1) return false;
    const ssize_t sent = ::sendto(fd_, bytes.data(), bytes.size(), 0,
                                  reinterpret_cast<sockaddr*>(&destination), sizeof(destination));
    return sent == static_cast<ssize_t>(bytes.size());
}

std::optional<std::vector<uint8_t>> UdpPeer::receive(double timeout_s) {
    if (fd_ < 0) return std::nullopt;
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(timeout_s));
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd entry = {fd_, POLLIN, 0};
        const int ready = ::poll(&entry, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return std::nullopt;
        std::vector<uint8_t> bytes(kMaxDatagram);
        const ssize_t n = ::recv(fd_, bytes.data(), bytes.size(), MSG_DONTWAIT);
        if (n >= 0) {
            bytes.resize(static_cast<size_t>(n));
            return bytes;
        }
        if (errno != EINTR && errno != EAGAIN) return std::nullopt;
        if (Clock::now() >= deadline) return std::nullopt;
    }
}

size_t UdpPeer::drain() {
    if (fd_ < 0) return 0;
    std::vector<uint8_t> bytes(kMaxDatagram);
    size_t drained = 0;
    while (drained < kMaxDrained && ::recv(fd_, bytes.data(), bytes.size(), MSG_DONTWAIT) >= 0) {
        ++drained;
    }
    return drained;
}

std::vector<uint8_t> wire_words(std::initializer_list<uint16_t> words) {
    return wire_words(std::vector<uint16_t>(words));
}

std::vector<uint8_t> wire_words(const std::vector<uint16_t>& words) {
    std::vector<uint8_t> bytes;
    bytes.reserve(2 * words.size());
    for (uint16_t word : words) {
        bytes.push_back(static_cast<uint8_t>(word >> 8));
        bytes.push_back(static_cast<uint8_t>(word & 0xFF));
    }
    return bytes;
}

uint16_t wire_word(const std::vector<uint8_t>& bytes, size_t index) {
    if (2 * index + 1 >= bytes.size()) return 0;
    return static_cast<uint16_t>(bytes[2 * index] << 8 | bytes[2 * index + 1]);
}
