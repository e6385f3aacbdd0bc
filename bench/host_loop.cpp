// host_loop: whether the host library's run loop keeps turning on the test stand while modules
// fail. A run of many modules at 1000 Hz by a program that links the library (RunSession, with
// silent modules recovered), once without faults and once with one module killed for good and
// one paused 3 s, printed as one Markdown table.
//
//   host_loop [--quick] [--modules N] [--seconds S]
//
//   --modules  stand size, 3 to 32 (default 32)
//   --seconds  length of each run (default 10)
//   --quick    --modules 4 --seconds 7: only proves that it works
//
// The run is taken by this program again, started in the stand's host namespace (teststand
// exec), with a silence of 1 s and a give-up of 5 s; it times every call of the `go_on` it
// passes to RunSession::run(). The faults are scheduled just before it starts: module 2 killed
// and module 3 paused 3 s, both a fifth of the run's length later. Figures per run:
//   - longest stall: the longest gap between two consecutive go_on calls (the loop promises
//     0.1 s at most), and when it began, in seconds from the first call;
//   - fewest go_on calls in any whole second from the first call to the last;
//   - missing events and kernel drops summed over the modules no fault touched;
//   - the killed module given up, and the paused one recovered, with their outages' lengths.
// Needs root (the stand makes network namespaces).
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "Report.h"
#include "daqhost/RunSession.h"
#include "testing/EmulatorProcess.h"

namespace {

using json = nlohmann::json;

constexpr int kKilled = 2;  // the stand's module numbers, from 1
constexpr int kPaused = 3;
constexpr double kSilence_s = 1;
constexpr double kGiveUp_s = 5;

void progress(const std::string& text) { std::cerr << "[host_loop] " << text << std::endl; }

// The run itself, in the stand's host namespace: its figures as JSON on standard output.
int child(double seconds, const std::vector<std::string>& addresses) {
    daq::RunSettings settings;
    for (const std::string& address : addresses) {
        const auto endpoint = daq::Endpoint::parse(address, daq::ModuleClient::kModulePort);
        if (!endpoint) return 2;
        // Short timeouts with many retries: a rediscovery goes out every 0.5 s while a module
        // is silent, so the paused one is found soon after it goes on.
        daq::ModuleClient::Settings module;
        module.module = *endpoint;
        module.timeout_s = 0.5;
        module.retries = 6;
        settings.modules.push_back(module);
    }
    settings.seconds = seconds;
    settings.recover = daq::RecoverySettings{.silence_s = kSilence_s, .give_up_s = kGiveUp_s};
    daq::RunSession session(settings);
    session.on_error([](const std::string& message) { std::cerr << message << std::endl; });
    std::vector<std::chrono::steady_clock::time_point> calls;
    calls.reserve(1 << 20);
    session.run([&calls] {
        calls.push_back(std::chrono::steady_clock::now());
        return true;
    });

    json out;
    double stall_s = 0, stall_at_s = 0;
    std::vector<long> per_second;
    for (size_t c = 0; c < calls.size(); ++c) {
        const double at_s = std::chrono::duration<double>(calls[c] - calls.front()).count();
        const double gap_s =
            c > 0 ? std::chrono::duration<double>(calls[c] - calls[c - 1]).count() : 0;
        if (gap_s > stall_s) {
            stall_s = gap_s;
            stall_at_s = at_s - gap_s;
        }
        const auto second = static_cast<size_t>(at_s);
        if (second >= per_second.size()) per_second.resize(second + 1, 0);
        ++per_second[second];
    }
    // The last second is cut short by the end of the run.
    if (!per_second.empty()) per_second.pop_back();
    out["longest_stall_s"] = stall_s;
    out["longest_stall_at_s"] = stall_at_s;
    if (!per_second.empty()) {
        out["fewest_per_second"] = *std::min_element(per_second.begin(), per_second.end());
    }
    for (size_t i = 0; i < session.size(); ++i) {
        const daq::ModuleFigures figures = session.figures(i);
        json outages = json::array();
        for (const daq::Outage& o : session.module(i).recovery.outages()) {
            outages.push_back({{"end", daq::describe(o.end)}, {"seconds", o.seconds}});
        }
        out["modules"].push_back({{"missing", figures.missing},
                                  {"kernel_drops", figures.kernel_drops},
                                  {"given_up", session.module(i).recovery.given_up()},
                                  {"outages", outages}});
    }
    std::cout << out.dump() << std::endl;
    return 0;
}

// Runs the stand's script with the given words; its standard output, empty on a failure.
std::string stand(const std::string& name, const std::vector<std::string>& words,
                  double timeout_s = 120) {
    std::vector<std::string> args = {"TESTMODULE=" + std::string(TESTMODULE_PATH), TESTSTAND_PATH,
                                     "--name", name};
    args.insert(args.end(), words.begin(), words.end());
    EmulatorProcess program(args, "/usr/bin/env");
    if (!program.start()) return "";
    const int status = program.wait_exit(timeout_s);
    if (status != 0) {
        progress("teststand " + words.front() + " failed (" + std::to_string(status) +
                 "): " + program.stderr_text());
        return "";
    }
    return program.stdout_text();
}

// One run on a stand of its own, with the faults or without; the child's figures, null on a
// failure.
json measure(int modules, double seconds, bool faults) {
    const std::string name = "hl" + std::to_string(getpid() % 100000);
    json figures;
    if (!stand(name, {"up", std::to_string(modules), "--rate", "1000"}).empty()) {
        std::vector<std::string> run = {"exec", "--", self_path(), "--child",
                                        std::to_string(seconds)};
        const std::string addresses = stand(name, {"addresses"});
        for (size_t at = 0, end; (end = addresses.find('\n', at)) != std::string::npos;
             at = end + 1) {
            run.push_back(addresses.substr(at, end - at));
        }
        const std::string at = fixed(seconds / 5, 1);
        const bool scheduled =
            !faults || (!stand(name, {"kill", std::to_string(kKilled), "--at", at}).empty() &&
                        !stand(name, {"pause", std::to_string(kPaused), "3", "--at", at}).empty());
        if (scheduled) figures = json::parse(stand(name, run, seconds + 60), nullptr, false);
    }
    stand(name, {"down"});
    return figures.is_discarded() ? json() : figures;
}

// "given up after 5.0 s" or "recovered after 3.6 s", as the module's outages ended.
std::string outages_of(const json& module) {
    std::string text;
    for (const json& o : module["outages"]) {
        text += (text.empty() ? "" : ", ") + o["end"].get<std::string>() + " after " +
                fixed(o["seconds"].get<double>(), 1) + " s";
    }
    return text.empty() ? "no outage" : text;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2 && std::string(argv[1]) == "--child") {
        return child(std::atof(argv[2]), std::vector<std::string>(argv + 3, argv + argc));
    }
    int modules = 32;
    double seconds = 10;
    bool usable = true;
    for (int i = 1; i < argc && usable; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quick") {
            modules = 4;
            seconds = 7;
        } else if (arg == "--modules" && i + 1 < argc) {
            modules = std::atoi(argv[++i]);
        } else if (arg == "--seconds" && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else {
            usable = false;
        }
    }
    if (!usable || modules < 3 || modules > 32 || seconds <= 0) {
        std::cerr << "usage: host_loop [--quick] [--modules N (3 to 32)] [--seconds S]"
                  << std::endl;
        return 2;
    }
    if (geteuid() != 0) {
        std::cerr << "host_loop: needs root (the stand makes network namespaces)" << std::endl;
        return 1;
    }

