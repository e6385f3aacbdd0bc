// End to end: the data stream of a running testModule, seen by a host peer on loopback. Each
// test process has a network namespace of its own (the e2e main), so the emulator's port 10000
// is private to it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "daqhost/ModuleClient.h"
#include "protocol/BasePacket.h"
#include "protocol/DataPacketView.h"
#include "testing/EmulatorProcess.h"

using namespace daq;

namespace {

using Words = std::vector<uint16_t>;
using Clock = std::chrono::steady_clock;
using packet::kMagic;
using packet::kTrailer;

constexpr double kPedestal = 2024.0;
constexpr double kSignal = 500.0;
// Far beyond any pedestal (noise sigma about 5) and far below the smaller hit (about 167).
constexpr int kHitThreshold = 80;
// A pedestal value never strays this far from 2024 (about 12 sigma).
constexpr int kPedestalBand = 60;

constexpr double kAckTimeout = 5.0;
constexpr double kDataTimeout = 20.0;

// Header words of a data packet.
constexpr size_t kEvent = 3;
constexpr size_t kTimeHigh = 4;
constexpr size_t kTimeLow = 5;
constexpr size_t kStreamType = 8;
constexpr size_t kPayload = 9;

int stream_of(const Words& p) { return p[kStreamType] >> 8; }
uint32_t time_stamp_of(const Words& p) {
    return (static_cast<uint32_t>(p[kTimeHigh]) << 16) | p[kTimeLow];
}
Words payload_of(const Words& p) { return Words(p.begin() + kPayload, p.end() - 1); }

bool is_pedestal(int value) {
    return std::abs(value - static_cast<int>(kPedestal)) < kPedestalBand;
}

// A hit adds either about 500 or about 500 / 3 (sigma 10 and 10 / 3) to one pedestal.
bool is_hit(int value) {
    const int added = value - static_cast<int>(kPedestal);
    return std::abs(added - static_cast<int>(kSignal)) < kPedestalBand ||
           std::abs(added - static_cast<int>(kSignal / 3)) < kPedestalBand;
}

// The channel with the largest value: where the hit went.
size_t max_channel(const Words& values) {
    return static_cast<size_t>(std::max_element(values.begin(), values.end()) - values.begin());
}

ModuleRequest readout_mode(unsigned hybrid, unsigned mode, unsigned nadj = 0) {
    return ModuleRequest::readout_mode({hybrid, mode, nadj});
}

ModuleRequest stream_config(unsigned hybrid, unsigned chip_type, unsigned chips) {
    return ModuleRequest::stream_configuration({hybrid, chip_type, chips});
}

// One testModule and the host that talks to it, the host library's client. Acknowledges and
// data packets share the client's socket: data that arrives while a request waits for its
// acknowledge is kept in order. A data packet is anything with the magic and code 14, whole or
// not, so that the tests see its layout.
class DataSession {
  public:
    explicit DataSession(std::vector<std::string> options) : emulator_(std::move(options)) {}

    // Starts the program and makes this client its host by discovery.
    ::testing::AssertionResult open() {
        if (!emulator_.start()) return ::testing::AssertionFailure() << "cannot start testModule";
        if (!emulator_.wait_until_serving(20)) {
            return ::testing::AssertionFailure() << "testModule never served; stderr:\n"
                                                 << emulator_.stderr_text();
        }
        ModuleClient::Settings settings;
        const std::string served = emulator_.server_host();
        settings.module =
            *Endpoint::parse(served.empty() ? "127.0.0.1" : served, ModuleClient::kModulePort);
        settings.timeout_s = kAckTimeout;
        settings.retries = 0;
        client_ = std::make_unique<ModuleClient>(settings);
        if (!client_->open()) return ::testing::AssertionFailure() << client_->error();
        client_->on_receive([this](const Datagram& datagram) { keep_if_data(datagram); });
        if (!discover()) return ::testing::AssertionFailure() << "no acknowledge of discovery";
        return ::testing::AssertionSuccess();
    }

    // Discovery is answered with an acknowledge of code 0x8B and error 0.
    bool discover() {
        const RequestOutcome outcome = client_->discover();
        return outcome.acknowledged() && outcome.ack.error == packet::kDone;
    }

    // A request whose acknowledge must carry error code 0.
    ::testing::AssertionResult command(const ModuleRequest& request) {
        const RequestOutcome outcome = client_->request(request);
        const int code = request.code;
        if (!outcome.acknowledged()) {
            return ::testing::AssertionFailure() << "no acknowledge of code " << code;
        }
        if (outcome.ack.error != packet::kDone) {
            return ::testing::AssertionFailure()
                   << "code " << code << " acknowledged with error " << outcome.ack.error;
        }
        return ::testing::AssertionSuccess();
    }

    ::testing::AssertionResult start_run(int hybrid = 1) {
        return command({packet::kDaqCommand, static_cast<uint16_t>(hybrid << 8), 1});
    }
    // Data sent before the stop comes before its acknowledge: none is left to come after it.
    ::testing::AssertionResult stop_run(int hybrid = 1) {
        return command({packet::kDaqCommand, static_cast<uint16_t>(hybrid << 8), 0});
    }

