// trigger_wait: what each way of waiting for the next trigger costs in processor time and
// gives in lateness, measured in one run, in-process, with the module's own trigger cycle, and
// printed as one Markdown table.
//
//   trigger_wait [--quick] [--seconds S]
//
//   --quick    every row a quarter of a second: only proves that it works
//   --seconds  every row this long (default: 4 s at 1000 Hz, 8 s at 100 Hz)
//
// Each row makes a module of four hybrids (readout mode 1, efficiency 1, as testModule starts)
// that sends its data packets through its own socket to a sink on loopback, and runs the
// default main loop with a deadline source that does what the signal generator does: when the
// interval has elapsed, a trigger cycle, then a new interval from the end of it. The module's
// pedestal buffer is refilled inside the cycle that finds it short, so that the processor time
// counts that work too. The ways of waiting:
//   - polling: the loop turns without sleeping, as with an idle source (testModule --busy-poll);
//   - timer only: the loop sleeps on a timer armed for the moment itself;
//   - timer + N µs spin: armed N µs early, then polling for the rest;
//   - learned margin: armed early by a margin learned from the timer's own wake-ups (the
//     default of testModule).
// Each under two loads: the machine as it is, and one other process busy the whole row (a
// child of this program in a bounded busy loop). The processor time is this process's alone.
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "BenchModule.h"
#include "Report.h"
#include "server/DeadlineSource.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Way {
    std::string name;
    DeadlineSource::Policy policy;
};

std::vector<Way> ways() {
    std::vector<Way> list;
    list.push_back({"polling", {std::nullopt, INFINITY}});
    list.push_back({"timer only", {0.0}});
    for (const int spin_us : {20, 50, 100, 300}) {
        list.push_back({"timer + " + std::to_string(spin_us) + " µs spin", {spin_us * 1e-6}});
    }
    list.push_back({"learned margin", {}});
    return list;
}

enum class Load { kIdle, kOtherCoreBusy };

const char* name_of(Load load) { return load == Load::kIdle ? "idle" : "other core loaded"; }

struct Row {
    std::string way;
    int rate_hz = 0;
    Load load = Load::kIdle;
    bool ok = false;
    double cpu_per_wall = 0;
    // What all other processes (and the hypervisor, when it took a processor away) used of the
    // machine meanwhile: whether the machine was as idle as the row's load says.
    double others_per_wall = 0;
    // Lateness of the cycles, in microseconds: how long after its due time each one started.
    std::vector<double> lateness_us;
    uint64_t triggers = 0;
    // Mean time between the starts of two cycles over the mean drawn interval plus the mean
    // duration of a cycle: 1 when no cycle starts late.
    std::optional<double> interval_ratio;
    // The early margin the source used (learned or fixed), in microseconds; none when polling.
    std::optional<double> early_us;
    std::optional<DeadlineSource::Wakeups> wakeups;
};

void progress(const std::string& text) { std::cerr << "[trigger_wait] " << text << std::endl; }

// Seconds that the machine's processors spent busy, all processes together, from /proc/stat:
// time stolen by a hypervisor counts as busy.
double machine_busy_seconds() {
    std::ifstream stat("/proc/stat");
    std::string cpu;
    double user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;
    stat >> cpu >> user >> nice >> system >> idle >> iowait >> irq >> softirq >> steal;
    return (user + nice + system + irq + softirq + steal) /
           static_cast<double>(sysconf(_SC_CLK_TCK));
}

// A child process that keeps a processor busy until it is stopped, or at the latest after
// `most_seconds`; stopped and reaped by its pid on destruction.
class BusyChild {
  public:
    explicit BusyChild(double most_seconds) {
        std::cout.flush();
        std::cerr.flush();
        pid_ = ::fork();
        if (pid_ == 0) spin(most_seconds);
        if (pid_ < 0) progress("could not fork the busy process; the row runs without it");
    }
    ~BusyChild() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    BusyChild(const BusyChild&) = delete;
    BusyChild& operator=(const BusyChild&) = delete;

