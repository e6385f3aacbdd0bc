#include "support/DAQTimer.h"

#include "support/utils.h"

void DAQTimer::start() { gettimeofday(&start_time_, nullptr); }

double DAQTimer::operator()() const { return time_elapsed(&start_time_); }

double DAQTimer::now() {
    timeval now;
    gettimeofday(&now, nullptr);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_usec) * 1e-6;
}

double DAQTimer::restart() {
    timeval now;
    gettimeofday(&now, nullptr);
    const double elapsed = seconds_between(start_time_, now);
    start_time_ = now;
    return elapsed;
}
