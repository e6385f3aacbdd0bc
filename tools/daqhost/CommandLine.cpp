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
    command.add_option("ADDR", options.address, "the module's IPv4 address")
        ->capture_default_str();
    command.add_option("--port", options.port, "the module's UDP port")->capture_default_str();
    command.add_option("--timeout", options.timeout_s, "seconds to wait for each acknowledge")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    command.add_option("--retries", options.retries, "further attempts when none comes")
        ->capture_default_str()
        ->check(CLI::Range(0, 100));
}

void report_error(const std::string& message) { std::cerr << "daqhost: " << message << std::endl; }
