#include "MonitorSnapshot.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <vector>

using namespace daq;

namespace {

// Hit amplitudes are shown in bins of this many counts.
constexpr int kAmplitudeBin = 8;

// The summary's figures of a stream (`stream`), with what the page draws of it.
nlohmann::json hybrid_json(nlohmann::json stream, const StreamSummary& s, const StreamChannels& c) {
    nlohmann::json means = nlohmann::json::array();
    nlohmann::json sigmas = nlohmann::json::array();
    for (const ChannelPedestal& p : c.pedestals) {
        means.push_back(p.values > 0 ? nlohmann::json(p.mean) : nlohmann::json(nullptr));
        sigmas.push_back(p.values > 0 ? nlohmann::json(p.sigma) : nlohmann::json(nullptr));
    }
    // Both histograms go out whole, empty bins included, so that a chart steps down to 0
    // between the bins that were hit.
    nlohmann::json hit_map = nlohmann::json::array();
    const int channels = c.hit_channels.empty() ? 0 : c.hit_channels.rbegin()->first + 1;
    for (int channel = 0; channel < channels; ++channel) {
        const auto found = c.hit_channels.find(channel);
        hit_map.push_back({channel, found == c.hit_channels.end() ? 0 : found->second});
    }
    // Hit value less the stream's pedestal mean, binned.
    std::map<int, uint64_t> bins;
    const double pedestal = s.pedestal_mean.value_or(0);
    for (const auto& [value, n] : c.hit_values) {
        const int amplitude = static_cast<int>(std::lround(value - pedestal));
        const int bin =
            static_cast<int>(std::floor(static_cast<double>(amplitude) / kAmplitudeBin));
        bins[bin * kAmplitudeBin] += n;
    }
    nlohmann::json amplitudes = nlohmann::json::array();
    if (!bins.empty()) {
        for (int low = bins.begin()->first; low <= bins.rbegin()->first; low += kAmplitudeBin) {
            const auto found = bins.find(low);
            amplitudes.push_back({low, found == bins.end() ? 0 : found->second});
        }
    }
    stream["events"] = s.last_event;
    stream["channel_means"] = means;
    stream["channel_sigmas"] = sigmas;
    stream["hit_map"] = hit_map;
    stream["amplitude_bin"] = kAmplitudeBin;
    stream["amplitudes"] = amplitudes;
    return stream;
}

std::string page_json(const RunSummary& summary, const nlohmann::json& status, uint64_t sequence,
                      bool done) {
    nlohmann::json modules = nlohmann::json::array();
    for (size_t i = 0; i < summary.modules.size(); ++i) {
        const SummaryModule& m = summary.modules[i];
        const StreamStatistics& statistics = m.run->statistics;
        const nlohmann::json& streams =
            (summary.modules.size() == 1 ? status : status["modules"][i])["hybrids"];
        nlohmann::json hybrids = nlohmann::json::array();
        size_t k = 0;
        for (const StreamSummary& s : statistics.summaries()) {
            hybrids.push_back(hybrid_json(streams[k++], s, statistics.channels(s.hybrid)));
        }
        const ModuleFigures& f = m.figures;
        modules.push_back(
            {{"module", m.name},
             {"events", f.events},
             {"packets", f.packets},
             {"missing", f.missing},
             {"retries", f.retries},
             {"missing_acknowledges", f.missing_acknowledges},
             {"malformed", f.malformed},
             {"kernel_drops", f.kernel_drops},
             {"outages", f.outages},
             {"given_up", m.run->recovery.given_up()},
             {"after_give_up", f.after_give_up},
             {"failed_at", m.run->failed_at.empty() ? nlohmann::json(nullptr)
                                                    : nlohmann::json(m.run->failed_at)},
             {"hybrids", hybrids}});
    }
    const ModuleFigures& t = summary.total;
    const nlohmann::json total = {{"modules", summary.modules.size()},
                                  {"events", t.events},
                                  {"packets", t.packets},
                                  {"missing", t.missing},
                                  {"retries", t.retries},
                                  {"outages", t.outages},
                                  {"failed", t.failed}};
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return nlohmann::json(
               {{"sequence", sequence},
                {"time_ms", std::chrono::duration_cast<std::chrono::milliseconds>(now).count()},
                {"seconds", summary.seconds},
                {"done", done},
                {"total", total},
                {"modules", modules}})
        .dump();
}

// The text format: each family's HELP and TYPE, then its samples.
class MetricsText {
  public:
    void family(const char* name, const char* type, const char* help) {
        out_ << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << '\n';
        name_ = name;
    }
    void sample(const std::string& labels, double value) {
        out_ << name_;
        if (!labels.empty()) out_ << '{' << labels << '}';
        char text[40];
        std::snprintf(text, sizeof(text), " %.17g\n", value);
        out_ << text;
    }
    std::string text() const { return out_.str(); }

