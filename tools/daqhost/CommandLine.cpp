#include "daqhost/CommandLine.h"

#include <CLI/CLI.hpp>
#include <iostream>

std::optional<ModuleClient::Settings> ModuleOptions::settings() const {
    const std::optional<Endpoint> module = Endpoint::parse(address, port);
    if (!module) {
        report_error("\"" + address + "\" is not an IPv4 address");
        return std::nullopt;
    }
    ModuleClient::Settings settings;
    settings.module = *module;
    settings.timeout_s = timeout_s;
    settings.retries = retries;
    return settings;
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

void report_unacknowledged(const ModuleClient& client, unsigned code,
                           const RequestOutcome& outcome) {
    if (outcome.status == RequestOutcome::kSendFailed) {
        report_error(client.error());
        return;
    }
    report_error("no acknowledge of " + std::string(command_name(code)) + " from " +
                 client.module().text() + " after " + std::to_string(outcome.attempts) +
                 " attempt(s) of " + CLI::detail::to_string(client.settings().timeout_s) + " s");
}
