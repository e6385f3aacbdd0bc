#include "server/DAQServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "support/Vantor.h"
#include "support/utils.h"

namespace {

// The server whose worker loop runs on this thread, so that stop() called from inside the
// loop (by a callback or a handler) does not wait for the loop to end.
thread_local const DAQServer* loop_server = nullptr;

using Vantor::loglevel;
using Vantor::Log::Error;
using Vantor::Log::Info;

// True when some other socket already holds the address and port, as a bind that does not
// allow reuse tells. The server itself binds with reuse allowed, so it would bind anyway and
// the system would then hand each host's traffic to only one of the two.
bool address_in_use(const std::string& address, int port) {
    int probe = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (probe < 0) return false;
    sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<uint16_t>(port));
    bool in_use = false;
    if (inet_pton(AF_INET, address.c_str(), &local.sin_addr) == 1) {
        in_use = ::bind(probe, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0 &&
                 errno == EADDRINUSE;
    }
    ::close(probe);
    return in_use;
}

}  // namespace

DAQServer::DAQServer(const std::string& interface, int port)
    : port(port), interface_name(interface) {}

DAQServer::~DAQServer() {
    close();
    // Without a socket close() does nothing, yet a worker thread may still be running (its loop
    // ends by itself after a failed wait): it must be gone before the callbacks are.
    stop();
    for (CallBack* callback : idle_funcs) delete callback;
    for (TimedCallBack* callback : timed_funcs) delete callback;
}

void DAQServer::handle_request(const std::string&, unsigned short, const char*, int) {}

void DAQServer::filter(char*, int) {}

void DAQServer::idle() {}

void DAQServer::after_setup() {}

int DAQServer::init_server() {
    Vantor::ostream log;
    g_autoptr(GError) error = nullptr;
    socket.reset(
        g_socket_new(G_SOCKET_FAMILY_IPV4, G_SOCKET_TYPE_DATAGRAM, G_SOCKET_PROTOCOL_UDP, &error));
    if (socket == nullptr) {
        log << loglevel(Error) << "DAQServer: could not open the socket"
            << "\n\t" << error->message << std::endl;
        return -1;
    }
    g_socket_set_broadcast(socket.get(), TRUE);
    // The event loop calls process_request() when the socket wakes up; a wake-up without a
    // datagram must not block the loop.
    g_socket_set_blocking(socket.get(), FALSE);

    if (!exact_address_ || ip_address.empty()) {
        ip_address = ::get_ip_address(interface_name);
        if (ip_address.empty()) {
            log << loglevel(Info) << "Falling back to loopback" << std::endl;
            interface_name = "lo";
            ip_address = "127.0.0.1";
        }
        if (!exact_address_ && address_in_use(ip_address, port)) {
            log << loglevel(Error) << "DAQServer: another program already uses " << ip_address
                << ":" << port << "; this server binds as well, but the system will hand a host's "
                << "requests to only one of the two. Stop the other program (an old emulator?)."
                << std::endl;
        }
    }
    if (!bind_socket(!exact_address_)) return -4;
    log << loglevel(Info) << "Creating server on " << ip_address << ":" << port << std::endl;
    after_setup();
    return 0;
}

void DAQServer::serve_exactly(const std::string& address, int port_number) {
    exact_address_ = true;
    ip_address = address;
    port = port_number;
}

bool DAQServer::bind_socket(bool share) {
    g_autoptr(GError) error = nullptr;
    g_autoptr(GInetAddress) inet_address = g_inet_address_new_from_string(ip_address.c_str());
    if (inet_address == nullptr) {
        Vantor::ostream log;
        log << loglevel(Error) << "DAQServer: cannot bind socket"
            << "\n\t" << ip_address << " is not an IPv4 address" << std::endl;
        return false;
    }
    g_autoptr(GSocketAddress) local =
        g_inet_socket_address_new(inet_address, static_cast<guint16>(port));
    if (!g_socket_bind(socket.get(), local, share, &error)) {
        Vantor::ostream log;
        log << loglevel(Error) << "DAQServer: cannot bind socket"
            << "\n\t" << error->message << std::endl;
        return false;
    }
    if (port == 0) {
        // The port the system picked, for the log line and the hosts.
        g_autoptr(GSocketAddress) bound = g_socket_get_local_address(socket.get(), nullptr);
        if (bound != nullptr) {
            port = g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(bound));
        }
    }
    return true;
}

std::string DAQServer::get_ip_address() const {
    if (ip_address.empty()) ip_address = ::get_ip_address(interface_name);
    return ip_address;
}

void DAQServer::close() {
    if (socket == nullptr) return;
    stop();
    g_autoptr(GError) error = nullptr;
    if (!g_socket_close(socket.get(), &error)) {
        Vantor::ostream log;
        log << loglevel(Error) << "DAQServer: error closing socket"
            << "\n\t[" << error->message << "]" << std::endl;
    }
    socket.reset();
}

int DAQServer::fileno() const { return socket == nullptr ? -1 : g_socket_get_fd(socket.get()); }

