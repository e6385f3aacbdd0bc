#include "PlotCommand.h"

#include <sys/wait.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "daqhost/CaptureDistributions.h"
#include "daqhost/CaptureReader.h"

using namespace daq;

namespace {
constexpr int kDefaultChannels = 256;
// The level the module's pedestals are generated around: the base of the hit amplitude of a
// hybrid whose packets carry no pedestal values.
constexpr int kNominalPedestal = 2024;
constexpr int kImageWidth = 1500;
constexpr int kRowHeight = 400;
// A module has four hybrids; more stream ids come only from stray packets, and an image much
// taller than this one fails in cairo.
constexpr int kMaxRows = 16;
// Enough to show the two amplitude peaks of the hit spots apart, few enough that a short
// capture still fills them.
constexpr int kMaxBins = 200;

struct PlotOptions {
    std::string capture;
    std::string out;
    std::optional<uint16_t> port;  // learned from the capture's discovery when not given
    std::string module;            // ADDR[:PORT]; every module when empty
    int channels = 0;              // 0 when --channels is not given
};

struct ChannelCount {
    int nchan;
    const char* source;
};

ChannelCount channel_count(const CaptureDistributions::Module& module, int hybrid_id, int option) {
    const int packet_channels = module.statistics.distributions(hybrid_id).packet_channels;
    if (packet_channels > 0) return {packet_channels, "from the packets"};
    const int configured = module.configured_channels(hybrid_id);
    if (configured > 0) return {configured, "as configured"};
    if (option > 0) return {option, "from --channels"};
    return {kDefaultChannels, "assumed"};
}

// A gnuplot double-quoted string: the only kind in which a title can break its line.
std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

void write_title(std::ostringstream& plots, const std::string& heading, const std::string& detail) {
    plots << "set title " << quoted(heading + "\n" + detail) << "\n";
}

// Writes the data block `name` of the bulk of `values` − `offset` (CaptureDistributions::bins),
// in bins of one value each or, with `merge_bins`, of as many as keep the bins to kMaxBins;
// sets the x range and box width in `plots`. Returns how many values were left out.
uint64_t write_histogram(std::ostringstream& data, std::ostringstream& plots,
                         const std::string& name, const Histogram& values, double offset,
                         bool merge_bins) {
    const auto bins = CaptureDistributions::bins(values, merge_bins ? kMaxBins : 0);
    const int width = bins.width;
    data << name << " << EOD\n";
    for (const auto& [bin, count] : bins.counts) {
        data << bins.low + bin * width + (width - 1) / 2.0 - offset << ' ' << count << '\n';
    }
    data << "EOD\n";
    plots << "set boxwidth " << width << "\nset xrange [" << bins.low - offset - width << ":"
          << bins.high - offset + width << "]\n";
    return bins.outside;
}

// The three panels of one hybrid: the data blocks go to `data`, the plot commands to `plots`.
// `row` names the data blocks; `module` is the module's name in the titles, or empty.
void write_hybrid(std::ostringstream& data, std::ostringstream& plots, int row,
                  const std::string& module, const StreamSummary& summary,
                  const StreamDistributions& hybrid, ChannelCount channels) {
    const int id = summary.hybrid;
    const std::string hid = (module.empty() ? "" : module + " ") + "hybrid " + std::to_string(id);
    const std::string suffix = std::to_string(row);

    const auto grid = CaptureDistributions::hit_grid(hybrid.hit_channels, channels.nchan);
    const int side = grid.side;
    uint64_t most = 1;  // the top of the colour scale, which must not be empty
    data << "$map" << suffix << " << EOD\n";
    for (size_t cell = 0; cell < grid.cells.size(); ++cell) {
        most = std::max(most, grid.cells[cell]);
        data << grid.cells[cell] << ((cell + 1) % side != 0 ? ' ' : '\n');
    }
    data << "EOD\n";
    std::ostringstream title;
    title << channels.nchan << " channels (" << channels.source << "), " << side << " × " << side
          << " grid";
    if (grid.off_grid > 0) title << ", " << grid.off_grid << " hits off it";
    write_title(plots, hid + ": hits per channel", title.str());
    // Boxes rather than an image, which gnuplot refuses under 2 × 2 cells.
    plots << "set xlabel 'column'\nset ylabel 'row'\nset size ratio -1\n"
          << "set xrange [-0.5:" << side - 0.5 << "]\nset yrange [-0.5:" << side - 0.5 << "]\n"
          << "set cbrange [0:" << most << "]\nplot $map" << suffix
          << " matrix using 1:2:(0.5):(0.5):3 with boxxyerror lc palette notitle\n"
          << "set size noratio\nset yrange [0:*]\n";

    double base = kNominalPedestal;
    std::ostringstream base_text;
    if (summary.pedestal_mean) {
        base = *summary.pedestal_mean;
        base_text.precision(1);
        base_text << std::fixed << base;
        const uint64_t outside =
            write_histogram(data, plots, "$ped" + suffix, hybrid.pedestals, 0, false);
        std::string detail =
            std::to_string(summary.pedestal_values) + " values, mean " + base_text.str();
        if (outside > 0) detail += ", " + std::to_string(outside) + " outside the range shown";
        write_title(plots, hid + ": pedestals", detail);
        plots << "set xlabel 'pedestal (ADC counts)'\nset ylabel 'values'\n"
              << "plot $ped" << suffix << " using 1:2 with boxes lc rgb '#4878b0' notitle\n";
    } else {
        // An empty panel keeps the hybrid's three panels in one row.
        write_title(plots, hid + ": pedestals", "none: its packets carry the hit only");
        plots << "unset xlabel\nunset ylabel\nunset tics\nunset border\n"
              << "plot [0:1][0:1] -1 notitle\nset tics\nset border\nset yrange [0:*]\n";
    }

    const uint64_t outside =
        write_histogram(data, plots, "$amp" + suffix, hybrid.hit_values, base, true);
    std::string detail = summary.pedestal_mean ? "hit − mean pedestal (" + base_text.str() + ")"
                                               : "hit − " + std::to_string(kNominalPedestal) +
                                                     ", no pedestals to subtract";
    if (outside > 0) detail += ", " + std::to_string(outside) + " outside the range shown";
    write_title(plots, hid + ": hit amplitudes", detail);
    plots << "set xlabel 'amplitude (ADC counts)'\nset ylabel 'hits'\n"
          << "plot $amp" << suffix << " using 1:2 with boxes lc rgb '#4878b0' notitle\n";
}

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
    const std::vector<CaptureDistributions::Module>& modules = capture.modules();
    const uint64_t data_packets = capture.packets();
    const uint64_t malformed = capture.malformed();
    if (data_packets == 0) {
        report_error(options.capture + ": no data packets to plot");
        return kExitFailure;
    }

