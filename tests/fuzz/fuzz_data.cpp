// Fuzz target: a sequence of commands, then trigger cycles through the data path (pedestal
// blocks, the trigger, the data packet of every stream in its readout mode).
//
// Input: the hybrid mask byte, the chip type byte, the efficiency byte (0 to 255 for 0.0 to
// 1.0), the number of commands (low four bits), that many datagrams (a two-byte big-endian
// length, then the bytes), and then one byte per trigger cycle: the number of pedestal
// generator calls to make before the trigger. The pedestal buffer starts full, as testModule's
// is by the time a run starts. Data packets are checked and counted.
#include <array>
#include <cstddef>
#include <cstdint>
#include <iostream>
#include <memory>
#include <optional>
#include <span>
#include <streambuf>
#include <string>

#include "module/DataBlock.h"
#include "module/GeneratedEvents.h"
#include "module/generation.h"
#include "protocol/BasePacket.h"
#include "testing/FuzzModule.h"

using namespace daq;

namespace {

// Bound the work of one input: each cycle may send four packets of 65535 neighbours (1.5 MB),
// so cycles stop once 16 kB have been sent; later cycles of the same packets reach nothing
// new. Four times the pedestal buffer is plenty of pedestal steps.
constexpr int kMaxCycles = 16;
constexpr uint64_t kMaxBytesSent = 1 << 14;
constexpr int kMaxPedestalSteps = 2048;

// testModule's events, whose pedestal buffer outlives the modules. Drawing a block's Gaussians
// and allocating hundreds of blocks for each input took nine tenths of its time, and the values
// reach no branch: the values of a block are drawn once, every block is a copy of them, and the
// buffer is kept full between inputs, as testModule's generator fills it while it waits for a
// run. Each block size (chip type 1, the others) has a source of its own, so that a full buffer
// is always the same.
RandomSequence& shared_random() {
    static RandomSequence random;
    return random;
}

class PresetPedestals : public GeneratedEvents {
  public:
    explicit PresetPedestals(int channels) : GeneratedEvents(shared_random()), channels_(channels) {
        fill_pedestal_block(shared_random(), values_.data(), DAQmodule::kChannelRoomPerChip,
                            PedestalModel{});
    }

    void make_pedestal_block(int channels) override {
        // A request may change the chip type during an input.
        mixed_ = mixed_ || channels != channels_;
        pedestal_buffer()->push_block(
            new DataBlock(2 * channels, reinterpret_cast<const char*>(values_.data())));
    }

    // Full again of blocks of this source's size: those an input took are made again.
    void refill() {
        if (mixed_) pedestal_buffer()->flush();
        mixed_ = false;
        while (!pedestal_buffer()->full()) make_pedestal_block(channels_);
    }

  private:
    int channels_;
    bool mixed_ = false;
    std::array<int16_t, DAQmodule::kChannelRoomPerChip> values_{};
};

// The source of one input's module: everything is done by a process-wide one.
class SharedEvents : public EventSource {
  public:
    explicit SharedEvents(PresetPedestals& shared) : shared_(shared) {}

    double next_interval(const Pacing& pacing) override { return shared_.next_interval(pacing); }
    std::span<const uint8_t> make_event(const DataStream& stream, const Trigger& trigger) override {
        return shared_.make_event(stream, trigger);
    }
    void pass_over(const DataStream& stream) override { shared_.pass_over(stream); }
    std::optional<double> start_run(const Pacing& pacing) override {
        return shared_.start_run(pacing);
    }
    void chips_set(const DataStream& stream) override { shared_.chips_set(stream); }
    void readout_mode_set(const DataStream& stream) override { shared_.readout_mode_set(stream); }
    DataBuffer* pedestal_buffer() override { return shared_.pedestal_buffer(); }
    void make_pedestal_block(int channels) override { shared_.make_pedestal_block(channels); }

  private:
    PresetPedestals& shared_;
};

PresetPedestals& source_for(int chip_type) {
    static PresetPedestals wide(packet::kChannelsOfChipType1);
    static PresetPedestals narrow(packet::kChannelsOfOtherChips);
    return packet::channels_per_chip(chip_type) == packet::kChannelsOfChipType1 ? wide : narrow;
}

// The module's log lines are formatted into this and dropped: each std::endl to /dev/null would
// still be a write.
class DiscardedText : public std::streambuf {
  protected:
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize count) override { return count; }
};

}  // namespace

// An input frees a few megabytes at most: a quarantine of 16 MB still holds all it freed, and
// recycling it rather than the default 256 MB touches far fewer pages.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=16"; }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::silence_stdout();
    static DiscardedText discarded;
    std::cout.rdbuf(&discarded);
    for (const int chip_type : {1, 2}) source_for(chip_type).refill();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input input(data, size);
    fuzz::restart_random();
    fuzz::draw_replayably(shared_random());
    const uint8_t mask = input.byte();
    const int chip_type = input.byte();
    const double efficiency = input.byte() / 255.0;
    const int commands = input.byte() & 0x0F;

    PresetPedestals& events = source_for(chip_type);
    auto module = std::make_unique<CapturingModule>(chip_type, fuzz::kCheckEverySend,
                                                    std::make_unique<SharedEvents>(events));
    fuzz::draw_replayably(module->random_sequence());
    module->configure(mask);
    module->set_efficiency(efficiency);

    // A discovery first, so that the packets have a host peer as in a real run.
    module->deliver({packet::kMagic, packet::kDiscovery, 0, 0}, "127.0.0.1", 40000);
    for (int i = 0; i < commands && !input.empty(); ++i) {
        const std::string datagram = input.datagram();
        module->deliver("127.0.0.1", 40000, datagram.data(), datagram.size());
    }
    fuzz::require_whole_packets(*module, "the commands");

    int pedestal_steps = 0;
    for (int cycle = 0;
         cycle < kMaxCycles && !input.empty() && module->bytes_sent() < kMaxBytesSent; ++cycle) {
        const int steps = input.byte();
        for (int step = 0; step < steps && pedestal_steps < kMaxPedestalSteps; ++step) {
            ++pedestal_steps;
            if (!module->pedestal_step()) break;
        }
        const uint64_t before = module->packets_sent();
        const bool fired = module->trigger();
        // A trigger that did not fire must have sent nothing.
        if (!fired && module->packets_sent() != before) __builtin_trap();
        fuzz::require_whole_packets(*module, "a trigger cycle");
    }

    fuzz::destroy(module);
    // Within the input, so that it allocates as many blocks as it frees: libFuzzer looks for a
    // leak, which costs more than the input, after every input that allocates more.
    events.refill();
    return 0;
}
