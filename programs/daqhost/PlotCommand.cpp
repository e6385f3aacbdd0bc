#include <sys/wait.h>

#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>

#include "CommandLine.h"
#include "Commands.h"
#include "PlotScript.h"
#include "daqhost/CaptureDistributions.h"
#include "daqhost/CaptureReader.h"

using namespace daq;

namespace {
struct PlotOptions {
    std::string capture;
    std::string out;
    std::optional<uint16_t> port;  // learned from the capture's discovery when not given
    std::string module;            // ADDR[:PORT]; every module when empty
    int channels = 0;              // 0 when --channels is not given
};

// Feeds the script to gnuplot; false, and the failure reported, when it does not exit 0.
bool run_gnuplot(const std::string& script) {
    // gnuplot dying early must surface as its exit status, not kill us with SIGPIPE.
    struct sigaction ignore = {}, previous = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &previous);
    // gnuplot writes the image to standard output when it cannot open --out.
    FILE* pipe = popen("exec gnuplot > /dev/null", "w");
    if (pipe == nullptr) {
        sigaction(SIGPIPE, &previous, nullptr);
        report_error("gnuplot failed (cannot start it)");
        return false;
    }
    fwrite(script.data(), 1, script.size(), pipe);
    const int wait_status = pclose(pipe);
    sigaction(SIGPIPE, &previous, nullptr);
    std::string reason;
    if (wait_status == -1) {
        reason = "its exit status is lost";
    } else if (WIFSIGNALED(wait_status)) {
        reason = "killed by signal " + std::to_string(WTERMSIG(wait_status));
    } else if (WEXITSTATUS(wait_status) == 127) {
        reason = "not found; install gnuplot-nox";
    } else if (WEXITSTATUS(wait_status) != 0) {
        reason = "exit status " + std::to_string(WEXITSTATUS(wait_status));
    } else {
        return true;
    }
    report_error("gnuplot failed (" + reason + ")");
    return false;
}

// "a, b, c"
std::string endpoint_list(const std::vector<CaptureDistributions::Module>& modules) {
    std::string text;
    for (const CaptureDistributions::Module& m : modules)
        text += (text.empty() ? "" : ", ") + m.endpoint.text();
    return text;
}

int plot(const PlotOptions& options) {
    // A port of 0 stands for any: an address alone picks the module on whichever port.
    std::optional<Endpoint> wanted;
    if (!options.module.empty()) {
        wanted = Endpoint::parse_with_port(options.module, options.port.value_or(0));
        if (!wanted) {
            report_error("--module: \"" + options.module + "\" is not an IPv4 address[:port]");
            return kExitFailure;
        }
    }
    CaptureReader reader;
    if (!reader.open(options.capture)) {
        report_error(reader.error());
        return kExitFailure;
    }
    CaptureDistributions capture(options.port);
    CaptureRecord record;
    while (reader.next(record)) capture.add(record);
    if (reader.failed()) {
        // A run cut short leaves a damaged last record; what came before it is still worth a
        // look, but the command fails, as decode does, so that a script notices.
        report_error(reader.error() + " (plotting the datagrams before it)");
    }
    if (const std::string none = capture.no_module_reason(); !none.empty()) {
        report_error(options.capture + ": " + none + " (--port names the module's port)");
        return kExitFailure;
    }
    const std::string all = endpoint_list(capture.modules());
    if (wanted && capture.keep(*wanted) == 0) {
        report_error(options.capture + ": no module " + options.module +
                     " in the capture, whose modules are " + all);
        return kExitFailure;
    }
    if (capture.packets() == 0) {
        report_error(options.capture + ": no data packets to plot");
        return kExitFailure;
    }

    const PlotScript script(capture, options.capture, options.out, options.channels,
                            wanted.has_value());
    const std::string& hitless = script.hitless();
    const std::string& beyond = script.beyond();
    const int rows = script.rows();
    if (!hitless.empty()) {
        report_error(options.capture + ": no packet of hybrid(s) " + hitless +
                     " carries a hit; not plotted");
    }
    if (!beyond.empty()) {
        report_error(options.capture + ": hybrid(s) " + beyond + " not plotted (" +
                     std::to_string(PlotScript::kMaxRows) + " rows at most)");
    }
    if (rows == 0) {
        report_error(options.capture + ": no hits to plot");
        return kExitFailure;
    }
    if (!run_gnuplot(script.text())) return kExitFailure;
    std::cout << script.title() << "; " << rows << (rows == 1 ? " hybrid" : " hybrids")
              << " plotted to " << options.out << "\n";
    return reader.failed() ? kExitFailure : 0;
}
}  // namespace

void add_plot_command(CLI::App& app, int& status) {
    auto options = std::make_shared<PlotOptions>();
    CLI::App* command = app.add_subcommand(
        "plot",
        "per module and hybrid, the hit map, pedestals and hit amplitudes of a capture, as a PNG");
    command->add_option("FILE", options->capture, "the capture (pcap) to plot")->required();
    command->add_option("--out", options->out, "the PNG to write")->required();
    command->add_option("--port", options->port,
                        "the module's UDP port (default: the one the capture's discovery went to, "
                        "else 10000)");
    command->add_option("--module", options->module,
                        "plot only this module, ADDR[:PORT] (default: every module, a row per "
                        "module and hybrid)");
    command
        ->add_option("--channels", options->channels,
                     "channels of a hybrid whose packets and configuration do not say")
        ->check(CLI::Range(1, 65535));
    command->callback([options, &status] { status = plot(*options); });
}
