// throughput: how fast testModule goes, measured against the bare work on the same machine in
// the same run, and printed as one Markdown table.
//
//   throughput [--quick] [--triggers N] [--rounds R] [--only HYBRIDS:MODE]... [--no-paced]
//              [--no-pin] [--emulator PATH]
//
// It enters a network namespace of its own (testModule always binds port 10000), plays the host
// on loopback, and measures:
//   - the highest trigger rate (testModule -r 1000000 -e 1) with 1 and 4 hybrids of two
//     128-channel chips in readout modes 1 and 2, against two bare-work loops of its own (run
//     as child processes of this program): one with the emulator's generator, one that calls
//     the C library's rand() directly;
//   - the mean trigger interval at 100 Hz, 1 kHz and 10 kHz with 4 hybrids, against the period
//     plus the mean duration of one trigger cycle measured in-process, and the spread of the
//     intervals (σ ÷ mean); at 100 Hz and 1 kHz also with --busy-poll, the wait that polls;
//   - the processor time per wall second of every emulator: idle, in a run at rate 0, paced;
//   - the acknowledge round trip on an idle emulator and during runs;
//   - the peak resident size (VmHWM) of every emulator;
//   - daqreplay's pace: the trigger rate of a capture that daqhost takes of testModule at
//     1 kHz, against the rate daqhost sees when daqreplay serves that capture again.
// Rates come from the data packets' own time stamps. Progress goes to standard error.
// --no-paced leaves out everything but the highest rate and the idle emulator.
#include <sched.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BareWork.h"
#include "BenchModule.h"
#include "HostPeer.h"
#include "Report.h"
#include "testing/EmulatorProcess.h"
#include "testing/NetworkNamespace.h"

namespace {

struct Options {
    bool quick = false;
    uint64_t triggers = 10000;
    int rounds = 9;
    // Empty: all four configurations at the highest rate.
    std::vector<std::pair<int, int>> only;
    bool paced = true;
    bool pin = true;
};

struct Config {
    int hybrids;
    int mode;
    const char* mask;
    const char* chip = "vx4";
};

// testModule's trigger rate divided by a bare-work loop's: on the wall clock, and per second
// of processor time (what each reaches with a core of its own).
struct Comparison {
    std::optional<double> wall_ratio;
    std::optional<double> cpu_ratio;
};

// One row of the table; empty optionals print as a dash.
struct Row {
    std::string scenario;
    int hybrids = 0;
    std::string mode = "–";
    std::string rate;
    std::optional<Traffic> traffic;
    std::optional<Comparison> same;
    std::optional<Comparison> libc;
    std::optional<double> achieved_us;
    std::optional<double> predicted_us;
    std::optional<double> cycle_us;
    // For rows without traffic; the others take it from their traffic.
    std::optional<double> cpu_per_wall;
    // Paced rows alone: at the highest rate the intervals are the cycles themselves.
    std::optional<double> interval_spread;
    std::optional<RoundTrips> trips;
    std::optional<double> rss_mb;
};

constexpr int kNadj = 4;

// With two processors or more, every sender (the emulator and the loops alike) runs on the
// first and the host's reading thread on the last: a sender is then never put aside to let
// the host read what it has just sent, and each sender meets the same conditions.
int sender_cpu = -1;
int reader_cpu = -1;

// The port the bare-work loops send from, beside testModule's 10000, which the emulator under
// test holds meanwhile; the host of a loop knows it there.
constexpr uint16_t kBareWorkPort = 10001;

// The testModule under test: the one built beside this program unless --emulator names another
// (for comparing two builds).
std::string emulator_binary = TESTMODULE_PATH;

void pin_sender(pid_t pid) {
    if (sender_cpu < 0) return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(sender_cpu, &set);
    sched_setaffinity(pid, sizeof(set), &set);
}
constexpr double kStartTimeout = 10.0;

void progress(const std::string& text) { std::cerr << "[throughput] " << text << std::endl; }

// VmHWM of a process in megabytes (10^6 bytes), or nothing.
std::optional<double> peak_rss_mb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) != 0) continue;
        std::istringstream fields(line.substr(6));
        double kb = 0;
        fields >> kb;
        return kb * 1024 / 1e6;
    }
    return std::nullopt;
}

