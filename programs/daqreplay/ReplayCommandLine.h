// The command line of daqreplay: testModule's options with their meanings, the replay's own
// and the capture file.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "daqreplay/ReplayCapture.h"
#include "daqreplay/ReplayedEvents.h"

struct ReplaySettings {
    StartupSettings module;
    std::string capture;
    // The module of the capture to replay (--module ADDR[:PORT], port 0 when not given).
    std::optional<daq::Endpoint> capture_module;
    std::vector<StreamMapping> mappings;
    ReplayOptions options;
};

// Reads the command line into `settings`. Returns -1 when the program goes on, or the exit
// status, 1, after -h or an error (whose text has been printed).
int parse_replay_command_line(int argc, char** argv, ReplaySettings& settings);

// "FROM:TO", each a stream id from 0 to 255; nothing for any other text.
std::optional<StreamMapping> parse_stream_mapping(const std::string& text);
