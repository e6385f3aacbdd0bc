// The emulated readout module: one data stream per present hybrid, the command handlers, run
// control with trigger pacing, and the pedestal and signal generators that run as idle sources
// of the GLib main loop. What each stream sends and how long a cycle waits come from the
// module's event source: generated events (testModule's), unless it is made with another.
#pragma once

#include <glib.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "emulator/DAQemulator.h"
#include "module/DataBuffer.h"
#include "module/DataStream.h"
#include "module/EventSource.h"
#include "module/TriggerClock.h"
#include "protocol/BasePacket.h"
#include "server/DeadlineSource.h"
#include "support/DAQTimer.h"
#include "support/RandomSequence.h"

class DAQmodule : public DAQemulator {
  public:
    // A chip's room in the channel array is that of the largest chip, whatever the chip type.
    static constexpr int kChannelRoomPerChip = daq::packet::kChannelsOfChipType1;

    // The per-event channel arrays come from here.
    static std::allocator<char> data_allocator;

    // A module of generated events, or of `events` when it is given. Everything the module
    // draws comes from a random sequence of its own, which begins where a new process's would.
    DAQmodule(const std::string& interface, int port, int chip_type);
    DAQmodule(const std::string& interface, int port, int chip_type,
              std::unique_ptr<EventSource> events);
    ~DAQmodule() override;

    // Builds one stream of two chips per hybrid whose bit is set in the low four bits.
    void configure(uint8_t mask);
    void clean();

    // Turns the datagram's words to host order in place.
    void filter(char* data, int size) override;
    unsigned short take_request(const std::string& sender, unsigned short port, const char* data,
                                int size, daq::AcknowledgePacket* ack) override;

    // Command handlers: each returns the acknowledge's error code.
    int configure_stream(const char* data, int size);
    int set_readout_mode(const char* data, int size);
    int daq_command(const char* data, int size);
    int set_trigger_type(const char* data, int size);
    int set_hold_delay(const char* data, int size);
    int set_coinc_time_window(const char* data, int size);
    int set_bias(const char* data, int size);
    int set_mbias(const char* data, int size);
    int set_config(const char* data, int size);

    // How the event loop waits for the next trigger of a run: asleep until shortly before it is
    // due (the default), or polling the clock on every turn, which takes a whole processor.
    enum class TriggerWait { kSleep, kPoll };
    void set_trigger_wait(TriggerWait wait) { trigger_wait = wait; }
    // Paces the runs' cycles by `clock`, shared with other modules of the loop, instead of a
    // timer of the module's own (null: its own again). The clock must outlive the module's
    // runs; the module disarms itself when a run ends and when it goes.
    void set_trigger_clock(TriggerClock* clock) { trigger_clock = clock; }

    void set_efficiency(double efficiency) { this->efficiency = efficiency; }
    double get_efficiency() const { return efficiency; }

    // Run control and trigger pacing.
    void set_period(double period);
    void set_interval();
    bool check_interval() const;
    // time_to_trigger() in a run; infinite outside one, where no cycle comes due.
    double time_to_cycle() const;
    void reset_interval();
    // Seconds until the current interval has elapsed: not positive (or not a number) when it
    // has, infinite when it never will.
    double time_to_trigger() const;
    // Sets the run clock and the event counters to zero and begins triggering 10 ms later.
    void start_run();
    void stop_run();
    static gboolean delayed_start(gpointer module);

    // The generators, as idle callbacks of the default main context.
    static gboolean generate_pedestals(gpointer module);
    static gboolean generate_signal(gpointer module);

