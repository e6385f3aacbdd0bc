// A control socket: a UNIX stream socket at a path, served from a program's own loop without
// ever waiting on a client. Each line a client sends is one request, answered by one line (the
// program says what they hold: the relay's ControlRequest, the crate's CrateControl). It works
// across a container's bind mount, so a stand outside the program's container reaches it too.
#pragma once

#include <poll.h>

#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

class ControlSocket {
  public:
    // The reply line (without its newline) to a request line.
    using Answer = std::function<std::string(std::string_view)>;

    explicit ControlSocket(std::string path);
    // Closes every connection and removes the socket's file.
    ~ControlSocket();
    ControlSocket(const ControlSocket&) = delete;
    ControlSocket& operator=(const ControlSocket&) = delete;

    // Binds and listens, in place of a socket a program before left there; false when it
    // cannot, with the reason in error().
    bool open();
    const std::string& error() const { return error_; }
    // Appends what to wait for: the listening socket, then each client.
    void add_poll_entries(std::vector<pollfd>& entries) const;
    // Serves what the entries added last say is ready.
    void serve(std::span<const pollfd> entries, const Answer& answer);

    const std::string& path() const { return path_; }

  private:
    struct Client {
        int fd = -1;
        std::string in = {};
        std::string out = {};
        bool closing = false;
    };

    void accept_clients();
    // Reads what came, answers each whole line; false once the client is gone.
    bool read_requests(Client& client, const Answer& answer);
    // Sends what is waiting; false once the client is gone.
    static bool write_replies(Client& client);

    std::string path_;
    std::string error_;
    int fd_ = -1;
    bool bound_ = false;
    std::vector<Client> clients_;
};
