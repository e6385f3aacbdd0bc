// Soak: testModule runs at 5 kHz with four hybrids for ten minutes (or the seconds given as
// the first argument) while this program, a host made of the host library's client, receives
// every data packet. Prints the emulator's resident memory at the start and end of the run,
// the data packets it sent (from the event numbers: with efficiency 1.0 every stream sends on
// every trigger) and those received.
//
//   build/tests/load/soak [seconds] [rate]
//
// Run as root: the emulator serves in a network namespace of this process's own.
#include <netinet/in.h>
#include <signal.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "daqhost/daqhost.h"
#include "protocol/BasePacket.h"
#include "testing/EmulatorProcess.h"
#include "testing/LoadHost.h"
#include "testing/NetworkNamespace.h"

using namespace daq;

namespace {

constexpr int kHybrids = 4;
constexpr double kTimeout = 10.0;

// Counts the triggers of one stream from its 16-bit event numbers, which wrap every 65536.
class EventCount {
  public:
    void see(uint16_t event) {
        if (seen_ && event < last_) wraps_ += 65536;
        last_ = event;
        seen_ = true;
    }
    uint64_t triggers() const { return seen_ ? wraps_ + last_ : 0; }

  private:
    bool seen_ = false;
    uint16_t last_ = 0;
    uint64_t wraps_ = 0;
};

long rss_or_zero(pid_t pid) { return load::resident_kb(pid).value_or(0); }

bool done(const RequestOutcome& outcome) {
    return outcome.acknowledged() && outcome.ack.error == packet::kDone;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 600.0;
    const std::string rate = argc > 2 ? argv[2] : "5000";
    if (!enter_private_network_namespace()) {
        std::fprintf(stderr, "soak: cannot enter a network namespace of its own (run as root)\n");
        return 2;
    }
    EmulatorProcess emulator({"-r", rate, "-m", "1111", "-e", "1.0"});
    if (!emulator.start() || !emulator.wait_until_serving(kTimeout)) {
        std::fprintf(stderr, "soak: the emulator did not start\n%s\n",
                     emulator.stderr_text().c_str());
        return 1;
    }
    ModuleClient::Settings settings;
    settings.module = {INADDR_LOOPBACK, ModuleClient::kModulePort};
    // Each request again every half second, for kTimeout seconds in all.
    settings.timeout_s = 0.5;
    settings.retries = static_cast<int>(kTimeout / settings.timeout_s) - 1;
    ModuleClient host(settings);
    std::array<EventCount, kHybrids + 1> events;
    uint64_t received = 0;
    host.on_receive([&](const Datagram& datagram) {
        const DataPacketView packet(datagram.data, datagram.length);
        if (!packet.ok()) return;
        ++received;
        if (packet.id() >= 1 && packet.id() <= kHybrids) events[packet.id()].see(packet.event());
    });
    if (!host.open()) {
        std::fprintf(stderr, "soak: %s\n", host.error().c_str());
        return 1;
    }
    if (!done(host.discover()) || !done(host.daq_command(packet::kAllHybrids, true))) {
        std::fprintf(stderr, "soak: the emulator did not answer\n");
        return 1;
    }

    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto end =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    const long rss_start = rss_or_zero(emulator.pid());
    auto next_report = start + std::chrono::seconds(60);
    while (Clock::now() < end) {
        if (host.receive(0.1) < 0) {
            std::fprintf(stderr, "soak: %s\n", host.error().c_str());
            break;
        }
        if (Clock::now() >= next_report) {
            next_report += std::chrono::seconds(60);
            std::printf("soak: %.0f s, %llu data packets received, VmRSS %ld kB\n",
                        std::chrono::duration<double>(Clock::now() - start).count(),
                        static_cast<unsigned long long>(received), rss_or_zero(emulator.pid()));
            std::fflush(stdout);
        }
    }
    const long rss_end = rss_or_zero(emulator.pid());
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();

    uint64_t sent = 0;
    for (const EventCount& count : events) sent += count.triggers();
    emulator.send_signal(SIGTERM);
    const int status = emulator.wait_exit(kTimeout);

    std::printf("soak: %.1f s at -r %s -m 1111 -e 1.0\n", elapsed, rate.c_str());
    std::printf("soak: VmRSS at start %ld kB, at end %ld kB\n", rss_start, rss_end);
    std::printf("soak: data packets sent %llu, received %llu (%.3f %% lost), %.0f per second\n",
                static_cast<unsigned long long>(sent), static_cast<unsigned long long>(received),
                sent > 0 ? 100.0 * static_cast<double>(sent - std::min(sent, received)) /
                               static_cast<double>(sent)
                         : 0.0,
                static_cast<double>(received) / elapsed);
    std::printf("soak: exit status %d\n", status);
    return status == 0 ? 0 : 1;
}
