// Fuzz target: a sequence of commands, then trigger cycles through the data path (pedestal
// generation, the trigger, the data packet of every stream in its readout mode).
//
// Input: the hybrid mask byte, the chip type byte, the efficiency byte (0 to 255 for 0.0 to
// 1.0), the number of commands (low four bits), that many datagrams (a two-byte big-endian
// length, then the bytes), and then one byte per trigger cycle: the number of pedestal
// generator calls to make before the trigger. Data packets are checked and counted.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "protocol/BasePacket.h"
#include "testing/FuzzModule.h"

using namespace daq;

namespace {

// Bound the work of one input: each cycle may send four packets of 65535 neighbours, and
// pedestal blocks are the bulk of the arithmetic (four times the buffer is plenty).
constexpr int kMaxCycles = 16;
constexpr int kMaxPedestalSteps = 2048;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::silence_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input input(data, size);
    fuzz::restart_random();
    const uint8_t mask = input.byte();
    const int chip_type = input.byte();
    const double efficiency = input.byte() / 255.0;
    const int commands = input.byte() & 0x0F;

    auto module = std::make_unique<CapturingModule>(chip_type, fuzz::kCheckEverySend);
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
    for (int cycle = 0; cycle < kMaxCycles && !input.empty(); ++cycle) {
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
    return 0;
}