    // The next data packet, or nothing within the timeout.
    std::optional<Words> next_data(double timeout_s) {
        const auto deadline = Clock::now() + std::chrono::duration<double>(timeout_s);
        while (data_.empty()) {
            const double left = std::chrono::duration<double>(deadline - Clock::now()).count();
            if (left <= 0 || client_->receive(left) < 0) return std::nullopt;
        }
        Words packet = std::move(data_.front());
        data_.pop_front();
        ++seen_[stream_of(packet)];
        return packet;
    }
    // How many data packets of the stream next_data has handed out, collected or not.
    size_t seen(int stream) const {
        auto it = seen_.find(stream);
        return it == seen_.end() ? 0 : it->second;
    }

    // The first `count` data packets of each given stream, in arrival order; fewer when the
    // time runs out.
    std::map<int, std::vector<Words>> collect(const std::vector<int>& streams, size_t count,
                                              double timeout_s = kDataTimeout) {
        std::map<int, std::vector<Words>> got;
        for (int s : streams) got[s];
        const auto deadline = Clock::now() + std::chrono::duration<double>(timeout_s);
        auto done = [&] {
            return std::all_of(streams.begin(), streams.end(),
                               [&](int s) { return got[s].size() >= count; });
        };
        while (!done()) {
            const double left = std::chrono::duration<double>(deadline - Clock::now()).count();
            if (left <= 0) break;
            std::optional<Words> packet = next_data(left);
            if (!packet) break;
            auto it = got.find(stream_of(*packet));
            if (it != got.end() && it->second.size() < count) it->second.push_back(*packet);
        }
        return got;
    }

    // A run from its start to its stop, keeping the first `count` data packets of each given
    // stream in `got`.
    ::testing::AssertionResult run_and_collect(const std::vector<int>& streams, size_t count,
                                               std::map<int, std::vector<Words>>& got) {
        if (::testing::AssertionResult started = start_run(); !started) return started;
        got = collect(streams, count);
        return stop_run();
    }

    // All data packets that arrive within the time: for checks that nothing (or little) comes.
    std::vector<Words> collect_for(double seconds) {
        std::vector<Words> got;
        const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
        for (;;) {
            const double left = std::chrono::duration<double>(deadline - Clock::now()).count();
            if (left <= 0) break;
            std::optional<Words> packet = next_data(left);
            if (!packet) break;
            got.push_back(std::move(*packet));
        }
        return got;
    }

    // Drops the data packets received and those waiting at the socket.
    void forget_data() {
        for (int i = 0; i < 100000 && client_->receive(0) > 0; ++i) {
        }
        data_.clear();
    }

    // The program is alive, answers discovery, and ends in order (status 0) on SIGTERM.
    ::testing::AssertionResult still_answers_and_ends_in_order() {
        if (!emulator_.running()) {
            return ::testing::AssertionFailure() << "testModule has ended; stderr:\n"
                                                 << emulator_.stderr_text();
        }
        if (!discover()) return ::testing::AssertionFailure() << "discovery not acknowledged";
        emulator_.send_signal(SIGTERM);
        const int status = emulator_.wait_exit(20);
        if (status != 0) {
            return ::testing::AssertionFailure() << "exit status " << status << "; stderr:\n"
                                                 << emulator_.stderr_text();
        }
        return ::testing::AssertionSuccess();
    }

    EmulatorProcess& emulator() { return emulator_; }

  private:
    void keep_if_data(const Datagram& datagram) {
        switch (DataPacketView(datagram.data, datagram.length).fault()) {
            case DataPacketFault::kTooShort:
            case DataPacketFault::kBadMagic:
            case DataPacketFault::kNotData:
                return;
            default:
                break;
        }
        Words words(datagram.length / 2);
        for (size_t i = 0; i < words.size(); ++i) {
            words[i] = wire_word(datagram.data, datagram.length, i);
        }
        data_.push_back(std::move(words));
    }

