// The compiled part of the Python package daqhost: the host library, bound.
#include <pybind11/pybind11.h>

#include "Bindings.h"

PYBIND11_MODULE(_daqhost, m) {
    m.doc() =
        "The host library of the readout module, bound: the client of a module, the run "
        "session, run statistics and captures. Data packets come as numpy arrays in batches "
        "(PacketBatch).";
    daq::python::bind_errors(m);
    daq::python::bind_packet_batch(m);
    daq::python::bind_client(m);
    daq::python::bind_statistics(m);
    daq::python::bind_capture(m);
    daq::python::bind_run(m);
}
