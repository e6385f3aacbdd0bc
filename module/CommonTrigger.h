// The common trigger of modules that share an event loop, as a detector's modules share one:
// every module armed on it takes the same trigger times, one Gaussian sequence of intervals
// around the period (the trigger's own random sequence), so that event N of every module is
// the same trigger; each module's data stay its own sequence's.
//
// How the event numbers line up: the trigger holds until every member (the modules switched
// on, set_members) has started its run, then fires trigger 1, 2, ... as event 1, 2, ... of
// every module running: event N of each is the same trigger. A module that starts a run later
// (switched on again, or started again by its host) counts its run from 1 as any run does, on
// the crate's trigger times: its event N is the Nth trigger since it joined. A module held
// (paused) misses the triggers meanwhile and goes on with its count: a gap in its events. When
// no module runs any more, the count begins again at the next start of them all.
#pragma once

#include <glib.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "module/TriggerClock.h"
#include "server/DeadlineSource.h"
#include "support/RandomSequence.h"

class CommonTrigger : public TriggerClock {
  public:
    // Attaches the trigger's timer to the default main context; `period` in seconds.
    explicit CommonTrigger(double period);
    ~CommonTrigger() override;
    CommonTrigger(const CommonTrigger&) = delete;
    CommonTrigger& operator=(const CommonTrigger&) = delete;

    void arm(DAQmodule& module) override;
    void disarm(DAQmodule& module) override;
    void hold(DAQmodule& module) override;
    void release(DAQmodule& module) override;
    // How many modules must have started before the first trigger.
    void set_members(size_t count);

    // The triggers fired since the count last began (0 while it holds), and the modules armed.
    uint32_t triggers() const { return next_event - 1; }
    size_t armed() const { return modules.size(); }
    std::optional<DeadlineSource::Wakeups> wakeups() const;

  private:
    static double remaining(gpointer trigger);
    static gboolean dispatch(gpointer trigger);
    void fire();
    // Begins the count once every member is armed.
    void begin_when_all_armed();

    double period;
    RandomSequence random;
    struct Member {
        DAQmodule* module;
        // The trigger count when its run joined, and which of its runs that was.
        uint32_t base;
        uint64_t run;
        bool held;
    };
    std::vector<Member>::iterator find(const DAQmodule& module);

    std::vector<Member> modules;
    size_t members = 0;
    bool running = false;
    // When the next trigger is due, on the wall clock, in seconds.
    double due = 0.0;
    uint32_t next_event = 1;
    guint source = 0;
};
