#include "faultrelay/LinkQueue.h"

#include <algorithm>

#include "faultrelay/FaultSettings.h"

namespace {

// An Ethernet frame's header and check sequence, its preamble and the gap after it.
constexpr double kFramingBytes = 14 + 4 + 8 + 12;
// The smallest IPv4 packet a frame carries: shorter ones are padded.
constexpr double kShortestPacket = 46;

}  // namespace

void LinkQueue::change(double megabits_per_second, double queue_bytes) {
    bytes_per_second_ = megabits_per_second * 1e6 / 8;
    queue_bytes_ = queue_bytes;
}

double LinkQueue::frame_bytes(size_t payload) {
    return std::max(static_cast<double>(payload + kIpUdpHeaderBytes), kShortestPacket) +
           kFramingBytes;
}

std::optional<LinkQueue::Clock::time_point> LinkQueue::admit(size_t payload,
                                                             Clock::time_point now) {
    if (bytes_per_second_ <= 0) return now;
    const double frame = frame_bytes(payload);
    const double waiting_s = std::chrono::duration<double>(free_at_ - now).count();
    if (std::max(0.0, waiting_s) * bytes_per_second_ + frame > queue_bytes_) return std::nullopt;
    const Clock::time_point start = std::max(free_at_, now);
    free_at_ = start + std::chrono::duration_cast<Clock::duration>(
                           std::chrono::duration<double>(frame / bytes_per_second_));
    return start;
}