std::vector<std::string> emulator_args(const std::string& rate, const Config& config,
                                       const std::vector<std::string>& extra) {
    std::vector<std::string> args = {"-r", rate, "-e", "1", "-m", config.mask, "-c", config.chip};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

// A started emulator that the host has discovered and configured; stopped on destruction.
// `extra` words follow the usual ones on its command line.
class Emulator {
  public:
    Emulator(HostPeer& host, const std::string& rate, const Config& config, bool pinned = true,
             const std::vector<std::string>& extra = {})
        : host_(host), process_(emulator_args(rate, config, extra), emulator_binary) {
        host_.wait_quiet(0.05, 2.0);
        host_.reset();
        const bool started = process_.start();
        if (started && pinned) pin_sender(process_.pid());
        ok_ = started && process_.wait_until_serving(kStartTimeout) &&
              host_.discover(kStartTimeout) &&
              host_.configure(config.hybrids, config.mode, kNadj,
                              std::strcmp(config.chip, "ktm") == 0 ? 2 : 1);
        if (!ok_) progress("the emulator did not start or answer: " + process_.stderr_text());
    }
    ~Emulator() {
        process_.send_signal(SIGTERM);
        process_.wait_exit(5.0);
    }
    Emulator(const Emulator&) = delete;
    Emulator& operator=(const Emulator&) = delete;

    bool ok() const { return ok_; }
    pid_t pid() const { return process_.pid(); }
    std::optional<double> rss_mb() { return peak_rss_mb(process_.pid()); }

  private:
    HostPeer& host_;
    EmulatorProcess process_;
    bool ok_ = false;
};

// Processor time that a process has run, in seconds; 0 when the process is gone.
double cpu_seconds(pid_t pid) { return processor_seconds(pid).value_or(0); }

using WallClock = std::chrono::steady_clock;

double seconds_since(WallClock::time_point start) {
    return std::chrono::duration<double>(WallClock::now() - start).count();
}

// The processor seconds per wall second a process takes while this program sleeps for
// `seconds` and asks nothing of it.
double cpu_per_wall_asleep(pid_t pid, double seconds) {
    const auto start = WallClock::now();
    const double before = cpu_seconds(pid);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double after = cpu_seconds(pid);
    return (after - before) / seconds_since(start);
}

// Counts the data packets between the `warm`-th and the (`warm` + `count`)-th packet of the
// first stream, so that the start of the run (a full pedestal buffer) is left out, and the
// processor time the sender used meanwhile. That time is divided by the wall time between the
// same two readings, not by the span of the packets' time stamps (Traffic.seconds): the two
// differ by how late the first and the last packet reached the host, but only the wall time
// is taken at the moments the processor time is read.
std::optional<Traffic> measure(HostPeer& host, pid_t sender, uint64_t warm, uint64_t count,
                               double timeout_s) {
    host.set_patient(true);
    const bool warmed = host.wait_for_packets(warm, timeout_s);
    const HostPeer::Counts before = host.snapshot();
    const auto wall_before = WallClock::now();
    const double cpu_before = cpu_seconds(sender);
    const bool counted = warmed && host.wait_for_packets(warm + count, timeout_s);
    const double cpu_after = cpu_seconds(sender);
    const double wall = seconds_since(wall_before);
    host.set_patient(false);
    if (!counted) return std::nullopt;
    Traffic traffic = HostPeer::between(before, host.snapshot());
    traffic.cpu_seconds = cpu_after - cpu_before;
    traffic.wall_seconds = wall;
    return traffic;
}

struct RunResult {
    std::optional<Traffic> traffic;
    std::optional<RoundTrips> trips;
    uint64_t drops = 0;
};

// One run of a started and configured emulator: `count` triggers counted after `warm`, then
// `probes` acknowledge round trips while the run goes on.
RunResult run_once(HostPeer& host, const Emulator& emulator, uint64_t warm, uint64_t count,
                   double timeout_s, int probes) {
    RunResult result;
    host.wait_quiet(0.05, 2.0);
    host.reset();
    const uint64_t drops_before = host.kernel_drops();
    if (!host.start_run()) {
        progress("no acknowledge for the start of the run");
        return result;
    }
    result.traffic = measure(host, emulator.pid(), warm, count, timeout_s);
    if (!result.traffic) progress("the run did not deliver its packets in time");
    if (probes > 0) result.trips = host.probe(probes, 0.001);
    host.stop_run();
    result.drops = host.kernel_drops() - drops_before;
    if (result.drops > 0) {
        progress("the system dropped " + std::to_string(result.drops) + " datagrams at the host");
    }
    return result;
}

// One run of a bare-work loop, read by a host of its own, whose reader is held where the
// emulator's host's is.
std::optional<Traffic> run_bare(const Config& config, bool libc_rand, uint64_t warm, uint64_t count,
                                double timeout_s) {
    HostPeer host(kBareWorkPort);
    if (!host.ok()) return std::nullopt;
    if (reader_cpu >= 0) host.pin_reader(reader_cpu);
    // A margin of triggers, so that the loop still runs when the host has counted enough.
    const uint64_t triggers = warm + count + count / 10 + 100;
    EmulatorProcess child(
        {"--bare-work", std::to_string(config.hybrids), std::to_string(config.mode),
         libc_rand ? "rand" : "same", std::to_string(host.port()), std::to_string(triggers),
         std::to_string(kBareWorkPort)},
        self_path());
    if (!child.start()) return std::nullopt;
    pin_sender(child.pid());
    std::optional<Traffic> traffic = measure(host, child.pid(), warm, count, timeout_s);
    if (child.wait_exit(timeout_s) != 0) progress("the bare-work loop failed");
    return traffic;
}

// The mean duration of one trigger cycle of 4 hybrids in readout mode 1, sent through the
// module's own socket to a sink: the part of the trigger interval that pacing adds. The cycles
// are spaced as at the rate in question, since one that follows a pause (its data pushed out
// of the caches by whatever else the machine ran meanwhile) takes longer than one of many back
// to back. The pause is spent as the emulator's loop spends it: polling the clock (--busy-poll),
// or asleep until shortly before the cycle and polling the rest (the default; the processor
// then takes longer to come back to speed).
std::optional<double> mean_cycle_us(int cycles, double spacing_s, bool asleep) {
    // About the margin the emulator learns here for the timer's wake-ups.
    constexpr auto kWakeEarly = std::chrono::microseconds(70);
    BenchModule module(1, 0xF, BenchModule::Send::kUdpSink);
    if (!module.ready()) return std::nullopt;
    module.set_efficiency(1.0);
    module.set_mode(1, kNadj);
    module.refill();
    const int needed = module.blocks_needed();
    const auto spacing = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(spacing_s));
    auto next = std::chrono::steady_clock::now();
    double total = 0;
    for (int i = 0; i < cycles; ++i) {
        if (module.pedestals().items_left() < needed) module.refill();
        next += spacing;
        if (asleep) std::this_thread::sleep_until(next - kWakeEarly);
        while (std::chrono::steady_clock::now() < next) {
        }
        const auto start = std::chrono::steady_clock::now();
        module.trigger();
        total += std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                     .count();
    }
    return total / cycles;
}

