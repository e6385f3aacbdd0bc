#include "ModuleResolver.h"

#include <algorithm>
#include <chrono>
#include <utility>

namespace daq {

ModuleResolver::Lookup ModuleResolver::dns(std::vector<std::string> names, uint16_t port) {
    return [names = std::move(names), port]() -> std::optional<std::vector<Endpoint>> {
        std::vector<Endpoint> all;
        for (const std::string& name : names) {
            const Endpoint::Resolution found = Endpoint::look_up(name, port);
            if (found.failed) return std::nullopt;
            for (const Endpoint& e : found.endpoints) {
                if (std::find(all.begin(), all.end(), e) == all.end()) all.push_back(e);
            }
        }
        return all;
    };
}

ModuleResolver::ModuleResolver(Lookup lookup, double every_s)
    : lookup_(std::move(lookup)), every_s_(every_s) {
    thread_ = std::thread([this] { look_up_until_stopped(); });
}

ModuleResolver::~ModuleResolver() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    // A look under way ends within the resolver's own timeouts.
    thread_.join();
}

std::optional<std::vector<Endpoint>> ModuleResolver::take() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(answer_, std::nullopt);
}

void ModuleResolver::look_up_until_stopped() {
    const auto every = std::chrono::duration<double>(every_s_);
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
        lock.unlock();
        std::optional<std::vector<Endpoint>> found = lookup_();
        lock.lock();
        if (found) answer_ = std::move(found);
        wake_.wait_for(lock, every, [this] { return stop_; });
    }
}

}  // namespace daq
