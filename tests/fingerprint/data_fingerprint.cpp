// data_fingerprint: what testModule sends, as one digest per configuration. It runs testModule
// at the highest rate (-r 1000000 -e 1) in six configurations and folds the first PACKETS data
// packets of each run, in arrival order, into an FNV-1a digest, the time-stamp bytes counted as
// zeros. At that rate the data do not depend on timing, so a change meant to leave every sent
// byte alone must leave the digests alone: scripts/ci/45-fingerprint.sh compares them with
// tests/fingerprint/fingerprints-20000.txt.
//
//   data_fingerprint PACKETS [--emulator PATH]
//
// --emulator digests another testModule build, to compare two builds beyond the kept digests.
// Run as root: the emulators serve in a network namespace of this process's own.
#include <netinet/in.h>
#include <signal.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "daqhost/ModuleClient.h"
#include "protocol/BasePacket.h"
#include "protocol/DataPacket.h"
#include "protocol/DataPacketView.h"
#include "testing/EmulatorProcess.h"
#include "testing/NetworkNamespace.h"

using namespace daq;

namespace {

struct Config {
    int hybrids;
    unsigned mode;
    const char* mask;
    const char* chip = "vx4";
};

constexpr unsigned kNadj = 4;
constexpr unsigned kTwoChips = 2;
constexpr double kStartTimeout = 10.0;
constexpr double kRunTimeout = 60.0;

// FNV-1a over the first `wanted` data packets, the time stamp left out: the only part of a
// packet that depends on timing at the highest rate.
class PacketDigest {
  public:
    explicit PacketDigest(uint64_t wanted) : left_(wanted) {}

    void add(const DataPacketView& packet) {
        if (left_ == 0) return;
        --left_;
        ++packets_;
        constexpr size_t kTimeStampBegin = 2 * DataPacket::kTimeHigh;
        constexpr size_t kTimeStampEnd = 2 * (DataPacket::kTimeLow + 1);
        const uint8_t* bytes = packet.bytes();
        for (size_t i = 0; i < packet.length(); ++i) {
            digest_ ^= (i >= kTimeStampBegin && i < kTimeStampEnd) ? 0 : bytes[i];
            digest_ *= 1099511628211ull;
        }
    }
    bool complete() const { return left_ == 0; }
    uint64_t digest() const { return digest_; }
    uint64_t packets() const { return packets_; }

  private:
    uint64_t left_;
    uint64_t packets_ = 0;
    uint64_t digest_ = 14695981039346656037ull;
};

bool done(const RequestOutcome& outcome) {
    return outcome.acknowledged() && outcome.ack.error == packet::kDone;
}

// Discovers the emulator (it may still be starting) and configures hybrids 1 to `hybrids`:
// the chip type of the configuration, 2 chips, its readout mode with 4 neighbours.
bool set_up(ModuleClient& host, const Config& config) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(kStartTimeout));
    bool discovered = false;
    while (!discovered && Clock::now() < deadline) discovered = host.discover().acknowledged();
    if (!discovered) return false;
    const unsigned chip_type = std::strcmp(config.chip, "ktm") == 0 ? 2 : 1;
    for (int id = 1; id <= config.hybrids; ++id) {
        const auto hybrid = static_cast<unsigned>(id);
        if (!done(host.configure_stream(hybrid, chip_type, kTwoChips)) ||
            !done(host.set_readout_mode(hybrid, config.mode, kNadj))) {
            return false;
        }
    }
    return true;
}

// One run of a fresh emulator in the configuration: the digest of its first `packets` data
// packets, complete or not.
PacketDigest fingerprint(const Config& config, uint64_t packets, const std::string& emulator_path) {
    PacketDigest digest(packets);
    EmulatorProcess emulator({"-r", "1000000", "-e", "1", "-m", config.mask, "-c", config.chip},
                             emulator_path);
    ModuleClient::Settings settings;
    settings.module = {INADDR_LOOPBACK, ModuleClient::kModulePort};
    settings.local = {INADDR_LOOPBACK, 0};
    // Once, and a start never twice: a second one would begin the run again.
    settings.timeout_s = 2.0;
    settings.retries = 0;
    ModuleClient host(settings);
    host.on_receive([&](const Datagram& datagram) {
        const DataPacketView packet(datagram.data, datagram.length);
        if (packet.ok()) digest.add(packet);
    });
    if (!emulator.start() || !emulator.wait_until_serving(kStartTimeout) || !host.open() ||
        !set_up(host, config)) {
        std::fprintf(stderr, "data_fingerprint: the emulator did not start or answer: %s%s\n",
                     host.error().c_str(), emulator.stderr_text().c_str());
        return digest;
    }
    if (done(host.daq_command(packet::kAllHybrids, true))) {
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                 std::chrono::duration<double>(kRunTimeout));
        while (!digest.complete() && Clock::now() < deadline && host.receive(0.1) >= 0) {
        }
        host.daq_command(packet::kAllHybrids, false);
    }
    emulator.send_signal(SIGTERM);
    emulator.wait_exit(5.0);
    return digest;
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t packets = 0;
    std::string emulator_path = TESTMODULE_PATH;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--emulator" && i + 1 < argc) {
            emulator_path = argv[++i];
        } else if (packets == 0 && !arg.empty() && arg[0] != '-') {
            packets = std::strtoull(arg.c_str(), nullptr, 10);
        } else {
            packets = 0;
            break;
        }
    }
    if (packets == 0) {
        std::fprintf(stderr, "usage: data_fingerprint PACKETS [--emulator PATH]\n");
        return 2;
    }
    if (!enter_private_network_namespace()) {
        std::fprintf(stderr,
                     "data_fingerprint: cannot enter a network namespace of its own (run as "
                     "root); testModule binds port 10000, which others may be using.\n");
        return 2;
    }
    const Config configs[] = {{1, 1, "1"},    {1, 2, "1"},    {4, 1, "1111"},
                              {4, 2, "1111"}, {4, 4, "1111"}, {4, 1, "1111", "ktm"}};
    int failures = 0;
    for (const Config& config : configs) {
        const PacketDigest digest = fingerprint(config, packets, emulator_path);
        char text[32];
        std::snprintf(text, sizeof(text), "%016llx",
                      static_cast<unsigned long long>(digest.digest()));
        std::printf("%d hybrid(s), mode %u, chip %s: %s (%llu packets)\n", config.hybrids,
                    config.mode, config.chip, digest.complete() ? text : "incomplete",
                    static_cast<unsigned long long>(digest.packets()));
        std::fflush(stdout);
        if (!digest.complete()) ++failures;
    }
    return failures == 0 ? 0 : 1;
}