// A paced rate of the emulator, 4 hybrids in readout mode 1; `also_polling` adds the same runs
// with --busy-poll.
struct Paced {
    const char* rate;
    double hz;
    uint64_t intervals;
    const char* label;
    bool also_polling;
};

// Several runs of one paced emulator, of which the one with the median mean interval is shown:
// a burst of load from elsewhere on the machine spoils one run, not the figure. Round trips are
// probed during the last run.
Row paced_row(HostPeer& host, const Paced& p, bool busy_poll, int runs_wanted, double timeout_s,
              int probes, int& failures) {
    progress(std::string("paced run at ") + p.label + (busy_poll ? ", --busy-poll" : ""));
    const Config four = {4, 1, "1111"};
    std::vector<std::string> extra;
    if (busy_poll) extra.emplace_back("--busy-poll");
    // Not held to one processor: a paced emulator meets the machine as it would anywhere.
    Emulator emulator(host, p.rate, four, false, extra);
    std::vector<Traffic> runs;
    std::optional<RoundTrips> trips;
    for (int slice = 0; emulator.ok() && slice < runs_wanted; ++slice) {
        const bool last = slice + 1 == runs_wanted;
        const RunResult run =
            run_once(host, emulator, 5, p.intervals, timeout_s, last ? probes : 0);
        if (run.traffic) runs.push_back(*run.traffic);
        if (last) trips = run.trips;
    }
    std::sort(runs.begin(), runs.end(), [](const Traffic& a, const Traffic& b) {
        return a.mean_interval_us() < b.mean_interval_us();
    });
    Row row;
    row.scenario = std::string("**testModule**, paced") + (busy_poll ? ", --busy-poll" : "");
    row.hybrids = 4;
    row.mode = "1";
    row.rate = p.label;
    row.trips = trips;
    row.rss_mb = emulator.rss_mb();
    if (runs.empty()) {
        ++failures;
        return row;
    }
    row.traffic = runs[runs.size() / 2];
    row.achieved_us = row.traffic->mean_interval_us();
    row.interval_spread = row.traffic->interval_spread();
    return row;
}

