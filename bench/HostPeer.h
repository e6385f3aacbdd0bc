// The host program on loopback, as the benchmarks need it: one UDP socket with a large receive
// buffer, a thread that reads everything that arrives (well-formed data packets are counted per
// stream, acknowledges are handed to the request that waits for them), requests that wait for
// their acknowledge, and the acknowledge round-trip probe.
//
// Datagrams are read with the host library's decoders (DataPacketView, Acknowledge), but the
// socket is not a ModuleClient's: the bare-work loops send to it from ports of their own, which
// a socket connected to the module refuses, and requests are sent from the caller's thread
// while this one's reader receives.
#pragma once

#include <netinet/in.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace daq {
class DataPacketView;
}

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

    // Binds 127.0.0.1 on a free port and starts reading. Requests go to 127.0.0.1:`target_port`.
    explicit HostPeer(uint16_t target_port = 10000);
    ~HostPeer();
    HostPeer(const HostPeer&) = delete;
    HostPeer& operator=(const HostPeer&) = delete;

    bool ok() const { return fd_ >= 0; }
    uint16_t port() const { return port_; }
    // A patient host reads what has queued up every 200 µs instead of waiting on the socket
    // for each datagram: a sender then never pays for waking it up, a cost that depends more
    // on the host and the load than on the sender. Acknowledges arrive up to 200 µs late, so
    // round trips are measured with an impatient host.
    void set_patient(bool patient);
    // Keeps the reading thread on one processor.
    bool pin_reader(int cpu);

    // Sends a request (four words and the trailer) and waits for the acknowledge of its code:
    // the error word, or nothing after the timeout.
    std::optional<uint16_t> request(uint8_t code, uint16_t word2, uint16_t word3,
                                    double timeout_s = 2.0);
    // Discovery, repeated until the emulator answers (it may still be starting).
    bool discover(double timeout_s);
    // Stream configuration (the chip type, 2 chips) and readout mode of hybrids 1 to `hybrids`.
    bool configure(int hybrids, int mode, int nadj, int chip_type);
    bool start_run() { return daq_command(1); }
    bool stop_run() { return daq_command(0); }

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
    uint64_t kernel_drops() const;

  private:
    void receive_loop();
    void take(const uint8_t* bytes, size_t length, Clock::time_point arrival, int64_t kernel_ns);
    void count_packet(const daq::DataPacketView& packet);
    bool send_request(uint8_t code, uint16_t word2, uint16_t word3);
    // A DAQ command for the whole module: non-zero starts a run, 0 stops it.
    bool daq_command(uint16_t command);

    int fd_ = -1;
    uint16_t port_ = 0;
    sockaddr_in target_ = {};
    std::atomic<bool> stop_{false};
    std::atomic<bool> patient_{false};
    std::thread reader_;

    std::mutex mutex_;
    std::condition_variable changed_;
    Counts counts_;
    uint64_t first_stream_packets_ = 0;
    Clock::time_point last_arrival_ = Clock::now();
    // The acknowledge the current request waits for.
    int awaited_code_ = -1;
    bool ack_arrived_ = false;
    uint16_t ack_error_ = 0;
    Clock::time_point ack_time_;
    int64_t ack_kernel_ns_ = 0;
};
