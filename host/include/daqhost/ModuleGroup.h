// Many modules driven from one thread: one client (one connected socket) per module, and one
// poll over all the sockets. A request goes to every module named at once and each module's
// acknowledge is awaited, and its request sent again, on that module's own clock, so that
// modules that do not answer cost the others one timeout in all rather than one each.
#pragma once

#include <poll.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "daqhost/ModuleClient.h"
#include "protocol/Export.h"

namespace daq {

class DAQ_API ModuleGroup {
  public:
    explicit ModuleGroup(const std::vector<ModuleClient::Settings>& modules);

    size_t size() const { return clients_.size(); }
    // A module more (not opened yet); its index.
    size_t add(const ModuleClient::Settings& settings);
    // Module `i`'s client: to open it and to set its receiver and sender.
    ModuleClient& client(size_t i) { return *clients_[i]; }
    const ModuleClient& client(size_t i) const { return *clients_[i]; }

    // Sends `request` to each module of `members` (indices) and waits for their acknowledges,
    // each sent again after its own timeout, at most 1 + retries times. Whatever arrives
    // meanwhile, from any open module, goes to that module's receiver. The outcomes are in the
    // order of `members`.
    std::vector<RequestOutcome> request(const std::vector<size_t>& members,
                                        const ModuleRequest& request);

    // Waits up to `timeout_s` for datagrams from any open module and hands each to its
    // module's receiver, taking what waits at each socket until it is empty (for
    // kReceiveBudget_s in all at most, one batch of each socket at least); returns how many, 0
    // on a timeout or an interrupting signal, -1 on an error (error() says which).
    int receive(double timeout_s);
    const std::string& error() const { return error_; }
    // The most datagrams one receive() took from one socket.
    uint64_t queued_max() const { return queued_max_; }

    // A bound that keeps the requests due in a loop of receive() timely.
    static constexpr double kReceiveBudget_s = 0.05;

  private:
    // Waits up to `timeout_s` until a socket is readable (or has an error to report); how many
    // are, 0 on a timeout or a signal, -1 on an error.
    int wait(double timeout_s);
    bool ready(size_t i) const { return (polls_[i].revents & (POLLIN | POLLERR)) != 0; }

    std::vector<std::unique_ptr<ModuleClient>> clients_;
    std::vector<pollfd> polls_;
    std::string error_;
    uint64_t queued_max_ = 0;
    size_t first_ = 0;
};

}  // namespace daq
