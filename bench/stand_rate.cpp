// stand_rate: a whole detector on one machine. The aggregate event rate of many modules at once
// on the test stand, against the rate asked of them and against one module alone measured in the
// same round, with the processor time the modules took, printed as one Markdown table.
//
//   stand_rate [--quick] [--modules LIST] [--wide N] [--seconds S] [--rounds R]
//              [--compose IMAGE] [--crates]
//
//   --modules  stand sizes, e.g. 16,32 (the default), each 2 to 64
//   --wide     the size of the widest stand, at 500 Hz (default 64)
//   --compose  also every size of LIST at 1000 Hz on Compose, with this module image
//   --seconds  length of each run (default 5)
//   --rounds   rounds; each row shows its median round (default 3)
//   --crates   also crates (testCrate: every module of the stand in one process): 64 modules at
//              1000 Hz, 128 at 500 Hz and at 1000 Hz, and 64 at 1000 Hz on the common trigger
//              (with --quick: 4 at 1000 Hz, 8 at 500 Hz, 4 on the common trigger)
//   --quick    --modules 4 --wide 8 --seconds 1 --rounds 1: only proves that it works
//
// Each round brings up one stand after another and takes one run on each, with one daqhost in
// the host namespace driving all its modules:
//   - every size of LIST at 100 Hz and at 1000 Hz, one hybrid per module (-m 1);
//   - the first size of LIST at 1000 Hz with four hybrids per module (-m 1111);
//   - the first size of LIST at the highest rate (-r 1000000), one hybrid per module;
//   - N modules at 500 Hz, one hybrid (--wide);
//   - one module alone at 500 Hz, 1000 Hz and at the highest rate, one hybrid: what a module of
//     a stand delivers is divided by what one alone does ("per module ÷ one alone");
//   - with --compose, every size of LIST at 1000 Hz, one hybrid, as containers of
//     packaging/containers/compose.yaml, driven by daqhost in the file's host container, which
//     finds them by the service's name;
//   - with --crates, the crates above, one hybrid per module. Their processor time is also given
//     per trigger and module, beside the one module alone at the highest rate's. The common
//     trigger's run is captured, and for every event number that all its modules sent, the
//     spread of the capture times of the module's packets is taken: the largest is printed.
// The rate a module delivers is its trigger rate, the one its data packets' time stamps give;
// the aggregate is the sum over the modules, and "delivered ÷ asked" divides it by modules ×
// rate. The processor time is that of all the modules' testModule processes together from just
// before to just after the daqhost run, per second of wall time between the two readings (2.00
// is two cores kept busy). The median round is the one of the median aggregate rate. Needs
// root (the stand makes network namespaces).
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "Report.h"
#include "daqhost/CaptureReader.h"
#include "protocol/DataPacketView.h"
#include "testing/EmulatorProcess.h"

