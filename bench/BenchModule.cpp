#include "BenchModule.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "protocol/BasePacket.h"

using namespace daq;

namespace {

// The module logs every request and configuration on standard output, and the address choice
// prints there too; a benchmark's own report must not be mixed with it.
class QuietStdout {
  public:
    QuietStdout() : saved_(std::cout.rdbuf(nullptr)) {
        std::fflush(stdout);
        saved_fd_ = ::dup(STDOUT_FILENO);
        const int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null_fd >= 0) {
            ::dup2(null_fd, STDOUT_FILENO);
            ::close(null_fd);
        }
    }
    ~QuietStdout() {
        std::fflush(stdout);
        if (saved_fd_ >= 0) {
            ::dup2(saved_fd_, STDOUT_FILENO);
            ::close(saved_fd_);
        }
        std::cout.clear();
        std::cout.rdbuf(saved_);
    }
    QuietStdout(const QuietStdout&) = delete;
    QuietStdout& operator=(const QuietStdout&) = delete;

  private:
    std::streambuf* saved_;
    int saved_fd_ = -1;
};

// A request of four host-order words, as filter() leaves a received datagram.
struct HostWords {
    uint16_t word[4];
    const char* data() const { return reinterpret_cast<const char*>(word); }
    static constexpr int size() { return 8; }
};

}  // namespace

BenchModule::BenchModule(int chip_type, uint8_t mask, Send send)
    : CapturingModule(chip_type, Capture{.forward = send == Send::kUdpSink}, 0) {
    QuietStdout quiet;
    // No loop runs the pedestal generator that the module registered for itself: the buffer is
    // filled by hand here, which also marks the generator as not registered. A source left
    // behind would outlive the module and run on a freed object in the next loop that turns.
    while (GSource* source = g_main_context_find_source_by_user_data(nullptr, this)) {
        g_source_destroy(source);
    }
    refill();
    configure(mask);
    if (init_server() != 0) return;

    sink_fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (sink_fd_ < 0) return;
    const int buffer = 16 << 20;
    if (::setsockopt(sink_fd_, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof(buffer)) != 0) {
        ::setsockopt(sink_fd_, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof(buffer));
    }
    sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(local);
    if (::bind(sink_fd_, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0 ||
        ::getsockname(sink_fd_, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        return;
    }
    sink_port_ = ntohs(local.sin_port);

    // The sink becomes the host peer the way a host does: by a discovery request.
    deliver({packet::kMagic, packet::kDiscovery, 0, 0}, "127.0.0.1", sink_port_);
    ready_ = true;
}

BenchModule::~BenchModule() {
    if (sink_fd_ >= 0) ::close(sink_fd_);
}

void BenchModule::set_mode(int mode, int nadj) {
    QuietStdout quiet;
    for (const DataStream* stream : stream_list()) {
        HostWords request{{packet::kMagic, packet::kReadoutMode,
                           static_cast<uint16_t>((stream->id() << 8) | (mode & 0xF)),
                           static_cast<uint16_t>(nadj)}};
        set_readout_mode(request.data(), HostWords::size());
    }
}

void BenchModule::refill() {
    while (pedestal_step()) {
    }
    drain_sink();
}

void BenchModule::drain_pedestals() {
    // The buffer is the module's own; only its accessor is const.
    const_cast<DataBuffer&>(pedestals()).flush();
}

void BenchModule::drain_sink() {
    if (sink_fd_ < 0) return;
    char buffer[65536];
    for (int i = 0; i < 100000; ++i) {
        if (::recv(sink_fd_, buffer, sizeof(buffer), 0) < 0) break;
    }
}
