// An address given from Python: an Endpoint, or its text with or without the port.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "daqhost/Endpoint.h"
#include "daqhost/ModuleClient.h"

namespace daq::python {

using EndpointText = std::variant<Endpoint, std::string>;

// The endpoint, or the text read with `port` where it names none; ValueError for bad text.
Endpoint to_endpoint(const EndpointText& given, uint16_t port);

ModuleClient::Settings client_settings(const EndpointText& module, double timeout_s, int retries,
                                       int receive_buffer, const EndpointText& local);

}  // namespace daq::python
