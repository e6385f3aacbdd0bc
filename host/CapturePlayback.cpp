#include "CapturePlayback.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <thread>

namespace daq {

void CapturePlayback::play(bool at_once, const std::function<bool()>& go_on,
                           const std::function<void()>& show) {
    using Clock = std::chrono::steady_clock;
    auto shown = Clock::now();
    const auto show_if_due = [&] {
        if (Clock::now() - shown < kShowEvery) return;
        show();
        shown = Clock::now();
    };
    const auto started = Clock::now();
    std::optional<int64_t> first_ns;
    CaptureRecord record;
    while (go_on() && reader_.next(record)) {
        if (!first_ns) first_ns = record.time_ns;
        const auto due = started + std::chrono::nanoseconds(record.time_ns - *first_ns);
        while (!at_once && go_on() && Clock::now() < due) {
            std::this_thread::sleep_until(std::min(due, Clock::now() + kShowEvery));
            show_if_due();
        }
        run_.add(record);
        if (!at_once) show_if_due();
    }
}

}  // namespace daq