  private:
    std::ostringstream out_;
    std::string name_;
};

// Label values are the modules' "a.b.c.d:port" and the hybrids' numbers: nothing to escape.
std::string module_label(const SummaryModule& m) { return "module=\"" + m.name + "\""; }

std::string metrics_text(const RunSummary& summary) {
    MetricsText t;
    t.family("daq_run_seconds", "gauge", "Seconds since the start of the run.");
    t.sample("", summary.seconds);
    t.family("daq_modules", "gauge", "Modules in the run.");
    t.sample("", static_cast<double>(summary.modules.size()));

    struct ModuleCounter {
        const char* name;
        const char* help;
        uint64_t ModuleFigures::*field;
    };
    const ModuleCounter counters[] = {
        {"daq_module_events_total",
         "Triggers of the module: the highest event number of its "
         "streams, unwrapped.",
         &ModuleFigures::events},
        {"daq_module_malformed_datagrams_total",
         "Datagrams from the module that were neither an acknowledge nor a well-formed data "
         "packet.",
         &ModuleFigures::malformed},
        {"daq_module_kernel_drops_total",
         "Datagrams the system dropped at the host's socket of the module.",
         &ModuleFigures::kernel_drops},
        {"daq_module_acknowledges_total", "Acknowledges received from the module.",
         &ModuleFigures::acknowledges},
        {"daq_module_missing_acknowledges_total",
         "Requests to the module that got no acknowledge after every attempt.",
         &ModuleFigures::missing_acknowledges},
        {"daq_module_retries_total", "Requests sent to the module again.", &ModuleFigures::retries},
    };
    for (const ModuleCounter& c : counters) {
        t.family(c.name, "counter", c.help);
        for (const SummaryModule& m : summary.modules) {
            t.sample(module_label(m), static_cast<double>(m.figures.*c.field));
        }
    }
    t.family("daq_module_outages_total", "counter", "Times the module fell silent in the run.");
    for (const SummaryModule& m : summary.modules) {
        t.sample(module_label(m), static_cast<double>(m.figures.outages));
    }
    t.family("daq_module_failed", "gauge",
             "1 when the module was left out of the run, 0 while it takes part.");
    for (const SummaryModule& m : summary.modules) {
        t.sample(module_label(m), m.run->failed_at.empty() ? 0 : 1);
    }

    struct StreamFigure {
        const char* name;
        const char* type;
        const char* help;
        std::optional<double> (*get)(const StreamSummary&);
    };
    const StreamFigure figures[] = {
        {"daq_stream_packets_total", "counter", "Well-formed data packets of the hybrid.",
         [](const StreamSummary& s) -> std::optional<double> { return s.packets; }},
        {"daq_stream_bytes_total", "counter", "Bytes of the hybrid's data packets.",
         [](const StreamSummary& s) -> std::optional<double> { return s.bytes; }},
        {"daq_stream_missing_events", "gauge",
         "Event numbers of the hybrid never received (a late packet fills its gap).",
         [](const StreamSummary& s) -> std::optional<double> { return s.missing; }},
        {"daq_stream_late_packets_total", "counter",
         "Packets that came after a later event number.",
         [](const StreamSummary& s) -> std::optional<double> { return s.late; }},
        {"daq_stream_duplicate_packets_total", "counter", "Packets of an event number seen before.",
         [](const StreamSummary& s) -> std::optional<double> { return s.duplicates; }},
        {"daq_stream_efficiency_ratio", "gauge", "Packets over packets plus missing events.",
         [](const StreamSummary& s) -> std::optional<double> { return s.efficiency; }},
        {"daq_stream_trigger_rate_hertz", "gauge",
         "Event numbers spanned over time stamps spanned.",
         [](const StreamSummary& s) { return s.trigger_rate_hz; }},
        {"daq_stream_pedestal_mean", "gauge", "Mean of the pedestal values, in ADC counts.",
         [](const StreamSummary& s) { return s.pedestal_mean; }},
        {"daq_stream_pedestal_sigma", "gauge",
         "Standard deviation of the pedestal values, in ADC counts.",
         [](const StreamSummary& s) { return s.pedestal_sigma; }},
    };
    std::vector<std::vector<StreamSummary>> streams;
    for (const SummaryModule& m : summary.modules) {
        streams.push_back(m.run->statistics.summaries());
    }
    for (const StreamFigure& f : figures) {
        t.family(f.name, f.type, f.help);
        for (size_t i = 0; i < summary.modules.size(); ++i) {
            for (const StreamSummary& s : streams[i]) {
                if (const std::optional<double> value = f.get(s)) {
                    t.sample(module_label(summary.modules[i]) + ",hybrid=\"" +
                                 std::to_string(s.hybrid) + "\"",
                             *value);
                }
            }
        }
    }
    return t.text();
}

}  // namespace

MonitorSnapshot make_snapshot(const RunSummary& summary, uint64_t sequence, bool done) {
    MonitorSnapshot snapshot;
    snapshot.sequence = sequence;
    snapshot.status = summary.json();
    snapshot.page = page_json(summary, nlohmann::json::parse(snapshot.status), sequence, done);
    snapshot.metrics = metrics_text(summary);
    return snapshot;
}
