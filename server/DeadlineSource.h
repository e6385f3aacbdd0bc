// A GLib source whose callback runs as soon as a moment on the wall clock has come, without
// keeping a processor busy until then. Far from that moment the loop sleeps: a timer descriptor
// armed with an absolute deadline wakes it a little early, and from there the loop polls the
// clock for what is left, as an idle source would. How early is learned from the wake-ups seen
// (a wake-up is late by some microseconds on an idle machine and by more on a busy one), so
// that the loop polls only for what a wake-up can miss by. A moment nearer than a wake-up can be
// trusted to keep is polled for the whole time, as an idle source would.
//
// The source asks for the time left on every turn of the loop, so the moment may move (the
// caller draws a new one after each dispatch); a step of the wall clock moves it too.
#pragma once

#include <glib.h>

#include <cstdint>
#include <optional>

class DeadlineSource {
  public:
    // Seconds until the callback is due, for the data given with it: 0 or less, or not a
    // number, means now; positive infinity means never.
    using Remaining = double (*)(gpointer data);

    struct Policy {
        // How long before the moment the timer wakes the loop, in seconds: learned from the
        // wake-ups when empty. 0 sleeps up to the moment itself and never polls.
        std::optional<double> early;
        // The loop sleeps only when the moment is at least this far beyond the early margin;
        // nearer, it polls, as it would for an idle source.
        double shortest_sleep = 100e-6;
    };

    // What the source has seen of its wake-ups, for benchmarks and counters.
    struct Wakeups {
        uint64_t count = 0;
        // How late the timer woke the loop, summed and at most, in seconds.
        double late_total = 0;
        double late_most = 0;
        // The early margin now in use, in seconds.
        double early = 0;

        // Adds the wake-ups of another run; the margin becomes that run's.
        Wakeups& operator+=(const Wakeups& more);
    };

    // Makes the source and attaches it to the default main context at `priority`; returns its
    // id, which g_source_remove takes as it takes any other. `callback` gets `data` and returns
    // as an idle callback does: TRUE to stay, FALSE to be removed.
    static guint attach(GSourceFunc callback, Remaining remaining, gpointer data, int priority,
                        const Policy& policy);
    static guint attach(GSourceFunc callback, Remaining remaining, gpointer data, int priority) {
        return attach(callback, remaining, data, priority, Policy{});
    }

    // The wake-ups of the source with this id in the default main context; nothing when it is
    // not there (or not a deadline source).
    static std::optional<Wakeups> wakeups(guint id);
};
