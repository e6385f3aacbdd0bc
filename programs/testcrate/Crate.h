// Many emulated modules in one process, on one event loop: each module a DAQmodule of its own
// (its streams, run, random sequence, pedestal buffer, socket and host), on an address of its
// own, its socket made in its network namespace when it has one. Their triggers share one
// deadline queue, or one common trigger. Single modules can be paused, power cycled, killed
// and switched on again while the others go on.
#pragma once

#include <glib.h>

#include <memory>
#include <string>
#include <vector>

#include "module/CommonTrigger.h"
#include "module/DAQmodule.h"
#include "module/TriggerQueue.h"
#include "testcrate/CrateSettings.h"

class Crate {
  public:
    enum class State { kOn, kPaused, kOff };

    explicit Crate(CrateSettings settings);
    ~Crate();
    Crate(const Crate&) = delete;
    Crate& operator=(const Crate&) = delete;

    // Switches every module on; false, with the reason in error(), when a module cannot serve.
    bool open();
    const std::string& error() const { return error_; }

    size_t size() const { return slots.size(); }
    State state(size_t i) const { return slots[i].state; }
    // Module i (from 0), or null while it is switched off.
    const DAQmodule* module(size_t i) const { return slots[i].module.get(); }
    const CrateSettings::Slot& place(size_t i) const { return settings.modules[i]; }
    bool common_trigger() const { return common != nullptr; }

    // The faults of module i (from 0). Each returns an empty text when done, else why not
    // (and changes nothing).
    //
    // Neither serves its requests nor triggers for `seconds`, then goes on where it was, as
    // a stopped process would.
    std::string pause(size_t i, double seconds);
    // Switched off and on: its state and random sequence as at a fresh start.
    std::string power_cycle(size_t i);
    // Silent, its socket closed, until switched on again.
    std::string kill(size_t i);
    std::string switch_on(size_t i);

    // The modules switched on and paused, for the shutdown and the counters.
    std::vector<DAQmodule*> modules() const;

  private:
    struct Slot {
        std::unique_ptr<DAQmodule> module;
        State state = State::kOff;
        // Its socket among those the loop waits on.
        bool watched = false;
        guint resume = 0;
    };

    bool make_module(size_t i);
    void drop_module(Slot& slot);
    // Waits on module i's socket, or no longer.
    void watch(size_t i);
    void unwatch(size_t i);
    static gboolean serve_requests(gint fd, GIOCondition, gpointer crate);
    void count_members();
    TriggerClock& clock();
    static gboolean resume_module(gpointer resumed);

    CrateSettings settings;
    std::unique_ptr<TriggerQueue> queue;
    std::unique_ptr<CommonTrigger> common;
    std::vector<Slot> slots;
    // The modules' sockets, all in one epoll set that the loop waits on, so that a turn of the
    // loop polls one descriptor, not one for each module.
    int sockets = -1;
    guint sockets_source = 0;
    std::string error_;
};
