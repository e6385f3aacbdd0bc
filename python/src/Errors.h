// The exceptions the package raises. Binding code may run with the GIL released, where no
// Python object can be made: it throws a RaisedError naming the Python class, and the
// translator registered by bind_errors() raises it once the GIL is held again.
#pragma once

#include <Python.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace daq::python {

// The package's own classes, made by bind_errors(); they live as long as the interpreter.
extern PyObject* module_error_class;    // ModuleError(Exception): .code, .command
extern PyObject* no_acknowledge_class;  // NoAcknowledge(TimeoutError)
extern PyObject* capture_error_class;   // CaptureError(OSError)

struct RaisedError : std::runtime_error {
    RaisedError(PyObject* type, const std::string& message)
        : std::runtime_error(message), type(type) {}
    PyObject* type;
};

// An acknowledge with an error code other than 0: ModuleError with the codes as attributes.
struct ModuleErrorRaised : std::runtime_error {
    ModuleErrorRaised(unsigned command, unsigned error, const std::string& message)
        : std::runtime_error(message), command(command), error(error) {}
    unsigned command;
    unsigned error;
};

void bind_errors(pybind11::module_& m);

}  // namespace daq::python
