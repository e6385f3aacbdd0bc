// The addresses of modules that come and go under one DNS name (the tasks of a scaled service,
// which the engine starts again elsewhere, at new addresses), looked up again and again on a
// thread of its own, so that a name server slow to answer holds up no run. The run session
// takes each new answer when it comes.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "daqhost/Endpoint.h"
#include "daqhost/RunSession.h"
#include "protocol/Export.h"

namespace daq {

class DAQ_API ModuleResolver {
  public:
    // One look, as the run session's settings give it.
    using Lookup = FollowSettings::Lookup;

    // Every IPv4 address of `names`, each once and with `port`, by the system's resolver; a
    // look fails when that of any name fails.
    static Lookup dns(std::vector<std::string> names, uint16_t port);

    // Looks up at once, then every `every_s` seconds, until destroyed.
    ModuleResolver(Lookup lookup, double every_s);
    ~ModuleResolver();
    ModuleResolver(const ModuleResolver&) = delete;
    ModuleResolver& operator=(const ModuleResolver&) = delete;

    // The newest answer not taken yet, if any: what the name resolved to at the last look.
    std::optional<std::vector<Endpoint>> take();

  private:
    void look_up_until_stopped();

    Lookup lookup_;
    double every_s_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::optional<std::vector<Endpoint>> answer_;
    std::thread thread_;
};

}  // namespace daq