    EmulatorProcess emulator_;
    std::unique_ptr<ModuleClient> client_;
    std::deque<Words> data_;
    std::map<int, size_t> seen_;
};

// Checks the words that a data packet carries whatever its event: magic, id byte and code,
// count, word 6, stream and type, the trailer and the length on the wire.
::testing::AssertionResult has_layout(const Words& p, int hybrid, int mode, int count,
                                      size_t bytes) {
    if (p.size() * 2 != bytes) {
        return ::testing::AssertionFailure() << "length " << p.size() * 2 << ", not " << bytes;
    }
    const uint16_t expected[] = {kMagic, static_cast<uint16_t>(hybrid << 8 | packet::kData),
                                 static_cast<uint16_t>(count)};
    for (size_t i = 0; i < 3; ++i) {
        if (p[i] != expected[i]) {
            return ::testing::AssertionFailure()
                   << "word " << i << " is " << std::hex << p[i] << ", not " << expected[i];
        }
    }
    if (p[6] != 2) return ::testing::AssertionFailure() << "word 6 is " << p[6] << ", not 2";
    if (p[kStreamType] != (hybrid << 8 | mode)) {
        return ::testing::AssertionFailure()
               << "word 8 is " << std::hex << p[kStreamType] << ", not " << (hybrid << 8 | mode);
    }
    if (p.back() != kTrailer) {
        return ::testing::AssertionFailure() << "trailer " << std::hex << p.back();
    }
    return ::testing::AssertionSuccess();
}

// Every value of a mode 1 packet is a pedestal apart from exactly one hit.
::testing::AssertionResult is_pedestals_with_one_hit(const Words& values) {
    size_t hits = 0;
    for (size_t i = 0; i < values.size(); ++i) {
        if (values[i] - kPedestal > kHitThreshold) {
            ++hits;
            if (!is_hit(values[i])) {
                return ::testing::AssertionFailure()
                       << "channel " << i << " holds " << values[i] << ", no hit size";
            }
        } else if (!is_pedestal(values[i])) {
            return ::testing::AssertionFailure()
                   << "channel " << i << " holds " << values[i] << ", no pedestal";
        }
    }
    if (hits != 1) return ::testing::AssertionFailure() << hits << " hits";
    return ::testing::AssertionSuccess();
}

// The pedestal buffer is filled in idle time right after start-up, and the random draws are
// the same on every start only while no refill runs between trigger cycles: let the first
// fill (a few milliseconds of work) end before a run starts. Nothing on the wire tells when it
// has ended, hence a wait with a wide margin.
void let_first_pedestal_fill_end() { std::this_thread::sleep_for(std::chrono::milliseconds(500)); }

// --- Event numbers ----------------------------------------------------------------------------

class data_event_numbers : public ::testing::Test {};

TEST_F(data_event_numbers, count_from_one_per_stream_and_again_after_stop_and_start) {
    DataSession session({"-r", "500", "-e", "1", "-m", "11"});
    ASSERT_TRUE(session.open());
    ASSERT_TRUE(session.command(readout_mode(1, 2)));
    ASSERT_TRUE(session.command(readout_mode(2, 2)));
    constexpr size_t kEvents = 30;
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE("run " + std::to_string(run + 1));
        const auto sent = Clock::now();
        ASSERT_TRUE(session.start_run());
        std::optional<Words> first = session.next_data(kDataTimeout);
        const auto first_arrived = Clock::now();
        ASSERT_TRUE(first);
        ASSERT_EQ(stream_of(*first), 1);
        auto got = session.collect({1, 2}, kEvents);
        ASSERT_TRUE(session.stop_run());
        got[1].insert(got[1].begin(), *first);
        got[1].resize(std::min(got[1].size(), kEvents));
        for (int s : {1, 2}) {
            ASSERT_EQ(got[s].size(), kEvents) << "stream " << s;
            for (size_t i = 0; i < kEvents; ++i) {
                EXPECT_EQ(got[s][i][kEvent], i + 1) << "stream " << s << " packet " << i;
            }
        }
        // One time stamp per trigger cycle: the same event of both streams shares it, and
        // it grows from cycle to cycle.
        for (size_t i = 0; i < kEvents; ++i) {
            EXPECT_EQ(time_stamp_of(got[1][i]), time_stamp_of(got[2][i])) << "event " << i + 1;
            if (i > 0) {
                EXPECT_GT(time_stamp_of(got[1][i]), time_stamp_of(got[1][i - 1]));
            }
        }
        // The time stamps count from the start of this run: the first cannot exceed the time
        // between sending the start and receiving that packet.
        const auto waited =
            std::chrono::duration_cast<std::chrono::microseconds>(first_arrived - sent);
        EXPECT_LE(time_stamp_of(*first), static_cast<uint32_t>(waited.count()));
        session.forget_data();
    }
    EXPECT_TRUE(session.still_answers_and_ends_in_order());
}

TEST_F(data_event_numbers, a_cycle_of_four_hybrids_arrives_as_four_datagrams_in_hybrid_order) {
    DataSession session({"-r", "200", "-e", "1", "-m", "1111"});
    ASSERT_TRUE(session.open());
    for (unsigned hybrid = 1; hybrid <= 4; ++hybrid) {
        ASSERT_TRUE(session.command(readout_mode(hybrid, 2)));
    }
    ASSERT_TRUE(session.start_run());
    constexpr size_t kCycles = 20;
    std::vector<Words> arrived;
    for (size_t i = 0; i < 4 * kCycles; ++i) {
        std::optional<Words> packet = session.next_data(kDataTimeout);
        ASSERT_TRUE(packet) << "datagram " << i;
        arrived.push_back(std::move(*packet));
    }
    ASSERT_TRUE(session.stop_run());
    // Each datagram one stream's event, whole; the four of a cycle one after the other, by
    // hybrid, sharing the cycle's event number and time stamp.
    for (size_t i = 0; i < arrived.size(); ++i) {
        const Words& p = arrived[i];
        const Words& first = arrived[i - i % 4];
        EXPECT_TRUE(has_layout(p, static_cast<int>(i % 4) + 1, 2, 1, 26)) << "datagram " << i;
        EXPECT_EQ(p[kEvent], i / 4 + 1) << "datagram " << i;
        EXPECT_EQ(time_stamp_of(p), time_stamp_of(first)) << "datagram " << i;
    }
    EXPECT_TRUE(session.still_answers_and_ends_in_order());
}

