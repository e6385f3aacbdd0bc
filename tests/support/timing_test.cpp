// Waiting and elapsed-time measurement on the wall clock.
#include <gtest/gtest.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>

#include "support/DAQTimer.h"
#include "support/utils.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST(TimeElapsed, borrows_a_second_when_the_microseconds_now_are_smaller) {
    // Wait (bounded) for a moment early in a second, so that an instant 1.5 s before it has the
    // larger microsecond part and the subtraction must borrow.
    timeval now{};
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(3);
    do {
        gettimeofday(&now, nullptr);
        if (now.tv_usec < 400000) break;
        usleep(1000);
    } while (Clock::now() < deadline);
    ASSERT_LT(now.tv_usec, 400000) << "the wall clock did not pass a second boundary in 3 s";

    const timeval since{now.tv_sec - 2, now.tv_usec + 500000};
    const double elapsed = time_elapsed(&since);
    EXPECT_GE(elapsed, 1.5 - 1e-6);
    // A wrong borrow is off by a whole second; a slow machine is only late by a little.
    EXPECT_LT(elapsed, 2.4);
    EXPECT_EQ(since.tv_sec, now.tv_sec - 2) << "since must not be changed";
    EXPECT_EQ(since.tv_usec, now.tv_usec + 500000) << "since must not be changed";
}

TEST(TimeElapsed, counts_whole_and_fractional_seconds_without_a_borrow) {
    timeval now{};
    gettimeofday(&now, nullptr);
    const timeval since{now.tv_sec - 3, 0};
    const double elapsed = time_elapsed(&since);
    EXPECT_GE(elapsed, 3.0 + now.tv_usec / 1e6 - 1e-6);
    EXPECT_LT(elapsed, 4.9);
}

TEST(DAQwait, negative_time_returns_at_once) {
    testing::internal::CaptureStderr();
    const Clock::time_point start = Clock::now();
    DAQwait(-5.0);
    const double waited = seconds_since(start);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "a rejected timeout is not logged";
    EXPECT_LT(waited, 2.5);
}

TEST(DAQwait, waits_at_least_the_fractional_part) {
    const Clock::time_point start = Clock::now();
    DAQwait(0.3);
    EXPECT_GE(seconds_since(start), 0.29);
}

TEST(DAQwait, waits_at_least_whole_plus_fractional_seconds) {
    const Clock::time_point start = Clock::now();
    DAQwait(1.05);
    EXPECT_GE(seconds_since(start), 1.04);
}

TEST(DAQTimer, measures_the_wall_clock_time_since_its_start) {
    DAQTimer timer;
    const double at_start = timer();
    EXPECT_GE(at_start, 0.0);
    DAQwait(0.05);
    const double later = timer();
    EXPECT_GE(later, 0.049);
    EXPECT_GE(later, at_start);
}

TEST(DAQTimer, reset_and_start_restart_the_count) {
    DAQTimer timer;
    DAQwait(0.2);
    ASSERT_GE(timer(), 0.19);

    // Bounded by an outer clock read before the restart, so a slow machine cannot fail it.
    Clock::time_point outer = Clock::now();
    timer.reset();
    EXPECT_LE(timer(), seconds_since(outer) + 0.01);

    DAQwait(0.2);
    outer = Clock::now();
    timer.start();
    EXPECT_LE(timer(), seconds_since(outer) + 0.01);
}

}  // namespace
