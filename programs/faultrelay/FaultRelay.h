// The relay: a front socket that hosts send to, a back socket that talks to the module, and
// between them, for each direction, a FaultPlan, its counters and the datagrams it holds.
//
// Datagrams from hosts go to the module from the back socket; datagrams the module sends to
// the back socket go, from the front socket, to the host that last sent to the front, so a
// host sees its replies come from the front address as from a module. A datagram that leaves
// at once is sent from the receive buffer it came in: nothing is allocated for it.
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "daqhost/Endpoint.h"
#include "faultrelay/ControlRequest.h"
#include "faultrelay/DecisionRecord.h"
#include "faultrelay/FaultCounters.h"
#include "faultrelay/FaultPlan.h"
#include "faultrelay/LinkQueue.h"
#include "faultrelay/StatsFile.h"
#include "support/ControlSocket.h"

struct RelaySettings {
    // Port 0: a free port the system picks.
    daq::Endpoint listen;
    daq::Endpoint module;
    uint64_t seed = 0;
    // By direction: kToModule first.
    std::array<FaultSettings, 2> faults;
    // Empty: no statistics file.
    std::string stats_path;
    // Empty: no control socket.
    std::string control_socket_path;
    // Empty: no record of the decisions.
    std::string decisions_path;
};

class FaultRelay {
  public:
    explicit FaultRelay(const RelaySettings& settings);
    ~FaultRelay();
    FaultRelay(const FaultRelay&) = delete;
    FaultRelay& operator=(const FaultRelay&) = delete;

    // Binds the sockets (the control socket too), takes SIGINT, SIGTERM, SIGUSR1 and SIGHUP
    // over, creates the decision record and writes the statistics file once; false (and the
    // reason on standard error) when any of it fails.
    bool open();
    // Relays until SIGINT or SIGTERM, then writes the statistics file and the decision record a
    // last time. Datagrams still held are not sent. False (reported) when waiting fails.
    bool run();

    // The addresses, the seed, the faults in force and the control socket, in one line.
    std::string startup_text() const;
    // One line a direction: "to-module: received 10, sent 9, ...".
    std::string counters_text() const;
    nlohmann::json statistics() const;

  private:
    using Clock = std::chrono::steady_clock;
    static constexpr size_t kBatch = 32;

    // A datagram waiting for its time, or (held for reordering) for the next one.
    struct Held {
        Clock::time_point due;
        // Datagrams due at the same time leave in this order.
        uint64_t order = 0;
        Direction direction = Direction::kToModule;
        sockaddr_in destination = {};
        unsigned copies = 1;
        std::vector<uint8_t> bytes;
        // Through the lane's LinkQueue already: it leaves as it is due.
        bool shaped = false;
    };

    // One direction: its decisions, its counters, and the datagrams gathered to leave by its
    // outgoing socket in one system call.
    struct Lane {
        Direction direction;
        FaultPlan plan;
        FaultCounters counters = {};
        LinkQueue link = {};
        int out_fd = -1;
        // False for the back socket, which is connected to the module.
        bool addressed = false;
        size_t outgoing = 0;
        std::array<mmsghdr, kBatch> messages = {};
        std::array<iovec, kBatch> vectors = {};
        std::array<sockaddr_in, kBatch> destinations = {};
        bool send_failing = false;
        std::optional<Held> reordered = {};
        Clock::time_point reorder_deadline = {};
    };

    Lane& lane(Direction direction);
    const Lane& lane(Direction direction) const;

    // Receives what is waiting on the direction's incoming socket, a bounded number of
    // batches, and relays it.
    void receive(Direction direction);
    void relay(Lane& lane, std::span<uint8_t> payload, const sockaddr_in& destination,
               Clock::time_point now);
    void release_reordered(Lane& lane, Clock::time_point not_before, Clock::time_point now);
    // Sends what is due, and the held-back datagrams that waited too long for a next one.
    void release_due(Clock::time_point now);
    // Sends the copies of a datagram that is due, through the lane's LinkQueue when its
    // bandwidth is limited.
    void leave(Lane& lane, std::span<const uint8_t> bytes, const sockaddr_in& destination,
               unsigned copies, Clock::time_point now);
    void hold(Held held);
    void send_held(Held held, Clock::time_point now);
    void add_outgoing(Lane& lane, std::span<const uint8_t> bytes, const sockaddr_in& destination);
    void flush(Lane& lane);
    void flush_all();
    std::vector<uint8_t> copy_of(std::span<const uint8_t> payload);
    // True when SIGINT or SIGTERM came.
    bool handle_signals();
    // The reply line to a line of the control socket; a request that does not read changes
    // nothing.
    std::string answer(std::string_view line);
    // The faults of both directions from the next datagram on.
    void apply(const std::array<FaultSettings, 2>& faults);
    // "to-module: ..., from-module: ...": the faults in force.
    std::string faults_text() const;
    // The faults in force and the acknowledge hold, as the control socket's replies give them.
    nlohmann::json in_force() const;
    // How much longer the acknowledge being relayed is held, while the control socket asks
    // for it (one fewer is then left to hold); zero otherwise.
    std::chrono::microseconds take_ack_delay();
    std::optional<Clock::time_point> next_wake() const;

    RelaySettings settings_;
    std::array<Lane, 2> lanes_;
    int front_fd_ = -1;
    int back_fd_ = -1;
    int signal_fd_ = -1;
    sigset_t previous_mask_ = {};
    bool mask_changed_ = false;
    daq::Endpoint front_;
    uint16_t back_port_ = 0;
    sockaddr_in host_ = {};
    bool has_host_ = false;

    std::vector<uint8_t> receive_buffer_;
    std::array<mmsghdr, kBatch> received_ = {};
    std::array<iovec, kBatch> received_vectors_ = {};
    std::array<sockaddr_in, kBatch> sources_ = {};

    // A min-heap on (due, order).
    std::vector<Held> queue_;
    std::vector<pollfd> poll_entries_;
    uint64_t order_ = 0;
    // Bytes that outgoing messages point into until they are flushed, and bytes to reuse.
    std::vector<std::vector<uint8_t>> leaving_;
    std::vector<std::vector<uint8_t>> spare_;

    std::optional<ControlSocket> control_;
    AcknowledgeHold hold_;

    std::optional<StatsFile> stats_;
    std::optional<DecisionRecord> decisions_;
    // When the statistics file is written and the decision record flushed next.
    Clock::time_point next_write_;
};