// --- Packet layout per readout mode -------------------------------------------------------------

class data_readout_modes : public ::testing::Test {
  protected:
    static constexpr size_t kEvents = 20;
};

TEST_F(data_readout_modes, mode_1_sends_every_channel_with_header_and_trailer) {
    DataSession session({"-r", "1000", "-e", "1", "-m", "11"});
    ASSERT_TRUE(session.open());
    std::map<int, std::vector<Words>> got;
    ASSERT_TRUE(session.run_and_collect({1, 2}, kEvents, got));
    for (int s : {1, 2}) {
        ASSERT_EQ(got[s].size(), kEvents) << "stream " << s;
        for (const Words& p : got[s]) {
            // Two chips of 128 channels: 256 values, 20 + 512 bytes.
            ASSERT_TRUE(has_layout(p, s, 1, 256, 532));
            EXPECT_TRUE(is_pedestals_with_one_hit(payload_of(p))) << "event " << p[kEvent];
        }
    }
    EXPECT_TRUE(session.still_answers_and_ends_in_order());
}

TEST_F(data_readout_modes, mode_1_pedestals_are_near_2024_with_sigma_5_and_one_hit_per_packet) {
    constexpr size_t kPackets = 80;
    DataSession session({"-r", "1000", "-e", "1", "-m", "1"});
    ASSERT_TRUE(session.open());
    std::map<int, std::vector<Words>> got;
    ASSERT_TRUE(session.run_and_collect({1}, kPackets, got));
    ASSERT_EQ(got[1].size(), kPackets);
    double sum = 0;
    double sum2 = 0;
    size_t n = 0;
    // Columns of the hits on the 16 x 16 grid of 256 channels, by amplitude: the full
    // amplitude belongs to the spot at column 4, the third of it to the spot at column 12.
    std::vector<int> full_columns;
    std::vector<int> third_columns;
    for (const Words& p : got[1]) {
        const Words values = payload_of(p);
        ASSERT_TRUE(is_pedestals_with_one_hit(values)) << "event " << p[kEvent];
        const size_t hit = max_channel(values);
        const int column = static_cast<int>(hit % 16);
        (values[hit] - kPedestal > 2 * kSignal / 3 ? full_columns : third_columns)
            .push_back(column);
        for (size_t i = 0; i < values.size(); ++i) {
            if (i == hit) continue;
            sum += values[i];
            sum2 += static_cast<double>(values[i]) * values[i];
            ++n;
        }
    }
    const double mean = sum / static_cast<double>(n);
    const double sigma = std::sqrt(sum2 / static_cast<double>(n) - mean * mean);
    // Noise 5 per channel and 1 per chip; values are truncated toward zero.
    EXPECT_NEAR(mean, kPedestal, 2.0);
    EXPECT_GT(sigma, 4.0);
    EXPECT_LT(sigma, 6.5);
    // Both spots are chosen, with equal odds, each with its own amplitude.
    ASSERT_GT(full_columns.size(), kPackets / 5);
    ASSERT_GT(third_columns.size(), kPackets / 5);
    auto mean_of = [](const std::vector<int>& v) {
        double total = 0;
        for (int x : v) total += x;
        return total / static_cast<double>(v.size());
    };
    EXPECT_LT(mean_of(full_columns), 8.0);
    EXPECT_GT(mean_of(third_columns), 8.0);
    EXPECT_TRUE(session.still_answers_and_ends_in_order());
}

TEST_F(data_readout_modes, mode_2_sends_the_hit_channel_and_its_value_twice) {
    DataSession session({"-r", "1000", "-e", "1", "-m", "11"});
    ASSERT_TRUE(session.open());
    ASSERT_TRUE(session.command(readout_mode(1, 2)));
    ASSERT_TRUE(session.command(readout_mode(2, 2)));
    std::map<int, std::vector<Words>> got;
    ASSERT_TRUE(session.run_and_collect({1, 2}, kEvents, got));
    for (int s : {1, 2}) {
        ASSERT_EQ(got[s].size(), kEvents) << "stream " << s;
        for (const Words& p : got[s]) {
            // The packet records a count of 1 in mode 2.
            ASSERT_TRUE(has_layout(p, s, 2, 1, 26));
            EXPECT_LT(p[kPayload], 256) << "event " << p[kEvent];
            EXPECT_TRUE(is_hit(p[kPayload + 1])) << p[kPayload + 1];
            EXPECT_EQ(p[kPayload + 1], p[kPayload + 2]);
        }
    }
    EXPECT_TRUE(session.still_answers_and_ends_in_order());
}

