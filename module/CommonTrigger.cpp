#include "module/CommonTrigger.h"

#include <algorithm>
#include <limits>

#include "module/DAQmodule.h"
#include "module/generation.h"
#include "support/DAQTimer.h"

CommonTrigger::CommonTrigger(double period) : period(period) {
    source = DeadlineSource::attach(&CommonTrigger::dispatch, &CommonTrigger::remaining, this,
                                    G_PRIORITY_DEFAULT_IDLE);
}

CommonTrigger::~CommonTrigger() {
    if (source > 0) g_source_remove(source);
}

std::vector<CommonTrigger::Member>::iterator CommonTrigger::find(const DAQmodule& module) {
    return std::find_if(modules.begin(), modules.end(),
                        [&](const Member& m) { return m.module == &module; });
}

void CommonTrigger::arm(DAQmodule& module) {
    const Member joined = {&module, running ? next_event - 1 : 0, module.activity().runs_started,
                           false};
    if (const auto member = find(module); member != modules.end()) {
        *member = joined;
    } else {
        modules.push_back(joined);
    }
    begin_when_all_armed();
}

void CommonTrigger::hold(DAQmodule& module) {
    if (const auto member = find(module); member != modules.end()) member->held = true;
}

void CommonTrigger::release(DAQmodule& module) {
    const auto member = find(module);
    // A run that began while the module was held counts from 1.
    if (member == modules.end() || member->run != module.activity().runs_started) {
        arm(module);
        return;
    }
    member->held = false;
}

void CommonTrigger::set_members(size_t count) {
    members = count;
    begin_when_all_armed();
}

void CommonTrigger::begin_when_all_armed() {
    if (running || modules.empty() || modules.size() < members) return;
    running = true;
    next_event = 1;
    due = DAQTimer::now() + draw_interval(random, period);
}

void CommonTrigger::disarm(DAQmodule& module) {
    std::erase_if(modules, [&](const Member& m) { return m.module == &module; });
    if (modules.empty()) running = false;
}

std::optional<DeadlineSource::Wakeups> CommonTrigger::wakeups() const {
    return DeadlineSource::wakeups(source);
}

double CommonTrigger::remaining(gpointer data) {
    const auto* trigger = static_cast<const CommonTrigger*>(data);
    if (!trigger->running) return std::numeric_limits<double>::infinity();
    return trigger->due - DAQTimer::now();
}

gboolean CommonTrigger::dispatch(gpointer data) {
    static_cast<CommonTrigger*>(data)->fire();
    return TRUE;
}

void CommonTrigger::fire() {
    if (!running) return;
    // A module whose run a cycle ends leaves the list: walk a copy.
    // Every module's packets are made first and sent after, so that they leave together.
    const std::vector<Member> armed_now = modules;
    for (const Member& member : armed_now) {
        if (!member.held) member.module->common_cycle(next_event - member.base);
    }
    for (const Member& member : armed_now) {
        if (!member.held) member.module->send_common_cycle();
    }
    ++next_event;
    // The next trigger is due an interval after this one was, so that the rate is the
    // period's; one that would be more than half a period late by then is not caught up but
    // due an interval from now.
    const double interval = draw_interval(random, period);
    const double now = DAQTimer::now();
    due = due + interval < now - 0.5 * period ? now + interval : due + interval;
}
