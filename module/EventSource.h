// Where a module's events come from. The module paces the trigger cycles, counts each stream's
// triggers, makes the efficiency test and sends; its event source gives the datagram a stream
// sends for a trigger and the wait before the next cycle, whether it draws its events or sends
// data it did not make.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

class DataBuffer;
class DataStream;
class RandomSequence;

// One stream's trigger, as the module counted and stamped it.
struct Trigger {
    uint16_t event;         // the low 16 bits of the stream's event counter
    uint32_t time_stamp;    // run time in microseconds, modulo 2^32
    int channels_per_chip;  // of the module-wide chip type
};

// What the wait before a trigger cycle may depend on.
struct Pacing {
    double period;  // the module's mean trigger period, in seconds
    // How long after the end of its interval the last trigger cycle ended (its lateness and
    // its own duration) when asked at the end of a cycle, else 0.
    double overrun;
    bool run_active;
    const std::vector<DataStream*>& streams;
    // The module's random sequence, for a wait that is drawn.
    RandomSequence& random;
};

class EventSource {
  public:
    virtual ~EventSource() = default;

    // The wait before the next trigger cycle, in seconds.
    virtual double next_interval(const Pacing& pacing) = 0;
    // The datagram of one stream's event, for a trigger that passed the efficiency test, in
    // wire order: empty when the stream sends nothing. It stays valid until the next call.
    virtual std::span<const uint8_t> make_event(const DataStream& stream,
                                                const Trigger& trigger) = 0;
    // One stream's trigger that failed the efficiency test: it sends nothing.
    virtual void pass_over(const DataStream&) {}

    // A run starts, before its first trigger cycle. Returns the wait before that cycle when the
    // source begins its data again, or nothing to keep the interval already drawn.
    virtual std::optional<double> start_run(const Pacing&) { return std::nullopt; }
    // A request has set the chip type and count of `stream`.
    virtual void chips_set(const DataStream&) {}
    // A request has set the readout mode of `stream`.
    virtual void readout_mode_set(const DataStream&) {}

    // Pedestal blocks are made ahead of the triggers, in the loop's idle time, by the module's
    // pedestal generator, and an event takes one per chip of its stream. The buffer they wait
    // in, or null for events made without pedestals: the module then makes none.
    virtual DataBuffer* pedestal_buffer() { return nullptr; }
    // Adds one block of `channels` pedestal values to the buffer.
    virtual void make_pedestal_block(int) {}
};
