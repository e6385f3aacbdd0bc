#include "CommandLine.h"

#include <CLI/CLI.hpp>
#include <atomic>
#include <csignal>
#include <iostream>

using namespace daq;

ModuleClient::Settings ModuleOptions::settings_for(const Endpoint& module) const {
    ModuleClient::Settings settings;
    settings.module = module;
    settings.timeout_s = timeout_s;
    settings.retries = retries;
    return settings;
}

std::optional<ModuleClient::Settings> ModuleOptions::settings() const {
    const std::optional<Endpoint> module = Endpoint::parse(address, port);
    if (!module) {
        report_error("\"" + address + "\" is not an IPv4 address");
        return std::nullopt;
    }
    return settings_for(*module);
}

void add_module_list_options(CLI::App& command, ModuleListOptions& list) {
    command
        .add_option("--module", list.modules,
                    "one more module, by IPv4 address (and port), with its own options after "
                    "it in the same word if any (\"ADDR --hybrids 1,2\"); repeat for more")
        ->type_name("ADDR[:PORT]")
        ->allow_extra_args(false);
    command
        .add_option("--modules", list.file,
                    "a file of modules, one a line: ADDR or ADDR:PORT, then its own options "
                    "if any (# comments)")
        ->type_name("FILE");
    command
        .add_option("--modules-dns", list.dns,
                    "every IPv4 address this name resolves to is a module (a scaled service, "
                    "tasks.NAME, a headless Service); a run looks it up again as it goes")
        ->type_name("NAME");
}

std::optional<std::vector<NamedModule>> named_modules(const ModuleOptions& options,
                                                      bool address_given,
                                                      const ModuleListOptions& list) {
    ModuleList modules(options.port);
    if (address_given || (list.modules.empty() && list.file.empty() && list.dns.empty())) {
        modules.add(options.address);
    }
    for (const std::string& module : list.modules) modules.add(module);
    if (!list.file.empty() && !modules.add_file(list.file)) {
        report_error(modules.error());
        return std::nullopt;
    }
    if (!list.dns.empty() && !modules.add_dns(list.dns)) {
        report_error("--modules-dns: " + modules.error());
        return std::nullopt;
    }
    auto named = modules.named();
    if (!named) report_error(modules.error());
    return named;
}

void add_module_options(CLI::App& command, ModuleOptions& options) {
    command.add_option("ADDR", options.address, "the module's IPv4 address")->capture_default_str();
    command.add_option("--port", options.port, "the module's UDP port")->capture_default_str();
    command.add_option("--timeout", options.timeout_s, "seconds to wait for each acknowledge")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    command.add_option("--retries", options.retries, "further attempts when none comes")
        ->capture_default_str()
        ->check(CLI::Range(0, 100));
}

void report_error(const std::string& message) { std::cerr << "daqhost: " << message << std::endl; }

void add_chip_options(CLI::App& command, unsigned& chip_type, unsigned& chips) {
    command
        .add_option("--chip-type", chip_type,
                    "chip type, module-wide: 1 gives 128 channels per chip, others 64")
        ->capture_default_str()
        ->check(CLI::Range(0, 15));
    command.add_option("--chips", chips, "chips per hybrid")
        ->capture_default_str()
        ->check(CLI::Range(0, 255));
}

namespace {

std::atomic<bool> interrupt_caught{false};

void on_interrupt(int) { interrupt_caught = true; }

}  // namespace

void catch_interrupts() {
    struct sigaction action = {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool interrupted() { return interrupt_caught; }
