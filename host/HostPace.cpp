#include "daqhost/HostPace.h"

#include <array>
#include <cstdio>

namespace daq {

namespace {

constexpr std::array<HostPaceFigure, 5> kFigures = {{
    {"kept_up", "daq_host_kept_up", "gauge",
     "1 while the host keeps up with its modules: nothing dropped at its sockets, and its loop "
     "never late nor its backlog old by more than half the silence bound.",
     HostPaceFigure::Kind::kFlag, [](const HostPace& p) { return p.kept_up() ? 1.0 : 0.0; }},
    {"lateness_max_s", "daq_host_lateness_max_seconds", "gauge",
     "The most a turn of the host's loop began later than the wait it asked for.",
     HostPaceFigure::Kind::kSeconds, [](const HostPace& p) { return p.lateness_max_s; }},
    {"backlog_max_s", "daq_host_backlog_max_seconds", "gauge",
     "The oldest datagram's age when the host took it, the most in the run.",
     HostPaceFigure::Kind::kSeconds, [](const HostPace& p) { return p.backlog_max_s; }},
    {"queued_max", "daq_host_queued_max_datagrams", "gauge",
     "The most datagrams the host took from one module's socket in one turn.",
     HostPaceFigure::Kind::kCount,
     [](const HostPace& p) { return static_cast<double>(p.queued_max); }},
    {"kernel_drops", "daq_host_kernel_drops_total", "counter",
     "Datagrams the system dropped at the host's sockets, all modules.",
     HostPaceFigure::Kind::kCount,
     [](const HostPace& p) { return static_cast<double>(p.kernel_drops); }},
}};

}  // namespace

bool HostPace::kept_up() const {
    const double bound_s = silence_s / 2;
    return kernel_drops == 0 && backlog_max_s <= bound_s && lateness_max_s <= bound_s;
}

std::string HostPace::text() const {
    char line[256];
    std::snprintf(line, sizeof(line),
                  "%s: loop late by %.3f s at most, backlog %.3f s at most, %llu datagrams at "
                  "most in one take, %llu dropped at the sockets",
                  kept_up() ? "kept up" : "fell behind", lateness_max_s, backlog_max_s,
                  static_cast<unsigned long long>(queued_max),
                  static_cast<unsigned long long>(kernel_drops));
    return line;
}

std::span<const HostPaceFigure> host_pace_figures() { return kFigures; }

}  // namespace daq