TEST_F(data_readout_modes, mode_4_sends_the_hit_and_nadj_neighbours_on_each_side) {
    DataSession session({"-r", "1000", "-e", "1", "-m", "1"});
    ASSERT_TRUE(session.open());
    ASSERT_TRUE(session.command(readout_mode(1, 4, 3)));
    std::map<int, std::vector<Words>> got;
    ASSERT_TRUE(session.run_and_collect({1}, kEvents, got));
    ASSERT_EQ(got[1].size(), kEvents);
    for (const Words& p : got[1]) {
        // Four triples: 20 + 24 bytes; word 2 holds nadj.
        ASSERT_TRUE(has_layout(p, 1, 4, 3, 44));
        const int k = p[kPayload];
        EXPECT_TRUE(is_hit(p[kPayload + 1]));
        EXPECT_EQ(p[kPayload + 1], p[kPayload + 2]);
        for (int m = 1; m <= 3; ++m) {
            EXPECT_EQ(p[kPayload + 3 * m], k + m) << "event " << p[kEvent];
            // Hits lie near the middle of the range: the neighbours are plain pedestals.
            if (k + m <= 255) {
                EXPECT_TRUE(is_pedestal(p[kPayload + 3 * m + 1]));
            }
            if (k - m >= 0) {
                EXPECT_TRUE(is_pedestal(p[kPayload + 3 * m + 2]));
            }
        }
    }
    EXPECT_TRUE(session.still_answers_and_ends_in_order());
}

TEST_F(data_readout_modes, mode_4_neighbours_stop_at_both_ends_of_the_channel_range) {
    // nadj 300 on 256 channels: every packet runs past channel 0 and channel 255.
    constexpr int kNadj = 300;
    DataSession session({"-r", "1000", "-e", "1", "-m", "1"});
    ASSERT_TRUE(session.open());
    ASSERT_TRUE(session.command(readout_mode(1, 4, kNadj)));
    std::map<int, std::vector<Words>> got;
    ASSERT_TRUE(session.run_and_collect({1}, kEvents, got));
    ASSERT_EQ(got[1].size(), kEvents);
    for (const Words& p : got[1]) {
        SCOPED_TRACE("event " + std::to_string(p[kEvent]));
        ASSERT_TRUE(has_layout(p, 1, 4, kNadj, 26 + 6 * kNadj));
        const int k = p[kPayload];
        ASSERT_LT(k, 256);
        const uint16_t last_value = p[kPayload + 3 * (255 - k) + 1];
        const uint16_t first_value = p[kPayload + 3 * k + 2];
        for (int m = 0; m <= kNadj; ++m) {
            const size_t t = kPayload + 3 * static_cast<size_t>(m);
            // The channel word is not clamped; the values are those of channels 255 and 0.
            ASSERT_EQ(p[t], k + m);
            if (k + m >= 255) {
                ASSERT_EQ(p[t + 1], last_value) << "m " << m;
            }
            if (k - m <= 0) {
                ASSERT_EQ(p[t + 2], first_value) << "m " << m;
            }
            if (m > 0) {
                ASSERT_TRUE(is_pedestal(p[t + 1]) || k + m >= 255) << p[t + 1];
                ASSERT_TRUE(is_pedestal(p[t + 2]) || k - m <= 0) << p[t + 2];
            }
        }
        EXPECT_TRUE(is_hit(p[kPayload + 1]));
    }
    EXPECT_TRUE(session.still_answers_and_ends_in_order());
}

TEST_F(data_readout_modes, mode_0_sends_a_header_only_packet_with_the_channel_count) {
    DataSession session({"-r", "1000", "-e", "1", "-m", "11"});
    ASSERT_TRUE(session.open());
    ASSERT_TRUE(session.command(readout_mode(1, 0)));
    ASSERT_TRUE(session.command(readout_mode(2, 0)));
    std::map<int, std::vector<Words>> got;
    ASSERT_TRUE(session.run_and_collect({1, 2}, kEvents, got));
    for (int s : {1, 2}) {
        ASSERT_EQ(got[s].size(), kEvents) << "stream " << s;
        for (const Words& p : got[s]) ASSERT_TRUE(has_layout(p, s, 0, 256, 20));
    }
    EXPECT_TRUE(session.still_answers_and_ends_in_order());
}

