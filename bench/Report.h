// What the benchmark programs print their tables with: numbers as the tables show them, the
// median of rounds, and the machine they ran on.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

// `value` with `decimals` decimals.
std::string fixed(double value, int decimals);
// Thousands separated by a thin space, so that wide numbers stay readable in a table.
std::string grouped(double value);
// The value or, for none, a dash.
std::string dash_or(const std::optional<double>& value, int decimals);
// The middle value (the upper one of an even count); 0 for none.
double median(std::vector<double> values);
// The value below which a fraction `q` of the samples lie (nearest rank); none for no samples.
std::optional<double> quantile(std::vector<double> samples, double q);
// The processor seconds a process has taken so far, from its CPU clock: those of all its
// threads, also of threads that ended (testModule has GLib's worker thread beside its own).
// Pid 0 is this process. Nothing once the process is gone.
std::optional<double> processor_seconds(pid_t pid);
// The processor's model name, from /proc/cpuinfo.
std::string cpu_model();
// The 1-, 5- and 15-minute load averages, from /proc/loadavg.
std::string load_average();
// This program's own path, to run it again as a child.
std::string self_path();
