// How far the host itself fell behind during a run. A host that is not on a processor (a busy
// machine, a stopped process) takes its datagrams late; its own delay must neither read as the
// modules' silence nor go unsaid. The run session measures it as it goes; the summary, its
// JSON, the monitor's page, the metrics and the Python binding show the figures of the one
// list below.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "protocol/Export.h"

namespace daq {

struct DAQ_API HostPace {
    // The most a turn of the host's loop began later than the wait it asked for.
    double lateness_max_s = 0;
    // The oldest datagram's age when the host took it (its handling time less the system's
    // receive time stamp), the most over the run.
    double backlog_max_s = 0;
    // The most datagrams taken from one module's socket in one turn.
    uint64_t queued_max = 0;
    // Datagrams the system dropped at the host's sockets, all modules.
    uint64_t kernel_drops = 0;
    // The bound of a module's silence, which the host's delay is weighed against.
    double silence_s = 1.0;

    // Nothing dropped at the sockets, and neither the backlog nor the lateness ever beyond half
    // the silence bound: beyond it, the host's delay comes near to taking a module for silent.
    bool kept_up() const;
    // "kept up: loop late by 0.003 s at most, ..." or "fell behind: ...".
    std::string text() const;
};

// One figure of the host's pace: its key in JSON and the Python binding, its family in the
// metrics, and what it is.
struct HostPaceFigure {
    enum class Kind { kSeconds, kCount, kFlag };
    const char* key;
    const char* metric;
    const char* metric_type;
    const char* help;
    Kind kind;
    double (*value)(const HostPace&);
};

DAQ_API std::span<const HostPaceFigure> host_pace_figures();

}  // namespace daq