// The same requests give the same draws on every start of the program, and the readout mode
// changes only what is sent: a start in modes 2 and 4 must report exactly the values that a
// start in mode 1 sends for the same event.
TEST_F(data_readout_modes, modes_2_and_4_report_the_values_mode_1_sends_for_the_same_event) {
    constexpr int kNadj = 260;
    std::map<int, std::vector<Words>> all;
    {
        DataSession session({"-r", "1000", "-e", "1", "-m", "11"});
        ASSERT_TRUE(session.open());
        let_first_pedestal_fill_end();
        ASSERT_TRUE(session.run_and_collect({1, 2}, kEvents, all));
        ASSERT_TRUE(session.still_answers_and_ends_in_order());
    }
    std::map<int, std::vector<Words>> picked;
    {
        DataSession session({"-r", "1000", "-e", "1", "-m", "11"});
        ASSERT_TRUE(session.open());
        let_first_pedestal_fill_end();
        ASSERT_TRUE(session.command(readout_mode(1, 2)));
        ASSERT_TRUE(session.command(readout_mode(2, 4, kNadj)));
        ASSERT_TRUE(session.run_and_collect({1, 2}, kEvents, picked));
        ASSERT_TRUE(session.still_answers_and_ends_in_order());
    }
    for (int s : {1, 2}) {
        ASSERT_EQ(all[s].size(), kEvents);
        ASSERT_EQ(picked[s].size(), kEvents);
    }
    for (size_t e = 0; e < kEvents; ++e) {
        SCOPED_TRACE("event " + std::to_string(e + 1));
        // Mode 2: k, value(k), value(k), with k where mode 1 has its maximum.
        const Words values1 = payload_of(all[1][e]);
        const Words& hit = picked[1][e];
        const size_t k1 = max_channel(values1);
        EXPECT_EQ(hit[kPayload], k1);
        EXPECT_EQ(hit[kPayload + 1], values1[k1]);
        EXPECT_EQ(hit[kPayload + 2], values1[k1]);

        // Mode 4: for m = 0 to nadj, k + m, value(min(k + m, E - 1)), value(max(k - m, 0)).
        const Words values2 = payload_of(all[2][e]);
        const Words& near = picked[2][e];
        const int k2 = static_cast<int>(max_channel(values2));
        const int last = static_cast<int>(values2.size()) - 1;
        ASSERT_EQ(near.size(), 10u + 3 * (kNadj + 1));
        for (int m = 0; m <= kNadj; ++m) {
            const size_t t = kPayload + 3 * static_cast<size_t>(m);
            ASSERT_EQ(near[t], k2 + m) << "m " << m;
            ASSERT_EQ(near[t + 1], values2[static_cast<size_t>(std::min(k2 + m, last))])
                << "m " << m;
            ASSERT_EQ(near[t + 2], values2[static_cast<size_t>(std::max(k2 - m, 0))]) << "m " << m;
        }
    }
}

// --- Chip types ----------------------------------------------------------------------------------

class data_chip_types : public ::testing::Test {};

TEST_F(data_chip_types, ktm_chips_on_the_command_line_give_64_channels_per_chip) {
    DataSession session({"-r", "1000", "-e", "1", "-m", "1", "-c", "ktm"});
    ASSERT_TRUE(session.open());
    std::map<int, std::vector<Words>> got;
    ASSERT_TRUE(session.run_and_collect({1}, 10, got));
    ASSERT_EQ(got[1].size(), 10u);
    for (const Words& p : got[1]) {
        // Two chips of 64 channels: 128 values.
        ASSERT_TRUE(has_layout(p, 1, 1, 128, 20 + 2 * 128));
        EXPECT_TRUE(is_pedestals_with_one_hit(payload_of(p)));
    }
    EXPECT_TRUE(session.still_answers_and_ends_in_order());
}

TEST_F(data_chip_types, stream_configuration_with_chip_type_2_gives_64_channels_per_chip) {
    DataSession session({"-r", "1000", "-e", "1", "-m", "1"});
    ASSERT_TRUE(session.open());
    ASSERT_TRUE(session.command(stream_config(1, 2, 2)));
    std::map<int, std::vector<Words>> got;
    ASSERT_TRUE(session.run_and_collect({1}, 10, got));
    ASSERT_EQ(got[1].size(), 10u);
    for (const Words& p : got[1]) {
        ASSERT_TRUE(has_layout(p, 1, 1, 128, 20 + 2 * 128));
        EXPECT_TRUE(is_pedestals_with_one_hit(payload_of(p)));
    }
    EXPECT_TRUE(session.still_answers_and_ends_in_order());
}

TEST_F(data_chip_types, channels_a_64_channel_block_does_not_fill_read_zero_after_a_change_to_128) {
    // The buffer is full of 64-value blocks when chip type 1 is configured: each chip's second
    // 64 channels get no block values and must read 0, never leftover memory.
    DataSession session({"-r", "1000", "-e", "1", "-m", "1", "-c", "ktm"});
    ASSERT_TRUE(session.open());
    let_first_pedestal_fill_end();
    ASSERT_TRUE(session.command(stream_config(1, 1, 2)));
    std::map<int, std::vector<Words>> got;
    ASSERT_TRUE(session.run_and_collect({1}, 10, got));
    ASSERT_EQ(got[1].size(), 10u);
    for (const Words& p : got[1]) {
        SCOPED_TRACE("event " + std::to_string(p[kEvent]));
        ASSERT_TRUE(has_layout(p, 1, 1, 256, 532));
        const Words values = payload_of(p);
        // The hit lands on a pedestal or on an empty channel (then it reads as the amplitude).
        size_t hits = 0;
        for (size_t i = 0; i < values.size(); ++i) {
            const int base = i % 128 < 64 ? static_cast<int>(kPedestal) : 0;
            if (values[i] - base > kHitThreshold) {
                ++hits;
                EXPECT_TRUE(is_hit(values[i] - base + static_cast<int>(kPedestal)))
                    << "channel " << i << ": " << values[i];
            } else if (base == 0) {
                EXPECT_EQ(values[i], 0) << "channel " << i;
            } else {
                EXPECT_TRUE(is_pedestal(values[i])) << "channel " << i << ": " << values[i];
            }
        }
        EXPECT_EQ(hits, 1u);
    }
    EXPECT_TRUE(session.still_answers_and_ends_in_order());
}

