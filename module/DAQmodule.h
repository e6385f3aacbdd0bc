// The emulated readout module: one data stream per present hybrid, the command handlers, run
// control with randomised trigger pacing, and the pedestal and signal generators that run as
// idle sources of the GLib main loop. A module of another kind (one that sends data it did not
// generate) overrides the hooks of the trigger cycle: the event of one stream, the interval to
// the next cycle and the start of a run; and it is built without pedestals.
#pragma once

#include <glib.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "emulator/DAQemulator.h"
#include "module/DataBuffer.h"
#include "module/DataStream.h"
#include "protocol/BasePacket.h"
#include "server/DeadlineSource.h"
#include "support/DAQTimer.h"

class DAQmodule : public DAQemulator {
  public:
    static constexpr int kPedestalCapacity = 500;
    // A chip's room in the channel array is that of the largest chip, whatever the chip type.
    static constexpr int kChannelRoomPerChip = daq::packet::kChannelsOfChipType1;

    // The per-event channel arrays come from here.
    static std::allocator<char> data_allocator;

    DAQmodule(const std::string& interface, int port, int chip_type);
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

    void set_efficiency(double efficiency) { this->efficiency = efficiency; }
    double get_efficiency() const { return efficiency; }

    // Run control and trigger pacing.
    void set_period(double period);
    void set_interval();
    bool check_interval() const;
    void reset_interval();
    // Seconds until the current interval has elapsed: not positive (or not a number) when it
    // has, infinite when it never will.
    double time_to_trigger() const;
    // Sets the run clock and the event counters to zero and begins triggering 10 ms later.
    virtual void start_run();
    void stop_run();
    static gboolean delayed_start(gpointer module);

    // The generators, as idle callbacks of the default main context.
    static gboolean generate_pedestals(gpointer module);
    static gboolean generate_signal(gpointer module);

    // One call of the pedestal generator: true while the buffer takes more blocks.
    bool pedestal_step();
    // One call of the signal generator: true to stay registered.
    bool signal_step();
    // One trigger cycle, without the pacing: false (and nothing sent or counted) when the
    // buffer holds too few pedestal blocks for it.
    bool trigger();
    // Blocks one trigger cycle takes from the pedestal buffer: none for a module without
    // pedestals.
    int blocks_needed() const;

    // State, for the program's own tools and tests.
    int hybrid_count() const { return nhybrid; }
    const std::vector<DataStream*>& stream_list() const { return streams; }
    DataStream* find_stream(int id) const;
    int module_chip_type() const { return chip_type; }
    int channels_per_chip() const { return daq::packet::channels_per_chip(chip_type); }
    const DataBuffer& pedestals() const { return pedestal_buffer; }
    bool run_active() const { return signal_source >= 0; }
    bool start_pending() const { return start_source > 0; }
    bool pedestals_registered() const { return pedestal_source >= 0; }
    double trigger_interval() const { return interval; }
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

  protected:
    enum class Pedestals { kGenerated, kNone };
    // With Pedestals::kNone the pedestal generator is never registered and a trigger cycle
    // needs no blocks.
    DAQmodule(const std::string& interface, int port, int chip_type, Pedestals pedestals);

    // One stream's part of a trigger cycle, after its event counter has counted the trigger:
    // the efficiency test, and the stream's data packet if it passes.
    virtual void produce_event(const DataStream& stream, uint16_t event, uint32_t time_stamp,
                               int cpc);
    // The wait before the next trigger cycle, in seconds: Gaussian around the period, sigma
    // 10 %. The constructor takes the first one from this class's own version. `overrun` is how
    // long after the end of its interval the last trigger cycle ended (its lateness and its own
    // duration) when called at the end of a cycle, else 0.
    virtual double next_interval(double overrun);
    // The efficiency test of one stream and trigger: one uniform draw, passed when it is not
    // above the efficiency.
    bool passes_efficiency_test();
    // Sends a data packet (wire order) to the host peer and counts it for the hybrid in its
    // id byte: 0 on success, -1 when the send failed.
    int send_data(const char* data, int length);

  private:
    unsigned short unknown_command(const std::string& sender, int size, int code);
    // The wake-ups of the trigger timer of the run under way; nothing without one, or when it
    // is polled.
    std::optional<DeadlineSource::Wakeups> running_wakeups() const;
    int log_only(const char* prefix, const char* data, int size);
    DataBlock* make_pedestal_block();
    // Builds and sends the data packet of one stream that passed the efficiency test.
    void send_event(const DataStream& stream, uint16_t event, uint32_t time_stamp, int cpc);

    Pedestals pedestals_made;
    int nhybrid = 0;
    int signal_source = -1;
    int pedestal_source = -1;
    // The pending 10 ms start of a run, or -1.
    int start_source = -1;
    int chip_type;
    std::vector<uint32_t> event_counter;
    std::vector<DataStream*> streams;
    DataBuffer pedestal_buffer{kPedestalCapacity};
    DAQTimer run_timer;
    double signal_mean = 500.0;
    double pedestal_noise = 5.0;
    double pedestal_mean = 2024.0;
    double common_noise = 1.0;
    double period = 0.001;
    double efficiency = 0.5;
    double interval = 0.0;
    TriggerWait trigger_wait = TriggerWait::kSleep;
    // The need that was last reported as beyond the buffer, so that it is reported once.
    int reported_need = 0;
    Activity activity_;
};
