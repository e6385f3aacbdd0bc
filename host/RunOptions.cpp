#include "RunOptions.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <sstream>

namespace daq {

namespace {

bool parse_number(const std::string& text, unsigned low, unsigned high, unsigned& value) {
    if (text.empty() || text.size() > 5 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const unsigned long n = std::stoul(text);
    if (n < low || n > high) return false;
    value = static_cast<unsigned>(n);
    return true;
}

// "H:mode=M,nadj=N,chips=C" (any of the three, in any order) sets hybrid H, which is added
// to the hybrids of the run if --hybrids did not name it; the rest take the options for all.
// Empty, or why the text is wrong.
std::string apply_hybrid_settings(const std::string& text, const RunOptions::Hybrids& options,
                                  std::vector<HybridSettings>& hybrids) {
    const auto bad = [&text](const std::string& why) { return "--hybrid " + text + ": " + why; };
    const size_t colon = text.find(':');
    unsigned id = 0;
    if (colon == std::string::npos || !parse_number(text.substr(0, colon), 1, 4, id)) {
        return bad("expected a hybrid 1 to 4, a colon and settings, e.g. 1:mode=4,nadj=2");
    }
    auto it = std::find_if(hybrids.begin(), hybrids.end(),
                           [id](const HybridSettings& h) { return h.hybrid == id; });
    if (it == hybrids.end()) {
        hybrids.push_back({id, options.chips, options.mode, options.nadj});
        it = hybrids.end() - 1;
    }
    std::stringstream fields(text.substr(colon + 1));
    std::string field;
    while (std::getline(fields, field, ',')) {
        const size_t equals = field.find('=');
        const std::string key = field.substr(0, equals);
        const std::string value = equals == std::string::npos ? "" : field.substr(equals + 1);
        const bool ok = key == "mode"    ? parse_number(value, 0, 15, it->mode)
                        : key == "nadj"  ? parse_number(value, 0, 65535, it->nadj)
                        : key == "chips" ? parse_number(value, 0, 255, it->chips)
                                         : false;
        if (!ok) return bad("\"" + field + "\" is not mode=0..15, nadj=0..65535 or chips=0..255");
    }
    return "";
}

}  // namespace

void RunOptions::Hybrids::add_to(CLI::App& command) {
    command.add_option("--hybrids", hybrids, "hybrids to configure, e.g. 1,2")
        ->delimiter(',')
        ->capture_default_str()
        ->check(CLI::Range(1, 4));
    command
        .add_option("--hybrid", hybrid_settings,
                    "one hybrid's own settings, e.g. 1:mode=4,nadj=2,chips=3 (repeat it)")
        ->type_name("H:KEY=VALUE,...");
    add_chip_options(command, chip_type, chips);
    command
        .add_option("--mode", mode,
                    "readout mode: 1 all channels, 2 the hit, 4 the hit and neighbours")
        ->capture_default_str()
        ->check(CLI::Range(0, 15));
    command.add_option("--nadj", nadj, "neighbours on each side of the hit (mode 4)")
        ->capture_default_str()
        ->check(CLI::Range(0, 65535));
}

std::optional<std::vector<HybridSettings>> RunOptions::Hybrids::settings(std::string& error) const {
    std::vector<HybridSettings> configured;
    for (unsigned hybrid : hybrids) configured.push_back({hybrid, chips, mode, nadj});
    for (const std::string& text : hybrid_settings) {
        error = apply_hybrid_settings(text, *this, configured);
        if (!error.empty()) return std::nullopt;
    }
    return configured;
}

void RunOptions::add_to(CLI::App& command) {
    module.add_to(command);
    list.add_to(command);
    hybrids.add_to(command);
    command.add_option("-n,--events", events,
                       "stop when every module has this many events (triggers)");
    command.add_option("-s,--seconds", seconds, "stop after this many seconds")
        ->check(CLI::NonNegativeNumber);
    command.add_option("--capture,-o,--out", capture, "record the session in this pcap file");
}

void RunOptions::add_recovery_to(CLI::App& command) {
    CLI::Option* recover_flag = command.add_flag(
        "--recover", recover,
        "rediscover, configure and start again a module that falls silent, and go on");
    command
        .add_option("--silence,--recover-after", recovery.silence_s,
                    "with --recover: seconds without data that make a module silent (at least "
                    "ten of its trigger periods)")
        ->capture_default_str()
        ->check(CLI::PositiveNumber)
        ->needs(recover_flag);
    command
        .add_option("--give-up,--give-up-after", recovery.give_up_s,
                    "with --recover: seconds of silence after which a module is left out")
        ->capture_default_str()
        ->check(CLI::PositiveNumber)
        ->needs(recover_flag);
    command
        .add_option("--resolve-every", resolve_every_s,
                    "with --modules-dns: look the name up again every S seconds during the run "
                    "(0: only at the start); a new address is a module that joins, one gone a "
                    "module that left")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber)
        ->type_name("S");
    command
        .add_option("--expect-modules", expect_modules,
                    "with --modules-dns: the run succeeds when this many modules run at its end "
                    "(default: as many as the name had at the start)")
        ->type_name("N");
}

void RunOptions::parsed(const CLI::App& command) { address_given = command.count("ADDR") > 0; }

std::optional<ModuleRunSettings> RunOptions::module_settings(const NamedModule& named,
                                                             std::string& error) const {
    if (named.options.empty()) return ModuleRunSettings{};
    const std::string where = named.where.empty() ? named.module.text() : named.where;
    Hybrids own = hybrids;
    CLI::App parser;
    parser.set_help_flag();
    parser.allow_extras();
    own.add_to(parser);
    // The parser takes the words last first.
    std::vector<std::string> words(named.options.rbegin(), named.options.rend());
    try {
        parser.parse(words);
    } catch (const CLI::ParseError& e) {
        error = where + ": " + e.what();
        return std::nullopt;
    }
    if (!parser.remaining().empty()) {
        std::string extra;
        for (const std::string& word : parser.remaining())
            extra += (extra.empty() ? "" : " ") + word;
        error = where + ": \"" + extra +
                "\" is not a module's option (--hybrids, --hybrid, --chip-type, --chips, "
                "--mode, --nadj)";
        return std::nullopt;
    }
    std::optional<std::vector<HybridSettings>> configured = own.settings(error);
    if (!configured) {
        error = where + ": " + error;
        return std::nullopt;
    }
    return ModuleRunSettings{std::move(configured), own.chip_type};
}

std::optional<RunSettings> RunOptions::settings(std::string& error) const {
    const auto modules = list.named(module, address_given, error);
    if (!modules) return std::nullopt;
    RunSettings settings;
    std::optional<std::vector<HybridSettings>> configured = hybrids.settings(error);
    if (!configured) return std::nullopt;
    settings.hybrids = std::move(*configured);
    settings.chip_type = hybrids.chip_type;
    for (const NamedModule& named : *modules) {
        settings.modules.push_back(module.settings_for(named.module));
        std::optional<ModuleRunSettings> own = module_settings(named, error);
        if (!own) return std::nullopt;
        settings.per_module.push_back(std::move(*own));
    }
    settings.events = events;
    settings.seconds = seconds;
    settings.capture = capture;
    if (recover) settings.recover = recovery;
    if (!list.dns.empty() && resolve_every_s > 0) {
        FollowSettings follow;
        follow.names = {list.dns};
        follow.every_s = resolve_every_s;
        follow.common = module.settings_for(Endpoint{0, module.port});
        settings.follow = follow;
        settings.expect_modules = expect_modules;
    }
    return settings;
}

std::optional<RunSettings> RunOptions::read(const std::vector<std::string>& options,
                                            std::string& error) {
    RunOptions run;
    CLI::App parser;
    parser.set_help_flag();
    run.add_to(parser);
    run.add_recovery_to(parser);
    // The parser takes the words last first.
    std::vector<std::string> words(options.rbegin(), options.rend());
    try {
        parser.parse(words);
    } catch (const CLI::ParseError& e) {
        error = e.what();
        return std::nullopt;
    }
    run.parsed(parser);
    return run.settings(error);
}

}  // namespace daq
