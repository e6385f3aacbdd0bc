// memcheck_session: an end-to-end session with testModule run under a memory checker
// (scripts/ci/50-valgrind.sh).
//
//   memcheck_session PROGRAM ARGS...
//
// Starts PROGRAM (a path: the checker, its options, then testModule and its options), waits
// until it serves, and plays the host: discovery, every configuration command, an absent
// hybrid, unknown codes, malformed datagrams, a run of a few seconds in each readout mode (all
// channels, the hit channel, the hit and its neighbours) with the data checked to be in that
// mode, a stop, a last run left going, then SIGTERM by PID. Exits 0 only when all of that was
// answered as it should, the program logged both shutdown lines and PROGRAM ended with status
// 0 (the checker's own error status when it found anything). Run it inside a network namespace
// of its own: testModule binds 127.0.0.1:10000.
#include <netinet/in.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "daqhost/daqhost.h"
#include "protocol/BasePacket.h"
#include "protocol/DataPacket.h"
#include "testing/EmulatorProcess.h"
#include "testing/UdpPeer.h"

using namespace daq;

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kStartTimeout = 120.0;  // a memory checker starts programs slowly
// An acknowledge may take long under the checker: the request goes again every 2 s, for 20 s.
constexpr double kAttemptTimeout = 2.0;
constexpr int kRetries = 9;
constexpr double kRunSeconds = 3.0;
constexpr double kExitTimeout = 120.0;  // the leak check runs after the program's end
// Bounds the reading of what is left after a run, however fast it keeps coming.
constexpr int kMaxDrainedBatches = 10000;

// The data packets received since the last reset: well-formed ones by readout mode, and those
// that carry the data code but are not well formed.
struct DataTally {
    std::map<unsigned, uint64_t> packets_by_mode;
    uint64_t malformed = 0;

    void take(const Datagram& datagram) {
        const DataPacketView packet(datagram.data, datagram.length);
        switch (packet.fault()) {
            case DataPacketFault::kNone:
                ++packets_by_mode[packet.mode()];
                break;
            case DataPacketFault::kTooShort:
            case DataPacketFault::kBadMagic:
            case DataPacketFault::kNotData:
                break;  // an acknowledge, or not from a module
            default:
                ++malformed;
        }
    }
    uint64_t packets() const {
        uint64_t total = 0;
        for (const auto& [mode, count] : packets_by_mode) total += count;
        return total;
    }
};

class Session {
  public:
    Session(ModuleClient& host, UdpPeer& stranger) : host_(host), stranger_(stranger) {
        host_.on_receive([this](const Datagram& datagram) { tally_.take(datagram); });
    }

    void play() {
        expect(error_of(host_.discover()) == packet::kDone, "discovery not answered");
        // Configuration: hybrid 1 with two chips of type 1; hybrid 3 is not present.
        expect(error_of(host_.configure_stream(1, 1, 2)) == packet::kDone, "stream configuration");
        expect(error_of(host_.configure_stream(3, 1, 2)) == packet::kNoSuchHybrid,
               "absent hybrid not refused");
        for (const uint8_t code :
             {packet::kHoldDelay, packet::kBias, packet::kMbias, packet::kCoincidenceTimeWindow,
              packet::kNoAction, packet::kConfig, packet::kTriggerType}) {
            expect(error_of(host_.request(code, 0x0100, 0x0011)) == packet::kDone,
                   "setting command " + std::to_string(code));
        }
        // 0x8B: the code of discovery with the reply flag, as an acknowledge carries it.
        for (const uint8_t code : {0x00, 0x0C, 0x8B}) {
            expect(error_of(host_.request(code, 0, 0)) == packet::kUnknownCommand,
                   "unknown code " + std::to_string(code));
        }
        send_malformed();
        // The emulator takes its datagrams in the order they came: this acknowledge comes after
        // any that those above brought.
        expect(error_of(host_.request(packet::kNoAction, 0, 0)) == packet::kDone,
               "request after malformed datagrams");
        expect(error_of(host_.daq_command(7, true)) == packet::kNoSuchHybrid,
               "DAQ command for absent hybrid");

        const struct {
            unsigned mode;
            unsigned nadj;
        } runs[] = {{DataPacket::kAllChannels, 0},
                    {DataPacket::kHitChannel, 0},
                    {DataPacket::kHitAndNeighbours, 3}};
        for (const auto& run : runs) check_run(run.mode, run.nadj);

        // A run left running for the signal to end.
        expect(error_of(host_.daq_command(1, true)) == packet::kDone, "last run start");
        expect(data_for(1.0).packets() > 0, "no data in the last run");
    }

    const std::vector<std::string>& failures() const { return failures_; }

  private:
    void expect(bool condition, const std::string& what) {
        if (!condition) failures_.push_back(what);
    }

    // The error word of the acknowledge, or nothing when none came.
    static std::optional<uint16_t> error_of(const RequestOutcome& outcome) {
        if (!outcome.acknowledged()) return std::nullopt;
        return outcome.ack.error;
    }