    std::cout << "Runs of " << fixed(seconds, 0) << " s by RunSession, silence " << kSilence_s
              << " s, give-up " << kGiveUp_s << " s. Machine: " << cpu_model()
              << "; load average before: " << load_average() << "\n\n"
              << "| Run | Longest stall of the loop, ms | Fewest go_on calls in a whole second "
                 "| Missing events, untouched modules | Kernel drops, untouched modules "
                 "| Killed module | Paused module |\n"
                 "|---|---|---|---|---|---|---|\n";
    bool ok = true;
    for (const bool faults : {false, true}) {
        const std::string run = "Host loop, " + std::to_string(modules) + " × 1 kHz, " +
                                (faults ? "a kill and a 3 s pause" : "no faults");
        progress(run);
        const json figures = measure(modules, seconds, faults);
        if (figures.is_null() || figures["modules"].size() != static_cast<size_t>(modules)) {
            std::cout << "| " << run << " | – | – | – | – | – | – |\n";
            ok = false;
            continue;
        }
        double missing = 0, drops = 0;
        for (int m = 1; m <= modules; ++m) {
            if (faults && (m == kKilled || m == kPaused)) continue;
            missing += figures["modules"][m - 1]["missing"].get<double>();
            drops += figures["modules"][m - 1]["kernel_drops"].get<double>();
        }
        const json& killed = figures["modules"][kKilled - 1];
        std::cout << "| " << run << " | "
                  << fixed(figures["longest_stall_s"].get<double>() * 1e3, 1) << " (at "
                  << fixed(figures["longest_stall_at_s"].get<double>(), 1) << " s)"
                  << " | "
                  << (figures.contains("fewest_per_second")
                          ? grouped(figures["fewest_per_second"].get<double>())
                          : "–")
                  << " | " << grouped(missing) << " | " << grouped(drops) << " | "
                  << (!faults              ? "–"
                      : killed["given_up"] ? outages_of(killed)
                                           : "not given up: " + outages_of(killed))
                  << " | " << (faults ? outages_of(figures["modules"][kPaused - 1]) : "–")
                  << " |\n";
    }
    std::cout << "\nLoad average after: " << load_average() << "\n";
    return ok ? 0 : 1;
}
