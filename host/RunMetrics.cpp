#include "daqhost/RunMetrics.h"

#include <cstdio>
#include <optional>
#include <sstream>
#include <vector>

#include "daqhost/RunFigures.h"

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

    // Each figure with a family: per module, or per module and hybrid if streams have it.
    std::vector<std::vector<StreamSummary>> streams;
    for (const SummaryModule& m : summary.modules) {
        streams.push_back(m.run->statistics.summaries());
    }
    for (const RunFigure& f : run_figures()) {
        if (f.metric == nullptr) continue;
        t.family(f.metric, f.metric_type, f.help);
        for (size_t i = 0; i < summary.modules.size(); ++i) {
            const std::string module = module_label(summary.modules[i]);
            if (f.of_stream == nullptr) {
                if (const std::optional<double> value = f.value(summary.modules[i].figures)) {
                    t.sample(module, *value);
                }
                continue;
            }
            for (const StreamSummary& s : streams[i]) {
                if (const std::optional<double> value = f.of_stream(s)) {
                    t.sample(module + ",hybrid=\"" + std::to_string(s.hybrid) + "\"", *value);
                }
            }
        }
    }
    t.family("daq_module_failed", "gauge",
             "1 when the module was left out of the run, 0 while it takes part.");
    for (const SummaryModule& m : summary.modules) {
        t.sample(module_label(m), m.run->failed_at.empty() ? 0 : 1);
    }
    return t.text();
}

}  // namespace daq
