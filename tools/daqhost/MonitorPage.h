// The monitor's page, its script and its style, built into daqhost from tools/daqhost/monitor/
// so that the program serves them wherever it is installed.
#pragma once

#include <string_view>

extern const std::string_view kMonitorIndex;
extern const std::string_view kMonitorScript;
extern const std::string_view kMonitorStyle;