// A run at rate 0: started, and never a trigger. Its processor time is taken after it has
// settled, then the round trips.
Row rate_zero_row(HostPeer& host, bool quick, int probes, int& failures) {
    progress("run at rate 0");
    const Config four = {4, 1, "1111"};
    Emulator emulator(host, "0", four, false);
    Row row;
    row.scenario = "**testModule**, run at -r 0 (no trigger)";
    row.hybrids = 4;
    row.mode = "1";
    row.rate = "0 Hz";
    if (!emulator.ok() || !host.start_run()) {
        progress("the run at rate 0 did not start");
        ++failures;
        return row;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    row.cpu_per_wall = cpu_per_wall_asleep(emulator.pid(), quick ? 1.0 : 2.0);
    row.trips = host.probe(probes, 0.001);
    host.stop_run();
    row.rss_mb = emulator.rss_mb();
    return row;
}

// What daqhost saw of one run of hybrid 1, and the module's processor time meanwhile.
struct HostView {
    double trigger_rate = 0;
    double seconds = 0;  // the run's, from daqhost's summary
    uint64_t packets = 0;
    uint64_t missing = 0;
    double cpu_per_wall = 0;
};

// daqhost run of hybrid 1 for `seconds` against the module that serves in this namespace,
// recording the session in `capture` unless it is empty. Its discovery makes daqhost the
// module's host peer; this program's HostPeer never talks to that module. The module's
// processor time is read around the whole daqhost program, its requests and the stop included.
std::optional<HostView> daqhost_run(pid_t module, double seconds, const std::string& capture) {
    std::vector<std::string> args = {"run",       "127.0.0.1",       "--hybrids", "1",
                                     "--seconds", fixed(seconds, 1), "--json"};
    if (!capture.empty()) args.insert(args.end(), {"--out", capture});
    EmulatorProcess daqhost(args, DAQHOST_PATH);
    const auto start = WallClock::now();
    const double cpu_before = cpu_seconds(module);
    if (!daqhost.start()) return std::nullopt;
    const int status = daqhost.wait_exit(seconds + 30);
    const double cpu = cpu_seconds(module) - cpu_before;
    const double wall = seconds_since(start);
    if (status != 0) {
        progress("daqhost run ended with status " + std::to_string(status) + ": " +
                 daqhost.stderr_text());
        return std::nullopt;
    }
    const std::string out = daqhost.stdout_text();
    const auto summary =
        nlohmann::json::parse(out.substr(std::min(out.find('{'), out.size())), nullptr, false);
    HostView view;
    view.cpu_per_wall = cpu / wall;
    // A summary without the fields, or with a null rate, is a failed run.
    try {
        const nlohmann::json& hybrid = summary.at("hybrids").at(0);
        view.trigger_rate = hybrid.at("trigger_rate_hz").get<double>();
        view.packets = hybrid.at("packets").get<uint64_t>();
        view.missing = hybrid.at("missing").get<uint64_t>();
        view.seconds = summary.at("seconds").get<double>();
    } catch (const nlohmann::json::exception&) {
        progress("daqhost's summary has no trigger rate: " + out);
        return std::nullopt;
    }
    return view;
}

// Starts `binary` (testModule or daqreplay) with `args`, takes one daqhost run of it and
// stops it.
std::optional<HostView> serve_one_run(const std::string& binary,
                                      const std::vector<std::string>& args, double seconds,
                                      const std::string& capture) {
    EmulatorProcess module(args, binary);
    if (!module.start() || !module.wait_until_serving(kStartTimeout)) {
        progress(binary + " did not start: " + module.stderr_text());
        return std::nullopt;
    }
    std::optional<HostView> view = daqhost_run(module.pid(), seconds, capture);
    module.send_signal(SIGTERM);
    module.wait_exit(5.0);
    return view;
}

struct ReplayRow {
    std::string module;
    std::optional<HostView> view;
};

// daqreplay's pace: daqhost captures a run of testModule at 1 kHz (one hybrid), then the same
// host runs against daqreplay serving that capture at its captured pace, asleep between the
// cycles and polling. The first row is the capture's.
std::vector<ReplayRow> replay_pace(bool quick, int& failures) {
    char pattern[] = "/tmp/throughput.XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        progress("no temporary folder for the capture");
        ++failures;
        return {};
    }
    const std::filesystem::path folder = pattern;
    const std::string capture = (folder / "capture.pcap").string();
    const double capture_s = quick ? 2 : 5;
    const double replay_s = quick ? 1.5 : 4;
    std::vector<ReplayRow> rows;
    progress("daqreplay's pace: a capture of testModule at 1 kHz");
    rows.push_back(
        {"testModule -r 1000 (the capture)",
         serve_one_run(emulator_binary, {"-r", "1000", "-m", "1", "-e", "1"}, capture_s, capture)});
    if (rows.front().view) {
        for (const bool busy_poll : {false, true}) {
            std::vector<std::string> args = {capture, "-m", "1", "-e", "1"};
            if (busy_poll) args.emplace_back("--busy-poll");
            const std::string name =
                std::string("daqreplay of the capture") + (busy_poll ? ", --busy-poll" : "");
            progress(name);
            rows.push_back({name, serve_one_run(DAQREPLAY_PATH, args, replay_s, "")});
        }
    }
    for (const ReplayRow& row : rows) {
        if (!row.view) ++failures;
    }
    std::error_code error;
    std::filesystem::remove_all(folder, error);
    return rows;
}

