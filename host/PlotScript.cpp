#include "PlotScript.h"

#include <algorithm>
#include <cstdint>
#include <sstream>
#include <vector>

namespace daq {

namespace {

constexpr int kDefaultChannels = 256;
// The level the module's pedestals are generated around: the base of the hit amplitude of a
// hybrid whose packets carry no pedestal values.
constexpr int kNominalPedestal = 2024;
constexpr int kImageWidth = 1500;
constexpr int kRowHeight = 400;
// Enough to show the two amplitude peaks of the hit spots apart, few enough that a short
// capture still fills them.
constexpr int kMaxBins = 200;

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

}  // namespace

PlotScript::PlotScript(const CaptureDistributions& capture, const std::string& capture_name,
                       const std::string& out, int channels, bool one_module_chosen) {
    std::ostringstream data, plots;
    const std::vector<CaptureDistributions::Module>& modules = capture.modules();
    for (const CaptureDistributions::Module& m : modules) {
        const std::string name = modules.size() > 1 ? m.endpoint.text() : "";
        for (const StreamSummary& summary : m.statistics.summaries()) {
            const int id = summary.hybrid;
            const StreamDistributions& hybrid = m.statistics.distributions(id);
            std::string& left_out = hybrid.hit_values.empty() ? hitless_ : beyond_;
            if (hybrid.hit_values.empty() || rows_ == kMaxRows) {
                left_out += (left_out.empty() ? "" : ", ") + (name.empty() ? "" : name + " ") +
                            std::to_string(id);
                continue;
            }
            write_hybrid(data, plots, rows_, name, summary, hybrid, channel_count(m, id, channels));
            ++rows_;
        }
    }
    std::ostringstream title;
    title << capture_name << ": " << capture.packets() << " data packets";
    if (modules.size() > 1) {
        title << " of " << modules.size() << " modules";
    } else if (one_module_chosen) {
        title << " of " << modules.front().endpoint.text();
    }
    if (capture.malformed() > 0) title << ", " << capture.malformed() << " malformed ones skipped";
    title_ = title.str();
    text_ = "set terminal pngcairo noenhanced size " + std::to_string(kImageWidth) + "," +
            std::to_string(kRowHeight * rows_) + " font 'sans,10'\nset encoding utf8\nset output " +
            quoted(out) + "\n" + data.str() +
            "set style fill solid 1 noborder\nset palette defined (0 'white', 1 '#fdd49e', "
            "2 '#fc8d59', 3 '#d7301f', 4 '#7f0000')\nset cblabel 'hits' offset 1\n"
            "set multiplot layout " +
            std::to_string(rows_) + ",3 title " + quoted(title_) + "\n" + plots.str() +
            "unset multiplot\n";
}

}  // namespace daq
