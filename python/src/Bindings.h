// What each binding source adds to the module _daqhost, in the order module.cpp calls them.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>

#include "daqhost/RunFigures.h"

namespace daq::python {

// A figure of run_figures() as Python has it: an int for counts and codes, a float for
// measures, None where it is not measured.
pybind11::object figure_object(const RunFigure& figure, const std::optional<double>& value);

void bind_errors(pybind11::module_& m);
void bind_packet_batch(pybind11::module_& m);
void bind_client(pybind11::module_& m);
void bind_statistics(pybind11::module_& m);
void bind_capture(pybind11::module_& m);
void bind_run(pybind11::module_& m);

}  // namespace daq::python
