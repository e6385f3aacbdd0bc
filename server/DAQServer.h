// The UDP server at the base of the module object: one IPv4 datagram socket bound to a fixed
// port, datagram input and output, and the request step that the event loop calls whenever
// the socket wakes up. Subclasses see each request through filter(), then handle_request().
//
// The server can also serve on a worker thread of its own, with idle and timed callbacks.
// That thread calls the virtual hooks, so a subclass that serves on it calls stop() in its own
// destructor: by the time ~DAQServer stops the loop, the subclass's part is already gone.
#pragma once

#include <gio/gio.h>
#include <netinet/in.h>
#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "server/CallBack.h"
#include "server/GObjectPtr.h"

class DAQServer {
  public:
    // Largest datagram a request step reads; longer ones are cut by the system.
    static constexpr int kMaxDatagram = 8192;

    DAQServer(const std::string& interface, int port);
    virtual ~DAQServer();
    DAQServer(const DAQServer&) = delete;
    DAQServer& operator=(const DAQServer&) = delete;

    // Called with every received datagram of at least one byte, after filter().
    virtual void handle_request(const std::string& sender, unsigned short port, const char* data,
                                int length);
    // May rewrite the received bytes in place before handle_request() sees them.
    virtual void filter(char* data, int length);
    // Called once per turn of the worker loop.
    virtual void idle();
    // Called once at the end of a successful init_server().
    virtual void after_setup();

    // Creates and binds the socket: 0 on success, -1 when the socket cannot be created, -4
    // when it cannot be bound.
    int init_server();
    // Makes init_server() bind exactly this address (empty: the one it would choose) and port
    // (0: one the system picks), and fail when another socket holds them rather than share.
    void serve_exactly(const std::string& address, int port);
    // The address the socket is bound to (or would be).
    std::string get_ip_address() const;
    // Stops a worker loop and closes the socket; safe to call more than once.
    void close();
    // The socket's descriptor, or -1 when there is no socket.
    int fileno() const;

    // Receives one datagram: its size, 0 for an empty one, -1 on error.
    int receive_packet(char* buffer, int size, std::string& address, unsigned short& port);
    // receive_packet() followed by filter() on what was received.
    int read_packet(std::string& address, unsigned short& port, char* buffer, int size);
    // Sends one datagram to a numeric IPv4 address: 0 on success, -1 on error (logged).
    virtual int send_packet(const std::string& address, int port, const char* data, int length);
    // One datagram of a batch, and whether send_packets() has sent it.
    struct OutgoingDatagram {
        const char* data = nullptr;
        int length = 0;
        bool sent = false;
    };
    // Sends the datagrams in order to one numeric IPv4 address, in as few system calls as the
    // system allows (one for a trigger cycle's packets): each that cannot be sent is logged and
    // counted as send_packet() does it, and the others still go. Returns how many were sent.
    virtual int send_packets(const std::string& address, int port,
                             std::span<OutgoingDatagram> datagrams);
    // One request step: receive, filter, handle.
    void process_request();

    // Worker-thread serving mode.
    void add_idle_func(CallBackFunction func, void* data);
    void add_timed_func(double timeout, CallBackFunction func, void* data);
    void start_thread();
    static void* _run(void* server);
    void start_loop();
    // 1 when the socket is readable, 0 when the time ran out, -1 on any other error.
    int wait_for_data(int timeout_ms);
    // 0 when the socket is readable or the time ran out, -1 on error (logged).
    int poll(int timeout_ms);
    // Ends a running worker loop and joins its thread; a stopped server does not serve again.
    // Called from inside the loop, it only asks the loop to end after the current turn.
    void stop();

    // What the server has done since it was made, for the program's counters: datagrams sent
    // and their bytes, sends that failed, and empty datagrams received (they reach no hook).
    struct Traffic {
        uint64_t sent = 0;
        uint64_t sent_bytes = 0;
        uint64_t send_failures = 0;
        uint64_t empty_received = 0;
    };
    const Traffic& traffic() const { return traffic_; }

    bool is_serving() const { return serving.load(); }
    pthread_t thread_handle() const { return thread; }
    int bound_port() const { return port; }

  protected:
    std::atomic<bool> stop_requested{false};
    std::atomic<bool> serving{false};
    GObjectPtr<GSocket> socket;
    int port;
    pthread_t thread = 0;
    mutable std::string ip_address;
    std::string interface_name;
    std::vector<CallBack*> idle_funcs;
    std::vector<TimedCallBack*> timed_funcs;

  private:
    // Binds `ip_address`:`port`, sharing them with another socket when `share`; logs why not.
    bool bind_socket(bool share);
    // Set by serve_exactly().
    bool exact_address_ = false;
    // What one timed wait for a datagram ended with.
    enum class Readiness { readable, timed_out, disconnected, failed };
    // Waits up to timeout_ms for the socket to become readable; fails at once without a socket.
    Readiness wait_readable(int timeout_ms);

    Traffic traffic_;
    // Makes `destination_` (and its native form) the address and port, unless it is already;
    // false when the address is not a numeric IPv4 address.
    bool set_destination(const std::string& address, int port);
    // Counts a failed send and logs it once, with the system's reason.
    void send_failed(const std::string& address, int port, const char* reason);

    // The destination of the last send, kept while the host peer stays the same.
    GObjectPtr<GSocketAddress> destination_;
    sockaddr_in destination_native_{};
    std::string destination_address_;
    int destination_port_ = -1;
};
