// A control command's requests to one module, as `daqhost discover`, `stream`, `set`, `start`
// and the like send them: the module's socket opened, this host made the module's host by a
// discovery, then each request, acknowledged or not. The library's own (not installed).
#pragma once

#include <string>

#include "daqhost/ModuleClient.h"
#include "protocol/ModuleRequest.h"

namespace daq {

class ModuleCommand {
  public:
    explicit ModuleCommand(const ModuleClient::Settings& settings) : client_(settings) {}

    // Opens the socket and sends the discovery; false, with error() set, when the socket
    // cannot be opened or no acknowledge comes.
    bool discover();
    // Sends `request`; false, with error() set, when no acknowledge comes. An acknowledge
    // with an error code is one: outcome() says which.
    bool send(const ModuleRequest& request);

    const ModuleClient& client() const { return client_; }
    // The last request's outcome.
    const RequestOutcome& outcome() const { return outcome_; }
    // "ADDR:PORT: NAME (code N): error E (TEXT), version V": the last request's acknowledge.
    std::string outcome_text() const;
    const std::string& error() const { return error_; }

  private:
    bool acknowledged();

    ModuleClient client_;
    RequestOutcome outcome_;
    unsigned code_ = 0;
    std::string error_;
};

}  // namespace daq
