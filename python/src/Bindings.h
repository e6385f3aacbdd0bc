// What each binding source adds to the module _daqhost, in the order module.cpp calls them.
#pragma once

#include <pybind11/pybind11.h>

namespace daq::python {

void bind_errors(pybind11::module_& m);
void bind_packet_batch(pybind11::module_& m);
void bind_client(pybind11::module_& m);
void bind_statistics(pybind11::module_& m);
void bind_capture(pybind11::module_& m);
void bind_run(pybind11::module_& m);

}  // namespace daq::python
