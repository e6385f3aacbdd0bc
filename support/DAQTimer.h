// Elapsed seconds on the wall clock since the timer's start, with microsecond resolution.
#pragma once

#include <sys/time.h>

class DAQTimer {
  public:
    DAQTimer() { start(); }

    void start();
    void reset() { start(); }
    double operator()() const;
    // The elapsed seconds, and a new start at the same moment: one reading of the clock.
    double restart();

    // The clock the timers read, in seconds since the epoch.
    static double now();

  private:
    timeval start_time_;
};
