#include "faultrelay/CommandLine.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <random>

using namespace daq;

namespace {

struct FaultOption {
    const char* name;
    // The setting it goes to; nothing for --drop, a list.
    const FaultQuantity* quantity;
    const char* description;
};

constexpr FaultOption kFaultOptions[kFaultOptionCount] = {
    {"--drop", nullptr, "drop exactly these packet numbers (counted from 1), e.g. 10,20,30"},
    {"--loss", &kLoss, "percentage lost at random (in bursts with --burst)"},
    {"--delay", &kDelay, "hold each datagram this many milliseconds"},
    {"--jitter", &kJitter,
     "add a uniform draw within +-this many milliseconds to the delay (never below 0)"},
    {"--duplicate", &kDuplicate, "percentage sent twice, the copy right after the original"},
    {"--reorder", &kReorder,
     "percentage held back and sent after the next datagram (at most 50 ms later)"},
    {"--corrupt", &kCorrupt, "percentage with one random bit of the payload flipped"},
    {"--burst", &kBurst,
     "mean length in datagrams of a burst of --loss, whose long-run share stays the same "
     "(1: each loss on its own)"},
};

const char* value_name(const FaultOption& option) {
    if (option.quantity == nullptr) return "[DIR:]LIST";
    switch (option.quantity->kind) {
        case FaultValue::kPercent:
            return "[DIR:]P";
        case FaultValue::kMilliseconds:
            return "[DIR:]MS";
        case FaultValue::kBurstLength:
            return "[DIR:]L";
    }
    return "";
}

template <typename Number>
bool read_whole(const std::string& text, Number& number) {
    const char* end = text.data() + text.size();
    const auto [at, failure] = std::from_chars(text.data(), end, number);
    return failure == std::errc() && at == end;
}

// "" when the text reads, otherwise what is wrong with it.
std::string read_packet_list(const std::string& text, std::vector<uint64_t>& numbers) {
    size_t begin = 0;
    for (;;) {
        const size_t comma = std::min(text.find(',', begin), text.size());
        const std::string item = text.substr(begin, comma - begin);
        uint64_t number = 0;
        if (!read_whole(item, number) || number == 0) {
            return "\"" + text + "\" is not a list of packet numbers from 1, like 10,20,30";
        }
        numbers.push_back(number);
        if (comma == text.size()) return "";
        begin = comma + 1;
    }
}

// Applies "[DIR:]VALUE" of one fault option to the settings of the directions it names;
// returns what is wrong with it, or "".
std::string apply_fault(const FaultOption& option, const std::string& text,
                        std::array<FaultSettings, 2>& faults) {
    const size_t colon = text.find(':');
    const std::string direction = colon == std::string::npos ? "both" : text.substr(0, colon);
    const std::string value = colon == std::string::npos ? text : text.substr(colon + 1);
    std::array<bool, 2> selected = {};
    std::string failure = read_directions(direction, selected);
    if (!failure.empty()) return failure;
    std::vector<uint64_t> numbers;
    double quantity = 0;
    failure = option.quantity == nullptr ? read_packet_list(value, numbers)
                                         : read_fault_value(option.quantity->kind, value, quantity);
    if (!failure.empty()) return failure;
    for (size_t i = 0; i < 2; ++i) {
        if (!selected[i]) continue;
        if (option.quantity != nullptr) {
            faults[i].*option.quantity->field = quantity;
            continue;
        }
        // Lists add up: --drop to-module:3 --drop 7 drops 3 and 7 towards the module.
        std::vector<uint64_t>& drop = faults[i].drop;
        drop.insert(drop.end(), numbers.begin(), numbers.end());
        std::sort(drop.begin(), drop.end());
        drop.erase(std::unique(drop.begin(), drop.end()), drop.end());
    }
    return "";
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
        ->required()
        ->check(checked("listen", [](const std::string& value) {
            Endpoint endpoint;
            return read_endpoint(value, true, endpoint);
        }));
    app.add_option("--module", options.module, "the module's ADDR:PORT")
        ->type_name("ADDR:PORT")
        ->required()
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
    app.add_option("--control", options.control,
                   "read faults to change at run time (\"loss DIR P [BURST]\", \"delay DIR MS\", "
                   "..., \"ack-delay MS [N]\") from this file at start and on each SIGHUP; a "
                   "file that does not exist changes none")
        ->type_name("FILE");
    app.add_option("--decisions", options.decisions,
                   "write one line for each datagram a fault touched (direction, number, what "
                   "was done), without times, so that two runs can be compared")
        ->type_name("FILE");
    for (size_t i = 0; i < kFaultOptionCount; ++i) {
        const FaultOption& option = kFaultOptions[i];
        app.add_option(option.name, options.faults[i], option.description)
            ->type_name(value_name(option))
            ->expected(1)
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
            ->check(checked(option.name, [&option](const std::string& value) {
                std::array<FaultSettings, 2> scratch;
                return apply_fault(option, value, scratch);
            }));
    }
    app.footer(
        "DIR is to-module (host to module), from-module (module to host) or both, the default. "
        "Each fault option may be given again for the other direction; the last value wins, "
        "but --drop lists add up.\n"
        "Each direction numbers its datagrams 1, 2, 3, ... as they arrive, and decides for "
        "each, in this order: drop (by number), loss, corruption, duplication, reordering, "
        "delay. Each draw depends only on the seed, the direction, the datagram's number and "
        "which draw it is: the same seed and the same datagrams give the same decisions, "
        "whatever the timing and whatever the control file switched in between.\n"
        "SIGUSR1 prints the counters; SIGHUP reads the control file again; SIGINT or SIGTERM "
        "prints the counters and ends the relay.");
}

std::optional<RelaySettings> relay_settings(const RelayOptions& options, std::string& error) {
    RelaySettings settings;
    settings.seed = options.seed;
    settings.stats_path = options.stats;
    settings.control_path = options.control;
    settings.decisions_path = options.decisions;
    error = read_endpoint(options.listen, true, settings.listen);
    if (error.empty()) error = read_endpoint(options.module, false, settings.module);
    for (size_t i = 0; i < kFaultOptionCount && error.empty(); ++i) {
        for (const std::string& value : options.faults[i]) {
            error = apply_fault(kFaultOptions[i], value, settings.faults);
            if (!error.empty()) {
                error.insert(0, std::string(kFaultOptions[i].name) + ": ");
                break;
            }
        }
    }
    if (!error.empty()) return std::nullopt;
    return settings;
}