    // Sent from a peer of its own: none of them is a discovery, so the module's host stays
    // the client, which gets whatever acknowledge they bring.
    void send_malformed() {
        std::vector<uint8_t> odd = wire_words({packet::kMagic, packet::kDaqCommand, 0x0100});
        odd.push_back(0x01);
        std::vector<uint8_t> longer_than_a_read = wire_words({packet::kMagic, packet::kConfig});
        longer_than_a_read.resize(longer_than_a_read.size() + 9000);
        const std::vector<std::vector<uint8_t>> datagrams = {
            {},
            {0xCA},
            {0xCA, 0xFE, 0x00},
            odd,
            wire_words({0x1234, packet::kDaqCommand, 0x0100, 1}),
            longer_than_a_read,
        };
        for (const auto& datagram : datagrams) {
            expect(stranger_.send(datagram), "cannot send a malformed datagram");
        }
    }

    // Both hybrids in `mode`, a run of kRunSeconds, its stop, and its data all in that mode.
    void check_run(unsigned mode, unsigned nadj) {
        const std::string name = "mode " + std::to_string(mode);
        for (const unsigned hybrid : {1u, 2u}) {
            expect(error_of(host_.set_readout_mode(hybrid, mode, nadj)) == packet::kDone,
                   "readout mode " + std::to_string(mode));
        }
        expect(error_of(host_.daq_command(packet::kAllHybrids, true)) == packet::kDone,
               "run start");
        const DataTally data = data_for(kRunSeconds);
        expect(error_of(host_.daq_command(packet::kAllHybrids, false)) == packet::kDone,
               "run stop");
        std::string modes;
        for (const auto& [seen, count] : data.packets_by_mode) {
            modes += (modes.empty() ? "" : " ") + std::to_string(seen);
        }
        expect(data.packets() > 0 && data.packets_by_mode.size() == 1 &&
                   data.packets_by_mode.count(mode) == 1 && data.malformed == 0,
               name + ": " + std::to_string(data.packets()) + " data packets, modes [" + modes +
                   "], " + std::to_string(data.malformed) + " malformed");
        std::cout << name << ": " << data.packets() << " data packets" << std::endl;
        drain();
    }

    // What the client receives in the next `seconds`.
    DataTally data_for(double seconds) {
        tally_ = DataTally();
        const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
        for (auto now = Clock::now(); now < deadline; now = Clock::now()) {
            const double left = std::chrono::duration<double>(deadline - now).count();
            if (host_.receive(std::min(left, 0.1)) < 0) {
                expect(false, host_.error());
                break;
            }
        }
        return tally_;
    }

    void drain() {
        for (int i = 0; i < kMaxDrainedBatches && host_.receive(0) > 0; ++i) {
        }
    }

    ModuleClient& host_;
    UdpPeer& stranger_;
    DataTally tally_;
    std::vector<std::string> failures_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: memcheck_session PROGRAM ARGS...  (PROGRAM a path: the memory "
                     "checker, its options, then testModule and its options)"
                  << std::endl;
        return 2;
    }
    EmulatorProcess emulator(std::vector<std::string>(argv + 2, argv + argc), argv[1]);
    if (!emulator.start()) {
        std::cerr << "memcheck session FAILED: cannot start " << argv[1] << std::endl;
        return 1;
    }
    std::vector<std::string> failures;
    if (!emulator.wait_until_serving(kStartTimeout)) {
        failures.push_back("the emulator did not start serving");
    } else {
        ModuleClient::Settings settings;
        settings.module = {INADDR_LOOPBACK, ModuleClient::kModulePort};
        settings.timeout_s = kAttemptTimeout;
        settings.retries = kRetries;
        settings.receive_buffer = 4 << 20;
        ModuleClient host(settings);
        UdpPeer stranger;
        if (!host.open()) {
            failures.push_back(host.error());
        } else if (!stranger.ok()) {
            failures.push_back("cannot open the peer of the malformed datagrams");
        } else {
            Session session(host, stranger);
            session.play();
            failures = session.failures();
        }
    }
    if (emulator.running()) emulator.send_signal(SIGTERM);
    const int status = emulator.wait_exit(kExitTimeout);
    if (status < 0) failures.push_back("the emulator did not end after SIGTERM");

    const std::string err = emulator.stderr_text();
    for (const char* line : {"Stopping the run", "Stopping the server"}) {
        if (err.find(line) == std::string::npos) {
            failures.push_back(std::string("no shutdown line '") + line + "'");
        }
    }
    if (status > 0) failures.push_back("exit status " + std::to_string(status));
    if (!failures.empty()) {
        std::cerr << "memcheck session FAILED:" << std::endl;
        for (const std::string& failure : failures) std::cerr << "  " << failure << std::endl;
        std::cerr << "--- emulator standard error (tail)" << std::endl
                  << err.substr(err.size() > 4000 ? err.size() - 4000 : 0) << std::endl;
        return 1;
    }
    std::cout << "memcheck session passed: exit status 0" << std::endl;
    return 0;
}
