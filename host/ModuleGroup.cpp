#include "daqhost/ModuleGroup.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>

namespace daq {

ModuleGroup::ModuleGroup(const std::vector<ModuleClient::Settings>& modules)
    : polls_(modules.size()) {
    clients_.reserve(modules.size());
    for (const ModuleClient::Settings& settings : modules) {
        clients_.push_back(std::make_unique<ModuleClient>(settings));
    }
}

size_t ModuleGroup::add(const ModuleClient::Settings& settings) {
    clients_.push_back(std::make_unique<ModuleClient>(settings));
    polls_.emplace_back();
    return clients_.size() - 1;
}

std::vector<RequestOutcome> ModuleGroup::request(const std::vector<size_t>& members,
                                                 const ModuleRequest& request) {
    std::vector<RequestOutcome> outcomes;
    outcomes.reserve(members.size());
    // One module: its own loop, as a single request has always run.
    if (members.size() == 1 && clients_.size() == 1) {
        outcomes.push_back(clients_[members[0]]->request(request));
        return outcomes;
    }
    for (size_t i : members) clients_[i]->start_request(request);
    // Every pass waits until the nearest timeout at most, and every module's request ends
    // after 1 + retries timeouts: the loop ends within the longest of those.
    for (;;) {
        double nearest = -1;
        for (size_t i : members) {
            const ModuleClient& c = *clients_[i];
            if (!c.request_pending()) continue;
            const double left = std::max(0.0, c.request_time_left());
            nearest = nearest < 0 ? left : std::min(nearest, left);
        }
        if (nearest < 0) break;
        wait(nearest);
        for (size_t i = 0; i < clients_.size(); ++i) {
            ModuleClient& c = *clients_[i];
            if (c.request_pending()) {
                if (ready(i) || c.request_time_left() <= 0) c.continue_request(0);
            } else if (ready(i)) {
                // A module already done (or not asked) streams on: keep its queue short. A
                // failure of its socket shows again in the next receive().
                c.receive(0);
            }
        }
    }
    for (size_t i : members) outcomes.push_back(clients_[i]->request_outcome());
    return outcomes;
}

int ModuleGroup::wait(double timeout_s) {
    for (size_t i = 0; i < clients_.size(); ++i) {
        polls_[i] = {clients_[i]->descriptor(), POLLIN, 0};
    }
    // Rounded up, so that a wait for a timeout does not end just before it.
    const int timeout_ms = static_cast<int>(std::ceil(timeout_s * 1000));
    const int ready = ::poll(polls_.data(), polls_.size(), timeout_ms);
    if (ready > 0) return ready;
    for (pollfd& p : polls_) p.revents = 0;
    if (ready < 0 && errno != EINTR) {
        error_ = std::string("cannot wait for the sockets: ") + std::strerror(errno);
        return -1;
    }
    return 0;
}

int ModuleGroup::receive(double timeout_s) {
    // One module: its own loop, which takes what is waiting before it polls.
    if (clients_.size() == 1) {
        const int n = clients_[0]->drain(timeout_s, kReceiveBudget_s);
        if (n < 0) error_ = clients_[0]->error();
        queued_max_ = std::max(queued_max_, static_cast<uint64_t>(std::max(n, 0)));
        return n;
    }
    const int ready_sockets = wait(timeout_s);
    if (ready_sockets <= 0) return ready_sockets;
    const auto end =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(kReceiveBudget_s);
    int total = 0;
    // Each turn another socket goes first, so that none is always the one left a batch only.
    first_ = (first_ + 1) % clients_.size();
    for (size_t k = 0; k < clients_.size(); ++k) {
        const size_t i = (first_ + k) % clients_.size();
        if (!ready(i)) continue;
        const double left =
            std::chrono::duration<double>(end - std::chrono::steady_clock::now()).count();
        const int n = clients_[i]->drain(0, std::max(left, 0.0));
        if (n < 0) {
            error_ = clients_[i]->error();
            return -1;
        }
        queued_max_ = std::max(queued_max_, static_cast<uint64_t>(n));
        total += n;
    }
    return total;
}

}  // namespace daq