    std::ostringstream data, plots;
    int rows = 0;
    std::string hitless, beyond;  // the hybrids left out, for one line each
    for (const CaptureDistributions::Module& m : modules) {
        const std::string name = modules.size() > 1 ? m.endpoint.text() : "";
        for (const StreamSummary& summary : m.statistics.summaries()) {
            const int id = summary.hybrid;
            const StreamDistributions& hybrid = m.statistics.distributions(id);
            std::string& left_out = hybrid.hit_values.empty() ? hitless : beyond;
            if (hybrid.hit_values.empty() || rows == kMaxRows) {
                left_out += (left_out.empty() ? "" : ", ") + (name.empty() ? "" : name + " ") +
                            std::to_string(id);
                continue;
            }
            write_hybrid(data, plots, rows, name, summary, hybrid,
                         channel_count(m, id, options.channels));
            ++rows;
        }
    }
    if (!hitless.empty()) {
        report_error(options.capture + ": no packet of hybrid(s) " + hitless +
                     " carries a hit; not plotted");
    }
    if (!beyond.empty()) {
        report_error(options.capture + ": hybrid(s) " + beyond + " not plotted (" +
                     std::to_string(kMaxRows) + " rows at most)");
    }
    if (rows == 0) {
        report_error(options.capture + ": no hits to plot");
        return kExitFailure;
    }
    std::ostringstream title;
    title << options.capture << ": " << data_packets << " data packets";
    if (modules.size() > 1) {
        title << " of " << modules.size() << " modules";
    } else if (wanted) {
        title << " of " << modules.front().endpoint.text();
    }
    if (malformed > 0) title << ", " << malformed << " malformed ones skipped";
    const std::string script =
        "set terminal pngcairo noenhanced size " + std::to_string(kImageWidth) + "," +
        std::to_string(kRowHeight * rows) + " font 'sans,10'\nset encoding utf8\nset output " +
        quoted(options.out) + "\n" + data.str() +
        "set style fill solid 1 noborder\nset palette defined (0 'white', 1 '#fdd49e', "
        "2 '#fc8d59', 3 '#d7301f', 4 '#7f0000')\nset cblabel 'hits' offset 1\n"
        "set multiplot layout " +
        std::to_string(rows) + ",3 title " + quoted(title.str()) + "\n" + plots.str() +
        "unset multiplot\n";
    if (!run_gnuplot(script)) return kExitFailure;
    std::cout << title.str() << "; " << rows << (rows == 1 ? " hybrid" : " hybrids")
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
