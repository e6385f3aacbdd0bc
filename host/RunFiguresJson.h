// The figures of run_figures() as JSON, one way for the summary and the monitor's page: the
// live and the recorded run, and the page beside them, carry the same keys.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>

#include "daqhost/RunFigures.h"

namespace daq {

// A stream's figures and its hybrid; null where a figure is not measured.
nlohmann::json stream_figures_json(const StreamSummary& s);
// A module's figures.
nlohmann::json module_figures_json(const ModuleFigures& f);
// What a total of modules has of their figures, with how many took part, ran, run at the end
// (`running`) and failed.
nlohmann::json total_figures_json(const ModuleFigures& f, size_t running);

}  // namespace daq
