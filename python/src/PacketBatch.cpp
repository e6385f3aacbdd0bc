#include "PacketBatch.h"

#include <utility>

#include "protocol/Acknowledge.h"

namespace py = pybind11;

namespace daq::python {

namespace {

// A numpy array over the vector's memory, which the array then owns.
template <typename T>
py::array_t<T> to_array(std::vector<T>&& items) {
    if (items.empty()) return py::array_t<T>(0);
    auto* owner = new std::vector<T>(std::move(items));
    py::capsule release(owner, [](void* p) { delete static_cast<std::vector<T>*>(p); });
    return py::array_t<T>(static_cast<py::ssize_t>(owner->size()), owner->data(), release);
}

}  // namespace

void PacketCollector::take(int64_t time_ns, const Endpoint& source, const uint8_t* data,
                           size_t length) {
    if (Acknowledge::parse(data, length)) {
        ++acknowledges_;
        return;
    }
    spans_.push_back({bytes_.size(), length});
    bytes_.insert(bytes_.end(), data, data + length);
    const DataPacketView view(data, length);
    if (!view.ok()) {
        ++malformed_;
        return;
    }
    PacketRow row = {};
    row.time_ns = time_ns;
    row.source_address = source.address;
    row.source_port = source.port;
    row.stream = view.stream();
    row.mode = static_cast<uint8_t>(view.mode());
    row.event = view.event();
    row.count = view.count();
    row.time_stamp = view.time_stamp();
    row.time_value = static_cast<float>(view.time_value());
    row.length = static_cast<uint32_t>(length);
    row.value_offset = static_cast<uint32_t>(values_.size());
    row.triple_offset = static_cast<uint32_t>(triples_.size());
    if (view.mode() == 1) {
        row.value_count = static_cast<uint32_t>(view.value_count());
        for (size_t i = 0; i < view.value_count(); ++i) values_.push_back(view.value(i));
    } else {
        row.triple_count = static_cast<uint32_t>(view.triple_count());
        for (size_t m = 0; m < view.triple_count(); ++m) triples_.push_back(view.triple(m));
    }
    rows_.push_back(row);
}

PacketBatch::PacketBatch(PacketCollector&& collected)
    : size_(collected.rows_.size()),
      acknowledges_(collected.acknowledges_),
      malformed_(collected.malformed_),
      bytes_(std::move(collected.bytes_)),
      spans_(std::move(collected.spans_)) {
    packets_ = to_array(std::move(collected.rows_));
    values_ = to_array(std::move(collected.values_));
    triples_ = to_array(std::move(collected.triples_));
}

void bind_packet_batch(py::module_& m) {
    PYBIND11_NUMPY_DTYPE(PacketRow, time_ns, source_address, source_port, stream, mode, event,
                         count, time_stamp, time_value, length, value_offset, value_count,
                         triple_offset, triple_count);
    PYBIND11_NUMPY_DTYPE(NeighbourTriple, channel, right, left);
    py::class_<PacketBatch>(m, "PacketBatch", R"doc(
The data packets received in one call (or read from a capture) as numpy arrays.

packets: structured array, one row per well-formed data packet, with the fields
    time_ns (int64, receive time since the Unix epoch), source_address (uint32, IPv4 in host
    order), source_port (uint16), stream (uint8, the hybrid), mode (uint8, readout mode),
    event (uint16), count (uint16), time_stamp (uint32, µs since the run's start, modulo
    2**32), time_value (float32), length (uint32, bytes of the datagram), value_offset,
    value_count, triple_offset, triple_count (uint32).
values: uint16 array, the channel values of the mode 1 packets one after the other; a row's are
    values[value_offset:value_offset + value_count].
triples: structured array (channel, right, left: uint16) of the mode 2 and 4 packets one after
    the other; a row's are triples[triple_offset:triple_offset + triple_count].
A packet of another mode has neither. Acknowledges are only counted (acknowledges), and
datagrams that are not well-formed data packets only counted (malformed) and kept for
StreamStatistics.add(batch).)doc")
        .def_property_readonly("packets", &PacketBatch::packets, "One row per data packet.")
        .def_property_readonly("values", &PacketBatch::values,
                               "The values of the mode 1 packets (uint16).")
        .def_property_readonly("triples", &PacketBatch::triples,
                               "The (channel, right, left) triples of the mode 2 and 4 packets.")
        .def_property_readonly("acknowledges", &PacketBatch::acknowledges,
                               "Acknowledges among the datagrams.")
        .def_property_readonly("malformed", &PacketBatch::malformed,
                               "Datagrams that were neither acknowledges nor well-formed data "
                               "packets.")
        .def("__len__", &PacketBatch::size, "The number of data packets.")
        .def("__repr__", [](const PacketBatch& b) {
            return "<PacketBatch of " + std::to_string(b.size()) + " packets, " +
                   std::to_string(b.malformed()) + " malformed>";
        });
}

}  // namespace daq::python