    // One call of the pedestal generator: true while the buffer takes more blocks (never for
    // events made without pedestals).
    bool pedestal_step();
    // The blocks the next trigger cycle lacks, at least one: what one call of the pedestal
    // generator makes while triggers keep coming due. False once the buffer is full.
    bool pedestal_turn();
    // One call of the signal generator: true to stay registered.
    bool signal_step();
    // A trigger queue's call: runs the cycle when it is due within `window` seconds; the time
    // it ran early or late is counted into the next interval (within half a period), so that
    // the cycles keep a lone module's times. False once the run has ended.
    bool queued_step(double window);
    // A common trigger's call: one cycle whose events are number `event` of every stream,
    // without an interval of the module's own; the pedestal blocks it lacks are made first.
    // Its packets are made and kept, and send_common_cycle() sends them, so that the trigger
    // makes every module's packets first and then sends them all together. False (nothing
    // made or counted) only when one cycle needs more blocks than the buffer holds.
    bool common_cycle(uint32_t event);
    void send_common_cycle();
    // One trigger cycle, without the pacing: false (and nothing sent or counted) when the
    // buffer holds too few pedestal blocks for it.
    bool trigger();
    // Blocks one trigger cycle takes from the pedestal buffer: one per chip of every stream,
    // none for events made without pedestals.
    int blocks_needed() const;

    // State, for the program's own tools and tests.
    int hybrid_count() const { return nhybrid; }
    const std::vector<DataStream*>& stream_list() const { return streams; }
    DataStream* find_stream(int id) const;
    int module_chip_type() const { return chip_type; }
    int channels_per_chip() const { return daq::packet::channels_per_chip(chip_type); }
    // The event source's pedestal buffer; an empty one for events made without pedestals.
    const DataBuffer& pedestals() const;
    bool run_active() const { return signal_source >= 0; }
    bool start_pending() const { return start_source > 0; }
    bool pedestals_registered() const { return pedestal_source >= 0; }
    double trigger_interval() const { return interval; }
    RandomSequence& random_sequence() { return random; }
    uint32_t event_count(int id) const;

    // What the module has done since it was made, for the program's counters.
    struct HybridTraffic {
        uint64_t packets = 0;
        uint64_t bytes = 0;
    };
    struct Activity {
        uint64_t runs_started = 0;
        uint64_t trigger_cycles = 0;
        uint64_t pedestal_blocks = 0;
        std::array<HybridTraffic, 256> data{};  // by hybrid id
        // The trigger timer's wake-ups in the runs that have ended.
        DeadlineSource::Wakeups timer_wakeups;
    };
    const Activity& activity() const { return activity_; }
    // Writes every counter of the module and the layers below as one block of log lines.
    void report_counters() const;

  private:
    // The event source's wait before the next trigger cycle; see Pacing for `overrun`.
    double next_interval(double overrun);
    // The efficiency test of one stream and trigger: one uniform draw, passed when it is not
    // above the efficiency.
    bool passes_efficiency_test();
    // Keeps a copy of a data packet (wire order) for the cycle's send.
    void queue_data(std::span<const uint8_t> packet);
    // Sends the packets the cycle queued to the host peer in one batch, in hybrid order, and
    // counts each one sent for the hybrid in its id byte.
    void send_cycle();
    unsigned short unknown_command(const std::string& sender, int size, int code);
    // The wake-ups of the trigger timer of the run under way; nothing without one, or when it
    // is polled.
    std::optional<DeadlineSource::Wakeups> running_wakeups() const;
    int log_only(const char* prefix, const char* data, int size);

    // Before the event source, which may draw from it.
    RandomSequence random;
    std::unique_ptr<EventSource> events;
    // The event source's, or null.
    DataBuffer* pedestal_buffer;
    int nhybrid = 0;
    int signal_source = -1;
    int pedestal_source = -1;
    // The pending 10 ms start of a run, or -1.
    int start_source = -1;
    int chip_type;
    std::vector<uint32_t> event_counter;
    std::vector<DataStream*> streams;
    DAQTimer run_timer;
    double period = 0.001;
    double efficiency = 0.5;
    double interval = 0.0;
    TriggerWait trigger_wait = TriggerWait::kSleep;
    TriggerClock* trigger_clock = nullptr;
    // A common trigger's cycle: its packets are sent by send_common_cycle().
    bool holding_send = false;
    // The need that was last reported as beyond the buffer, so that it is reported once.
    int reported_need = 0;
    // The packets of the trigger cycle under way, end to end, and each one's length (its
    // pointer is set when the cycle is sent): kept from cycle to cycle so that a cycle
    // allocates nothing.
    std::vector<uint8_t> cycle_bytes;
    std::vector<OutgoingDatagram> cycle_datagrams;
    Activity activity_;
};
