#include "support/ControlSocket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace {

// Clients served at once; more wait in the listening backlog.
constexpr size_t kMostClients = 16;
// A request longer than this is refused and its client closed.
constexpr size_t kLongestLine = 1 << 16;
// A client that does not read its replies is not read from while this much waits for it.
constexpr size_t kMostWaiting = 1 << 20;

std::string with_errno(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

ControlSocket::ControlSocket(std::string path) : path_(std::move(path)) {}

ControlSocket::~ControlSocket() {
    for (const Client& client : clients_) ::close(client.fd);
    if (fd_ >= 0) ::close(fd_);
    if (bound_) ::unlink(path_.c_str());
}

bool ControlSocket::open() {
    struct stat status = {};
    if (::lstat(path_.c_str(), &status) == 0) {
        if (!S_ISSOCK(status.st_mode)) {
            error_ = "cannot make the control socket " + path_ + ": it exists and is no socket";
            return false;
        }
        ::unlink(path_.c_str());
    }
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        error_ = with_errno("cannot open the control socket");
        return false;
    }
    // A path too long for an address is reached through its folder's descriptor.
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::string name = path_;
    int folder = -1;
    if (name.size() >= sizeof(address.sun_path)) {
        const size_t slash = name.rfind('/');
        folder = ::open(slash == 0 ? "/" : name.substr(0, slash).c_str(),
                        O_PATH | O_DIRECTORY | O_CLOEXEC);
        name = "/proc/self/fd/" + std::to_string(folder) + "/" + name.substr(slash + 1);
    }
    const bool fits = name.size() < sizeof(address.sun_path);
    std::memcpy(address.sun_path, name.data(), std::min(name.size(), sizeof(address.sun_path) - 1));
    bound_ = fits && ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
    if (folder >= 0) ::close(folder);
    if (!bound_ || ::listen(fd_, static_cast<int>(kMostClients)) != 0) {
        error_ = with_errno("cannot make the control socket " + path_);
        return false;
    }
    return true;
}

void ControlSocket::add_poll_entries(std::vector<pollfd>& entries) const {
    entries.push_back({fd_, static_cast<short>(clients_.size() < kMostClients ? POLLIN : 0), 0});
    for (const Client& client : clients_) {
        const short events = client.closing || client.out.size() > kMostWaiting ? 0 : POLLIN;
        entries.push_back(
            {client.fd, static_cast<short>(events | (client.out.empty() ? 0 : POLLOUT)), 0});
    }
}

void ControlSocket::serve(std::span<const pollfd> entries, const Answer& answer) {
    std::vector<Client> kept;
    for (size_t i = 0; i < clients_.size(); ++i) {
        Client& client = clients_[i];
        const short ready = i + 1 < entries.size() ? entries[i + 1].revents : 0;
        bool alive = true;
        if ((ready & (POLLIN | POLLHUP | POLLERR)) != 0 && !client.closing) {
            alive = read_requests(client, answer);
        }
        alive = alive && write_replies(client) && !(client.closing && client.out.empty());
        if (alive) {
            kept.push_back(std::move(client));
        } else {
            ::close(client.fd);
        }
    }
    clients_ = std::move(kept);
    if (!entries.empty() && (entries[0].revents & POLLIN) != 0) accept_clients();
}

void ControlSocket::accept_clients() {
    while (clients_.size() < kMostClients) {
        const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        clients_.push_back(Client{.fd = fd});
    }
}

bool ControlSocket::read_requests(Client& client, const Answer& answer) {
    char buffer[4096];
    const ssize_t got = ::recv(client.fd, buffer, sizeof(buffer), MSG_DONTWAIT);
    if (got == 0) return false;
    if (got < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    client.in.append(buffer, static_cast<size_t>(got));
    size_t begin = 0;
    for (size_t end = client.in.find('\n'); end != std::string::npos;
         end = client.in.find('\n', begin)) {
        client.out += answer(std::string_view(client.in).substr(begin, end - begin));
        client.out += '\n';
        begin = end + 1;
    }
    client.in.erase(0, begin);
    if (client.in.size() > kLongestLine) {
        client.out += R"({"ok": false, "error": "a request longer than 65536 bytes"})";
        client.out += '\n';
        client.closing = true;
    }
    return true;
}

bool ControlSocket::write_replies(Client& client) {
    while (!client.out.empty()) {
        const ssize_t sent =
            ::send(client.fd, client.out.data(), client.out.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        client.out.erase(0, static_cast<size_t>(sent));
    }
    return true;
}
