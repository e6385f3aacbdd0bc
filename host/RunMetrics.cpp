#include "daqhost/RunMetrics.h"

#include <cstdio>
#include <optional>
#include <sstream>
#include <vector>

namespace daq {

namespace {

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

}  // namespace

std::string run_metrics(const RunSummary& summary) {
    MetricsText t;
    t.family("daq_run_seconds", "gauge", "Seconds since the start of the run.");
    t.sample("", summary.seconds);
    t.family("daq_modules", "gauge", "Modules in the run.");
    t.sample("", static_cast<double>(summary.modules.size()));
    if (summary.host) {
        for (const HostPaceFigure& f : host_pace_figures()) {
            t.family(f.metric, f.metric_type, f.help);
            t.sample("", f.value(*summary.host));
        }
    }

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

}  // namespace daq
