// stand_rate: the aggregate event rate of many modules at once on the test stand, as a ratio to
// one module alone measured in the same run, printed as one Markdown table.
//
//   stand_rate [--quick] [--modules N] [--seconds S] [--rounds R]
//
// Each round brings up a stand of one module, then one of N (16 unless given), each module
// with one hybrid, at 1000 Hz and at the highest rate (-r 1000000), and takes a run of S
// seconds (5 unless given) with one daqhost in the host namespace driving them all. The rate
// of a module is the one its data packets' time stamps give; the aggregate is their sum. The
// median round is shown. Needs root (the stand makes network namespaces).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "Report.h"
#include "testkit/EmulatorProcess.h"

namespace {

using json = nlohmann::json;

void progress(const std::string& text) { std::cerr << "[stand_rate] " << text << std::endl; }

struct Outcome {
    double rate = 0;  // events per second, all modules together
    double missing = 0;
    double packets = 0;
    bool ok = false;
};

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

Outcome measure(int modules, const std::string& rate, double seconds) {
    const std::string name = "sr" + std::to_string(getpid() % 100000);
    Outcome outcome;
    if (stand(name, {"up", std::to_string(modules), "--rate", rate}).empty()) {
        stand(name, {"down"});
        return outcome;
    }
    const std::string addresses = stand(name, {"addresses"});
    std::vector<std::string> run = {
        "exec", "--", DAQHOST_PATH, "run", "--seconds", std::to_string(seconds), "--json"};
    for (size_t at = 0, end; (end = addresses.find('\n', at)) != std::string::npos; at = end + 1) {
        run.insert(run.end(), {"--module", addresses.substr(at, end - at)});
    }
    const json summary = json::parse(stand(name, run, seconds + 120), nullptr, false);
    stand(name, {"down"});
    if (summary.is_discarded()) return outcome;

    // One module gives the summary of one; several give one entry each.
    const json single = json::array({summary});
    for (const json& m : summary.contains("modules") ? summary["modules"] : single) {
        for (const json& h : m["hybrids"]) {
            if (h["trigger_rate_hz"].is_number())
                outcome.rate += h["trigger_rate_hz"].get<double>();
            outcome.missing += h["missing"].get<double>();
            outcome.packets += h["packets"].get<double>();
        }
    }
    outcome.ok = outcome.packets > 0;
    return outcome;
}

}  // namespace

int main(int argc, char** argv) {
    int modules = 16;
    double seconds = 5;
    int rounds = 3;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quick") {
            modules = 4;
            seconds = 1;
            rounds = 1;
        } else if (arg == "--modules" && i + 1 < argc) {
            modules = std::atoi(argv[++i]);
        } else if (arg == "--seconds" && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else if (arg == "--rounds" && i + 1 < argc) {
            rounds = std::atoi(argv[++i]);
        } else {
            modules = 0;
            break;
        }
    }
    if (modules < 2 || modules > 32 || seconds <= 0 || rounds < 1) {
        std::cerr << "usage: stand_rate [--quick] [--modules N (2 to 32)] [--seconds S] "
                     "[--rounds R]"
                  << std::endl;
        return 2;
    }
    if (geteuid() != 0) {
        std::cerr << "stand_rate: needs root (the stand makes network namespaces)" << std::endl;
        return 1;
    }

    std::cout << "Machine: " << cpu_model() << "; load average before: " << load_average()
              << "\n\n";
    std::cout << "| Rate asked per module | Modules | Events/s, all together | ÷ one module alone "
                 "| Missing events |\n|---|---|---|---|---|\n";
    bool ok = true;
    for (const std::string& rate : {std::string("1000"), std::string("1000000")}) {
        std::vector<double> alone;
        std::vector<double> together;
        std::vector<double> missing;
        for (int r = 0; r < rounds; ++r) {
            progress("rate " + rate + ", round " + std::to_string(r + 1));
            const Outcome one = measure(1, rate, seconds);
            const Outcome many = measure(modules, rate, seconds);
            ok = ok && one.ok && many.ok;
            alone.push_back(one.rate);
            together.push_back(many.rate);
            missing.push_back(many.missing);
        }
        const double one = median(alone);
        const double all = median(together);
        const std::string asked = rate == "1000" ? "1000 Hz" : "highest (-r 1000000)";
        std::cout << "| " << asked << " | 1 | " << grouped(one) << " | 1 | - |\n";
        std::cout << "| " << asked << " | " << modules << " | " << grouped(all) << " | "
                  << (one > 0 ? fixed(all / one, 2) : "-") << " | " << grouped(median(missing))
                  << " |\n";
    }
    std::cout << "\nLoad average after: " << load_average() << "\n";
    return ok ? 0 : 1;
}
