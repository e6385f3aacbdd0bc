#include "server/CallBack.h"

#include "support/utils.h"

TimedCallBack::TimedCallBack(double timeout, CallBackFunction func, void* data)
    : CallBack(func, data), timeout(timeout) {
    gettimeofday(&last_run, nullptr);
}

bool IdlePredicate::operator()(CallBack* callback) const {
    if (callback->func(callback->data)) return false;
    delete callback;
    return true;
}

bool TimeoutPredicate::operator()(TimedCallBack* callback) const {
    if (!(time_elapsed(&callback->last_run) > callback->timeout)) return false;
    if (!callback->func(callback->data)) {
        delete callback;
        return true;
    }
    gettimeofday(&callback->last_run, nullptr);
    return false;
}
