// What the subcommands of daqhost share: the options that name a module and how long to wait
// for it, and the way errors are reported.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "daqhost/ModuleClient.h"

namespace CLI {
class App;
}

// Exit statuses: 0 success, 1 a failure (no acknowledge, an error code, a bad file), 2 a
// command line that could not be understood.
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

struct ModuleOptions {
    std::string address = "127.0.0.1";
    uint16_t port = ModuleClient::kModulePort;
    double timeout_s = 1.0;
    int retries = 2;

    // The client's settings; nothing (and an error reported) for an address that is not a
    // dotted IPv4 address.
    std::optional<ModuleClient::Settings> settings() const;
};

// ADDR (positional, default 127.0.0.1), --port, --timeout and --retries.
void add_module_options(CLI::App& command, ModuleOptions& options);

// --chip-type and --chips, as a stream configuration request carries them.
void add_chip_options(CLI::App& command, unsigned& chip_type, unsigned& chips);

// Reports a request that got no acknowledge: the socket's error, or how many attempts of how
// long went unanswered.
void report_unacknowledged(const ModuleClient& client, unsigned code,
                           const RequestOutcome& outcome);

// "daqhost: " + message on standard error.
void report_error(const std::string& message);
