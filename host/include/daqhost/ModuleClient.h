// The host's side of one module: a UDP socket, discovery, one request at a time with a
// timeout and a bounded number of retries, and the reception of whatever the module sends
// (acknowledges and data packets), many datagrams per system call.
//
// The module answers only the host that last discovered it, at the address and port that
// discovery came from: discover() first, from the same client, then the other requests.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "daqhost/Endpoint.h"
#include "protocol/Acknowledge.h"
#include "protocol/Export.h"
#include "protocol/ModuleRequest.h"

namespace daq {

struct DatagramVerdict;

// One datagram, received (from the module or anyone else) or sent (a request).
struct Datagram {
    const uint8_t* data;
    size_t length;
    int64_t time_ns;  // since the Unix epoch; the kernel's receive time where it gives one
    Endpoint source;
    Endpoint destination;
};

struct RequestOutcome {
    enum Status { kAcknowledged, kNoAcknowledge, kSendFailed };
    Status status = kNoAcknowledge;
    Acknowledge ack;
    int attempts = 0;
    bool acknowledged() const { return status == kAcknowledged; }
};

class DAQ_API ModuleClient {
  public:
    static constexpr uint16_t kModulePort = 10000;

    struct Settings {
        Endpoint module;
        double timeout_s = 1.0;  // for each attempt
        int retries = 2;         // further attempts after the first
        int receive_buffer = 64 << 20;
        Endpoint local;  // address and port to bind; 0.0.0.0:0 lets the system choose
    };

    explicit ModuleClient(const Settings& settings);
    ~ModuleClient();
    ModuleClient(const ModuleClient&) = delete;
    ModuleClient& operator=(const ModuleClient&) = delete;

    // Opens and binds the socket; false with error() set.
    bool open();
    const std::string& error() const { return error_; }

    // Sends the four-word request (with the trailer) and waits for the acknowledge of its code
    // from the module, sending it again after each timeout, at most 1 + retries times.
    // Everything else that arrives meanwhile goes to the receiver set with on_receive.
    RequestOutcome request(uint8_t code, uint16_t word2, uint16_t word3);
    RequestOutcome request(const ModuleRequest& request);
    RequestOutcome discover();
    // The requests that carry fields, with the fields in place: stream configuration (code 1;
    // the chip type is module-wide), readout mode (code 8) and the DAQ command (code 10; start
    // and stop act on the whole module, the hybrid must only be present or 255).
    RequestOutcome configure_stream(unsigned hybrid, unsigned chip_type, unsigned chips);
    RequestOutcome set_readout_mode(unsigned hybrid, unsigned mode, unsigned nadj = 0);
    RequestOutcome daq_command(unsigned hybrid, bool start);
    // The DAQ command for the whole module (hybrid 255, which every module accepts), since a
    // run starts and stops on all its hybrids at once whichever one the command names.
    RequestOutcome start();
    RequestOutcome stop();

    // Sends the request once and returns: a caller that waits on many modules at once awaits
    // the acknowledge itself, among what receive() hands over. False, with error() set, when
    // it cannot be sent.
    bool send(const ModuleRequest& request);

    // The same request step by step, so that one thread can wait on many modules at once
    // (ModuleGroup): start_request() sends it; continue_request() takes what has arrived,
    // waiting at most `wait_s`, and sends the request again once the attempt's timeout has
    // passed without the acknowledge. request() is the two in a loop.
    void start_request(const ModuleRequest& request);
    void continue_request(double wait_s);
    bool request_pending() const { return pending_; }
    // Seconds until the current attempt's timeout; negative once it has passed.
    double request_time_left() const;
    // The outcome of the last request, final once it is no longer pending.
    const RequestOutcome& request_outcome() const { return outcome_; }
    // Why a request of `code` went without its acknowledge: the system's error when it could
    // not be sent, else "no acknowledge of CODE NAME from ADDR:PORT after N attempt(s) of T s".
    std::string unacknowledged_text(unsigned code, const RequestOutcome& outcome) const;

    // Waits up to `timeout_s` for datagrams and hands each that has arrived to the receiver,
    // in batches; returns how many, 0 on a timeout or an interrupting signal, -1 on an error.
    int receive(double timeout_s);
    // The same, but goes on taking batches until the socket is empty or `budget_s` has passed
    // (one batch at least): a host that fell behind catches up within a bound.
    int drain(double timeout_s, double budget_s);
    // Every datagram that reached the socket before this time (since the Unix epoch) has been
    // taken: the socket was found empty then, or a datagram that came later was taken (one
    // socket keeps the order of arrival).
    int64_t taken_through_ns() const { return taken_through_ns_; }
    // The oldest datagram's age when it was taken (the host's handling time less the system's
    // receive time stamp), the most so far.
    double backlog_max_s() const { return backlog_max_s_; }

    // Called with every datagram received; acknowledges that a request waits for go to it
    // too, before the request returns.
    void on_receive(std::function<void(const Datagram&)> receiver) {
        receiver_ = std::move(receiver);
    }
    // The same, with each datagram's verdict (DatagramClassifier::from_module), made once as
    // it is taken; in place of a receiver without it.
    void on_receive(std::function<void(const Datagram&, const DatagramVerdict&)> receiver);
    // Called with every request sent.
    void on_send(std::function<void(const Datagram&)> sender) { sender_ = std::move(sender); }

    const Endpoint& module() const { return settings_.module; }
    // The socket, for waiting on it with others; -1 before open().
    int descriptor() const { return fd_; }
    // The address and port the module sees this host at (known once open).
    const Endpoint& local() const { return local_; }
    const Settings& settings() const { return settings_; }
    // Datagrams the system dropped at this socket because its receive queue was full.
    uint64_t kernel_drops() const { return kernel_drops_; }
    // Datagrams dropped since the count last known, asked of the system now: each datagram
    // taken tells only of the drops before it, and none may have come after them yet.
    // kernel_drops() counts them from then on.
    uint64_t new_drops();
    // The receive buffer the system granted, in bytes.
    int receive_buffer() const;

  private:
    struct Batch;
    bool send_request(const ModuleRequest& request);
    // One more attempt of the pending request; the request ends when it cannot be sent.
    void send_attempt();
    // Receives one batch; the acknowledge of `awaited` (with the reply flag), from the module,
    // is stored in `ack` and `got_ack` set.
    int receive_batch(double timeout_s, int awaited, Acknowledge* ack, bool* got_ack);

    Settings settings_;
    int fd_ = -1;
    std::string error_;
    std::function<void(const Datagram&)> receiver_;
    std::function<void(const Datagram&)> sender_;
    std::unique_ptr<Batch> batch_;
    Endpoint local_;
    uint64_t kernel_drops_ = 0;
    int64_t taken_through_ns_ = 0;
    double backlog_max_s_ = 0;
    // The request under way: its words, the end of its current attempt (steady clock, in
    // seconds) and how it went so far.
    ModuleRequest request_;
    bool pending_ = false;
    double deadline_ = 0;
    RequestOutcome outcome_;
};

}  // namespace daq
