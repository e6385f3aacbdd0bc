// testModule under a flood of hostile datagrams during a run: it must keep answering, keep
// sending the run's data, and not grow.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <random>
#include <thread>
#include <vector>

#include "protocol/BasePacket.h"
#include "testing/EmulatorProcess.h"
#include "testing/LoadHost.h"
#include "testing/UdpPeer.h"

using namespace daq;

namespace {

constexpr int kDatagrams = 100000;
constexpr size_t kMaxFloodLength = 9000;
// One datagram in this many is a well-formed request.
constexpr int kValidEvery = 50;
// Growth of the emulator's resident set over the flood that still counts as no growth: the
// allocator may keep a few freed blocks of the largest datagrams and packets.
constexpr long kRssGrowthBoundKb = 4096;

// Well-formed requests that do not change the run or the host peer: the flood must not turn
// off what the test checks afterwards.
const std::vector<std::vector<uint8_t>>& valid_requests() {
    static const std::vector<std::vector<uint8_t>> requests = {
        wire_words({0xCAFE, 2, 0x0100, 0x0020}),
        wire_words({0xCAFE, 3, 0x0100, 0x0030}),
        wire_words({0xCAFE, 4, 0x0100, 0x0040}),
        wire_words({0xCAFE, 5, 0x0100, 0x0005}),
        wire_words({0xCAFE, 6, 0, 0}),
        wire_words({0xCAFE, 7, 0x0100, 0x1234}),
        wire_words({0xCAFE, 9, 0x0100, 0x0001}),
        wire_words({0xCAFE, 0, 0, 0}),
        wire_words({0xCAFE, 12, 0, 0}),
        wire_words({0xCAFE, 10, 0x0100, 0x0001}),
        wire_words({0xCAFE, 10, 0x0700, 0x0000}),
    };
    return requests;
}

// Random bytes of random length, cut from a pool of random bytes at a random place (drawing
// every byte anew would make the test, not the emulator, the bottleneck). A datagram that
// would pass the header test as a discovery or a DAQ command gets a first word that fails it:
// noise must not move the host peer or stop the run, by chance, in some runs only.
class Noise {
  public:
    explicit Noise(uint32_t seed) : random_(seed), pool_(kMaxFloodLength + 65536) {
        for (uint8_t& b : pool_) b = static_cast<uint8_t>(random_());
    }

    std::vector<uint8_t> next() {
        const size_t length = random_() % (kMaxFloodLength + 1);
        const size_t offset = random_() % (pool_.size() - kMaxFloodLength);
        std::vector<uint8_t> bytes(pool_.begin() + static_cast<std::ptrdiff_t>(offset),
                                   pool_.begin() + static_cast<std::ptrdiff_t>(offset + length));
        if (bytes.size() >= 4 && (wire_word(bytes, 0) & 0xCAFE) == 0xCAFE) {
            const int code = bytes[3];
            if (code == packet::kDiscovery || code == packet::kDaqCommand) bytes[0] = 0;
        }
        return bytes;
    }

  private:
    std::mt19937 random_;
    std::vector<uint8_t> pool_;
};

class Flood : public ::testing::Test {
  protected:
    static constexpr double kTimeout = 10.0;

    void SetUp() override {
        ASSERT_TRUE(host.ok() && stranger.ok());
        ASSERT_TRUE(emulator.start());
        ASSERT_TRUE(emulator.wait_until_serving(kTimeout)) << emulator.stderr_text();
        ASSERT_TRUE(load::request_acknowledged(host, load::discovery_request(), packet::kDiscovery,
                                               kTimeout));
        ASSERT_TRUE(
            load::request_acknowledged(host, load::daq_request(1), packet::kDaqCommand, kTimeout));
        // A second of data: the pedestal buffer has been refilled many times over, so the
        // memory measured next is that of a running module.
        ASSERT_TRUE(load::data_flows(host, 1000, 4 * kTimeout)) << "no data before the flood";
    }

    void TearDown() override {
        if (!emulator.running()) return;
        emulator.send_signal(SIGTERM);
        EXPECT_EQ(emulator.wait_exit(kTimeout), 0) << emulator.stderr_text();
    }

    EmulatorProcess emulator{{"-r", "1000", "-m", "1", "-e", "1.0"}};
    UdpPeer host;
    UdpPeer stranger;
};

TEST_F(Flood, hostile_datagrams_during_a_run_leave_it_answering_sending_and_not_growing) {
    const auto rss_before = load::resident_kb(emulator.pid());
    ASSERT_TRUE(rss_before.has_value());

    // The host reads on its own thread during the flood, as a host program would.
    std::atomic<bool> flooding{true};
    std::atomic<long> acknowledges{0};
    std::atomic<long> data_packets{0};
    std::thread reader([&] {
        while (flooding) {
            auto packet = host.receive(0.05);
            if (!packet) continue;
            if (load::is_acknowledge(*packet)) ++acknowledges;
            if (load::is_data_packet(*packet)) ++data_packets;
        }
    });

    Noise noise(20240611);
    const auto udp_before = load::udp_counters();
    long sent = 0;
    long valid_sent = 0;
    size_t next_valid = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kDatagrams; ++i) {
        if (i % kValidEvery == 0) {
            const auto& request = valid_requests()[next_valid++ % valid_requests().size()];
            if (stranger.send(request)) ++valid_sent, ++sent;
        } else if (stranger.send(noise.next())) {
            ++sent;
        }
    }
    const double flood_s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    // The emulator works through what its socket still holds; its answers keep coming.
    for (long last = -1, i = 0; last != acknowledges.load() && i < 60; ++i) {
        last = acknowledges.load();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    flooding = false;
    reader.join();
    const auto udp_after = load::udp_counters();

    ASSERT_TRUE(emulator.running()) << emulator.stderr_text();
    EXPECT_TRUE(
        load::request_acknowledged(host, load::discovery_request(), packet::kDiscovery, kTimeout))
        << "discovery is not answered after the flood";
    host.drain();
    EXPECT_TRUE(load::data_flows(host, 500, 2 * kTimeout)) << "the run's data stopped";
    const auto rss_after = load::resident_kb(emulator.pid());
    ASSERT_TRUE(rss_after.has_value());

    std::printf(
        "flood: %ld datagrams sent in %.2f s (%ld well-formed requests); %ld acknowledges and "
        "%ld data packets received during the flood; VmRSS %ld kB before, %ld kB after\n",
        sent, flood_s, valid_sent, acknowledges.load(), data_packets.load(), *rss_before,
        *rss_after);
    if (udp_before && udp_after) {
        // Counted over the namespace, so the host's own datagrams are among those delivered.
        std::printf(
            "flood: UDP in this namespace: %ld datagrams delivered, %ld dropped on a full "
            "receive buffer\n",
            udp_after->delivered - udp_before->delivered,
            udp_after->dropped_full_buffer - udp_before->dropped_full_buffer);
    }
    EXPECT_EQ(sent, kDatagrams);
    EXPECT_GT(acknowledges.load(), 0);
#ifdef DAQ_SANITIZED
    // The sanitizer's quarantine holds freed memory back by design; it finds leaks itself.
    GTEST_LOG_(INFO) << "resident memory not bounded in a sanitized build";
#else
    EXPECT_LE(*rss_after - *rss_before, kRssGrowthBoundKb);
#endif
}

}  // namespace
