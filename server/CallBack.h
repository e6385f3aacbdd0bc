// Callbacks of the server's worker loop. A callback returns true to stay registered and false
// to be removed; the server deletes removed records.
#pragma once

#include <sys/time.h>

using CallBackFunction = bool (*)(void*);

struct CallBack {
    CallBack(CallBackFunction func, void* data) : func(func), data(data) {}

    CallBackFunction func;
    void* data;
};

// Runs when more than `timeout` seconds have passed since the end of its last run (or since
// its registration).
struct TimedCallBack : CallBack {
    TimedCallBack(double timeout, CallBackFunction func, void* data);

    double timeout;
    timeval last_run;
};

// Runs one idle callback; true (and the record deleted) when it asked to be removed.
struct IdlePredicate {
    bool operator()(CallBack* callback) const;
};

// Runs one timed callback if it is due; true (and the record deleted) when it asked to be
// removed.
struct TimeoutPredicate {
    bool operator()(TimedCallBack* callback) const;
};
