// CaptureReader, iterated batch by batch, and CaptureWriter.
#include <pybind11/stl.h>

#include <memory>
#include <string>
#include <variant>

#include "Bindings.h"
#include "ClientSettings.h"
#include "Errors.h"
#include "PacketBatch.h"
#include "SingleUser.h"
#include "daqhost/CaptureReader.h"
#include "daqhost/CaptureWriter.h"
#include "daqhost/ModuleClient.h"

namespace py = pybind11;

namespace daq::python {

namespace {

// The data packets of a capture in batches: the datagrams from the module port, decoded as
// ModuleClient.receive decodes them.
class CaptureBatches {
  public:
    CaptureBatches(const std::string& path, uint16_t module_port, size_t batch_size)
        : module_port_(module_port), batch_size_(batch_size) {
        if (batch_size == 0) throw RaisedError(PyExc_ValueError, "batch_size must be above 0");
        py::gil_scoped_release release;
        if (!reader_.open(path)) throw RaisedError(capture_error_class, reader_.error());
    }

    PacketBatch next() {
        const SingleUser::Use use(user_);
        PacketCollector collected;
        {
            py::gil_scoped_release release;
            collected.reserve(batch_size_);
            while (!ended_ && collected.packets() < batch_size_) {
                if (!reader_.next(record_)) {
                    ended_ = true;
                } else if (record_.source.port == module_port_) {
                    collected.take(record_.time_ns, record_.source, record_.payload.data(),
                                   record_.payload.size());
                }
            }
        }
        // What was read before damage comes first; the damage is raised by the next call.
        if (collected.empty()) {
            if (reader_.failed()) throw RaisedError(capture_error_class, reader_.error());
            throw py::stop_iteration();
        }
        return PacketBatch(std::move(collected));
    }

    uint64_t records() const {
        const SingleUser::Use use(user_);
        return reader_.records();
    }
    uint64_t skipped() const {
        const SingleUser::Use use(user_);
        return reader_.skipped();
    }

  private:
    CaptureReader reader_;
    CaptureRecord record_;
    uint16_t module_port_;
    size_t batch_size_;
    bool ended_ = false;
    mutable SingleUser user_{"CaptureReader"};
};

class Writer {
  public:
    explicit Writer(const std::string& path) {
        if (!writer_.open(path)) throw RaisedError(capture_error_class, writer_.error());
    }

    void write(int64_t time_ns, const Endpoint& source, const Endpoint& destination,
               const py::buffer& payload) {
        const py::buffer_info info = payload.request();
        if (info.itemsize != 1 || info.ndim != 1 || info.strides[0] != 1) {
            throw RaisedError(PyExc_TypeError,
                              "a payload is contiguous bytes (bytes, bytearray, memoryview or a "
                              "uint8 array)");
        }
        if (!writer_.is_open()) throw RaisedError(PyExc_ValueError, "the capture is closed");
        if (!writer_.write(time_ns, source, destination, static_cast<const uint8_t*>(info.ptr),
                           static_cast<size_t>(info.size))) {
            throw RaisedError(capture_error_class, writer_.error());
        }
    }

    void close() {
        if (!writer_.close()) throw RaisedError(capture_error_class, writer_.error());
    }

    const CaptureWriter& writer() const { return writer_; }

  private:
    CaptureWriter writer_;
};

}  // namespace

void bind_capture(py::module_& m) {
    py::class_<CaptureBatches>(m, "CaptureReader", R"doc(
The data packets of a pcap capture (as CaptureWriter, daqhost run --out, tcpdump or tshark make
them), in batches: iterating gives a PacketBatch of up to batch_size packets at a time, of the
datagrams sent from module_port. CaptureError when the file cannot be opened, is not a capture,
or is damaged (raised after the batches read before the damage). The GIL is released while it
reads and decodes: threads that each have a reader of their own decode side by side (one
reader used by two threads at once raises RuntimeError).)doc")
        .def(py::init<const std::string&, uint16_t, size_t>(), py::arg("path"),
             py::arg("module_port") = ModuleClient::kModulePort, py::arg("batch_size") = 1024)
        .def("__iter__", [](CaptureBatches& c) -> CaptureBatches& { return c; })
        .def("__next__", &CaptureBatches::next)
        .def_property_readonly("records", &CaptureBatches::records, "Datagrams read so far.")
        .def_property_readonly("skipped", &CaptureBatches::skipped,
                               "Frames read so far that were not whole IPv4/UDP datagrams.");

    py::class_<Writer>(m, "CaptureWriter", R"doc(
Records datagrams in a pcap file (nanosecond time stamps, raw IPv4) that tcpdump, tshark and
Wireshark open. Used as a context manager it is closed on exit.)doc")
        .def(py::init<const std::string&>(), py::arg("path"),
             "Creates or truncates the file; CaptureError when it cannot.")
        .def("write", &Writer::write, py::arg("time_ns"), py::arg("source"), py::arg("destination"),
             py::arg("payload"), "Appends one datagram (time since the Unix epoch, in ns).")
        .def("close", &Writer::close,
             "Flushes and closes; CaptureError when the data could not all be written.")
        .def_property_readonly("records", [](const Writer& w) { return w.writer().records(); })
        .def("__enter__", [](Writer& w) -> Writer& { return w; })
        .def("__exit__", [](Writer& w, const py::args&) { w.close(); });
}

}  // namespace daq::python
