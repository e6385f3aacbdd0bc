// The monitor's page, its script and its style, built in from host/monitor/page/ so that a
// program serves them wherever it is installed.
#pragma once

#include <string_view>

extern const std::string_view kMonitorIndex;
extern const std::string_view kMonitorScript;
extern const std::string_view kMonitorStyle;
