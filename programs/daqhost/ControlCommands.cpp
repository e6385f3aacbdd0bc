#include <CLI/CLI.hpp>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "CommandLine.h"
#include "Commands.h"
#include "ModuleCommand.h"
#include "ModuleOptions.h"
#include "protocol/BasePacket.h"
#include "protocol/ModuleRequest.h"

using namespace daq;

namespace {

struct Request {
    ModuleOptions module;
    unsigned hybrid = 0;
    unsigned chip_type = 1;
    unsigned chips = 2;
    unsigned mode = 1;
    unsigned nadj = 0;
    unsigned value = 0;
    unsigned code = 0;
    unsigned word2 = 0;
    unsigned word3 = 0;
};

// Opens a client and makes it the module's host.
std::unique_ptr<ModuleCommand> discovered(const ModuleOptions& options, bool print) {
    std::string error;
    const auto settings = options.settings(error);
    if (!settings) {
        report_error(error);
        return nullptr;
    }
    auto command = std::make_unique<ModuleCommand>(*settings);
    if (!command->discover()) {
        report_error(command->error());
        return nullptr;
    }
    if (print) std::printf("%s\n", command->outcome_text().c_str());
    return command;
}

// Discovery, then the one request.
int send_one(const ModuleOptions& options, const ModuleRequest& request) {
    const auto command = discovered(options, false);
    if (!command) return kExitFailure;
    if (!command->send(request)) {
        report_error(command->error());
        return kExitFailure;
    }
    std::printf("%s\n", command->outcome_text().c_str());
    return command->outcome().ack.error == packet::kDone ? 0 : kExitFailure;
}

int discover(const ModuleOptions& options) {
    const auto command = discovered(options, true);
    if (!command) return kExitFailure;
    // The discovery acknowledge carries version 0.0.0; the module's own version bytes come
    // with the acknowledge of any request it handles, and code 6 does nothing.
    if (!command->send(ModuleRequest::no_action())) {
        report_error(command->error());
        return kExitFailure;
    }
    std::printf("%s: module version %s\n", command->client().module().text().c_str(),
                command->outcome().ack.version_text().c_str());
    return 0;
}

// A subcommand with the module's options that, when it runs, sends the request `make` builds
// from `r` and sets `status`.
CLI::App* request_command(CLI::App& app, const char* name, const char* description,
                          const std::shared_ptr<Request>& r, int& status,
                          std::function<ModuleRequest(const Request&)> make) {
    CLI::App* sub = app.add_subcommand(name, description);
    r->module.add_to(*sub);
    sub->callback([r, make = std::move(make), &status] { status = send_one(r->module, make(*r)); });
    return sub;
}

// A number option with its range; the caller makes it required or shows its default.
CLI::Option* number(CLI::App* sub, const char* name, unsigned& value, const char* description,
                    int high) {
    return sub->add_option(name, value, description)->check(CLI::Range(0, high));
}

// The logged-only settings: the hybrid byte in word 2 and the value in word 3.
struct Setting {
    const char* name;
    uint8_t code;
    const char* description;
};
constexpr Setting kSettings[] = {
    {"hold-delay", packet::kHoldDelay, "hold delay (code 2)"},
    {"bias", packet::kBias, "bias (code 3)"},
    {"mbias", packet::kMbias, "mbias (code 4)"},
    {"ctw", packet::kCoincidenceTimeWindow, "coincidence time window (code 5)"},
    {"config", packet::kConfig, "configuration (code 7)"},
    {"trigger-type", packet::kTriggerType, "trigger type (code 9)"},
};

}  // namespace

void add_control_commands(CLI::App& app, int& status) {
    {
        auto r = std::make_shared<Request>();
        CLI::App* sub =
            app.add_subcommand("discover", "make this host the module's host; print its version");
        r->module.add_to(*sub);
        sub->callback([r, &status] { status = discover(r->module); });
    }
    {
        auto r = std::make_shared<Request>();
        CLI::App* sub = request_command(
            app, "stream", "configure a hybrid's stream (code 1)", r, status, [](const Request& r) {
                return ModuleRequest::stream_configuration({r.hybrid, r.chip_type, r.chips});
            });
        number(sub, "--hybrid", r->hybrid, "hybrid id, 1 to 4", 255)->required();
        add_chip_options(*sub, r->chip_type, r->chips);
    }
    {
        auto r = std::make_shared<Request>();
        CLI::App* sub = request_command(
            app, "romode", "set a hybrid's readout mode (code 8)", r, status, [](const Request& r) {
                return ModuleRequest::readout_mode({r.hybrid, r.mode, r.nadj});
            });
        number(sub, "--hybrid", r->hybrid, "hybrid id, 1 to 4", 255)->required();
        number(sub, "--mode", r->mode, "1 all channels, 2 the hit, 4 the hit and neighbours", 15)
            ->required();
        number(sub, "--nadj", r->nadj, "neighbours on each side of the hit (mode 4)", 65535)
            ->capture_default_str();
    }
    {
        CLI::App* set = app.add_subcommand(
            "set", "send a front-end setting; the module logs it and acknowledges it");
        set->require_subcommand(1);
        for (const Setting& setting : kSettings) {
            auto r = std::make_shared<Request>();
            r->hybrid = packet::kAllHybrids;
            const uint8_t code = setting.code;
            CLI::App* sub = request_command(
                *set, setting.name, setting.description, r, status, [code](const Request& r) {
                    return ModuleRequest::setting(code, r.hybrid, static_cast<uint16_t>(r.value));
                });
            number(sub, "--value", r->value, "the value, word 3", 65535)->required();
            number(sub, "--hybrid", r->hybrid, "the hybrid byte of word 2", 255)
                ->capture_default_str();
        }
    }
    for (const bool start : {true, false}) {
        auto r = std::make_shared<Request>();
        r->hybrid = packet::kAllHybrids;
        CLI::App* sub = request_command(
            app, start ? "start" : "stop",
            start ? "start a run of the whole module (code 10)" : "stop the run (code 10)", r,
            status,
            [start](const Request& r) { return ModuleRequest::daq_command(r.hybrid, start); });
        number(sub, "--hybrid", r->hybrid,
               "a present hybrid, or 255; either way the whole module starts or stops", 255)
            ->capture_default_str();
    }
    {
        auto r = std::make_shared<Request>();
        CLI::App* sub = request_command(app, "request", "send any request code with words 2 and 3",
                                        r, status, [](const Request& r) {
                                            return ModuleRequest{static_cast<uint8_t>(r.code),
                                                                 static_cast<uint16_t>(r.word2),
                                                                 static_cast<uint16_t>(r.word3)};
                                        });
        number(sub, "--code", r->code, "the command code", 255)->required();
        number(sub, "--word2", r->word2, "word 2", 65535)->capture_default_str();
        number(sub, "--word3", r->word3, "word 3", 65535)->capture_default_str();
    }
}
