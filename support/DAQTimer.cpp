#include "support/DAQTimer.h"

#include "support/utils.h"

void DAQTimer::start() { gettimeofday(&start_time_, nullptr); }

double DAQTimer::operator()() const { return time_elapsed(&start_time_); }
