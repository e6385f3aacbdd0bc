// StreamStatistics and what it reports: the summary of each stream, its distributions and the
// malformed datagrams by fault.
#include <pybind11/stl.h>

#include <map>
#include <string>

#include "Bindings.h"
#include "Errors.h"
#include "PacketBatch.h"
#include "daqhost/StreamStatistics.h"

namespace py = pybind11;

namespace daq::python {

namespace {

std::map<std::string, uint64_t> malformed_by_fault(const StreamStatistics& s) {
    std::map<std::string, uint64_t> by_fault;
    for (const auto& [fault, n] : s.malformed()) by_fault[describe(fault)] = n;
    return by_fault;
}

py::dict summary_dict(const StreamSummary& s) {
    py::dict d;
    d["hybrid"] = s.hybrid;
    for (const RunFigure& figure : run_figures()) {
        if (figure.of_stream != nullptr) d[figure.key] = figure_object(figure, figure.of_stream(s));
    }
    return d;
}

}  // namespace

py::object figure_object(const RunFigure& figure, const std::optional<double>& value) {
    if (!value) return py::none();
    if (figure.whole()) return py::int_(static_cast<uint64_t>(*value));
    return py::float_(*value);
}

void bind_statistics(py::module_& m) {
    py::class_<StreamSummary> summary(m, "StreamSummary", R"doc(
What a host received of one hybrid's stream: packets, gaps in the event numbers (missing),
duplicates, late packets, efficiency, trigger rate, and the pedestal, hit and time-value means
(None when there were no such values). as_dict() gives the fields as a dict.)doc");
    summary.def_readonly("hybrid", &StreamSummary::hybrid);
    for (const RunFigure& figure : run_figures()) {
        if (figure.of_stream == nullptr) continue;
        summary.def_property_readonly(
            figure.key,
            [&figure](const StreamSummary& s) {
                return figure_object(figure, figure.of_stream(s));
            },
            figure.help);
    }
    summary.def("as_dict", &summary_dict, "The fields as a dict.")
        .def("__repr__", [](const StreamSummary& s) {
            return "<StreamSummary " + py::repr(summary_dict(s)).cast<std::string>() + ">";
        });

    py::class_<StreamDistributions>(m, "StreamDistributions",
                                    "How often each value was seen: the hit's channel (the hit "
                                    "map), the hit's value and the pedestal values.")
        .def_readonly("hit_channels", &StreamDistributions::hit_channels)
        .def_readonly("hit_values", &StreamDistributions::hit_values)
        .def_readonly("pedestals", &StreamDistributions::pedestals)
        .def_readonly("packet_channels", &StreamDistributions::packet_channels,
                      "The most values an all-channel packet carried.");

    py::class_<StreamStatistics>(m, "StreamStatistics", R"doc(
The statistics of each hybrid's stream, kept as data packets are added: what a run session
keeps of a module. With distributions=True the distributions of the values are kept too.)doc")
        .def(py::init<bool>(), py::arg("distributions") = false)
        .def(
            "add",
            // With the GIL held: statistics shared by two threads are added to one at a time.
            [](StreamStatistics& s, const PacketBatch& batch) {
                batch.for_each_datagram([&](const DataPacketView& view) { s.add(view); });
            },
            py::arg("batch"),
            "Adds every datagram of a batch (malformed ones are counted as such).")
        .def(
            "add",
            [](StreamStatistics& s, const py::buffer& datagram) {
                const py::buffer_info info = datagram.request();
                if (info.itemsize != 1 || info.ndim != 1 || info.strides[0] != 1) {
                    throw RaisedError(PyExc_TypeError,
                                      "a datagram is contiguous bytes (bytes, bytearray, "
                                      "memoryview or a uint8 array)");
                }
                s.add(DataPacketView(static_cast<const uint8_t*>(info.ptr),
                                     static_cast<size_t>(info.size)));
            },
            py::arg("datagram"), "Adds one datagram that claims to be a data packet.")
        .def("summaries", &StreamStatistics::summaries, "One StreamSummary per hybrid.")
        .def("malformed", &malformed_by_fault,
             "Datagrams that failed the data-packet checks, by fault ('bad magic', ...).")
        .def_property_readonly("malformed_total", &StreamStatistics::malformed_total)
        .def_property_readonly("packets", &StreamStatistics::packets)
        .def_property_readonly("bytes", &StreamStatistics::bytes)
        .def("missing", &StreamStatistics::missing, py::arg("hybrid"))
        .def_property_readonly("triggers", &StreamStatistics::triggers,
                               "The highest event number (unwrapped) any stream reached.")
        .def("hybrids", &StreamStatistics::hybrids)
        .def("distributions", &StreamStatistics::distributions, py::arg("hybrid"),
             py::return_value_policy::copy,
             "The distributions of a stream's values; empty when they are not kept.");
}

}  // namespace daq::python
