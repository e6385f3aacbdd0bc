#include "support/DAQTimer.h"

#include "support/utils.h"

void DAQTimer::start() { gettimeofday(&start_time_, nullptr); }

double DAQTimer::operator()() const { return time_elapsed(&start_time_); }

double DAQTimer::restart() {
    timeval now;
    gettimeofday(&now, nullptr);
    const double elapsed = seconds_between(start_time_, now);
    start_time_ = now;
    return elapsed;
}
