#include "ModuleOptions.h"

#include <CLI/CLI.hpp>

namespace daq {

void ModuleOptions::add_to(CLI::App& command) {
    command.add_option("ADDR", address, "the module's IPv4 address")->capture_default_str();
    command.add_option("--port", port, "the module's UDP port")->capture_default_str();
    command.add_option("--timeout", timeout_s, "seconds to wait for each acknowledge")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    command.add_option("--retries", retries, "further attempts when none comes")
        ->capture_default_str()
        ->check(CLI::Range(0, 100));
}

ModuleClient::Settings ModuleOptions::settings_for(const Endpoint& module) const {
    ModuleClient::Settings settings;
    settings.module = module;
    settings.timeout_s = timeout_s;
    settings.retries = retries;
    return settings;
}

std::optional<ModuleClient::Settings> ModuleOptions::settings(std::string& error) const {
    const std::optional<Endpoint> module = Endpoint::parse(address, port);
    if (!module) {
        error = "\"" + address + "\" is not an IPv4 address";
        return std::nullopt;
    }
    return settings_for(*module);
}

void ModuleListOptions::add_to(CLI::App& command) {
    command
        .add_option("--module", modules,
                    "one more module, by IPv4 address (and port), with its own options after "
                    "it in the same word if any (\"ADDR --hybrids 1,2\"); repeat for more")
        ->type_name("ADDR[:PORT]")
        ->allow_extra_args(false);
    command
        .add_option("--modules", file,
                    "a file of modules, one a line: ADDR or ADDR:PORT, then its own options "
                    "if any (# comments)")
        ->type_name("FILE");
    command
        .add_option("--modules-dns", dns,
                    "every IPv4 address this name resolves to is a module (a scaled service, "
                    "tasks.NAME, a headless Service); a run looks it up again as it goes")
        ->type_name("NAME");
}

std::optional<std::vector<NamedModule>> ModuleListOptions::named(const ModuleOptions& options,
                                                                 bool address_given,
                                                                 std::string& error) const {
    ModuleList list(options.port);
    if (address_given || (modules.empty() && file.empty() && dns.empty())) {
        list.add(options.address);
    }
    for (const std::string& module : modules) list.add(module);
    if (!file.empty() && !list.add_file(file)) {
        error = list.error();
        return std::nullopt;
    }
    if (!dns.empty() && !list.add_dns(dns)) {
        error = "--modules-dns: " + list.error();
        return std::nullopt;
    }
    auto named = list.named();
    if (!named) error = list.error();
    return named;
}

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

}  // namespace daq