std::string comparison(const std::optional<Comparison>& c) {
    if (!c || !c->wall_ratio || !c->cpu_ratio) return "–";
    return fixed(*c->wall_ratio, 2) + " / **" + fixed(*c->cpu_ratio, 2) + "**";
}

void print_table(const std::vector<Row>& rows) {
    std::cout << "| Scenario | Hybrids | Mode | Rate asked | Triggers/s | Triggers per CPU s | "
                 "CPU per wall s | Packets/s | MB/s | Missing | ÷ same-generator loop (wall / "
                 "CPU) | ÷ rand() loop (wall / CPU) | Mean interval µs (achieved / predicted) | "
                 "Interval σ/mean | Ack RTT µs (median / p99 / max) | Peak RSS MB |\n";
    std::cout << "|---|---|---|---|---:|---:|---:|---:|---:|---:|---|---|---|---:|---|---:|\n";
    for (const Row& row : rows) {
        std::cout << "| " << row.scenario << " | " << row.hybrids << "×2 | " << row.mode << " | "
                  << (row.rate.empty() ? "–" : row.rate) << " | ";
        if (row.traffic) {
            std::cout << grouped(row.traffic->trigger_rate()) << " | "
                      << grouped(row.traffic->trigger_rate_per_cpu()) << " | "
                      << fixed(row.traffic->cpu_per_wall(), 4) << " | "
                      << grouped(row.traffic->packet_rate()) << " | "
                      << fixed(row.traffic->megabytes_per_second(), 2) << " | "
                      << row.traffic->missing << " | ";
        } else {
            std::cout << "– | – | " << dash_or(row.cpu_per_wall, 4) << " | – | – | – | ";
        }
        std::cout << comparison(row.same) << " | " << comparison(row.libc) << " | ";
        if (row.achieved_us && row.predicted_us) {
            const double deviation = (*row.achieved_us / *row.predicted_us - 1) * 100;
            std::cout << fixed(*row.achieved_us, 1) << " / " << fixed(*row.predicted_us, 1) << " ("
                      << (deviation >= 0 ? "+" : "") << fixed(deviation, 2) << " %; cycle "
                      << dash_or(row.cycle_us, 1) << ") | ";
        } else {
            std::cout << "– | ";
        }
        std::cout << dash_or(row.interval_spread, 4) << " | ";
        if (row.trips && !row.trips->samples_us.empty()) {
            std::cout << fixed(row.trips->median(), 0) << " / "
                      << fixed(row.trips->quantile(0.99), 0) << " / " << fixed(row.trips->max(), 0);
            if (row.trips->lost > 0) std::cout << " (" << row.trips->lost << " lost)";
            std::cout << " | ";
        } else {
            std::cout << "– | ";
        }
        std::cout << dash_or(row.rss_mb, 2) << " |\n";
    }
}

