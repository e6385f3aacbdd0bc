#include "testcrate/Crate.h"

#include <fcntl.h>
#include <glib-unix.h>
#include <sched.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <functional>
#include <utility>

#include "app/ServeLoop.h"

namespace {

// The clock of a paused module: its run, if it goes on meanwhile, waits for the crate's.
class HeldClock : public TriggerClock {
  public:
    void arm(DAQmodule&) override {}
    void disarm(DAQmodule&) override {}
};

HeldClock held;

// Runs `make` with the thread in network namespace `netns` (a name under /run/netns, or a
// path; empty: the one it is in), then back in its own. False, with the reason, when the
// namespace cannot be entered; else what `make` returns.
bool in_namespace(const std::string& netns, const std::function<bool()>& make, std::string& error) {
    if (netns.empty()) return make();
    const std::string path = netns.find('/') == std::string::npos ? "/run/netns/" + netns : netns;
    const int target = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const int own = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    bool made = false;
    if (target < 0 || own < 0 || ::setns(target, CLONE_NEWNET) != 0) {
        error = "cannot enter the network namespace " + path + ": " + std::strerror(errno);
    } else {
        made = make();
        if (::setns(own, CLONE_NEWNET) != 0) {
            error = std::string("cannot return to the crate's network namespace: ") +
                    std::strerror(errno);
            made = false;
        }
    }
    if (target >= 0) ::close(target);
    if (own >= 0) ::close(own);
    return made;
}

struct Resume {
    Crate* crate;
    size_t module;
};

}  // namespace

Crate::Crate(CrateSettings settings) : settings(std::move(settings)) {
    if (this->settings.common_trigger) {
        common = std::make_unique<CommonTrigger>(1.0 / this->settings.module.rate);
    } else {
        queue = std::make_unique<TriggerQueue>();
    }
    slots.resize(this->settings.modules.size());
    sockets = ::epoll_create1(EPOLL_CLOEXEC);
    if (sockets >= 0)
        sockets_source = g_unix_fd_add(sockets, G_IO_IN, &Crate::serve_requests, this);
}

Crate::~Crate() {
    for (Slot& slot : slots) drop_module(slot);
    if (sockets_source > 0) g_source_remove(sockets_source);
    if (sockets >= 0) ::close(sockets);
}

void Crate::watch(size_t i) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = i;
    slots[i].watched = ::epoll_ctl(sockets, EPOLL_CTL_ADD, slots[i].module->fileno(), &event) == 0;
}

void Crate::unwatch(size_t i) {
    if (slots[i].watched) {
        ::epoll_ctl(sockets, EPOLL_CTL_DEL, slots[i].module->fileno(), nullptr);
    }
    slots[i].watched = false;
}

gboolean Crate::serve_requests(gint fd, GIOCondition, gpointer data) {
    auto* crate = static_cast<Crate*>(data);
    epoll_event ready[64];
    const int count = ::epoll_wait(fd, ready, 64, 0);
    for (int k = 0; k < count; ++k) {
        Slot& slot = crate->slots[ready[k].data.u64];
        if (slot.watched) slot.module->process_request();
    }
    return G_SOURCE_CONTINUE;
}

TriggerClock& Crate::clock() {
    if (common) return *common;
    return *queue;
}

bool Crate::open() {
    for (size_t i = 0; i < slots.size(); ++i) {
        if (!make_module(i)) return false;
    }
    return true;
}

bool Crate::make_module(size_t i) {
    const CrateSettings::Slot& place = settings.modules[i];
    const StartupSettings& options = settings.module;
    const int port = options.port.value_or(kModulePort);
    auto module = std::make_unique<DAQmodule>(options.interface, port, options.chip_type);
    set_up_module(*module, options);
    module->set_trigger_clock(&clock());
    module->serve_exactly(place.address, port);
    std::string problem;
    const bool serving = in_namespace(
        place.netns, [&] { return module->init_server() == 0; }, problem);
    if (!serving || sockets < 0) {
        error_ = "module " + std::to_string(i + 1) + " cannot serve " + place.address + ":" +
                 std::to_string(port) + (problem.empty() ? "" : " (" + problem + ")");
        return false;
    }
    Slot& slot = slots[i];
    slot.module = std::move(module);
    slot.state = State::kOn;
    watch(i);
    count_members();
    return true;
}

void Crate::drop_module(Slot& slot) {
    if (slot.module) unwatch(static_cast<size_t>(&slot - slots.data()));
    if (slot.resume > 0) g_source_remove(slot.resume);
    slot.resume = 0;
    slot.module.reset();
    slot.state = State::kOff;
    count_members();
}

void Crate::count_members() {
    if (!common) return;
    size_t on = 0;
    for (const Slot& slot : slots) on += slot.state != State::kOff ? 1 : 0;
    common->set_members(on);
}

std::vector<DAQmodule*> Crate::modules() const {
    std::vector<DAQmodule*> list;
    for (const Slot& slot : slots) {
        if (slot.module) list.push_back(slot.module.get());
    }
    return list;
}

std::string Crate::pause(size_t i, double seconds) {
    Slot& slot = slots[i];
    if (slot.state == State::kOff) return "module " + std::to_string(i + 1) + " is switched off";
    if (slot.state == State::kPaused) return "module " + std::to_string(i + 1) + " is paused";
    unwatch(i);
    clock().hold(*slot.module);
    slot.module->set_trigger_clock(&held);
    slot.state = State::kPaused;
    auto* resume = new Resume{this, i};
    slot.resume = g_timeout_add_full(
        G_PRIORITY_DEFAULT, static_cast<guint>(std::lround(seconds * 1000.0)),
        &Crate::resume_module, resume, [](gpointer data) { delete static_cast<Resume*>(data); });
    return {};
}

gboolean Crate::resume_module(gpointer data) {
    const auto* resume = static_cast<const Resume*>(data);
    Slot& slot = resume->crate->slots[resume->module];
    slot.resume = 0;
    slot.state = State::kOn;
    TriggerClock& clock = resume->crate->clock();
    slot.module->set_trigger_clock(&clock);
    if (slot.module->run_active() && !slot.module->start_pending()) {
        clock.release(*slot.module);
    } else {
        clock.disarm(*slot.module);
    }
    resume->crate->watch(resume->module);
    return G_SOURCE_REMOVE;
}

std::string Crate::power_cycle(size_t i) {
    if (slots[i].state == State::kOff) {
        return "module " + std::to_string(i + 1) + " is switched off: switch it on";
    }
    drop_module(slots[i]);
    return make_module(i) ? std::string() : error_;
}

std::string Crate::kill(size_t i) {
    if (slots[i].state == State::kOff) {
        return "module " + std::to_string(i + 1) + " is switched off already";
    }
    drop_module(slots[i]);
    return {};
}

std::string Crate::switch_on(size_t i) {
    if (slots[i].state != State::kOff) return "module " + std::to_string(i + 1) + " is on";
    return make_module(i) ? std::string() : error_;
}
