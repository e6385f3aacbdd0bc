// How the relay speaks: one line on standard error, "faultrelay: " + message, for its start,
// its failures, and nothing else (the counters are a block of their own).
#pragma once

#include <string>

void report(const std::string& message);
