#include "ControlCommands.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <functional>
#include <memory>

#include "CommandLine.h"
#include "protocol/BasePacket.h"

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

void print_outcome(const ModuleClient& client, unsigned code, const RequestOutcome& outcome) {
    std::printf("%s: %s (code %u): error %u (%s), version %s\n", client.module().text().c_str(),
                command_name(code), code, outcome.ack.error, error_text(outcome.ack.error).c_str(),
                outcome.ack.version_text().c_str());
}

// Reports a request that got no acknowledge; true when it got one.
bool acknowledged(const ModuleClient& client, unsigned code, const RequestOutcome& outcome) {
    if (outcome.acknowledged()) return true;
    report_unacknowledged(client, code, outcome);
    return false;
}

// Opens a client and makes it the module's host.
std::unique_ptr<ModuleClient> discovered_client(const ModuleOptions& options, bool print) {
    const auto settings = options.settings();
    if (!settings) return nullptr;
    auto client = std::make_unique<ModuleClient>(*settings);
    if (!client->open()) {
        report_error(client->error());
        return nullptr;
    }
    const RequestOutcome outcome = client->discover();
    if (!acknowledged(*client, packet::kDiscovery, outcome)) return nullptr;
    if (print) print_outcome(*client, packet::kDiscovery, outcome);
    return client;
}

// Discovery, then the one request that `send` makes with the client.
int send_one(const Request& r, unsigned code,
             const std::function<RequestOutcome(ModuleClient&)>& send) {
    const auto client = discovered_client(r.module, false);
    if (!client) return kExitFailure;
    const RequestOutcome outcome = send(*client);
    if (!acknowledged(*client, code, outcome)) return kExitFailure;
    print_outcome(*client, code, outcome);
    return outcome.ack.error == packet::kDone ? 0 : kExitFailure;
}

int discover(const Request& r) {
    const auto client = discovered_client(r.module, true);
    if (!client) return kExitFailure;
    // The discovery acknowledge carries version 0.0.0; the module's own version bytes come
    // with the acknowledge of any request it handles, and code 6 does nothing.
    const RequestOutcome outcome = client->request(packet::kNoAction, 0, 0);
    if (!acknowledged(*client, packet::kNoAction, outcome)) return kExitFailure;
    std::printf("%s: module version %s\n", client->module().text().c_str(),
                outcome.ack.version_text().c_str());
    return 0;
}

CLI::App* command(CLI::App& app, const char* name, const char* description,
                  const std::shared_ptr<Request>& r) {
    CLI::App* sub = app.add_subcommand(name, description);
    add_module_options(*sub, r->module);
    return sub;
}

void add_hybrid(CLI::App* sub, Request& r, bool required) {
    CLI::Option* option =
        sub->add_option("--hybrid", r.hybrid, "hybrid id, 1 to 4")->check(CLI::Range(0, 255));
    if (required) option->required();
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
        command(app, "discover", "make this host the module's host; print its version", r)
            ->callback([r, &status] { status = discover(*r); });
    }
    {
        auto r = std::make_shared<Request>();
        CLI::App* sub = command(app, "stream", "configure a hybrid's stream (code 1)", r);
        add_hybrid(sub, *r, true);
        add_chip_options(*sub, r->chip_type, r->chips);
        sub->callback([r, &status] {
            status = send_one(*r, packet::kConfigureStream, [r](ModuleClient& client) {
                return client.configure_stream(r->hybrid, r->chip_type, r->chips);
            });
        });
    }
    {
        auto r = std::make_shared<Request>();
        CLI::App* sub = command(app, "romode", "set a hybrid's readout mode (code 8)", r);
        add_hybrid(sub, *r, true);
        sub->add_option("--mode", r->mode, "1 all channels, 2 the hit, 4 the hit and neighbours")
            ->required()
            ->check(CLI::Range(0, 15));
        sub->add_option("--nadj", r->nadj, "neighbours on each side of the hit (mode 4)")
            ->capture_default_str()
            ->check(CLI::Range(0, 65535));
        sub->callback([r, &status] {
            status = send_one(*r, packet::kReadoutMode, [r](ModuleClient& client) {
                return client.set_readout_mode(r->hybrid, r->mode, r->nadj);
            });
        });
    }
    {
        CLI::App* set = app.add_subcommand(
            "set", "send a front-end setting; the module logs it and acknowledges it");
        set->require_subcommand(1);
        for (const Setting& setting : kSettings) {
            auto r = std::make_shared<Request>();
            r->hybrid = packet::kAllHybrids;
            CLI::App* sub = command(*set, setting.name, setting.description, r);
            sub->add_option("--value", r->value, "the value, word 3")
                ->required()
                ->check(CLI::Range(0, 65535));
            sub->add_option("--hybrid", r->hybrid, "the hybrid byte of word 2")
                ->capture_default_str()
                ->check(CLI::Range(0, 255));
            const uint8_t code = setting.code;
            sub->callback([r, code, &status] {
                status = send_one(*r, code, [r, code](ModuleClient& client) {
                    return client.request(code, static_cast<uint16_t>((r->hybrid & 0xFF) << 8),
                                          static_cast<uint16_t>(r->value));
                });
            });
        }
    }
    for (const bool start : {true, false}) {
        auto r = std::make_shared<Request>();
        r->hybrid = packet::kAllHybrids;
        CLI::App* sub = command(
            app, start ? "start" : "stop",
            start ? "start a run of the whole module (code 10)" : "stop the run (code 10)", r);
        sub->add_option("--hybrid", r->hybrid,
                        "a present hybrid, or 255; either way the whole module starts or stops")
            ->capture_default_str()
            ->check(CLI::Range(0, 255));
        sub->callback([r, start, &status] {
            status = send_one(*r, packet::kDaqCommand, [r, start](ModuleClient& client) {
                return client.daq_command(r->hybrid, start);
            });
        });
    }
    {
        auto r = std::make_shared<Request>();
        CLI::App* sub = command(app, "request", "send any request code with words 2 and 3", r);
        sub->add_option("--code", r->code, "the command code")
            ->required()
            ->check(CLI::Range(0, 255));
        sub->add_option("--word2", r->word2, "word 2")
            ->capture_default_str()
            ->check(CLI::Range(0, 65535));
        sub->add_option("--word3", r->word3, "word 3")
            ->capture_default_str()
            ->check(CLI::Range(0, 65535));
        sub->callback([r, &status] {
            status = send_one(*r, r->code, [r](ModuleClient& client) {
                return client.request(static_cast<uint8_t>(r->code),
                                      static_cast<uint16_t>(r->word2),
                                      static_cast<uint16_t>(r->word3));
            });
        });
    }
}
