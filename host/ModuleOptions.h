// The command-line options that name modules and how long to wait for them: ADDR (default
// 127.0.0.1), --port, --timeout and --retries, and for a command that drives many at once
// --module ADDR[:PORT] (repeated), --modules FILE and --modules-dns NAME. The library's own (not
// installed): daqhost and the Python binding read modules by this one grammar. CLI11 is named
// here only by declaration; a program that registers the options includes it.
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

namespace daq {

struct ModuleOptions {
    std::string address = "127.0.0.1";
    uint16_t port = ModuleClient::kModulePort;
    double timeout_s = 1.0;
    int retries = 2;

    // ADDR (positional), --port, --timeout and --retries.
    void add_to(CLI::App& command);
    // The client's settings; nothing, with `error` set, for an address that is not a dotted
    // IPv4 address.
    std::optional<ModuleClient::Settings> settings(std::string& error) const;
    // The client's settings for `module`.
    ModuleClient::Settings settings_for(const Endpoint& module) const;
};

// The modules of a command that drives many at once, besides ADDR: an entry of --module or of
// the file may carry the module's own options after its address, for the command to read.
struct ModuleListOptions {
    std::vector<std::string> modules;
    std::string file;
    std::string dns;

    // --module, --modules and --modules-dns.
    void add_to(CLI::App& command);
    // Every module named (a ModuleList): ADDR when it was given (or when nothing else is),
    // then the --module options, the file's lines and the name's addresses. Nothing, with
    // `error` set, when the list cannot be read.
    std::optional<std::vector<NamedModule>> named(const ModuleOptions& options, bool address_given,
                                                  std::string& error) const;
};

// --chip-type and --chips, as a stream configuration request carries them.
void add_chip_options(CLI::App& command, unsigned& chip_type, unsigned& chips);

}  // namespace daq
