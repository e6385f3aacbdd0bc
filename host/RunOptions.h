// The command-line grammar of a run: what `daqhost run` reads into RunSettings, and what the
// Python binding reads the same words by. The modules (ModuleOptions, ModuleListOptions, and
// each module's own options after its address), the hybrids (--hybrids, --hybrid
// H:KEY=VALUE,..., --chip-type, --chips, --mode, --nadj), the run's bounds and capture,
// --recover with its bounds, and the following of --modules-dns. The library's own (not
// installed); CLI11 is named here only by declaration.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ModuleOptions.h"
#include "daqhost/ModuleRecovery.h"
#include "daqhost/RunSession.h"

namespace CLI {
class App;
}

namespace daq {

class RunOptions {
  public:
    // How a module's hybrids are configured: the run's options, and a module's own, which
    // replace those of the run that they name.
    struct Hybrids {
        std::vector<unsigned> hybrids = {1};
        // --hybrid H:key=value,...: settings of one hybrid beside those for all.
        std::vector<std::string> hybrid_settings;
        unsigned chip_type = 1;
        unsigned chips = 2;
        unsigned mode = 1;
        unsigned nadj = 0;

        // --hybrids, --hybrid, --chip-type, --chips, --mode and --nadj.
        void add_to(CLI::App& command);
        // The hybrids these configure; nothing, with `error` set, for a bad --hybrid.
        std::optional<std::vector<HybridSettings>> settings(std::string& error) const;
    };

    ModuleOptions module;
    ModuleListOptions list;
    // Whether ADDR was given: then it is a module besides those of the list.
    bool address_given = false;
    Hybrids hybrids;
    uint64_t events = 0;
    double seconds = 0;
    std::string capture;
    bool recover = false;
    RecoverySettings recovery;
    double resolve_every_s = 1.0;
    size_t expect_modules = 0;

    // The modules, the hybrids, -n, -s and --capture.
    void add_to(CLI::App& command);
    // --recover with --silence and --give-up, --resolve-every and --expect-modules.
    void add_recovery_to(CLI::App& command);
    // What `command`, parsed, says beyond the values: whether ADDR was given.
    void parsed(const CLI::App& command);
    // The run's settings; nothing, with `error` set (the modules' own options named by where
    // they were given), when the modules or their options cannot be read.
    std::optional<RunSettings> settings(std::string& error) const;
    // The words of `options` read as a run's options, as `daqhost run` reads its own;
    // nothing, with `error` set, when they cannot be.
    static std::optional<RunSettings> read(const std::vector<std::string>& options,
                                           std::string& error);

  private:
    // A module's own settings: its options read over the run's.
    std::optional<ModuleRunSettings> module_settings(const NamedModule& named,
                                                     std::string& error) const;
};

}  // namespace daq
