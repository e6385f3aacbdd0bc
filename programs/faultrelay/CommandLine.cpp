#include "faultrelay/CommandLine.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <random>

using namespace daq;

namespace {

template <typename Number>
bool read_whole(const std::string& text, Number& number) {
    const char* end = text.data() + text.size();
    const auto [at, failure] = std::from_chars(text.data(), end, number);
    return failure == std::errc() && at == end;
}

// Applies "[DIR:]VALUE" of one fault option to the settings of the directions it names;
// returns what is wrong with it, or "".
std::string apply_fault(const FaultParameter& parameter, const std::string& text,
                        std::array<FaultSettings, 2>& faults) {
    const size_t colon = text.find(':');
    const std::string direction = colon == std::string::npos ? "both" : text.substr(0, colon);
    const std::string value = colon == std::string::npos ? text : text.substr(colon + 1);
    std::array<bool, 2> selected = {};
    std::string failure = read_directions(direction, selected);
    for (size_t i = 0; i < 2 && failure.empty(); ++i) {
        // Lists add up: --drop to-module:3 --drop 7 drops 3 and 7 towards the module.
        if (selected[i]) failure = read_fault_value(parameter, value, faults[i]);
    }
    return failure;
}

// "ADDR:PORT" with a dotted IPv4 address; the port may be 0 only where `any_port`.
std::string read_endpoint(const std::string& text, bool any_port, Endpoint& endpoint) {
    std::optional<Endpoint> parsed;
    if (text.find(':') != std::string::npos) {
        parsed = Endpoint::parse_with_port(text, 0, any_port ? 0 : 1);
    }
    if (!parsed) {
        return "\"" + text + "\" is not ADDR:PORT with an IPv4 address and a port from " +
               (any_port ? "0" : "1") + " to 65535";
    }
    endpoint = *parsed;
    return "";
}

// A validator that runs `check` on each value and fails with its message.
template <typename Check>
CLI::Validator checked(const char* name, Check check) {
    return CLI::Validator([check](std::string& value) { return check(value); }, "", name);
}

}  // namespace

void add_relay_options(CLI::App& app, RelayOptions& options) {
    options.seed = (uint64_t{std::random_device{}()} << 32) | std::random_device{}();
    app.add_option("--listen", options.listen,
                   "the front ADDR:PORT that hosts send to (port 0: any free port)")
        ->type_name("ADDR:PORT")
        ->check(checked("listen", [](const std::string& value) {
            Endpoint endpoint;
            return read_endpoint(value, true, endpoint);
        }));
    app.add_option("--module", options.module, "the module's ADDR:PORT")
        ->type_name("ADDR:PORT")
        ->check(checked("module", [](const std::string& value) {
            Endpoint endpoint;
            return read_endpoint(value, false, endpoint);
        }));
    app.add_option("--seed", options.seed,
                   "seed of the random faults (default: drawn at start, and logged)")
        ->type_name("N")
        ->check(checked("seed", [](const std::string& value) -> std::string {
            uint64_t seed = 0;
            if (read_whole(value, seed)) return "";
            return "\"" + value + "\" is not a whole number from 0 to 18446744073709551615";
        }));
    app.add_option("--stats", options.stats,
                   "write the counters and the settings to this JSON file every second and at "
                   "exit")
        ->type_name("FILE");
    app.add_option("--control-socket", options.control_socket,
                   "serve requests (JSON, one a line) that change the faults at run time, hold "
                   "acknowledges, list the faults in force and read the counters on a UNIX "
                   "stream socket at this path")
        ->type_name("PATH");
    app.add_flag("--list-faults", options.list_faults,
                 "print every fault the relay knows, with its parameters, units and bounds, as "
                 "JSON, and end");
    app.add_option("--decisions", options.decisions,
                   "write one line for each datagram a fault touched (direction, number, what "
                   "was done), without times, so that two runs can be compared")
        ->type_name("FILE");
    for (size_t i = 0; i < kFaultOptionCount; ++i) {
        const FaultParameter& parameter = kFaultParameters[i];
        const std::string name = std::string("--") + parameter.name;
        app.add_option(name, options.faults[i], parameter.description)
            ->type_name(std::string("[DIR:]") + parameter.value_name)
            ->expected(1)
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
            ->check(checked(parameter.name, [&parameter](const std::string& value) {
                std::array<FaultSettings, 2> scratch;
                return apply_fault(parameter, value, scratch);
            }));
    }
    app.footer(
        "DIR is to-module (host to module), from-module (module to host) or both, the default. "
        "Each fault option may be given again for the other direction; the last value wins, "
        "but --drop lists add up.\n"
        "Each direction numbers its datagrams 1, 2, 3, ... as they arrive, and decides for "
        "each, in this order: too big for --mtu, drop (by number), loss, corruption, "
        "duplication, reordering, delay; then --bandwidth queues it. Each draw depends only on "
        "the seed, the direction, the datagram's number and which draw it is: the same seed "
        "and the same datagrams give the same decisions, whatever the timing and whatever the "
        "control socket switched in between.\n"
        "SIGUSR1 prints the counters; SIGINT or SIGTERM prints the counters and ends the "
        "relay.");
}

std::optional<RelaySettings> relay_settings(const RelayOptions& options, std::string& error) {
    RelaySettings settings;
    settings.seed = options.seed;
    settings.stats_path = options.stats;
    settings.control_socket_path = options.control_socket;
    settings.decisions_path = options.decisions;
    for (const auto& [given, name] :
         {std::pair{&options.listen, "--listen"}, std::pair{&options.module, "--module"}}) {
        if (given->empty() && error.empty()) error = std::string(name) + " is required";
    }
    if (error.empty()) error = read_endpoint(options.listen, true, settings.listen);
    if (error.empty()) error = read_endpoint(options.module, false, settings.module);
    for (size_t i = 0; i < kFaultOptionCount && error.empty(); ++i) {
        for (const std::string& value : options.faults[i]) {
            error = apply_fault(kFaultParameters[i], value, settings.faults);
            if (!error.empty()) {
                error.insert(0, std::string("--") + kFaultParameters[i].name + ": ");
                break;
            }
        }
    }
    for (const FaultSettings& faults : settings.faults) {
        if (error.empty()) error = faults.conflict();
    }
    if (!error.empty()) return std::nullopt;
    return settings;
}
