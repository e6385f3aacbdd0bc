// The data packets of a batch as numpy arrays, without a Python object per packet. The
// datagrams are decoded, with the GIL released, into a PacketCollector's C++ vectors; a
// PacketBatch then hands those vectors to numpy without copying them.
//
//   packets  one row per well-formed data packet (PacketRow below)
//   values   uint16: the values of the mode 1 packets, one packet after the other; a row's are
//            values[value_offset : value_offset + value_count]
//   triples  (channel, right, left) uint16: the triples of the mode 2 and 4 packets, a row's
//            at triples[triple_offset : triple_offset + triple_count]
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "daqhost/Endpoint.h"
#include "protocol/DataPacketView.h"

namespace daq::python {

// One row of PacketBatch.packets; the numpy fields have these names, in this order.
struct PacketRow {
    int64_t time_ns;  // receive time, since the Unix epoch
    uint32_t source_address;
    uint16_t source_port;
    uint8_t stream;
    uint8_t mode;
    uint16_t event;
    uint16_t count;
    uint32_t time_stamp;  // microseconds since the start of the run, modulo 2^32
    float time_value;
    uint32_t length;  // bytes of the datagram
    uint32_t value_offset;
    uint32_t value_count;
    uint32_t triple_offset;
    uint32_t triple_count;
};

class PacketCollector {
  public:
    void reserve(size_t packets) { rows_.reserve(packets); }
    // One datagram from a module: an acknowledge is counted; anything else is kept whole (for
    // StreamStatistics), and decoded into a row when it is a well-formed data packet.
    void take(int64_t time_ns, const Endpoint& source, const uint8_t* data, size_t length);

    size_t packets() const { return rows_.size(); }
    bool empty() const { return spans_.empty() && acknowledges_ == 0; }

  private:
    friend class PacketBatch;
    struct Span {
        size_t offset;
        size_t length;
    };
    std::vector<PacketRow> rows_;
    std::vector<uint16_t> values_;
    std::vector<NeighbourTriple> triples_;
    std::vector<uint8_t> bytes_;
    std::vector<Span> spans_;
    uint64_t acknowledges_ = 0;
    uint64_t malformed_ = 0;
};

class PacketBatch {
  public:
    // Needs the GIL: makes the arrays.
    explicit PacketBatch(PacketCollector&& collected);

    const pybind11::array& packets() const { return packets_; }
    const pybind11::array& values() const { return values_; }
    const pybind11::array& triples() const { return triples_; }
    size_t size() const { return size_; }
    uint64_t acknowledges() const { return acknowledges_; }
    uint64_t malformed() const { return malformed_; }

    // Calls f(view) for every datagram kept, data packet or not, in the order received.
    template <typename F>
    void for_each_datagram(F&& f) const {
        for (const auto& span : spans_) f(DataPacketView(bytes_.data() + span.offset, span.length));
    }

  private:
    pybind11::array packets_;
    pybind11::array values_;
    pybind11::array triples_;
    size_t size_ = 0;
    uint64_t acknowledges_ = 0;
    uint64_t malformed_ = 0;
    std::vector<uint8_t> bytes_;
    std::vector<PacketCollector::Span> spans_;
};

void bind_packet_batch(pybind11::module_& m);

}  // namespace daq::python