int DAQServer::receive_packet(char* buffer, int size, std::string& address, unsigned short& port) {
    if (socket == nullptr) return -1;
    g_autoptr(GError) error = nullptr;
    g_autoptr(GSocketAddress) sender = nullptr;
    gssize count = g_socket_receive_from(socket.get(), &sender, buffer, static_cast<gsize>(size),
                                         nullptr, &error);
    if (count < 0) {
        // A wake-up with nothing to read is not an error: there is simply no datagram.
        if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_WOULD_BLOCK)) return 0;
        Vantor::ostream log;
        log << loglevel(Error) << "DAQServer: Error getting data"
            << "\n\t" << error->message << std::endl;
    }
    if (sender != nullptr) {
        if (G_IS_INET_SOCKET_ADDRESS(sender)) {
            auto* inet_sender = G_INET_SOCKET_ADDRESS(sender);
            g_autofree gchar* text =
                g_inet_address_to_string(g_inet_socket_address_get_address(inet_sender));
            address = text;
            port = g_inet_socket_address_get_port(inet_sender);
        }
    }
    return static_cast<int>(count);
}

int DAQServer::read_packet(std::string& address, unsigned short& port, char* buffer, int size) {
    int count = receive_packet(buffer, size, address, port);
    if (count > 0) filter(buffer, count);
    return count;
}

bool DAQServer::set_destination(const std::string& address, int port) {
    if (destination_ != nullptr && port == destination_port_ && address == destination_address_) {
        return true;
    }
    destination_.reset();
    g_autoptr(GInetAddress) inet_address = g_inet_address_new_from_string(address.c_str());
    if (inet_address == nullptr) return false;
    destination_.reset(g_inet_socket_address_new(inet_address, static_cast<guint16>(port)));
    if (!g_socket_address_to_native(destination_.get(), &destination_native_,
                                    sizeof destination_native_, nullptr)) {
        // An IPv6 address: the socket is IPv4, so it is no destination either.
        destination_.reset();
        return false;
    }
    destination_address_ = address;
    destination_port_ = port;
    return true;
}

void DAQServer::send_failed(const std::string& address, int port, const char* reason) {
    ++traffic_.send_failures;
    Vantor::ostream log;
    log << loglevel(Error) << "DAQServer::send_packet to " << address << ':' << port << "\n\t"
        << reason << std::endl;
}

namespace {
constexpr const char* kNoDestination =
    "Not a numeric IP address: no destination (no host has sent a discovery request yet?)";
}  // namespace

int DAQServer::send_packet(const std::string& address, int port, const char* data, int length) {
    g_autoptr(GError) error = nullptr;
    if (!set_destination(address, port)) {
        g_set_error_literal(&error, G_IO_ERROR, G_IO_ERROR_INVALID_ARGUMENT, kNoDestination);
    } else if (socket == nullptr) {
        g_set_error_literal(&error, G_IO_ERROR, G_IO_ERROR_CLOSED, "The socket is not open");
    } else {
        g_socket_send_to(socket.get(), destination_.get(), data, static_cast<gsize>(length),
                         nullptr, &error);
    }
    if (error != nullptr) {
        send_failed(address, port, error->message);
        return -1;
    }
    ++traffic_.sent;
    traffic_.sent_bytes += static_cast<uint64_t>(length);
    return 0;
}

