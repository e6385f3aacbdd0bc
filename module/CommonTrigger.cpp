#include "module/CommonTrigger.h"

#include <sys/time.h>

#include <algorithm>
#include <limits>

#include "module/DAQmodule.h"
#include "module/generation.h"

namespace {

double wall_clock() {
    timeval now{};
    gettimeofday(&now, nullptr);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_usec) * 1e-6;
}

}  // namespace

CommonTrigger::CommonTrigger(double period) : period(period) {
    source = DeadlineSource::attach(&CommonTrigger::dispatch, &CommonTrigger::remaining, this,
                                    G_PRIORITY_DEFAULT_IDLE);
}

CommonTrigger::~CommonTrigger() {
    if (source > 0) g_source_remove(source);
}

void CommonTrigger::arm(DAQmodule& module) {
    if (std::find(modules.begin(), modules.end(), &module) == modules.end()) {
        modules.push_back(&module);
    }
    begin_when_all_armed();
}

void CommonTrigger::set_members(size_t count) {
    members = count;
    begin_when_all_armed();
}

void CommonTrigger::begin_when_all_armed() {
    if (running || modules.empty() || modules.size() < members) return;
    running = true;
    next_event = 1;
    due = wall_clock() + draw_interval(random, period);
}

void CommonTrigger::disarm(DAQmodule& module) {
    std::erase(modules, &module);
    if (modules.empty()) running = false;
}

std::optional<DeadlineSource::Wakeups> CommonTrigger::wakeups() const {
    return DeadlineSource::wakeups(source);
}

double CommonTrigger::remaining(gpointer data) {
    const auto* trigger = static_cast<const CommonTrigger*>(data);
    if (!trigger->running) return std::numeric_limits<double>::infinity();
    return trigger->due - wall_clock();
}

gboolean CommonTrigger::dispatch(gpointer data) {
    static_cast<CommonTrigger*>(data)->fire();
    return TRUE;
}

void CommonTrigger::fire() {
    if (!running) return;
    // A module whose run a cycle ends leaves the list: walk a copy.
    const std::vector<DAQmodule*> armed_now = modules;
    for (DAQmodule* module : armed_now) module->common_cycle(next_event);
    ++next_event;
    // The next trigger is due an interval after this one was, so that the rate is the
    // period's; one that would be more than half a period late by then is not caught up but
    // due an interval from now.
    const double interval = draw_interval(random, period);
    const double now = wall_clock();
    due = due + interval < now - 0.5 * period ? now + interval : due + interval;
}
