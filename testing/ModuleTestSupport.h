// What the module tests share besides the capturing module: its settings for them, standard
// output captured around an action, and the default main context iterated in place of the
// program's main loop.
#pragma once

#include <glib.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>

#include "testing/CapturingModule.h"

// A 64-channel chip type, unless a test says otherwise.
constexpr int kChipType = 5;
// Every datagram the module sends is kept for the test to read.
constexpr Capture kRecordAll{.record = true};

// Runs `action` with standard output captured and returns what it printed.
inline std::string printed_by(const std::function<void()>& action) {
    testing::internal::CaptureStdout();
    action();
    return testing::internal::GetCapturedStdout();
}

// Iterates the default main context until `done` holds or the time runs out; true when done.
inline bool pump_until(const std::function<bool()>& done, double seconds = 10.0) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (long turns = 0; turns < 100000000L; ++turns) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= deadline) break;
        if (!g_main_context_iteration(nullptr, FALSE)) g_usleep(200);
    }
    return done();
}

// Iterates the default main context for the given time, whatever happens.
inline void pump_for(double seconds) {
    pump_until([] { return false; }, seconds);
}