int DAQServer::send_packets(const std::string& address, int port,
                            std::span<OutgoingDatagram> datagrams) {
    if (datagrams.empty()) return 0;
    if (!set_destination(address, port) || socket == nullptr) {
        // Each datagram fails as a send of its own would, with the same line.
        for (OutgoingDatagram& datagram : datagrams) {
            datagram.sent = send_packet(address, port, datagram.data, datagram.length) == 0;
        }
        return 0;
    }
    constexpr size_t kBatch = 16;
    std::array<mmsghdr, kBatch> messages{};
    std::array<iovec, kBatch> pieces{};
    const int fd = g_socket_get_fd(socket.get());
    int sent_count = 0;
    size_t next = 0;
    // Each pass sends at least one datagram or gives one up, and an interrupted call is tried
    // again a bounded number of times: the loop ends.
    int interruptions = 0;
    while (next < datagrams.size()) {
        const size_t batch = std::min(datagrams.size() - next, kBatch);
        for (size_t i = 0; i < batch; ++i) {
            const OutgoingDatagram& datagram = datagrams[next + i];
            pieces[i].iov_base = const_cast<char*>(datagram.data);
            pieces[i].iov_len = datagram.length > 0 ? static_cast<size_t>(datagram.length) : 0;
            messages[i].msg_hdr = {};
            messages[i].msg_hdr.msg_name = &destination_native_;
            messages[i].msg_hdr.msg_namelen = sizeof destination_native_;
            messages[i].msg_hdr.msg_iov = &pieces[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        const int sent = sendmmsg(fd, messages.data(), static_cast<unsigned>(batch), 0);
        if (sent < 0 && errno == EINTR && ++interruptions < 100) continue;
        if (sent <= 0) {
            // The first datagram of the batch was refused: that one fails, the rest go on.
            const int reason = errno;
            send_failed(address, port,
                        (std::string("Error sending message: ") + g_strerror(reason)).c_str());
            datagrams[next].sent = false;
            ++next;
            continue;
        }
        for (size_t i = 0; i < static_cast<size_t>(sent); ++i) {
            OutgoingDatagram& datagram = datagrams[next + i];
            datagram.sent = true;
            ++traffic_.sent;
            traffic_.sent_bytes += static_cast<uint64_t>(pieces[i].iov_len);
        }
        sent_count += sent;
        next += static_cast<size_t>(sent);
    }
    return sent_count;
}

void DAQServer::process_request() {
    char buffer[kMaxDatagram];
    std::string address;
    unsigned short sender_port = 0;
    int count = receive_packet(buffer, kMaxDatagram, address, sender_port);
    if (count > 0) {
        filter(buffer, count);
        handle_request(address, sender_port, buffer, count);
    } else if (count == 0) {
        ++traffic_.empty_received;
    } else {
        Vantor::ostream log;
        // Spelt so on purpose: users' scripts match this text as it is.
        log << loglevel(Error) << "Error receiveing packet" << std::endl;
    }
}

void DAQServer::add_idle_func(CallBackFunction func, void* data) {
    idle_funcs.push_back(new CallBack(func, data));
}

void DAQServer::add_timed_func(double timeout, CallBackFunction func, void* data) {
    timed_funcs.push_back(new TimedCallBack(timeout, func, data));
}

void DAQServer::start_thread() {
    // A second loop would share the socket and the callback arrays with the first.
    if (thread != 0) return;
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_JOINABLE);
    if (pthread_create(&thread, &attributes, &DAQServer::_run, this) != 0) thread = 0;
    pthread_attr_destroy(&attributes);
}

void* DAQServer::_run(void* server) {
    static_cast<DAQServer*>(server)->start_loop();
    Vantor::ostream log;
    log << loglevel(Info) << "Vantor:: Quitting the thread" << std::endl;
    return nullptr;
}

void DAQServer::start_loop() {
    Vantor::ostream log;
    log << loglevel(Info) << "Start serving" << std::endl;
    loop_server = this;
    for (;;) {
        // Raised before the look at stop_requested: a stop() that still finds `serving` false
        // has set its flag before this look, so the loop ends here and never starts a turn
        // after stop() returned.
        serving = true;
        if (stop_requested) {
            serving = false;
            loop_server = nullptr;
            return;
        }
        errno = 0;
        int waited = wait_for_data(500);
        // Read at once: the request step and the callbacks below may change errno.
        const int wait_errno = errno;
        if (waited == 1) process_request();
        idle();
        idle_funcs.erase(std::remove_if(idle_funcs.begin(), idle_funcs.end(), IdlePredicate()),
                         idle_funcs.end());
        timed_funcs.erase(
            std::remove_if(timed_funcs.begin(), timed_funcs.end(), TimeoutPredicate()),
            timed_funcs.end());
        if (waited >= 0 || wait_errno == EINTR) continue;
        // "DAQserver" (not "DAQServer") on purpose: users' scripts match this text as it is.
        log << loglevel(Error) << "DAQserver: error polling for requests. Stop serving"
            << std::endl;
        serving = false;
        loop_server = nullptr;
        return;
    }
}

DAQServer::Readiness DAQServer::wait_readable(int timeout_ms) {
    // Without a socket (closed, or never opened) the wait fails like any other failed wait.
    if (socket == nullptr) return Readiness::failed;
    g_autoptr(GError) error = nullptr;
    if (g_socket_condition_timed_wait(socket.get(), G_IO_IN, static_cast<gint64>(timeout_ms) * 1000,
                                      nullptr, &error)) {
        return Readiness::readable;
    }
    if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT)) return Readiness::timed_out;
    if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_NOT_CONNECTED)) {
        return Readiness::disconnected;
    }
    return Readiness::failed;
}

int DAQServer::wait_for_data(int timeout_ms) {
    const Readiness readiness = wait_readable(timeout_ms);
    if (readiness == Readiness::readable) return 1;
    return readiness == Readiness::timed_out ? 0 : -1;
}

int DAQServer::poll(int timeout_ms) {
    const Readiness readiness = wait_readable(timeout_ms);
    if (readiness == Readiness::readable || readiness == Readiness::timed_out) return 0;
    Vantor::ostream log;
    if (readiness == Readiness::disconnected) {
        log << loglevel(Error) << "POLLHUP: Cable disconnected?" << std::endl;
    }
    log << loglevel(Error) << "error polling for data" << std::endl;
    return -1;
}

void DAQServer::stop() {
    stop_requested = true;
    // From inside the loop (a callback that stops the server) waiting would never end: the
    // loop sees the request at the top of its next turn, and a later stop() from another
    // thread joins the worker.
    if (loop_server == this) return;
    while (serving) DAQwait(0.001);
    if (thread != 0) {
        pthread_join(thread, nullptr);
        thread = 0;
    }
}