  private:
    // Runs in the child: only the clock and arithmetic, then _exit (the parent's buffers and
    // sources are not the child's to flush or run).
    [[noreturn]] static void spin(double most_seconds) {
        constexpr uint64_t kMostTurns = uint64_t{1} << 40;
        const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                            std::chrono::duration<double>(most_seconds));
        volatile uint64_t turns = 0;
        for (uint64_t i = 0; i < kMostTurns; ++i) {
            turns = turns + 1;
            if ((i & 0xFFF) == 0 && Clock::now() >= end) break;
        }
        ::_exit(0);
    }

    pid_t pid_ = -1;
};

// What the deadline source's callback works on during one row.
struct Pacing {
    BenchModule& module;
    size_t most_samples;
    std::vector<double> lateness_us;
    Clock::time_point first_start{};
    Clock::time_point last_start{};
    uint64_t starts = 0;
    double drawn_total = 0;
    double cycle_total = 0;
};

// The signal generator's step: one trigger cycle when its interval has elapsed. A buffer too
// short for the cycle is refilled on the spot (testModule refills it in idle time).
gboolean trigger_cycle(gpointer data) {
    Pacing& pacing = *static_cast<Pacing*>(data);
    BenchModule& module = pacing.module;
    if (!module.check_interval()) return G_SOURCE_CONTINUE;
    const double late = -module.time_to_trigger();
    const Clock::time_point start = Clock::now();
    const double drawn = module.trigger_interval();
    if (!module.trigger()) {
        module.refill();
        module.trigger();
    }
    module.reset_interval();
    if (pacing.lateness_us.size() < pacing.most_samples) {
        pacing.lateness_us.push_back(late * 1e6);
        if (pacing.starts == 0) pacing.first_start = start;
        pacing.last_start = start;
        // The interval that ends at this cycle's start counts only from the second cycle on.
        if (pacing.starts > 0) pacing.drawn_total += drawn;
        ++pacing.starts;
        pacing.cycle_total += std::chrono::duration<double>(Clock::now() - start).count();
    }
    return G_SOURCE_CONTINUE;
}

gboolean quit_loop(gpointer loop) {
    g_main_loop_quit(static_cast<GMainLoop*>(loop));
    return G_SOURCE_REMOVE;
}

Row measure(const Way& way, int rate_hz, Load load, double seconds) {
    Row row;
    row.way = way.name;
    row.rate_hz = rate_hz;
    row.load = load;
    std::optional<BusyChild> busy;
    if (load == Load::kOtherCoreBusy) busy.emplace(seconds + 30);

    BenchModule module(1, 0b1111, BenchModule::Send::kUdpSink);
    if (!module.ready()) {
        progress("no loopback socket for the module");
        return row;
    }
    module.set_efficiency(1.0);
    module.set_mode(1, 0);
    module.set_period(1.0 / rate_hz);
    module.refill();

    const auto expected = static_cast<size_t>(rate_hz * seconds);
    Pacing pacing{module, 2 * expected + 1000, {}};
    pacing.lateness_us.reserve(pacing.most_samples);
    const DeadlineSource::Remaining remaining = [](gpointer data) {
        return static_cast<Pacing*>(data)->module.time_to_trigger();
    };
    const guint source = DeadlineSource::attach(&trigger_cycle, remaining, &pacing,
                                                G_PRIORITY_DEFAULT_IDLE, way.policy);
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    g_timeout_add(static_cast<guint>(std::lround(seconds * 1000)), &quit_loop, loop);

    const uint64_t triggers_before = module.activity().trigger_cycles;
    module.reset_interval();
    const Clock::time_point wall_start = Clock::now();
    const double cpu_start = processor_seconds(0).value_or(0);
    const double machine_start = machine_busy_seconds();
    g_main_loop_run(loop);
    const double cpu = processor_seconds(0).value_or(0) - cpu_start;
    const double machine = machine_busy_seconds() - machine_start;
    const double wall = std::chrono::duration<double>(Clock::now() - wall_start).count();

    row.wakeups = DeadlineSource::wakeups(source);
    g_source_remove(source);
    g_main_loop_unref(loop);

    row.ok = true;
    row.cpu_per_wall = cpu / wall;
    row.others_per_wall = std::max(machine - cpu, 0.0) / wall;
    row.triggers = module.activity().trigger_cycles - triggers_before;
    row.lateness_us = std::move(pacing.lateness_us);
    if (pacing.starts >= 2) {
        const double gaps = static_cast<double>(pacing.starts - 1);
        const double apart =
            std::chrono::duration<double>(pacing.last_start - pacing.first_start).count() / gaps;
        const double cycle = pacing.cycle_total / static_cast<double>(pacing.starts);
        row.interval_ratio = apart / (pacing.drawn_total / gaps + cycle);
    }
    if (!std::isinf(way.policy.shortest_sleep)) {
        const double early = way.policy.early.value_or(row.wakeups ? row.wakeups->early : NAN);
        if (!std::isnan(early)) row.early_us = early * 1e6;
    }
    return row;
}

