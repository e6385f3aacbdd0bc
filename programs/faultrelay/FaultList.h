// The published list of the relay's faults: each parameter's name, unit, bounds and meaning.
// It is the one place they are written: the command line's fault options (--NAME), the
// control socket's requests and --list-faults (which the test stand reads) are made from it.
#pragma once

#include <limits>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "faultrelay/FaultSettings.h"

struct FaultParameter {
    // The option is "--" + name; the key in a request and in the settings' JSON is the name.
    const char* name;
    // The fault it belongs to, by its first parameter's name.
    const char* fault;
    // "%", "ms", "datagrams", "Mb/s", "bytes", or "" for a plain number.
    const char* unit;
    // On the command line, after "[DIR:]".
    const char* value_name;
    // Bounds, both allowed; infinity above: no bound.
    double low;
    double high;
    // Nothing for drop, the only list: packet numbers.
    double FaultSettings::*field;
    // A parameter that only shapes another: the other's name, or nullptr.
    const char* needs;
    // What a value must be, after "\"TEXT\" is not ".
    const char* meaning;
    const char* description;
};

constexpr double kUnbounded = std::numeric_limits<double>::infinity();

// In the order of the command line's help and of the settings' JSON.
inline constexpr FaultParameter kFaultParameters[] = {
    {"drop", "drop", "", "LIST", 1, kUnbounded, nullptr, nullptr,
     "a list of packet numbers from 1, like 10,20,30",
     "drop exactly these packet numbers (counted from 1), e.g. 10,20,30"},
    {"loss", "loss", "%", "P", 0, 100, &FaultSettings::loss, nullptr, "a percentage from 0 to 100",
     "percentage lost at random (in bursts with --burst)"},
    {"burst", "loss", "datagrams", "L", 1, kUnbounded, &FaultSettings::burst, "loss",
     "a mean burst length, 1 or more",
     "mean length in datagrams of a burst of --loss, whose long-run share stays the same "
     "(1: each loss on its own)"},
    {"corrupt", "corrupt", "%", "P", 0, 100, &FaultSettings::corrupt, nullptr,
     "a percentage from 0 to 100", "percentage with one random bit of the payload flipped"},
    {"duplicate", "duplicate", "%", "P", 0, 100, &FaultSettings::duplicate, nullptr,
     "a percentage from 0 to 100", "percentage sent twice, the copy right after the original"},
    {"reorder", "reorder", "%", "P", 0, 100, &FaultSettings::reorder, nullptr,
     "a percentage from 0 to 100",
     "percentage held back and sent after the next datagram (at most 50 ms later)"},
    {"delay", "delay", "ms", "MS", 0, kUnbounded, &FaultSettings::delay_ms, nullptr,
     "a time in milliseconds, 0 or more",
     "hold each datagram this many milliseconds (the mean of a normal delay, the minimum of a "
     "Pareto one)"},
    {"jitter", "delay", "ms", "MS", 0, kUnbounded, &FaultSettings::jitter_ms, nullptr,
     "a time in milliseconds, 0 or more",
     "add a uniform draw within +-this many milliseconds to the delay (never below 0)"},
    {"deviation", "delay", "ms", "MS", 0, kUnbounded, &FaultSettings::deviation_ms, nullptr,
     "a time in milliseconds, 0 or more",
     "draw the hold from a normal distribution of mean --delay and this standard deviation "
     "(never below 0)"},
    {"pareto", "delay", "", "A", 0, kUnbounded, &FaultSettings::pareto_shape, "delay",
     "a Pareto shape, 0 or more",
     "draw the hold from a Pareto distribution of this shape whose scale (minimum) is --delay: "
     "a heavy tail of long holds (0: off)"},
    {"bandwidth", "bandwidth", "Mb/s", "MBPS", 0, 1000, &FaultSettings::bandwidth_mbps, nullptr,
     "a rate in Mb/s from 0 to 1000",
     "send at most this many megabits a second, queueing as a switch port does (0: no limit)"},
    {"queue", "bandwidth", "bytes", "BYTES", 1, 1 << 30, &FaultSettings::queue_bytes, "bandwidth",
     "a queue size in bytes from 1 to 1073741824",
     "bytes the --bandwidth port queues; a datagram that does not fit is dropped"},
    {"mtu", "mtu", "bytes", "BYTES", 0, 65535, &FaultSettings::mtu, nullptr,
     "a packet size in bytes from 0 to 65535",
     "drop datagrams whose IPv4 packet (payload + 28) is larger than this (0: no limit)"},
};

const FaultParameter* find_fault_parameter(std::string_view name);

// "" when the text reads as a value of the parameter ("5" or "5%" for a percentage; "3,1"
// for drop, added to `drop` in order, each once), otherwise what is wrong with it.
std::string read_fault_value(const FaultParameter& parameter, std::string_view text,
                             FaultSettings& settings);
// The same for a value of a request: a number, or for drop an array of packet numbers (which
// replaces the list).
std::string read_fault_value(const FaultParameter& parameter, const nlohmann::json& value,
                             FaultSettings& settings);

// The published list: every fault with its parameters, their units, bounds and defaults, as
// --list-faults prints it and the control socket's "faults" request answers.
nlohmann::json fault_list();
