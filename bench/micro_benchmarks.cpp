// Microbenchmarks of the emulator's pieces: the random generator, the pedestal block, one
// trigger cycle, the two packet conversions and the request path.
//
// Trigger cycles and requests run on a BenchModule: where the name ends in "udp", every packet
// goes through the server's own socket to a UDP sink on loopback (the real send path); where
// it ends in "count", send_packet only counts. The pedestal buffer is refilled, and the sink
// emptied, outside the timed region.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <glib-unix.h>
#include <glib.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <csignal>
#include <fstream>
#include <iostream>
#include <memory>

#include "BenchModule.h"
#include "protocol/AcknowledgePacket.h"
#include "protocol/BasePacket.h"
#include "protocol/DataPacket.h"
#include "protocol/PacketConversion.h"
#include "support/RandomSequence.h"
#include "testing/NetworkNamespace.h"

using namespace daq;

namespace {

void BM_GaussianDraw(benchmark::State& state) {
    // Same parameters on every call, as for the channels of a pedestal block: half the calls
    // return the cached deviate.
    RandomSequence random;
    for (auto _ : state) benchmark::DoNotOptimize(random.randgauss(2024.0, 5.0));
}
BENCHMARK(BM_GaussianDraw);

void BM_UniformDraw(benchmark::State& state) {
    RandomSequence random;
    for (auto _ : state) benchmark::DoNotOptimize(random.randuniform());
}
BENCHMARK(BM_UniformDraw);

// One call of the pedestal generator: one block of one chip.
void BM_PedestalBlock(benchmark::State& state) {
    const int chip_type = state.range(0) == 128 ? 1 : 2;
    BenchModule module(chip_type, 0x1, BenchModule::Send::kCountOnly);
    module.drain_pedestals();
    int made = 0;
    for (auto _ : state) {
        module.pedestal_step();
        if (++made == module.pedestals().capacity()) {
            state.PauseTiming();
            module.drain_pedestals();
            made = 0;
            state.ResumeTiming();
        }
    }
    state.counters["channels"] = static_cast<double>(module.channels_per_chip());
}
BENCHMARK(BM_PedestalBlock)->Arg(128)->Arg(64)->ArgName("channels");

// One trigger cycle of hybrids of two 128-channel chips, efficiency 1: each hybrid sends one
// packet. Arguments: hybrids, readout mode, 1 to send through UDP, 0 to count only.
void BM_TriggerCycle(benchmark::State& state) {
    const int hybrids = static_cast<int>(state.range(0));
    const int mode = static_cast<int>(state.range(1));
    const bool udp = state.range(2) != 0;
    BenchModule module(1, hybrids == 4 ? 0xF : 0x1,
                       udp ? BenchModule::Send::kUdpSink : BenchModule::Send::kCountOnly);
    if (!module.ready()) {
        state.SkipWithError("no loopback socket for the module");
        return;
    }
    module.set_efficiency(1.0);
    module.set_mode(mode, 4);
    module.refill();
    const int needed = module.blocks_needed();
    for (auto _ : state) {
        if (module.pedestals().items_left() < needed) {
            state.PauseTiming();
            module.refill();
            state.ResumeTiming();
        }
        benchmark::DoNotOptimize(module.trigger());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    state.SetBytesProcessed(static_cast<int64_t>(module.bytes_sent()));
    state.SetLabel(udp ? "udp" : "count");
}
BENCHMARK(BM_TriggerCycle)
    ->ArgNames({"hybrids", "mode", "udp"})
    ->ArgsProduct({{1, 4}, {1, 2, 4}, {1, 0}});

// The acknowledge of a request: eight words to the wire.
void BM_ConvertAcknowledge(benchmark::State& state) {
    AcknowledgePacket ack(packet::kReadoutMode, 2, 2, 4);
    int length = 0;
    for (auto _ : state) {
        WireWords wire = convert_packet(&ack, length);
        benchmark::DoNotOptimize(wire.get());
    }
}
BENCHMARK(BM_ConvertAcknowledge);

// A data packet of all 256 channels of two chips (532 bytes) to the wire.
void BM_ConvertDataPacket(benchmark::State& state) {
    DataPacket::Ptr packet = DataPacket::create(1, 1, 256, DataPacket::kAllChannels);
    const int bytes = packet->packet_size();
    const char* data = reinterpret_cast<const char*>(packet->words());
    for (auto _ : state) {
        WireWords wire = convert_packet(data, bytes);
        benchmark::DoNotOptimize(wire.get());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * bytes);
}
BENCHMARK(BM_ConvertDataPacket);

// One received datagram through the request step (a copy of its own, filter(), then
// handle_request()), acknowledge sent to the sink. The module's log lines go to /dev/null, so
// their cost (one write per line) is counted.
// Argument: the command code (6 needs no action and logs one line; 8 sets a readout mode and
// logs four).
void BM_RequestPath(benchmark::State& state) {
    const auto code = static_cast<uint16_t>(state.range(0));
    BenchModule module(1, 0x1, BenchModule::Send::kUdpSink);
    if (!module.ready()) {
        state.SkipWithError("no loopback socket for the module");
        return;
    }
    const uint16_t words[4] = {htons(packet::kMagic), htons(code), htons(0x0101), htons(0)};
    const char* datagram = reinterpret_cast<const char*>(words);
    std::ofstream null_stream("/dev/null");
    std::streambuf* saved = std::cout.rdbuf(null_stream.rdbuf());
    int handled = 0;
    for (auto _ : state) {
        module.deliver("127.0.0.1", module.sink_port(), datagram, sizeof(words));
        if (++handled == 10000) {
            state.PauseTiming();
            module.refill();
            handled = 0;
            state.ResumeTiming();
        }
    }
    std::cout.rdbuf(saved);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_RequestPath)->Arg(6)->Arg(8)->ArgName("code");

// One datagram of 532 bytes (a readout-mode-1 packet of two chips) to a sink on loopback:
// through the server's send_packet (argument 1) or a plain sendto on the same socket to an
// address made once (argument 0).
void BM_SendDatagram(benchmark::State& state) {
    BenchModule module(1, 0x1, BenchModule::Send::kUdpSink);
    if (!module.ready()) {
        state.SkipWithError("no loopback socket for the module");
        return;
    }
    const bool server_path = state.range(0) != 0;
    sockaddr_in sink = {};
    sink.sin_family = AF_INET;
    sink.sin_port = htons(module.sink_port());
    sink.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::string address = "127.0.0.1";
    char datagram[532] = {};
    int sent = 0;
    for (auto _ : state) {
        if (server_path) {
            module.send_packet(address, module.sink_port(), datagram, sizeof(datagram));
        } else {
            ::sendto(module.fileno(), datagram, sizeof(datagram), 0,
                     reinterpret_cast<const sockaddr*>(&sink), sizeof(sink));
        }
        if (++sent == 10000) {
            state.PauseTiming();
            module.refill();
            sent = 0;
            state.ResumeTiming();
        }
    }
    state.SetLabel(server_path ? "send_packet" : "sendto");
}
BENCHMARK(BM_SendDatagram)->Arg(1)->Arg(0)->ArgName("server_path");

gboolean keep_source(gpointer) { return G_SOURCE_CONTINUE; }

gboolean on_input(GIOChannel*, GIOCondition, gpointer) { return TRUE; }

// One turn of the default main loop as testModule runs it during a run: the pedestal and
// signal generators as two idle sources (here doing nothing), the socket watch and the two
// signal sources. This is what the emulator pays on top of the work for every trigger cycle.
void BM_LoopTurn(benchmark::State& state) {
    BenchModule module(1, 0x1, BenchModule::Send::kCountOnly);
    GIOChannel* channel = g_io_channel_unix_new(module.fileno());
    const guint watch = g_io_add_watch(
        channel, static_cast<GIOCondition>(G_IO_IN | G_IO_PRI | G_IO_HUP), on_input, nullptr);
    const guint sigint = g_unix_signal_add(SIGINT, keep_source, nullptr);
    const guint sigterm = g_unix_signal_add(SIGTERM, keep_source, nullptr);
    const guint first = g_idle_add(keep_source, nullptr);
    const guint second = g_idle_add(keep_source, nullptr);
    for (auto _ : state) g_main_context_iteration(nullptr, FALSE);
    g_source_remove(second);
    g_source_remove(first);
    g_source_remove(sigterm);
    g_source_remove(sigint);
    g_source_remove(watch);
    g_io_channel_unref(channel);
}
BENCHMARK(BM_LoopTurn);

}  // namespace

int main(int argc, char** argv) {
    // The modules bind ephemeral ports only; a namespace of our own keeps their traffic, and
    // the address they choose, apart from everything else on the machine.
    enter_private_network_namespace();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
