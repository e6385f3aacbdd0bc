#include "Errors.h"

namespace py = pybind11;

namespace daq::python {

PyObject* module_error_class = nullptr;
PyObject* no_acknowledge_class = nullptr;
PyObject* capture_error_class = nullptr;

namespace {

PyObject* new_class(py::module_& m, const char* name, const char* doc, PyObject* base) {
    const std::string qualified = "daqhost." + std::string(name);
    PyObject* type = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, base, nullptr);
    if (type == nullptr) throw py::error_already_set();
    // The module holds one reference; this one stays with the pointer for the translator.
    m.add_object(name, py::reinterpret_borrow<py::object>(type));
    return type;
}

}  // namespace

void bind_errors(py::module_& m) {
    module_error_class =
        new_class(m, "ModuleError",
                  "The module acknowledged a request with an error code other than 0.\n\n"
                  ".module is the module (an Endpoint), .code the error code (1 no such hybrid, "
                  "255 unknown command), .command the request's code.",
                  PyExc_Exception);
    no_acknowledge_class = new_class(m, "NoAcknowledge",
                                     "A request went without its acknowledge after every attempt "
                                     "(1 + retries, each of timeout_s seconds).\n\n.module is "
                                     "the module (an Endpoint).",
                                     PyExc_TimeoutError);
    capture_error_class =
        new_class(m, "CaptureError",
                  "A capture file cannot be opened, read or written: missing, not a pcap capture, "
                  "damaged, or the disk failed.",
                  PyExc_OSError);

    py::register_exception_translator([](std::exception_ptr raised) {
        try {
            if (raised) std::rethrow_exception(raised);
        } catch (const RaisedError& e) {
            if (!e.module) {
                PyErr_SetString(e.type, e.what());
                return;
            }
            py::object error = py::reinterpret_borrow<py::object>(e.type)(e.what());
            error.attr("module") = *e.module;
            if (const auto* acknowledged = dynamic_cast<const ModuleErrorRaised*>(&e)) {
                error.attr("code") = acknowledged->error;
                error.attr("command") = acknowledged->command;
            }
            PyErr_SetObject(e.type, error.ptr());
        }
    });
}

}  // namespace daq::python
