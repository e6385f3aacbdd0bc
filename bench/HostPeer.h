// The host program on loopback, as the benchmarks need it: the host library's client of one
// module (its socket with a large receive buffer, its requests and their acknowledges), a
// thread that reads everything that arrives while no request is under way and counts the
// well-formed data packets per stream, and the acknowledge round-trip probe.
//
// The client is used by one thread at a time: the reader between requests, the caller during
// a request, which receives (and counts) what arrives meanwhile itself.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "daqhost/ModuleClient.h"
#include "protocol/DataPacketView.h"

// What the host has received of one stream (hybrid id) since it was made. Event numbers are
// 16 bits on the wire and wrap; a gap counts the numbers skipped. The span adds up the steps
// between the time stamps of consecutive packets, so it too survives a wrap. The intervals are
// those steps between consecutive event numbers alone (a step over a gap spans several
// triggers): their count, sum and sum of squares give the spread of the trigger intervals.
struct StreamCount {
    uint64_t packets = 0;
    uint64_t bytes = 0;
    uint64_t missing = 0;
    uint64_t span_us = 0;
    uint64_t intervals = 0;
    double interval_sum_us = 0;
    double interval_square_sum_us2 = 0;
    int last_event = -1;
    uint32_t last_time_stamp = 0;
};

// The data packets received between two snapshots.
struct Traffic {
    uint64_t triggers = 0;  // of the first stream that sent anything: packets plus gaps
    uint64_t packets = 0;   // all streams
    uint64_t bytes = 0;
    uint64_t missing = 0;
    double seconds = 0;       // from the first stream's time stamps
    double cpu_seconds = 0;   // of the sending process, between the same two snapshots
    double wall_seconds = 0;  // between the same two snapshots, on the host's clock
    // Of the first stream: see StreamCount.
    uint64_t intervals = 0;
    double interval_sum_us = 0;
    double interval_square_sum_us2 = 0;

    double trigger_rate() const { return seconds > 0 ? triggers / seconds : 0; }
    double packet_rate() const { return seconds > 0 ? packets / seconds : 0; }
    double megabytes_per_second() const { return seconds > 0 ? bytes / seconds / 1e6 : 0; }
    // Triggers per second of the sender's processor time: the rate it reaches with a core of
    // its own, whatever else the machine runs.
    double trigger_rate_per_cpu() const { return cpu_seconds > 0 ? triggers / cpu_seconds : 0; }
    // The mean time from one trigger to the next, in microseconds.
    double mean_interval_us() const { return triggers > 0 ? seconds * 1e6 / triggers : 0; }
    // The sender's processor seconds per second of wall time: 1 for a sender that never waits.
    double cpu_per_wall() const { return wall_seconds > 0 ? cpu_seconds / wall_seconds : 0; }
    // Standard deviation ÷ mean of the intervals between consecutive triggers; 0 for fewer
    // than two.
    double interval_spread() const;
};

// Acknowledge round trips, in microseconds.
struct RoundTrips {
    std::vector<double> samples_us;
    int lost = 0;
    double quantile(double q) const;
    double median() const { return quantile(0.5); }
    double max() const { return quantile(1.0); }
};

class HostPeer {
  public:
    static constexpr int kStreams = 5;  // hybrid ids 1 to 4; index 0 collects the rest
    using Counts = std::array<StreamCount, kStreams>;
    using Clock = std::chrono::steady_clock;

    // The host of the module at 127.0.0.1:`module_port`: binds 127.0.0.1 on a free port and
    // starts reading. It takes datagrams from that port alone.
    explicit HostPeer(uint16_t module_port = daq::ModuleClient::kModulePort);
    ~HostPeer();
    HostPeer(const HostPeer&) = delete;
    HostPeer& operator=(const HostPeer&) = delete;

    bool ok() const { return reader_.joinable(); }
    uint16_t port() const { return client_.local().port; }
    // A patient host reads what has queued up every 200 µs instead of waiting on the socket
    // for each datagram: a sender then never pays for waking it up, a cost that depends more
    // on the host and the load than on the sender. Acknowledges arrive up to 200 µs late, so
    // round trips are measured with an impatient host.
    void set_patient(bool patient);
    // Keeps the reading thread on one processor.
    bool pin_reader(int cpu);

    // Sends the request once and waits for the acknowledge of its code: the error word, or
    // nothing after the timeout.
    std::optional<uint16_t> request(const daq::ModuleRequest& request, double timeout_s = 2.0);
    // Discovery, repeated until the emulator answers (it may still be starting).
    bool discover(double timeout_s);
    // Stream configuration (the chip type, 2 chips) and readout mode of hybrids 1 to `hybrids`.
    bool configure(int hybrids, int mode, int nadj, int chip_type);
    bool start_run() { return daq_command(true); }
    bool stop_run() { return daq_command(false); }

    // Forgets every count; call it when nothing is in flight (after wait_quiet()).
    void reset();
    // Waits until no datagram has arrived for `quiet_s` seconds, `timeout_s` at most.
    void wait_quiet(double quiet_s, double timeout_s);

    Counts snapshot();
    static Traffic between(const Counts& before, const Counts& after);
    // Waits until the first stream has sent `packets` packets in all; false after the timeout.
    bool wait_for_packets(uint64_t packets, double timeout_s);

    // `count` requests of code 6 (no action), one every `spacing_s`, each waiting for its
    // acknowledge (a second at most).
    RoundTrips probe(int count, double spacing_s);

    // Datagrams the system dropped at this socket because its receive queue was full.
    uint64_t kernel_drops();

  private:
    // The client for a request: the reader lets go of it at its next turn.
    std::unique_lock<std::mutex> take_client();
    // One request under the lock of take_client(): the acknowledge, or nothing after the
    // timeout. Every datagram that arrives meanwhile is taken as the reader would.
    std::optional<daq::Acknowledge> exchange(const daq::ModuleRequest& request, double timeout_s);
    void receive_loop();
    void take(const daq::Datagram& datagram);
    void count_packet(const daq::DataPacketView& packet);
    // A DAQ command for the whole module.
    bool daq_command(bool start);

    daq::ModuleClient client_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> patient_{false};
    std::atomic<bool> client_wanted_{false};
    std::thread reader_;

    // Held by whoever uses the client; guards what follows as well.
    std::mutex mutex_;
    std::condition_variable changed_;
    Counts counts_;
    uint64_t first_stream_packets_ = 0;
    Clock::time_point last_arrival_ = Clock::now();
    uint64_t datagrams_ = 0;
    // The acknowledge the current request waits for, and when the request went out and its
    // acknowledge came in (since the Unix epoch; the kernel's receive time where it gives one).
    int awaited_code_ = -1;
    int64_t sent_ns_ = 0;
    int64_t ack_ns_ = 0;
};
