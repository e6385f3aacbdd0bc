#include "server/DeadlineSource.h"

#include <sched.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <ctime>

namespace {

// The learned margin starts here and stays within these bounds: beyond the upper one a wake-up
// is late because the process waited for a processor, which polling earlier would not cure,
// and polling that long would take the processor from whoever holds it.
constexpr double kInitialEarly = 20e-6;
constexpr double kMostEarly = 100e-6;
// The margin follows the third quartile of the lateness, by steps of a few microseconds: one
// late wake-up moves it little, a run of them moves it far.
constexpr double kLatenessQuantile = 0.75;
constexpr double kLearningStep = 2e-6;
// A deadline that moved by less than this keeps the timer as it is armed.
constexpr double kRearmTolerance = 1e-6;
// The shortest time slice the scheduler grants a thread of the normal policy, in nanoseconds.
constexpr uint64_t kShortestSlice = 100000;
// A moment further off is slept toward in steps of this, so that any moment a double can
// hold fits the timer.
constexpr double kLongestSleep = 3600.0;

double now_realtime() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

timespec timespec_of(double seconds) {
    timespec at{};
    at.tv_sec = static_cast<time_t>(std::floor(seconds));
    at.tv_nsec = static_cast<long>((seconds - std::floor(seconds)) * 1e9);
    if (at.tv_nsec >= 1000000000L) {
        at.tv_sec += 1;
        at.tv_nsec -= 1000000000L;
    }
    return at;
}

// Asks the scheduler for the shortest time slice it grants a thread of the normal policy. A
// thread that sleeps between cycles of some tens of microseconds gets an earlier deadline when
// it wakes, so that it runs before a thread that has been running longer (a host, another
// module) rather than after that one's slice. Kernels that do not know slices for this policy
// ignore the field; a thread under another policy, or a refusal, keeps what it has.
void ask_for_short_slice() {
    // The system call's own structure, in its first size (the C library has no wrapper).
    struct {
        uint32_t size = 48;
        uint32_t sched_policy = 0;
        uint64_t sched_flags = 0;
        int32_t sched_nice = 0;
        uint32_t sched_priority = 0;
        uint64_t sched_runtime = 0;
        uint64_t sched_deadline = 0;
        uint64_t sched_period = 0;
    } attributes;
    if (syscall(SYS_sched_getattr, 0, &attributes, sizeof attributes, 0) != 0) return;
    if (attributes.sched_policy != SCHED_OTHER) return;
    attributes.sched_flags = 0;
    attributes.sched_runtime = kShortestSlice;
    syscall(SYS_sched_setattr, 0, &attributes, 0);
}

struct DeadlineState {
    DeadlineSource::Remaining remaining;
    gpointer data;
    DeadlineSource::Policy policy;
    DeadlineSource::Wakeups wakeups;
    int timer = -1;
    gpointer timer_tag = nullptr;
    // The wall-clock moment the timer is armed for, or NaN when it is not armed.
    double armed_at = NAN;

    double early() const { return policy.early.value_or(wakeups.early); }

    void disarm() {
        if (std::isnan(armed_at)) return;
        const itimerspec off{};
        timerfd_settime(timer, TFD_TIMER_ABSTIME, &off, nullptr);
        armed_at = NAN;
    }

    // False when the timer cannot be armed: then only polling keeps the moment.
    bool arm(double at) {
        if (std::fabs(at - armed_at) < kRearmTolerance) return true;
        itimerspec value{};
        value.it_value = timespec_of(at);
        // An absolute time on CLOCK_REALTIME follows steps of the wall clock, as the caller's
        // own timers do.
        if (timerfd_settime(timer, TFD_TIMER_ABSTIME, &value, nullptr) != 0) return false;
        armed_at = at;
        return true;
    }

