#include "daqhost/RunFigures.h"

#include <algorithm>
#include <array>
#include <string_view>
#include <type_traits>

namespace daq {

namespace {

// The module's count of outages is a size_t, kept where the counts are.
static_assert(std::is_same_v<decltype(ModuleFigures::outages), uint64_t>);

// A stream's figure as the list reads it.
template <auto Field>
std::optional<double> stream_figure(const StreamSummary& s) {
    if constexpr (std::is_same_v<std::remove_cvref_t<decltype(s.*Field)>, std::optional<double>>) {
        return s.*Field;
    } else {
        return static_cast<double>(s.*Field);
    }
}

// The table's columns and the line under it show the figures in the order of this list.
constexpr std::array kRunFigures = std::to_array<RunFigure>({
    {.key = "events",
     .unit = RunFigure::Unit::kCount,
     .help = "Triggers of the module: the highest event number of its streams, unwrapped.",
     .metric = "daq_module_events_total",
     .metric_type = "counter",
     .of_hybrids = "last_event",
     .over_hybrids = RunFigure::Merge::kMax,
     .over_modules = RunFigure::Merge::kSum,
     .count = &ModuleFigures::events,
     .module_column = {"events", 9, 0}},
    {.key = "packets",
     .unit = RunFigure::Unit::kCount,
     .help = "Well-formed data packets of the hybrid.",
     .metric = "daq_stream_packets_total",
     .metric_type = "counter",
     .of_stream = stream_figure<&StreamSummary::packets>,
     .of_hybrids = "packets",
     .over_hybrids = RunFigure::Merge::kSum,
     .over_modules = RunFigure::Merge::kSum,
     .count = &ModuleFigures::packets,
     .stream_column = {"packets", 10, 0},
     .module_column = {"packets", 10, 0}},
    {.key = "bytes",
     .unit = RunFigure::Unit::kCount,
     .help = "Bytes of the hybrid's data packets.",
     .metric = "daq_stream_bytes_total",
     .metric_type = "counter",
     .of_stream = stream_figure<&StreamSummary::bytes>},
    {.key = "missing",
     .unit = RunFigure::Unit::kCount,
     .help = "Event numbers of the hybrid never received (a late packet fills its gap).",
     .metric = "daq_stream_missing_events",
     .metric_type = "gauge",
     .of_stream = stream_figure<&StreamSummary::missing>,
     .of_hybrids = "missing",
     .over_hybrids = RunFigure::Merge::kSum,
     .over_modules = RunFigure::Merge::kSum,
     .count = &ModuleFigures::missing,
     .stream_column = {"missing", 8, 0},
     .module_column = {"missing", 8, 0}},
    {.key = "efficiency",
     .unit = RunFigure::Unit::kRatio,
     .help = "Packets over packets plus missing events.",
     .metric = "daq_stream_efficiency_ratio",
     .metric_type = "gauge",
     .of_stream = stream_figure<&StreamSummary::efficiency>,
     .stream_column = {"efficiency", 10, 4}},
    {.key = "trigger_rate_hz",
     .unit = RunFigure::Unit::kHertz,
     .help = "Event numbers spanned over time stamps spanned.",
     .metric = "daq_stream_trigger_rate_hertz",
     .metric_type = "gauge",
     .of_stream = stream_figure<&StreamSummary::trigger_rate_hz>,
     .of_hybrids = "trigger_rate_hz",
     .over_hybrids = RunFigure::Merge::kMean,
     .measure = &ModuleFigures::trigger_rate_hz,
     .stream_column = {"trigger Hz", 12, 1},
     .module_column = {"trigger Hz", 10, 1}},
    {.key = "pedestal_mean",
     .unit = RunFigure::Unit::kAdcCounts,
     .help = "Mean of the pedestal values, in ADC counts.",
     .metric = "daq_stream_pedestal_mean",
     .metric_type = "gauge",
     .of_stream = stream_figure<&StreamSummary::pedestal_mean>,
     .stream_column = {"pedestal", 10, 2}},
    {.key = "pedestal_sigma",
     .unit = RunFigure::Unit::kAdcCounts,
     .help = "Standard deviation of the pedestal values, in ADC counts.",
     .metric = "daq_stream_pedestal_sigma",
     .metric_type = "gauge",
     .of_stream = stream_figure<&StreamSummary::pedestal_sigma>,
     .stream_column = {"sigma", 8, 2}},
    {.key = "hit_value_mean",
     .unit = RunFigure::Unit::kAdcCounts,
     .help = "Mean of the hit's value, in ADC counts.",
     .of_stream = stream_figure<&StreamSummary::hit_value_mean>,
     .stream_column = {"hit value", 10, 1}},
    {.key = "hit_amplitude_mean",
     .unit = RunFigure::Unit::kAdcCounts,
     .help = "Mean of the hit value less the pedestal mean, in ADC counts.",
     .of_stream = stream_figure<&StreamSummary::hit_amplitude_mean>,
     .stream_column = {"amplitude", 10, 1}},
    {.key = "time_value_mean",
     .unit = RunFigure::Unit::kValue,
     .help = "Mean of the time value (word 7: sign, whole part, sixteenths).",
     .of_stream = stream_figure<&StreamSummary::time_value_mean>,
     .stream_column = {"time value", 10, 2}},
    {.key = "malformed",
     .unit = RunFigure::Unit::kCount,
     .help = "Datagrams from the module that were neither an acknowledge nor a well-formed data "
             "packet.",
     .metric = "daq_module_malformed_datagrams_total",
     .metric_type = "counter",
     .over_modules = RunFigure::Merge::kSum,
     .count = &ModuleFigures::malformed,
     .module_column = {"malformed", 9, 0},
     .module_line = "malformed"},
    {.key = "kernel_drops",
     .unit = RunFigure::Unit::kCount,
     .help = "Datagrams the system dropped at the host's socket of the module.",
     .metric = "daq_module_kernel_drops_total",
     .metric_type = "counter",
     .over_modules = RunFigure::Merge::kSum,
     .count = &ModuleFigures::kernel_drops,
     .module_column = {"dropped", 7, 0},
     .module_line = "dropped at the socket"},
    {.key = "missing_acknowledges",
     .unit = RunFigure::Unit::kCount,
     .help = "Requests to the module that got no acknowledge after every attempt.",
     .metric = "daq_module_missing_acknowledges_total",
     .metric_type = "counter",
     .over_modules = RunFigure::Merge::kSum,
     .count = &ModuleFigures::missing_acknowledges,
     .module_column = {"acks missing", 12, 0},
     .module_line = "acknowledges missing"},
    {.key = "retries",
     .unit = RunFigure::Unit::kCount,
     .help = "Requests sent to the module again.",
     .metric = "daq_module_retries_total",
     .metric_type = "counter",
     .over_modules = RunFigure::Merge::kSum,
     .count = &ModuleFigures::retries,
     .module_column = {"retries", 7, 0},
     .module_line = "retries"},
    {.key = "acknowledges",
     .unit = RunFigure::Unit::kCount,
     .help = "Acknowledges received from the module.",
     .metric = "daq_module_acknowledges_total",
     .metric_type = "counter",
     .over_modules = RunFigure::Merge::kSum,
     .count = &ModuleFigures::acknowledges},
    {.key = "outages",
     .unit = RunFigure::Unit::kCount,
     .help = "Times the module fell silent in the run.",
     .metric = "daq_module_outages_total",
     .metric_type = "counter",
     .over_modules = RunFigure::Merge::kSum,
     .count = &ModuleFigures::outages},
    {.key = "outage_events",
     .unit = RunFigure::Unit::kCount,
     .help = "The events its outages lost, as their estimates give them (not in missing).",
     .over_modules = RunFigure::Merge::kSum,
     .count = &ModuleFigures::outage_events},
    {.key = "after_give_up",
     .unit = RunFigure::Unit::kCount,
     .help = "Datagrams it sent after it was given up or had left, and those of its old start "
             "once it was back: not in its figures.",
     .over_modules = RunFigure::Merge::kSum,
     .count = &ModuleFigures::after_give_up},
    {.key = "mode",
     .unit = RunFigure::Unit::kCode,
     .help = "The readout mode of the hybrid's last packet.",
     .of_stream = stream_figure<&StreamSummary::mode>},
    {.key = "duplicates",
     .unit = RunFigure::Unit::kCount,
     .help = "Packets of an event number seen before.",
     .metric = "daq_stream_duplicate_packets_total",
     .metric_type = "counter",
     .of_stream = stream_figure<&StreamSummary::duplicates>},
    {.key = "late",
     .unit = RunFigure::Unit::kCount,
     .help = "Packets that came after a later event number.",
     .metric = "daq_stream_late_packets_total",
     .metric_type = "counter",
     .of_stream = stream_figure<&StreamSummary::late>},
    {.key = "first_event",
     .unit = RunFigure::Unit::kCount,
     .help = "The event number of the hybrid's first packet.",
     .of_stream = stream_figure<&StreamSummary::first_event>},
    {.key = "last_event",
     .unit = RunFigure::Unit::kCount,
     .help = "The highest event number of the hybrid, unwrapped: the run's triggers up to its "
             "last packet.",
     .of_stream = stream_figure<&StreamSummary::last_event>},
    {.key = "pedestal_values",
     .unit = RunFigure::Unit::kCount,
     .help = "Pedestal values the means are of.",
     .of_stream = stream_figure<&StreamSummary::pedestal_values>},
});

constexpr bool same_key(const char* a, const char* b) {
    return std::string_view(a) == std::string_view(b);
}

// A module's figure is made of its hybrids' figure of a key in the list. (Whether streams have
// that figure is not asked here: a function's address is no constant under every compiler's
// options; ModuleRun::figures() passes over a source that streams lack.)
static_assert(std::all_of(kRunFigures.begin(), kRunFigures.end(), [](const RunFigure& f) {
    return f.of_hybrids == nullptr ||
           (f.over_hybrids != RunFigure::Merge::kNone && f.of_module() &&
            std::any_of(kRunFigures.begin(), kRunFigures.end(), [&](const RunFigure& source) {
                return same_key(source.key, f.of_hybrids);
            }));
}));
// A total is merged one module at a time: a mean cannot be.
static_assert(std::none_of(kRunFigures.begin(), kRunFigures.end(), [](const RunFigure& f) {
    return f.over_modules == RunFigure::Merge::kMean;
}));

}  // namespace

std::span<const RunFigure> run_figures() { return kRunFigures; }

}  // namespace daq
