#include "module/TriggerQueue.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "module/DAQmodule.h"
#include "support/DAQTimer.h"

namespace {

// The window of a wake-up: the lateness the timer has learned, within these bounds.
constexpr double kLeastWindow = 20e-6;
constexpr double kMostWindow = 100e-6;

}  // namespace

TriggerQueue::TriggerQueue() {
    // Asleep up to the moment itself, never polling the clock: a wake-up late by the usual
    // lateness is what the window takes in.
    DeadlineSource::Policy policy;
    policy.early = 0.0;
    source = DeadlineSource::attach(&TriggerQueue::dispatch, &TriggerQueue::remaining, this,
                                    G_PRIORITY_DEFAULT_IDLE, policy);
}

TriggerQueue::~TriggerQueue() {
    if (source > 0) g_source_remove(source);
}

void TriggerQueue::arm(DAQmodule& module) {
    disarm(module);
    entries.push_back({&module, DAQTimer::now() + module.time_to_trigger()});
}

void TriggerQueue::disarm(DAQmodule& module) {
    std::erase_if(entries, [&](const Entry& e) { return e.module == &module; });
}

std::optional<DeadlineSource::Wakeups> TriggerQueue::wakeups() const {
    return DeadlineSource::wakeups(source);
}

double TriggerQueue::remaining(gpointer data) {
    const auto* queue = static_cast<const TriggerQueue*>(data);
    if (queue->entries.empty()) return std::numeric_limits<double>::infinity();
    double earliest = std::numeric_limits<double>::infinity();
    for (const Entry& e : queue->entries) earliest = std::min(earliest, e.due);
    return earliest - queue->window - DAQTimer::now();
}

gboolean TriggerQueue::dispatch(gpointer data) {
    static_cast<TriggerQueue*>(data)->serve();
    return TRUE;
}

void TriggerQueue::serve() {
    const std::optional<DeadlineSource::Wakeups> seen = wakeups();
    if (seen && seen->count > 0) window = std::clamp(seen->early, kLeastWindow, kMostWindow);
    const double until = DAQTimer::now() + window;
    // A module served may stop its run or arm another module: the list is walked by index
    // over the entries there were, each looked up again.
    std::vector<DAQmodule*> due;
    for (const Entry& e : entries) {
        if (!(e.due > until)) due.push_back(e.module);
    }
    for (DAQmodule* module : due) {
        const auto entry = std::find_if(entries.begin(), entries.end(),
                                        [&](const Entry& e) { return e.module == module; });
        if (entry == entries.end()) continue;
        const bool stays = module->queued_step(std::max(until - DAQTimer::now(), 0.0));
        ++served;
        const auto again = std::find_if(entries.begin(), entries.end(),
                                        [&](const Entry& e) { return e.module == module; });
        if (again == entries.end()) continue;
        if (stays) {
            again->due = DAQTimer::now() + module->time_to_trigger();
        } else {
            entries.erase(again);
        }
    }
}
