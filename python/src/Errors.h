// The exceptions the package raises. Binding code may run with the GIL released, where no
// Python object can be made: it throws a RaisedError naming the Python class, and the
// translator registered by bind_errors() raises it once the GIL is held again.
#pragma once

#include <Python.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include "daqhost/Endpoint.h"

namespace daq::python {

// The package's own classes, made by bind_errors(); they live as long as the interpreter.
extern PyObject* module_error_class;    // ModuleError(Exception): .module, .code, .command
extern PyObject* no_acknowledge_class;  // NoAcknowledge(TimeoutError): .module
extern PyObject* capture_error_class;   // CaptureError(OSError)

// With a module, the exception carries it as .module (an Endpoint).
struct RaisedError : std::runtime_error {
    RaisedError(PyObject* type, const std::string& message,
                std::optional<Endpoint> module = std::nullopt)
        : std::runtime_error(message), type(type), module(module) {}
    PyObject* type;
    std::optional<Endpoint> module;
};

// An acknowledge with an error code other than 0: ModuleError with the module and the codes as
// attributes.
struct ModuleErrorRaised : RaisedError {
    ModuleErrorRaised(const Endpoint& module, unsigned command, unsigned error,
                      const std::string& message)
        : RaisedError(module_error_class, message, module), command(command), error(error) {}
    unsigned command;
    unsigned error;
};

void bind_errors(pybind11::module_& m);

}  // namespace daq::python