    // Reads a fired timer and learns from how late it woke the loop.
    void take_expiry() {
        uint64_t expirations = 0;
        if (read(timer, &expirations, sizeof expirations) != sizeof expirations) return;
        if (std::isnan(armed_at)) return;
        const double late = std::max(now_realtime() - armed_at, 0.0);
        armed_at = NAN;
        ++wakeups.count;
        wakeups.late_total += late;
        wakeups.late_most = std::max(wakeups.late_most, late);
        const double step = late > wakeups.early ? kLearningStep * kLatenessQuantile
                                                 : -kLearningStep * (1 - kLatenessQuantile);
        wakeups.early = std::clamp(wakeups.early + step, 0.0, kMostEarly);
    }
};

struct Deadline {
    GSource source;  // first: GLib hands out this struct as a GSource
    DeadlineState* state;
};

DeadlineState& state_of(GSource* source) { return *reinterpret_cast<Deadline*>(source)->state; }

gboolean deadline_prepare(GSource* source, gint* timeout) {
    DeadlineState& self = state_of(source);
    *timeout = -1;
    const double left = self.remaining(self.data);
    if (!(left > 0)) return TRUE;
    if (std::isinf(left)) {
        self.disarm();
        return FALSE;
    }
    const double early = self.early();
    const bool timer_only = self.policy.early == 0.0;
    if (self.timer < 0 || (!timer_only && left <= early + self.policy.shortest_sleep)) {
        // Too near to sleep: the loop turns without waiting, and each turn asks again.
        self.disarm();
        *timeout = 0;
        // Polling gives way: a process that another one's wake-up has made ready runs first,
        // and this turn comes after it. With nothing else ready the call returns at once. On
        // a processor that modules share, one module's polling would otherwise keep another
        // module's trigger waiting.
        sched_yield();
        return FALSE;
    }
    if (!self.arm(now_realtime() + std::min(left, kLongestSleep) - early)) *timeout = 0;
    return FALSE;
}

gboolean deadline_check(GSource* source) {
    DeadlineState& self = state_of(source);
    if (self.timer_tag != nullptr &&
        (g_source_query_unix_fd(source, self.timer_tag) & G_IO_IN) != 0) {
        self.take_expiry();
    }
    return !(self.remaining(self.data) > 0);
}

gboolean deadline_dispatch(GSource*, GSourceFunc callback, gpointer data) {
    return callback != nullptr ? callback(data) : G_SOURCE_REMOVE;
}

void deadline_finalize(GSource* source) {
    auto* deadline = reinterpret_cast<Deadline*>(source);
    if (deadline->state->timer >= 0) close(deadline->state->timer);
    delete deadline->state;
    deadline->state = nullptr;
}

GSourceFuncs deadline_funcs = {deadline_prepare,  deadline_check, deadline_dispatch,
                               deadline_finalize, nullptr,        nullptr};

}  // namespace

guint DeadlineSource::attach(GSourceFunc callback, Remaining remaining, gpointer data, int priority,
                             const Policy& policy) {
    // The default slack of 50 µs would delay every wake-up of this process by up to that much;
    // the timers here are meant to the microsecond.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    ask_for_short_slice();

    GSource* source = g_source_new(&deadline_funcs, sizeof(Deadline));
    auto* self = new DeadlineState;
    self->remaining = remaining;
    self->data = data;
    self->policy = policy;
    reinterpret_cast<Deadline*>(source)->state = self;
    self->wakeups.early = kInitialEarly;
    // Without a timer the source still works: it polls, as an idle source does.
    self->timer = timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC);
    if (self->timer >= 0) self->timer_tag = g_source_add_unix_fd(source, self->timer, G_IO_IN);
    g_source_set_priority(source, priority);
    // GLib takes the descriptors of a source that cannot recurse out of the poll set for each
    // dispatch and puts them back after it, waking the loop twice per trigger to say so. The
    // callback never runs the loop itself, so there is nothing to guard against.
    g_source_set_can_recurse(source, TRUE);
    g_source_set_callback(source, callback, data, nullptr);
    const guint id = g_source_attach(source, nullptr);
    g_source_unref(source);
    return id;
}

DeadlineSource::Wakeups& DeadlineSource::Wakeups::operator+=(const Wakeups& more) {
    count += more.count;
    late_total += more.late_total;
    late_most = std::max(late_most, more.late_most);
    early = more.early;
    return *this;
}

std::optional<DeadlineSource::Wakeups> DeadlineSource::wakeups(guint id) {
    GSource* source = g_main_context_find_source_by_id(nullptr, id);
    if (source == nullptr || source->source_funcs != &deadline_funcs) return std::nullopt;
    return state_of(source).wakeups;
}