void print_table(const std::vector<Row>& rows) {
    std::cout << "| Way of waiting | Rate | Load | Processor s per s | Lateness p50 µs "
                 "| p99 µs | p99.9 µs | Triggers | Start to start ÷ (interval + cycle) "
                 "| Early margin µs | Timer wake-ups (mean late µs) | Rest of machine, processor s "
                 "per s |\n"
                 "|---|---|---|---:|---:|---:|---:|---:|---:|---:|---|---:|\n";
    for (const Row& row : rows) {
        std::cout << "| " << row.way << " | " << row.rate_hz << " Hz | " << name_of(row.load)
                  << " | ";
        if (!row.ok) {
            std::cout << "– | – | – | – | – | – | – | – | – |\n";
            continue;
        }
        std::cout << fixed(row.cpu_per_wall, 3) << " | "
                  << dash_or(quantile(row.lateness_us, 0.5), 0) << " | "
                  << dash_or(quantile(row.lateness_us, 0.99), 0) << " | "
                  << dash_or(quantile(row.lateness_us, 0.999), 0) << " | "
                  << grouped(static_cast<double>(row.triggers)) << " | "
                  << dash_or(row.interval_ratio, 4) << " | " << dash_or(row.early_us, 0) << " | ";
        if (row.wakeups && row.wakeups->count > 0) {
            const double mean_late =
                row.wakeups->late_total / static_cast<double>(row.wakeups->count) * 1e6;
            std::cout << grouped(static_cast<double>(row.wakeups->count)) << " ("
                      << fixed(mean_late, 0) << ")";
        } else {
            std::cout << "–";
        }
        std::cout << " | " << fixed(row.others_per_wall, 2) << " |\n";
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::optional<double> seconds;
    bool usable = true;
    for (int i = 1; i < argc && usable; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quick") {
            seconds = 0.25;
        } else if (arg == "--seconds" && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else {
            usable = false;
        }
    }
    if (!usable || (seconds && !(*seconds > 0 && *seconds <= 600))) {
        std::cerr << "usage: trigger_wait [--quick] [--seconds S (0 to 600)]" << std::endl;
        return 2;
    }
    const auto seconds_at = [&](int rate_hz) { return seconds.value_or(rate_hz >= 1000 ? 4 : 8); };

    std::cout << "Machine: " << std::thread::hardware_concurrency() << " cores, " << cpu_model()
              << "; load average before " << load_average() << ".\n\n";

    std::vector<Row> rows;
    bool ok = true;
    for (const Load load : {Load::kIdle, Load::kOtherCoreBusy}) {
        for (const int rate_hz : {100, 1000}) {
            for (const Way& way : ways()) {
                progress(std::string(name_of(load)) + ", " + std::to_string(rate_hz) + " Hz, " +
                         way.name);
                rows.push_back(measure(way, rate_hz, load, seconds_at(rate_hz)));
                ok = ok && rows.back().ok;
            }
        }
    }

    print_table(rows);
    std::cout << "\nEach row: " << fixed(seconds_at(100), 2) << " s at 100 Hz, "
              << fixed(seconds_at(1000), 2)
              << " s at 1000 Hz; 4 hybrids of two 128-channel chips, readout mode 1, efficiency "
                 "1, data to a sink on loopback. Lateness: how long after its due time a cycle "
                 "started. Start to start: the mean time between the starts of two cycles over "
                 "the mean interval drawn plus the mean duration of a cycle (pedestal refills "
                 "included). Early margin: how long before the due time the timer wakes the "
                 "loop (learned: where it settled). Timer wake-ups: how many, and how late the "
                 "timer woke the loop on average. Rest of machine: the processor time of all other "
                 "processes together (the busy one included) and of a hypervisor's steal.\n";
    std::cout << "Load average after: " << load_average() << ".\n";
    return ok ? 0 : 1;
}
