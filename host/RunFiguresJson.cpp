#include "RunFiguresJson.h"

#include <cstdint>

namespace daq {

namespace {

nlohmann::json figure_json(const RunFigure& figure, const std::optional<double>& value) {
    if (!value) return nullptr;
    if (figure.whole()) return static_cast<uint64_t>(*value);
    return *value;
}

}  // namespace

nlohmann::json stream_figures_json(const StreamSummary& s) {
    nlohmann::json result = {{"hybrid", s.hybrid}};
    for (const RunFigure& figure : run_figures()) {
        if (figure.of_stream != nullptr)
            result[figure.key] = figure_json(figure, figure.of_stream(s));
    }
    return result;
}

nlohmann::json module_figures_json(const ModuleFigures& f) {
    nlohmann::json result = nlohmann::json::object();
    for (const RunFigure& figure : run_figures()) {
        if (figure.of_module()) result[figure.key] = figure_json(figure, figure.value(f));
    }
    return result;
}

nlohmann::json total_figures_json(const ModuleFigures& f, size_t running) {
    nlohmann::json result = {{"modules", f.modules},
                             {"modules_run", f.started},
                             {"modules_running", running},
                             {"modules_failed", f.failed}};
    for (const RunFigure& figure : run_figures()) {
        if (figure.of_module() && figure.over_modules != RunFigure::Merge::kNone) {
            result[figure.key] = figure_json(figure, figure.value(f));
        }
    }
    return result;
}

}  // namespace daq
