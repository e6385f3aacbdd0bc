// The port a direction's datagrams leave by when --bandwidth limits its rate: a queue of a
// bounded number of bytes in front of a link that serialises one frame after the other at the
// rate, as a switch's port does. A datagram that does not fit the queue is dropped (a tail
// drop); the others leave when the frames before them have been sent.
//
// A datagram takes the link for its Ethernet frame: its IPv4 packet (payload + 28 bytes of IP
// and UDP headers, at least 46) and 38 bytes of frame header, check sequence, preamble and gap
// between frames. The queue holds the same bytes, the frame being sent included.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>

class LinkQueue {
  public:
    using Clock = std::chrono::steady_clock;

    // From the next datagram on; 0 Mb/s: no limit. What the queue holds stays.
    void change(double megabits_per_second, double queue_bytes);
    // When a datagram of `payload` bytes that comes to the port at `now` starts to leave: now
    // at once without a limit; nothing when the queue has no room for it.
    std::optional<Clock::time_point> admit(size_t payload, Clock::time_point now);

    // The bytes a datagram's frame takes on the link.
    static double frame_bytes(size_t payload);

  private:
    double bytes_per_second_ = 0;
    double queue_bytes_ = 0;
    // When the link has sent every frame it was given.
    Clock::time_point free_at_ = {};
};