void print_replay_table(const std::vector<ReplayRow>& rows) {
    std::cout << "| Module | Run s | Triggers/s (daqhost) | ÷ the capture's | Packets | Missing | "
                 "CPU per wall s |\n";
    std::cout << "|---|---:|---:|---:|---:|---:|---:|\n";
    const std::optional<HostView>& captured = rows.front().view;
    for (const ReplayRow& row : rows) {
        std::cout << "| " << row.module << " | ";
        if (!row.view) {
            std::cout << "– | – | – | – | – | – |\n";
            continue;
        }
        const HostView& v = *row.view;
        std::cout << fixed(v.seconds, 2) << " | " << fixed(v.trigger_rate, 2) << " | ";
        if (&row != &rows.front() && captured && captured->trigger_rate > 0) {
            const double ratio = v.trigger_rate / captured->trigger_rate;
            const double deviation = (ratio - 1) * 100;
            std::cout << fixed(ratio, 4) << " (" << (deviation >= 0 ? "+" : "")
                      << fixed(deviation, 2) << " %) | ";
        } else {
            std::cout << "– | ";
        }
        std::cout << v.packets << " | " << v.missing << " | " << fixed(v.cpu_per_wall, 4) << " |\n";
    }
}

int bare_work_main(int argc, char** argv) {
    if (argc < 8) return 2;
    BareWorkSettings settings;
    settings.hybrids = std::atoi(argv[2]);
    settings.mode = std::atoi(argv[3]);
    settings.nadj = kNadj;
    settings.libc_rand = std::strcmp(argv[4], "rand") == 0;
    settings.host_port = static_cast<uint16_t>(std::atoi(argv[5]));
    settings.triggers = std::strtoull(argv[6], nullptr, 10);
    settings.own_port = static_cast<uint16_t>(std::atoi(argv[7]));
    return run_bare_work(settings);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--bare-work") == 0) return bare_work_main(argc, argv);

    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quick") {
            options.quick = true;
            options.triggers = 2000;
            options.rounds = 1;
        } else if (arg == "--triggers" && i + 1 < argc) {
            options.triggers = std::strtoull(argv[++i], nullptr, 10);
        } else if (arg == "--rounds" && i + 1 < argc) {
            options.rounds = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--only" && i + 1 < argc) {
            int hybrids = 0;
            int mode = 0;
            if (std::sscanf(argv[++i], "%d:%d", &hybrids, &mode) != 2) return 2;
            options.only.emplace_back(hybrids, mode);
        } else if (arg == "--no-paced") {
            options.paced = false;
        } else if (arg == "--emulator" && i + 1 < argc) {
            emulator_binary = argv[++i];
        } else if (arg == "--no-pin") {
            options.pin = false;
        } else {
            std::cerr << "usage: throughput [--quick] [--triggers N] [--rounds R] "
                         "[--only HYBRIDS:MODE]... [--no-paced] [--no-pin] [--emulator PATH]"
                      << std::endl;
            return 2;
        }
    }
    if (!enter_private_network_namespace()) {
        std::cerr << "throughput: cannot enter a network namespace of its own (run as root); "
                     "testModule binds port 10000, which others may be using."
                  << std::endl;
        return 2;
    }
    HostPeer host;
    if (!host.ok()) {
        std::cerr << "throughput: no host socket on loopback" << std::endl;
        return 1;
    }
    const int cpus = static_cast<int>(std::thread::hardware_concurrency());
    if (options.pin && cpus >= 2 && host.pin_reader(cpus - 1)) {
        sender_cpu = 0;
        reader_cpu = cpus - 1;
    }
    const std::string load_before = load_average();
    const uint64_t count = options.triggers;
    const uint64_t warm = std::max<uint64_t>(200, count / 20);
    const double timeout = 120.0;
    const int probes = options.quick ? 50 : 1000;
    std::vector<Row> rows;
    int failures = 0;

    // The highest rate, against the two bare-work loops. Each round runs the emulator and
    // then each loop for the same number of triggers, so that the three meet much the same
    // load from the rest of the machine; the ratios are the medians of the rounds.
    const Config configs[] = {{1, 1, "1"}, {1, 2, "1"}, {4, 1, "1111"}, {4, 2, "1111"}};
    for (const Config& config : configs) {
        if (!options.only.empty() &&
            std::find(options.only.begin(), options.only.end(),
                      std::make_pair(config.hybrids, config.mode)) == options.only.end()) {
            continue;
        }
        const std::string name =
            std::to_string(config.hybrids) + " hybrid(s), mode " + std::to_string(config.mode);
        Row row;
        row.scenario = "**testModule**, highest rate";
        row.hybrids = config.hybrids;
        row.mode = std::to_string(config.mode);
        row.rate = "1 MHz";
        Row same_row = row;
        same_row.scenario = "Bare loop, same generator";
        same_row.rate.clear();
        Row libc_row = same_row;
        libc_row.scenario = "Bare loop, rand()";

        Emulator emulator(host, "1000000", config);
        if (!emulator.ok()) {
            ++failures;
            continue;
        }
        if (config.hybrids == 4 && config.mode == 1) {
            progress("idle, " + name);
            Row idle;
            idle.scenario = "**testModule**, idle (configured, no run)";
            idle.hybrids = 4;
            // Settled first, as the run at rate 0: what the emulator did for the last request
            // is on its clock only once it has slept again.
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            idle.cpu_per_wall = cpu_per_wall_asleep(emulator.pid(), options.quick ? 1.0 : 2.0);
            idle.trips = host.probe(probes, 0.001);
            idle.rss_mb = emulator.rss_mb();
            rows.push_back(idle);
        }
        struct Round {
            Traffic emulator, same, libc;
        };
        std::vector<Round> done;
        for (int round = 0; round < options.rounds; ++round) {
            progress("highest rate, " + name + ", round " + std::to_string(round + 1));
            const RunResult run = run_once(host, emulator, warm, count, timeout, 0);
            const std::optional<Traffic> same = run_bare(config, false, warm, count, timeout);
            const std::optional<Traffic> libc = run_bare(config, true, warm, count, timeout);
            if (!run.traffic || !same || !libc) {
                ++failures;
                continue;
            }
            done.push_back({*run.traffic, *same, *libc});
        }
        if (config.hybrids == 4) {
            progress("round trips at the highest rate, " + name);
            row.trips = run_once(host, emulator, warm, warm, timeout, probes).trips;
        }
        row.rss_mb = emulator.rss_mb();
        if (!done.empty()) {
            std::vector<double> same_wall, same_cpu, libc_wall, libc_cpu;
            for (const Round& r : done) {
                same_wall.push_back(r.emulator.trigger_rate() / r.same.trigger_rate());
                same_cpu.push_back(r.emulator.trigger_rate_per_cpu() /
                                   r.same.trigger_rate_per_cpu());
                libc_wall.push_back(r.emulator.trigger_rate() / r.libc.trigger_rate());
                libc_cpu.push_back(r.emulator.trigger_rate_per_cpu() /
                                   r.libc.trigger_rate_per_cpu());
            }
            row.same = Comparison{median(same_wall), median(same_cpu)};
            row.libc = Comparison{median(libc_wall), median(libc_cpu)};
            // The figures shown are those of the round whose ratio is the median one.
            const double wanted = *row.same->cpu_ratio;
            const Round* shown = &done.front();
            for (size_t i = 0; i < done.size(); ++i) {
                if (same_cpu[i] == wanted) shown = &done[i];
            }
            row.traffic = shown->emulator;
            same_row.traffic = shown->same;
            libc_row.traffic = shown->libc;
        }
        rows.push_back(row);
        rows.push_back(same_row);
        rows.push_back(libc_row);
    }

    // Rate fidelity with 4 hybrids, readout mode 1, asleep between the triggers and polling;
    // a run at rate 0; daqreplay's pace.
    std::vector<ReplayRow> replay_rows;
    if (options.paced) {
        rows.push_back(rate_zero_row(host, options.quick, probes, failures));
        const Paced paced[] = {
            {"100", 100, options.quick ? 20u : 300u, "100 Hz", true},
            {"1000", 1000, options.quick ? 100u : 2000u, "1 kHz", true},
            {"10000", 10000, options.quick ? 500u : 10000u, "10 kHz", false},
        };
        const int paced_runs = options.quick ? 1 : 3;
        for (const Paced& p : paced) {
            std::vector<Row> rate_rows;
            for (const bool busy_poll : {false, true}) {
                if (busy_poll && !p.also_polling) continue;
                rate_rows.push_back(
                    paced_row(host, p, busy_poll, paced_runs, timeout, probes, failures));
            }
            const int cycles = options.quick ? 20 : static_cast<int>(p.hz * 2) / 10 + 200;
            for (Row& row : rate_rows) {
                // Above about 5 kHz the emulator polls between triggers, with or without it.
                const bool asleep =
                    row.scenario.find("--busy-poll") == std::string::npos && p.hz < 5000;
                progress(std::string("trigger cycles in-process, spaced as at ") + p.label +
                         (asleep ? ", asleep between them" : ", polling between them"));
                row.cycle_us = mean_cycle_us(cycles, 1.0 / p.hz, asleep);
                if (row.cycle_us) row.predicted_us = 1e6 / p.hz + *row.cycle_us;
                rows.push_back(row);
            }
        }
        replay_rows = replay_pace(options.quick, failures);
    }

    print_table(rows);
    std::cout << "\nPaced figures: "
              << (options.quick ? "one run" : "the median of three runs of one emulator")
              << ". Triggers counted per figure: " << count << " at the highest rate (after "
              << warm << "), rounds: " << options.rounds
              << ". CPU per wall s: the sender's processor seconds (all its threads) per wall "
                 "second, over the counted triggers, or over "
              << (options.quick ? 1 : 2)
              << " s of this program's sleep for the idle emulator and the run at rate 0. "
                 "Interval σ/mean: of the intervals between consecutive time stamps of "
                 "hybrid 1 (the drawn intervals alone give 0.10).\n";
    if (!replay_rows.empty()) {
        std::cout << "\ndaqreplay's pace: daqhost runs hybrid 1 of testModule at 1 kHz and "
                     "captures it, then runs daqreplay serving that capture at its captured pace; "
                     "trigger rates as daqhost reports them, CPU per wall s of the module over the "
                     "whole daqhost program.\n\n";
        print_replay_table(replay_rows);
        std::cout << "\n";
    }
    std::cout << "Machine: " << std::thread::hardware_concurrency() << " cores, " << cpu_model()
              << "; load average before " << load_before << ", after " << load_average() << ".\n";
    return failures == 0 ? 0 : 1;
}