// --- Efficiency ----------------------------------------------------------------------------------

class data_efficiency : public ::testing::Test {};

TEST_F(data_efficiency, half_efficiency_sends_about_half_the_events_with_gaps) {
    DataSession session({"-r", "1000", "-e", "0.5", "-m", "1"});
    ASSERT_TRUE(session.open());
    ASSERT_TRUE(session.command(readout_mode(1, 2)));
    ASSERT_TRUE(session.start_run());
    // Packets until one carries an event number of 400 or more.
    std::vector<uint16_t> events;
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (Clock::now() < deadline && (events.empty() || events.back() < 400)) {
        std::optional<Words> p = session.next_data(kDataTimeout);
        if (!p) break;
        events.push_back((*p)[kEvent]);
    }
    ASSERT_TRUE(session.stop_run());
    ASSERT_FALSE(events.empty());
    ASSERT_GE(events.back(), 400);
    size_t gaps = 0;
    for (size_t i = 1; i < events.size(); ++i) {
        ASSERT_GT(events[i], events[i - 1]);
        if (events[i] != events[i - 1] + 1) ++gaps;
    }
    // Binomial: 0.5 with a sigma of 0.025 at 400 events.
    const double fraction = static_cast<double>(events.size()) / events.back();
    EXPECT_GT(fraction, 0.38);
    EXPECT_LT(fraction, 0.62);
    EXPECT_GT(gaps, 50u);
    EXPECT_TRUE(session.still_answers_and_ends_in_order());
}

// --- Bad configurations --------------------------------------------------------------------------

class data_bad_configuration : public ::testing::Test {};

TEST_F(data_bad_configuration, zero_chips_send_nothing_while_other_streams_go_on) {
    DataSession session({"-r", "1000", "-e", "1", "-m", "11"});
    ASSERT_TRUE(session.open());
    ASSERT_TRUE(session.command(stream_config(1, 1, 0)));
    std::map<int, std::vector<Words>> got;
    ASSERT_TRUE(session.run_and_collect({2}, 20, got));
    // Packets that came before the stop's acknowledge are counted as well.
    session.collect_for(0.2);
    EXPECT_EQ(session.seen(1), 0u);
    ASSERT_EQ(got[2].size(), 20u);
    // The stream without chips still counts its triggers; the other numbers its own.
    for (size_t i = 0; i < got[2].size(); ++i) EXPECT_EQ(got[2][i][kEvent], i + 1);
    EXPECT_TRUE(session.still_answers_and_ends_in_order());
}

TEST_F(data_bad_configuration, unequal_chip_counts_never_read_a_missing_block) {
    DataSession session({"-r", "1000", "-e", "1", "-m", "11"});
    ASSERT_TRUE(session.open());
    ASSERT_TRUE(session.command(stream_config(1, 1, 2)));
    ASSERT_TRUE(session.command(stream_config(2, 1, 5)));
    ASSERT_TRUE(session.start_run());
    // A cycle takes 7 blocks from a buffer of at most 501: 200 cycles cross several refills.
    auto got = session.collect({1, 2}, 200, 60.0);
    ASSERT_TRUE(session.stop_run());
    ASSERT_EQ(got[1].size(), 200u);
    ASSERT_EQ(got[2].size(), 200u);
    for (int s : {1, 2}) {
        const int channels = s == 1 ? 256 : 640;
        for (size_t i = 0; i < got[s].size(); ++i) {
            const Words& p = got[s][i];
            ASSERT_TRUE(has_layout(p, s, 1, channels, 20 + 2 * static_cast<size_t>(channels)));
            ASSERT_EQ(p[kEvent], i + 1) << "stream " << s;
            // A chip whose block was missing would read 0 (or garbage), no pedestal.
            ASSERT_TRUE(is_pedestals_with_one_hit(payload_of(p)))
                << "stream " << s << " event " << p[kEvent];
        }
    }
    EXPECT_TRUE(session.still_answers_and_ends_in_order());
}

TEST_F(data_bad_configuration, nadj_65535_packets_fail_to_send_are_logged_and_the_run_goes_on) {
    DataSession session({"-r", "1000", "-e", "1", "-m", "11"});
    ASSERT_TRUE(session.open());
    ASSERT_TRUE(session.command(readout_mode(1, 4, 65535)));
    ASSERT_TRUE(session.command(readout_mode(2, 2)));
    ASSERT_TRUE(session.start_run());
    auto got = session.collect({2}, 20);
    EXPECT_TRUE(session.emulator().wait_for_stderr("DAQServer::send_packet to ", 10));
    ASSERT_TRUE(session.stop_run());
    // Hybrid 1's packet (393236 bytes) is beyond any datagram; hybrid 2's come as ever.
    // Packets that came before the stop's acknowledge are counted as well.
    session.collect_for(0.2);
    EXPECT_EQ(session.seen(1), 0u);
    ASSERT_EQ(got[2].size(), 20u);
    for (size_t i = 0; i < got[2].size(); ++i) EXPECT_EQ(got[2][i][kEvent], i + 1);
    EXPECT_TRUE(session.still_answers_and_ends_in_order());
}

