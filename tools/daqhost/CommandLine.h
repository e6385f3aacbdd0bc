// What the subcommands of daqhost share: the options that name a module and how long to wait
// for it, and the way errors are reported.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "daqhost/ModuleClient.h"
#include "daqhost/ModuleList.h"

namespace CLI {
class App;
}

// Exit statuses: 0 success, 1 a failure (no acknowledge, an error code, a bad file), 2 a
// command line that could not be understood.
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

struct ModuleOptions {
    std::string address = "127.0.0.1";
    uint16_t port = daq::ModuleClient::kModulePort;
    double timeout_s = 1.0;
    int retries = 2;

    // The client's settings; nothing (and an error reported) for an address that is not a
    // dotted IPv4 address.
    std::optional<daq::ModuleClient::Settings> settings() const;
    // The client's settings for `module`.
    daq::ModuleClient::Settings settings_for(const daq::Endpoint& module) const;
};

// ADDR (positional, default 127.0.0.1), --port, --timeout and --retries.
void add_module_options(CLI::App& command, ModuleOptions& options);

// The modules of a command that drives many at once, besides ADDR: --module ADDR[:PORT]
// (repeated), --modules FILE (one module a line, "#" comments and blank lines ignored) and
// --modules-dns NAME (every IPv4 address the name resolves to). An entry of --module or of the
// file may carry the module's own options after its address, for the command to read.
struct ModuleListOptions {
    std::vector<std::string> modules;
    std::string file;
    std::string dns;
};

// --module, --modules and --modules-dns.
void add_module_list_options(CLI::App& command, ModuleListOptions& list);

// Every module named (a daq::ModuleList): ADDR when it was given (or when nothing else is),
// then the --module options, the file's lines and the name's addresses. Nothing, and the error
// reported, when the list cannot be read.
std::optional<std::vector<daq::NamedModule>> named_modules(const ModuleOptions& options,
                                                           bool address_given,
                                                           const ModuleListOptions& list);

// --chip-type and --chips, as a stream configuration request carries them.
void add_chip_options(CLI::App& command, unsigned& chip_type, unsigned& chips);

// "daqhost: " + message on standard error.
void report_error(const std::string& message);

// Ctrl-C and SIGTERM from now on only set a flag, which interrupted() reads, so that a
// command ends as it would have ended anyway (a run stopped, a capture closed, a summary
// printed). No SA_RESTART: a wait returns at once.
void catch_interrupts();
bool interrupted();