namespace {

using json = nlohmann::json;

constexpr long kHighest = 1000000;

void progress(const std::string& text) { std::cerr << "[stand_rate] " << text << std::endl; }

// One row of the table: a stand of `modules` modules at `rate`, each with `hybrids` hybrids.
struct Layout {
    long rate;
    int modules;
    int hybrids;
    bool compose = false;
    bool crate = false;
    bool common_trigger = false;
};

std::string describe(const Layout& layout) {
    return std::to_string(layout.modules) + " module(s) at " + std::to_string(layout.rate) +
           " Hz, " + std::to_string(layout.hybrids) + " hybrid(s) each" +
           (layout.compose ? ", on Compose" : "") + (layout.crate ? ", in one crate" : "") +
           (layout.common_trigger ? " on the common trigger" : "");
}

struct Outcome {
    double rate = 0;  // events per second, all modules together
    double missing = 0;
    double packets = 0;
    std::optional<double> busy;  // the modules' processor seconds per wall second
    // On the common trigger: the largest spread of one event number's capture times over the
    // modules, in seconds, and the event numbers compared.
    std::optional<double> spread;
    double spread_median = 0;
    double spread_p99 = 0;
    size_t compared = 0;
    bool ok = false;
};

void add_summary(const std::string& text, Outcome& outcome);
void add_spread(const std::string& capture, int modules, Outcome& outcome);

// Runs `env` with the arguments (variables, then the command); its standard output, empty on a
// failure, which is reported as the `what` that failed.
std::string output_of(const std::vector<std::string>& args, const std::string& what,
                      double timeout_s) {
    EmulatorProcess program(args, "/usr/bin/env");
    if (!program.start()) return "";
    const int status = program.wait_exit(timeout_s);
    if (status != 0) {
        progress(what + " failed (" + std::to_string(status) + "): " + program.stderr_text());
        return "";
    }
    return program.stdout_text();
}

// Runs the stand's script with the given words; its standard output, empty on a failure.
std::string stand(const std::string& name, const std::vector<std::string>& words,
                  double timeout_s = 120) {
    std::vector<std::string> args = {"TESTMODULE=" + std::string(TESTMODULE_PATH), TESTSTAND_PATH,
                                     "--name", name};
    args.insert(args.end(), words.begin(), words.end());
    return output_of(args, "teststand " + words.front(), timeout_s);
}

// The PID of each module's process that the stand wrote into its state folder (testModule's, or
// its crate's), which the script, started with this program's environment, takes from
// TESTSTAND_STATE (default /run/teststand).
std::vector<pid_t> module_pids(const std::string& name, int modules) {
    const char* root = std::getenv("TESTSTAND_STATE");
    const std::string folder = std::string(root ? root : "/run/teststand") + "/" + name;
    std::vector<pid_t> pids;
    for (int m = 1; m <= modules; ++m) {
        std::ifstream file(folder + "/module-" + std::to_string(m) + ".pid");
        pid_t pid = 0;
        if (file >> pid) pids.push_back(pid);
    }
    // The modules of a crate are its process: one PID for all of them.
    for (int crate = 1; pids.empty() && crate <= modules; ++crate) {
        std::ifstream file(folder + "/crate-" + std::to_string(crate) + ".pid");
        pid_t pid = 0;
        if (!(file >> pid)) break;
        for (int m = 0; m < modules; ++m) pids.push_back(pid);
    }
    return pids;
}

// Processor seconds the processes have taken so far, all together (a crate's modules share one
// process, counted once); nothing when one of them cannot be read (it has ended).
std::optional<double> processor_seconds(std::vector<pid_t> pids) {
    std::sort(pids.begin(), pids.end());
    pids.erase(std::unique(pids.begin(), pids.end()), pids.end());
    double sum = 0;
    for (const pid_t pid : pids) {
        const std::optional<double> used = ::processor_seconds(pid);
        if (!used) return std::nullopt;
        sum += *used;
    }
    return sum;
}

Outcome measure(const Layout& layout, double seconds) {
    const std::string name = "sr" + std::to_string(getpid() % 100000);
    Outcome outcome;
    std::string hybrids = "1";
    for (int h = 2; h <= layout.hybrids; ++h) hybrids.append(",").append(std::to_string(h));
    std::vector<std::string> up = {"up",     std::to_string(layout.modules),
                                   "--rate", std::to_string(layout.rate),
                                   "--mask", std::string(layout.hybrids, '1')};
    if (layout.crate) up.emplace_back("--crate");
    if (layout.common_trigger) up.emplace_back("--common-trigger");
    if (stand(name, up).empty()) {
        stand(name, {"down"});
        return outcome;
    }
    const std::string addresses = stand(name, {"addresses"});
    std::vector<std::string> run = {"exec",      "--",    DAQHOST_PATH, "run",
                                    "--hybrids", hybrids, "--seconds",  std::to_string(seconds),
                                    "--json"};
    for (size_t at = 0, end; (end = addresses.find('\n', at)) != std::string::npos; at = end + 1) {
        run.insert(run.end(), {"--module", addresses.substr(at, end - at)});
    }
    const std::string capture = "/tmp/" + name + ".pcap";
    if (layout.common_trigger) run.insert(run.end(), {"--out", capture});
    const std::vector<pid_t> pids = module_pids(name, layout.modules);
    const auto started = std::chrono::steady_clock::now();
    const std::optional<double> used_before = processor_seconds(pids);
    const std::string text = stand(name, run, seconds + 120);
    const std::optional<double> used_after = processor_seconds(pids);
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - started;
    stand(name, {"down"});
    if (static_cast<int>(pids.size()) == layout.modules && used_before && used_after) {
        outcome.busy = (*used_after - *used_before) / wall.count();
    }
    add_summary(text, outcome);
    if (layout.common_trigger) {
        add_spread(capture, layout.modules, outcome);
        std::filesystem::remove(capture);
    }
    return outcome;
}

void add_spread(const std::string& capture, int modules, Outcome& outcome) {
    std::map<uint16_t, std::pair<int64_t, int64_t>> span;  // event: first and last time
    std::map<uint16_t, int> seen;                          // event: packets
    daq::CaptureReader reader;
    if (!reader.open(capture)) {
        progress("the capture does not read: " + reader.error());
        return;
    }
    for (daq::CaptureRecord record; reader.next(record);) {
        const daq::DataPacketView view(record.payload.data(), record.payload.size());
        if (!view.ok()) continue;
        const uint16_t event = view.word(3);
        auto [entry, fresh] = span.try_emplace(event, record.time_ns, record.time_ns);
        entry->second.first = std::min(entry->second.first, record.time_ns);
        entry->second.second = std::max(entry->second.second, record.time_ns);
        ++seen[event];
        (void)fresh;
    }
    // An event number comes round again after 65536 triggers; the runs here are far shorter.
    std::vector<double> spreads;
    for (const auto& [event, times] : span) {
        if (seen[event] == modules) {
            spreads.push_back(static_cast<double>(times.second - times.first) * 1e-9);
        }
    }
    if (spreads.empty()) return;
    std::sort(spreads.begin(), spreads.end());
    outcome.compared = spreads.size();
    outcome.spread = spreads.back();
    outcome.spread_median = spreads[spreads.size() / 2];
    outcome.spread_p99 = spreads[spreads.size() * 99 / 100];
}

// The figures of daqhost's JSON summary added to the outcome.
void add_summary(const std::string& text, Outcome& outcome) {
    const json summary = json::parse(text, nullptr, false);
    if (summary.is_discarded()) return;
    // One module gives the summary of one; several give one entry each.
    const json single = json::array({summary});
    for (const json& m : summary.contains("modules") ? summary["modules"] : single) {
        // The hybrids of a module share its triggers, so the module's event rate is the mean of
        // its hybrids' trigger rates (as in daqhost's own row per module), not their sum.
        double rates = 0;
        int rated = 0;
        for (const json& h : m["hybrids"]) {
            if (h["trigger_rate_hz"].is_number()) {
                rates += h["trigger_rate_hz"].get<double>();
                ++rated;
            }
            outcome.missing += h["missing"].get<double>();
            outcome.packets += h["packets"].get<double>();
        }
        if (rated > 0) outcome.rate += rates / rated;
    }
    outcome.ok = outcome.packets > 0;
}

// The Compose command: the plugin (docker compose) where there is one, else docker-compose.
std::vector<std::string> compose_command() {
    EmulatorProcess plugin({"compose", "version"}, "/usr/bin/docker");
    if (plugin.start() && plugin.wait_exit(30) == 0) return {"/usr/bin/docker", "compose"};
    return {"/usr/bin/docker-compose"};
}

// Runs Compose on the stand's file and project with the given words, the image, rate and mask
// in its environment; its standard output, empty on a failure.
std::string compose(const std::string& project, const std::string& image, const Layout& layout,
                    const std::vector<std::string>& words, double timeout_s = 180) {
    static const std::vector<std::string> command = compose_command();
    std::vector<std::string> args = {"DAQ_IMAGE=" + image,
                                     "DAQ_RATE=" + std::to_string(layout.rate),
                                     "DAQ_MASK=" + std::string(layout.hybrids, '1')};
    args.insert(args.end(), command.begin(), command.end());
    args.insert(args.end(), {"-f", COMPOSE_FILE_PATH, "-p", project});
    args.insert(args.end(), words.begin(), words.end());
    return output_of(args, "compose " + words.front(), timeout_s);
}

// The words' output of a docker command, one line per item; empty on a failure.
std::vector<std::string> docker_lines(const std::vector<std::string>& words) {
    EmulatorProcess program(words, "/usr/bin/docker");
    std::vector<std::string> lines;
    if (!program.start() || program.wait_exit(60) != 0) return lines;
    std::istringstream text(program.stdout_text());
    for (std::string line; std::getline(text, line);) {
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

// The project's module containers, by ID, once all of them report healthy (the health check
// has asked each for discovery before the run, not during it); empty after two minutes.
std::vector<std::string> healthy_modules(const std::string& project, int modules) {
    const std::vector<std::string> filter = {"--filter",
                                             "label=com.docker.compose.project=" + project,
                                             "--filter", "label=com.docker.compose.service=module"};
    for (int tries = 0; tries < 120; ++tries) {
        std::vector<std::string> words = {"ps", "--format", "{{.ID}} {{.Status}}"};
        words.insert(words.end(), filter.begin(), filter.end());
        const std::vector<std::string> lines = docker_lines(words);
        std::vector<std::string> ids;
        for (const std::string& line : lines) {
            if (line.find("(healthy)") != std::string::npos)
                ids.push_back(line.substr(0, line.find(' ')));
        }
        if (static_cast<int>(ids.size()) == modules) return ids;
        sleep(1);
    }
    return {};
}

Outcome measure_compose(const Layout& layout, double seconds, const std::string& image) {
    const std::string project = "sr" + std::to_string(getpid() % 100000);
    Outcome outcome;
    const std::vector<std::string> down = {"down", "--volumes", "--remove-orphans"};
    compose(project, image, layout,
            {"up", "-d", "--scale", "module=" + std::to_string(layout.modules)});
    const std::vector<std::string> ids = healthy_modules(project, layout.modules);
    if (ids.empty()) {
        progress("the modules did not all become healthy");
        compose(project, image, layout, down);
        return outcome;
    }
    std::vector<pid_t> pids;
    for (const std::string& id : ids) {
        const std::vector<std::string> pid =
            docker_lines({"inspect", "--format", "{{.State.Pid}}", id});
        if (!pid.empty()) pids.push_back(static_cast<pid_t>(std::atol(pid.front().c_str())));
    }
    std::string hybrids = "1";
    for (int h = 2; h <= layout.hybrids; ++h) hybrids.append(",").append(std::to_string(h));
    const auto started = std::chrono::steady_clock::now();
    const std::optional<double> used_before = processor_seconds(pids);
    const std::string text =
        compose(project, image, layout,
                {"exec", "-T", "host", "daqhost", "run", "--modules-dns", "module", "--hybrids",
                 hybrids, "--seconds", std::to_string(seconds), "--json"},
                seconds + 120);
    const std::optional<double> used_after = processor_seconds(pids);
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - started;
    compose(project, image, layout, down);
    if (static_cast<int>(pids.size()) == layout.modules && used_before && used_after) {
        outcome.busy = (*used_after - *used_before) / wall.count();
    }
    add_summary(text, outcome);
    return outcome;
}

// The round of the median aggregate rate (the upper one of an even count), so that a row's
// figures all come from one run.
Outcome median_round(std::vector<Outcome> rounds) {
    std::sort(rounds.begin(), rounds.end(),
              [](const Outcome& a, const Outcome& b) { return a.rate < b.rate; });
    return rounds.empty() ? Outcome{} : rounds[rounds.size() / 2];
}

std::optional<std::vector<int>> parse_sizes(const std::string& text) {
    std::vector<int> sizes;
    std::istringstream list(text);
    for (std::string item; std::getline(list, item, ',');) {
        const int size = std::atoi(item.c_str());
        if (size < 2 || size > 64) return std::nullopt;
        sizes.push_back(size);
    }
    if (sizes.empty()) return std::nullopt;
    return sizes;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<int> sizes = {16, 32};
    int wide = 64;
    double seconds = 5;
    int rounds = 3;
    std::string image;
    bool crates = false;
    bool quick = false;
    bool usable = true;
    for (int i = 1; i < argc && usable; ++i) {
        const std::string arg = argv[i];
        if (arg == "--crates") {
            crates = true;
        } else if (arg == "--quick") {
            quick = true;
            sizes = {4};
            wide = 8;
            seconds = 1;
            rounds = 1;
        } else if (arg == "--modules" && i + 1 < argc) {
            const auto given = parse_sizes(argv[++i]);
            usable = given.has_value();
            if (given) sizes = *given;
        } else if (arg == "--wide" && i + 1 < argc) {
            wide = std::atoi(argv[++i]);
            usable = wide >= 2 && wide <= 64;
        } else if (arg == "--seconds" && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else if (arg == "--rounds" && i + 1 < argc) {
            rounds = std::atoi(argv[++i]);
        } else if (arg == "--compose" && i + 1 < argc) {
            image = argv[++i];
        } else {
            usable = false;
        }
    }
    if (!usable || seconds <= 0 || rounds < 1) {
        std::cerr << "usage: stand_rate [--quick] [--modules LIST (e.g. 16,32; each 2 to 64)] "
                     "[--wide N (2 to 64)] [--seconds S] [--rounds R] [--compose IMAGE] [--crates]"
                  << std::endl;
        return 2;
    }
    if (geteuid() != 0) {
        std::cerr << "stand_rate: needs root (the stand makes network namespaces)" << std::endl;
        return 1;
    }
    // The stands' state and the logs that each down keeps go to a folder of this run's own,
    // removed at the end, unless TESTSTAND_STATE names one to keep.
    std::string state;
    if (std::getenv("TESTSTAND_STATE") == nullptr) {
        std::string pattern = "/tmp/stand_rate.XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr) {
            state = pattern;
            setenv("TESTSTAND_STATE", state.c_str(), 1);
        }
    }

    std::vector<Layout> layouts;
    layouts.reserve(3 * sizes.size() + 7);
    for (const int size : sizes) layouts.push_back({100, size, 1});
    layouts.push_back({500, 1, 1});
    layouts.push_back({500, wide, 1});
    layouts.push_back({1000, 1, 1});
    for (const int size : sizes) layouts.push_back({1000, size, 1});
    if (!image.empty()) {
        for (const int size : sizes) layouts.push_back({1000, size, 1, true});
    }
    layouts.push_back({1000, sizes.front(), 4});
    layouts.push_back({kHighest, 1, 1});
    layouts.push_back({kHighest, sizes.front(), 1});
    if (crates) {
        const int most = quick ? 8 : 128;
        const int many = quick ? 4 : 64;
        layouts.push_back({1000, many, 1, false, true});
        layouts.push_back({500, most, 1, false, true});
        if (!quick) layouts.push_back({1000, most, 1, false, true});
        layouts.push_back({1000, many, 1, false, true, true});
    }

    std::cout << "Machine: " << cpu_model() << "; load average before: " << load_average()
              << "\n\n";
    std::vector<std::vector<Outcome>> outcomes(layouts.size());
    bool ok = true;
    for (int r = 0; r < rounds; ++r) {
        for (size_t l = 0; l < layouts.size(); ++l) {
            progress("round " + std::to_string(r + 1) + ": " + describe(layouts[l]));
            outcomes[l].push_back(layouts[l].compose ? measure_compose(layouts[l], seconds, image)
                                                     : measure(layouts[l], seconds));
            ok = ok && outcomes[l].back().ok;
        }
    }

    std::cout << "| Rate asked per module | Modules | Hybrids each | Events/s, all together "
                 "| Asked, all together | Delivered ÷ asked | Per module ÷ one alone "
                 "| Missing events | Modules' processor s per s | Processor µs per trigger and "
                 "module |\n"
                 "|---|---|---|---|---|---|---|---|---|---|\n";
    std::vector<Outcome> rows;
    rows.reserve(outcomes.size());
    for (const std::vector<Outcome>& each : outcomes) rows.push_back(median_round(each));
    for (size_t l = 0; l < layouts.size(); ++l) {
        const Layout& layout = layouts[l];
        const Outcome& row = rows[l];
        const bool highest = layout.rate == kHighest;
        const double asked = static_cast<double>(layout.rate) * layout.modules;
        std::string alone = "-";
        for (size_t a = 0; a < layouts.size(); ++a) {
            if (layouts[a].modules == 1 && !layouts[a].compose && !layouts[a].crate &&
                layouts[a].hybrids == layout.hybrids && layouts[a].rate == layout.rate &&
                rows[a].rate > 0) {
                alone = fixed(row.rate / layout.modules / rows[a].rate, 3);
            }
        }
        const std::string where = layout.compose          ? " (Compose)"
                                  : layout.common_trigger ? " (crate, common trigger)"
                                  : layout.crate          ? " (crate)"
                                                          : "";
        // The modules' processor time per trigger of one module.
        const std::string per_trigger =
            row.busy && row.rate > 0 ? fixed(*row.busy / row.rate * 1e6, 1) : "-";
        std::cout << "| "
                  << (highest ? "highest (-r 1000000)" : std::to_string(layout.rate) + " Hz")
                  << " | " << layout.modules << where << " | " << layout.hybrids << " | "
                  << grouped(row.rate) << " | " << (highest ? "-" : grouped(asked)) << " | "
                  << (highest ? "-" : fixed(row.rate / asked, 3)) << " | " << alone << " | "
                  << grouped(row.missing) << " | " << (row.busy ? fixed(*row.busy, 2) : "-")
                  << " | " << per_trigger << " |\n";
    }
    for (size_t l = 0; l < layouts.size(); ++l) {
        if (!layouts[l].common_trigger) continue;
        std::cout << "\nCommon trigger, " << layouts[l].modules << " modules: "
                  << (rows[l].spread
                          ? "event N of every module captured within " +
                                fixed(*rows[l].spread * 1e3, 3) + " ms, for each of " +
                                std::to_string(rows[l].compared) + " event numbers (median " +
                                fixed(rows[l].spread_median * 1e3, 3) + " ms, 99 % " +
                                fixed(rows[l].spread_p99 * 1e3, 3) + " ms)"
                          : std::string("no event number sent by every module"))
                  << "\n";
    }
    std::cout << "\nLoad average after: " << load_average() << "\n";
    if (!state.empty()) std::filesystem::remove_all(state);
    return ok ? 0 : 1;
}
