#include "CommandLine.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <csignal>
#include <fstream>
#include <iostream>

using namespace daq;

namespace {

ModuleClient::Settings client_settings(const ModuleOptions& options, const Endpoint& module) {
    ModuleClient::Settings settings;
    settings.module = module;
    settings.timeout_s = options.timeout_s;
    settings.retries = options.retries;
    return settings;
}

std::string not_an_address(const std::string& text) {
    return "\"" + text + "\" is not an IPv4 address";
}

// The text of one line of a module list: without its comment and the blanks around it.
std::string list_entry(const std::string& line) {
    const std::string text = line.substr(0, line.find('#'));
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

}  // namespace

std::optional<ModuleClient::Settings> ModuleOptions::settings() const {
    const std::optional<Endpoint> module = Endpoint::parse(address, port);
    if (!module) {
        report_error(not_an_address(address));
        return std::nullopt;
    }
    return client_settings(*this, *module);
}

void add_module_list_options(CLI::App& command, ModuleListOptions& list) {
    command
        .add_option("--module", list.modules,
                    "one more module, by IPv4 address (and port); repeat for more modules")
        ->type_name("ADDR[:PORT]")
        ->allow_extra_args(false);
    command
        .add_option("--modules", list.file,
                    "a file of module addresses, ADDR or ADDR:PORT a line (# comments)")
        ->type_name("FILE");
    command
        .add_option("--modules-dns", list.dns,
                    "every IPv4 address this name resolves to is a module (a scaled service, "
                    "tasks.NAME, a headless Service)")
        ->type_name("NAME");
}

std::optional<std::vector<ModuleClient::Settings>> module_list_settings(
    const ModuleOptions& options, bool address_given, const ModuleListOptions& list) {
    // Each entry with where it came from, for the error message.
    std::vector<std::pair<std::string, std::string>> entries;
    if (address_given || (list.modules.empty() && list.file.empty() && list.dns.empty())) {
        entries.emplace_back(options.address, "");
    }
    for (const std::string& module : list.modules) entries.emplace_back(module, "");
    if (!list.file.empty()) {
        std::ifstream file(list.file);
        if (!file) {
            report_error("cannot read the module list " + list.file);
            return std::nullopt;
        }
        int number = 0;
        for (std::string line; std::getline(file, line);) {
            ++number;
            std::string entry = list_entry(line);
            if (!entry.empty()) {
                entries.emplace_back(std::move(entry), list.file + ":" + std::to_string(number));
            }
        }
        if (file.bad()) {
            report_error("cannot read the module list " + list.file);
            return std::nullopt;
        }
    }
    if (!list.dns.empty()) {
        std::string error;
        const std::vector<Endpoint> resolved = Endpoint::resolve(list.dns, options.port, error);
        if (resolved.empty()) {
            report_error("--modules-dns: " + error);
            return std::nullopt;
        }
        for (const Endpoint& e : resolved)
            entries.emplace_back(e.text(), "--modules-dns " + list.dns);
    }
    std::vector<ModuleClient::Settings> modules;
    for (const auto& [text, where] : entries) {
        const std::optional<Endpoint> module = Endpoint::parse_with_port(text, options.port);
        if (!module) {
            report_error((where.empty() ? "" : where + ": ") + not_an_address(text));
            return std::nullopt;
        }
        const bool named_before =
            std::any_of(modules.begin(), modules.end(),
                        [&](const ModuleClient::Settings& s) { return s.module == *module; });
        if (!named_before) modules.push_back(client_settings(options, *module));
    }
    if (modules.empty()) {
        report_error("no module address in " + list.file);
        return std::nullopt;
    }
    return modules;
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
    report_error(client.unacknowledged_text(code, outcome));
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
