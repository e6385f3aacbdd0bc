// One deadline queue for the triggers of many modules in one event loop, each module on its own
// intervals: one timer, armed for the earliest trigger less a window, never polling the clock;
// a wake-up serves every module whose trigger comes due within the window. The window is the
// lateness a wake-up shows anyway (the timer's learned lateness, 20 to 100 µs). A trigger served
// early or late has the difference counted into its next interval, so that every module's
// cycles keep the times a lone module's would.
#pragma once

#include <glib.h>

#include <optional>
#include <vector>

#include "module/TriggerClock.h"
#include "server/DeadlineSource.h"

class TriggerQueue : public TriggerClock {
  public:
    // Attaches the queue's timer to the default main context.
    TriggerQueue();
    ~TriggerQueue() override;
    TriggerQueue(const TriggerQueue&) = delete;
    TriggerQueue& operator=(const TriggerQueue&) = delete;

    void arm(DAQmodule& module) override;
    void disarm(DAQmodule& module) override;

    // The modules armed now.
    size_t armed() const { return entries.size(); }
    // What the timer has seen of its wake-ups, and how many times a wake-up served a module.
    std::optional<DeadlineSource::Wakeups> wakeups() const;
    uint64_t modules_served() const { return served; }

  private:
    struct Entry {
        DAQmodule* module;
        // When its trigger is due, on the monotonic clock, in seconds.
        double due;
    };

    static double remaining(gpointer queue);
    static gboolean dispatch(gpointer queue);
    void serve();

    std::vector<Entry> entries;
    // How far ahead of its trigger a module is served, in seconds.
    double window = 20e-6;
    guint source = 0;
    uint64_t served = 0;
};
