// What the benchmark programs print their tables with: numbers as the tables show them, the
// median of rounds, and the machine they ran on.
#pragma once

#include <string>
#include <vector>

// `value` with `decimals` decimals.
std::string fixed(double value, int decimals);
// Thousands separated by a thin space, so that wide numbers stay readable in a table.
std::string grouped(double value);
// The middle value (the upper one of an even count); 0 for none.
double median(std::vector<double> values);
// The processor's model name, from /proc/cpuinfo.
std::string cpu_model();
// The 1-, 5- and 15-minute load averages, from /proc/loadavg.
std::string load_average();
// This program's own path, to run it again as a child.
std::string self_path();