TEST_F(data_bad_configuration, rate_0_neither_hangs_nor_stops_the_answers) {
    DataSession session({"-r", "0", "-e", "1", "-m", "1"});
    ASSERT_TRUE(session.open());
    ASSERT_TRUE(session.start_run());
    // An infinite period: some intervals are infinite, some not a number; whatever comes,
    // comes in order.
    const std::vector<Words> got = session.collect_for(0.5);
    ASSERT_TRUE(session.stop_run());
    for (size_t i = 1; i < got.size(); ++i) EXPECT_GT(got[i][kEvent], got[i - 1][kEvent]);
    ASSERT_TRUE(session.start_run());
    ASSERT_TRUE(session.stop_run());
    EXPECT_TRUE(session.still_answers_and_ends_in_order());
}

TEST_F(data_bad_configuration, need_beyond_the_buffer_is_logged_once_and_sends_nothing) {
    DataSession session({"-r", "1000", "-e", "1", "-m", "1111"});
    ASSERT_TRUE(session.open());
    for (int h = 1; h <= 4; ++h) ASSERT_TRUE(session.command(stream_config(h, 1, 200)));
    ASSERT_TRUE(session.start_run());
    // 4 x 200 = 800 blocks per cycle; the buffer holds at most 501.
    ASSERT_TRUE(session.emulator().wait_for_stderr("800", 10)) << session.emulator().stderr_text();
    const std::vector<Words> got = session.collect_for(1.0);
    EXPECT_TRUE(got.empty()) << got.size() << " packets";
    const std::string err = session.emulator().stderr_text();
    const size_t line_start = err.rfind('\n', err.find("800")) + 1;
    const std::string line = err.substr(line_start, err.find('\n', line_start) - line_start);
    EXPECT_NE(line.find("501"), std::string::npos) << line;
    EXPECT_EQ(session.emulator().count_in_stderr(line), 1u);
    ASSERT_TRUE(session.discover());

    // A configuration within the buffer makes the triggers fire again. Packets of the
    // configurations in between (with some hybrids still at 200 chips) come before the last
    // acknowledge and are dropped.
    for (int h = 1; h <= 4; ++h) ASSERT_TRUE(session.command(stream_config(h, 1, 2)));
    session.forget_data();
    auto after = session.collect({1, 2, 3, 4}, 5);
    ASSERT_TRUE(session.stop_run());
    for (int h = 1; h <= 4; ++h) {
        ASSERT_EQ(after[h].size(), 5u) << "hybrid " << h;
        ASSERT_TRUE(has_layout(after[h][0], h, 1, 256, 532));
    }
    EXPECT_TRUE(session.still_answers_and_ends_in_order());
}

// --- Reproducibility -----------------------------------------------------------------------------

class data_reproducibility : public ::testing::Test {};

// The packets of one session, apart from their time stamps: the first `events` data packets
// of a run of hybrids 1 to `hybrids` after the same requests.
std::vector<Words> session_data(std::vector<std::string> options, size_t events) {
    std::vector<Words> packets;
    DataSession session(std::move(options));
    EXPECT_TRUE(session.open());
    let_first_pedestal_fill_end();
    EXPECT_TRUE(session.command(readout_mode(2, 4, 5)));
    EXPECT_TRUE(session.command(readout_mode(3, 2)));
    EXPECT_TRUE(session.start_run());
    while (packets.size() < events) {
        std::optional<Words> p = session.next_data(kDataTimeout);
        if (!p) break;
        (*p)[kTimeHigh] = (*p)[kTimeLow] = 0;
        packets.push_back(std::move(*p));
    }
    EXPECT_TRUE(session.stop_run());
    EXPECT_TRUE(session.still_answers_and_ends_in_order());
    return packets;
}

void expect_same_packets(const std::vector<Words>& first, const std::vector<Words>& second,
                         size_t events) {
    ASSERT_EQ(first.size(), events);
    ASSERT_EQ(second.size(), events);
    for (size_t i = 0; i < events; ++i) {
        EXPECT_EQ(first[i], second[i]) << "packet " << i << " (stream " << stream_of(first[i])
                                       << ", event " << first[i][kEvent] << ")";
    }
}

TEST_F(data_reproducibility, two_starts_given_the_same_requests_send_the_same_data) {
    constexpr size_t kEvents = 40;
    const std::vector<std::string> options = {"-r", "1000", "-e", "0.5", "-m", "111"};
    expect_same_packets(session_data(options, kEvents), session_data(options, kEvents), kEvents);
}

// Sleeping between triggers changes when the draws are made, never which: the same data as the
// module that polls, across a refill of the pedestal buffer (8 blocks a trigger: the buffer
// runs short after 62 triggers).
TEST_F(data_reproducibility, sleeping_and_polling_between_triggers_send_the_same_data) {
    constexpr size_t kEvents = 4 * 70;
    const std::vector<std::string> options = {"-r", "50", "-e", "1", "-m", "1111"};
    std::vector<std::string> polling = options;
    polling.push_back("--busy-poll");
    expect_same_packets(session_data(options, kEvents), session_data(polling, kEvents), kEvents);
}

}  // namespace
