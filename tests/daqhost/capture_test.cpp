#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <vector>

#include "RunReader.h"
#include "daqhost/CaptureDistributions.h"
#include "daqhost/CaptureReader.h"
#include "daqhost/CaptureWriter.h"
#include "daqhost/DatagramClassifier.h"
#include "daqhost/DatagramDescription.h"
#include "daqhost/RecordedRun.h"
#include "protocol/AcknowledgePacket.h"
#include "protocol/DataPacket.h"
#include "protocol/DataPayload.h"
#include "protocol/ModuleRequest.h"
#include "protocol/PacketConversion.h"
#include "testing/UdpPeer.h"

using namespace daq;

namespace {
namespace fs = std::filesystem;

const Endpoint kHost{0x0A000001, 40000};    // 10.0.0.1
const Endpoint kModule{0x0A000002, 10000};  // 10.0.0.2

std::vector<uint8_t> request(const ModuleRequest& r) {
    const auto bytes = r.wire();
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

std::vector<uint8_t> acknowledge(uint8_t code) {
    AcknowledgePacket ack(code, 2, 2, 4);
    int length = 0;
    const WireWords wire = convert_packet(&ack, length);
    const auto* first = reinterpret_cast<const uint8_t*>(wire.get());
    return std::vector<uint8_t>(first, first + length);
}

// A mode 2 packet of a hybrid (1 unless given).
std::vector<uint8_t> data(uint16_t event, uint32_t time_stamp_us = 0, int hybrid = 1) {
    const uint16_t values[8] = {2020, 2021, 2022, 2520, 2020, 2021, 2022, 2020};
    DataPacket::Ptr p = DataPacket::create(1, hybrid, 8, 2);
    p->words()[DataPacket::kEvent] = event;
    p->words()[DataPacket::kTimeHigh] = static_cast<uint16_t>(time_stamp_us >> 16);
    p->words()[DataPacket::kTimeLow] = static_cast<uint16_t>(time_stamp_us);
    encode_payload(p->payload(), 2, values, 8, 3, 0);
    const WireWords wire =
        convert_packet(reinterpret_cast<const char*>(p->words()), p->packet_size());
    const auto* first = reinterpret_cast<const uint8_t*>(wire.get());
    return std::vector<uint8_t>(first, first + p->packet_size());
}

// The pcap file header, then each record's header, then the raw IPv4 frame.
constexpr size_t kFileHeader = 24;
constexpr size_t kRecordHeader = 16;
constexpr size_t kFrameHeaders = 28;

class CaptureFile : public testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "capture_test.XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        path_ = (dir_ / "run.pcap").string();
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Records of 0, 16 and 532 bytes, each payload counting up from its length.
    std::vector<std::vector<uint8_t>> write_three() {
        std::vector<std::vector<uint8_t>> payloads;
        CaptureWriter writer;
        EXPECT_TRUE(writer.open(path_)) << writer.error();
        for (const size_t length : {0, 16, 532}) {
            payloads.emplace_back(length);
            std::iota(payloads.back().begin(), payloads.back().end(), uint8_t(length));
            const bool to_module = payloads.size() % 2 == 1;
            EXPECT_TRUE(writer.write(time_of(payloads.size()), to_module ? kHost : kModule,
                                     to_module ? kModule : kHost, payloads.back().data(), length));
        }
        EXPECT_TRUE(writer.close()) << writer.error();
        return payloads;
    }
    static int64_t time_of(size_t n) { return 1'700'000'000'123'456'789 + int64_t(n) * 1001; }

    void patch(size_t offset, uint8_t value) {
        std::fstream file(path_, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(static_cast<std::streamoff>(offset));
        file.put(static_cast<char>(value));
    }
    std::string open_error() {
        CaptureReader reader;
        EXPECT_FALSE(reader.open(path_));
        return reader.error();
    }

    // Writes the datagrams (source, destination, payload) and reads them back.
    std::vector<CaptureRecord> round_trip(const std::vector<CaptureRecord>& datagrams) {
        CaptureWriter writer;
        EXPECT_TRUE(writer.open(path_)) << writer.error();
        for (const CaptureRecord& d : datagrams) {
            EXPECT_TRUE(
                writer.write(0, d.source, d.destination, d.payload.data(), d.payload.size()));
        }
        EXPECT_TRUE(writer.close()) << writer.error();
        CaptureReader reader;
        EXPECT_TRUE(reader.open(path_)) << reader.error();
        std::vector<CaptureRecord> records;
        for (CaptureRecord record; reader.next(record);) records.push_back(record);
        return records;
    }

    fs::path dir_;
    std::string path_;
};

using Kind = DatagramClassifier::Kind;

TEST_F(CaptureFile, round_trip_keeps_times_ends_and_payloads) {
    const auto payloads = write_three();
    CaptureReader reader;
    ASSERT_TRUE(reader.open(path_)) << reader.error();
    CaptureRecord record;
    for (size_t n = 1; n <= payloads.size(); ++n) {
        ASSERT_TRUE(reader.next(record)) << reader.error();
        EXPECT_EQ(record.time_ns, time_of(n));
        EXPECT_EQ(record.source, n % 2 == 1 ? kHost : kModule);
        EXPECT_EQ(record.destination, n % 2 == 1 ? kModule : kHost);
        EXPECT_EQ(record.payload, payloads[n - 1]);
    }
    EXPECT_FALSE(reader.next(record));
    EXPECT_FALSE(reader.failed()) << reader.error();
    EXPECT_EQ(reader.records(), 3u);
}

TEST_F(CaptureFile, missing_file_is_named_with_the_system_error) {
    EXPECT_EQ(open_error(), path_ + ": No such file or directory");
}

TEST_F(CaptureFile, empty_file_is_reported_as_empty) {
    std::ofstream(path_).close();
    EXPECT_EQ(open_error(), path_ + ": empty file");
}

TEST_F(CaptureFile, text_file_is_not_a_capture) {
    std::ofstream{path_} << "time,channel,value\n0,17,2530\n";
    EXPECT_EQ(open_error(), path_ + ": not a pcap capture file");
}

TEST_F(CaptureFile, file_cut_inside_a_record_names_that_record_after_the_whole_ones) {
    write_three();
    fs::resize_file(path_, fs::file_size(path_) - 10);
    CaptureReader reader;
    ASSERT_TRUE(reader.open(path_)) << reader.error();
    CaptureRecord record;
    EXPECT_TRUE(reader.next(record));
    EXPECT_TRUE(reader.next(record));
    EXPECT_FALSE(reader.next(record));
    EXPECT_EQ(reader.error().rfind(path_ + ": truncated in record 3: ", 0), 0u) << reader.error();
}

TEST_F(CaptureFile, non_udp_and_fragment_frames_are_skipped_and_counted) {
    write_three();
    patch(kFileHeader + kRecordHeader + 9, 6);  // the first datagram becomes TCP
    const size_t second = kFileHeader + 2 * kRecordHeader + kFrameHeaders;
    patch(second + 6, 0x20);  // the second has more fragments to come
    CaptureReader reader;
    ASSERT_TRUE(reader.open(path_)) << reader.error();
    CaptureRecord record;
    ASSERT_TRUE(reader.next(record));
    EXPECT_EQ(record.payload.size(), 532u);
    EXPECT_FALSE(reader.next(record));
    EXPECT_FALSE(reader.failed()) << reader.error();
    EXPECT_EQ(reader.skipped(), 2u);
    EXPECT_EQ(reader.records(), 1u);
}

TEST_F(CaptureFile, payload_larger_than_a_udp_datagram_is_refused_not_cut) {
    CaptureWriter writer;
    ASSERT_TRUE(writer.open(path_)) << writer.error();
    const std::vector<uint8_t> largest(65507, 0x5A);
    const std::vector<uint8_t> too_large(65508);
    EXPECT_TRUE(writer.write(0, kHost, kModule, largest.data(), largest.size()));
    EXPECT_FALSE(writer.write(0, kHost, kModule, too_large.data(), too_large.size()));
    EXPECT_EQ(writer.error().rfind(path_ + ": ", 0), 0u);
    EXPECT_FALSE(writer.close());
    CaptureReader reader;
    ASSERT_TRUE(reader.open(path_)) << reader.error();
    CaptureRecord record;
    ASSERT_TRUE(reader.next(record)) << reader.error();
    EXPECT_EQ(record.payload, largest);
    EXPECT_FALSE(reader.next(record));
    EXPECT_EQ(reader.records() + reader.skipped(), 1u);
}

// Captures taken with tcpdump carry link-layer headers before the IPv4 frame: Ethernet (here
// with an 802.1Q tag) on a wire, the cooked header with "-i any".
TEST_F(CaptureFile, ethernet_and_cooked_captures_give_the_same_datagram) {
    const auto payloads = write_three();
    std::ifstream file(path_, std::ios::binary);
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(file), {}};
    const size_t second = kFileHeader + 2 * kRecordHeader + kFrameHeaders;
    const std::vector<uint8_t> frame(bytes.begin() + second, bytes.begin() + second + 28 + 16);

    const std::vector<uint8_t> ethernet = {0, 1,  2,  3,    4,    5, 6, 7,    8,
                                           9, 10, 11, 0x81, 0x00, 0, 7, 0x08, 0x00};
    std::vector<uint8_t> cooked(16, 0);
    cooked[14] = 0x08;
    for (const auto& [link, header] : {std::pair{DLT_EN10MB, ethernet}, {DLT_LINUX_SLL, cooked}}) {
        pcap_t* dead = pcap_open_dead(link, 65535);
        pcap_dumper_t* dumper = pcap_dump_open(dead, path_.c_str());
        ASSERT_NE(dumper, nullptr);
        std::vector<uint8_t> packet = header;
        packet.insert(packet.end(), frame.begin(), frame.end());
        pcap_pkthdr record = {};
        record.caplen = record.len = static_cast<bpf_u_int32>(packet.size());
        pcap_dump(reinterpret_cast<u_char*>(dumper), &record, packet.data());
        pcap_dump_close(dumper);
        pcap_close(dead);

        CaptureReader reader;
        ASSERT_TRUE(reader.open(path_)) << reader.error();
        CaptureRecord read;
        ASSERT_TRUE(reader.next(read)) << "link type " << link << ": " << reader.error();
        EXPECT_EQ(read.payload, payloads[1]) << "link type " << link;
        EXPECT_EQ(read.source, kModule);
        EXPECT_EQ(read.destination, kHost);
    }
}
// A run read back from its capture counts what the live session counts: the data packets from
// the start on, the acknowledges, a request sent again before its acknowledge as a retry, and
// one that never got it as missing, which leaves the module failed at that request.
TEST_F(CaptureFile, a_run_read_back_counts_from_the_start_with_retries_and_missing_acknowledges) {
    const std::vector<std::pair<bool, std::vector<uint8_t>>> session = {
        {true, request(ModuleRequest::discovery())},
        {false, acknowledge(packet::kDiscovery)},
        {false, data(40)},  // of a run left going: not this run's
        {true, request(ModuleRequest::readout_mode({1, 2, 0}))},
        {true, request(ModuleRequest::readout_mode({1, 2, 0}))},
        {false, acknowledge(packet::kReadoutMode)},
        {true, request(ModuleRequest::stream_configuration({1, 1, 2}))},
        {true, request(ModuleRequest::daq_command(255, true))},
        {false, acknowledge(packet::kDaqCommand)},
        {false, data(1)},
        {false, data(3)},
        {true, request(ModuleRequest::daq_command(255, false))},
        {false, acknowledge(packet::kDaqCommand)},
    };
    CaptureWriter writer;
    ASSERT_TRUE(writer.open(path_)) << writer.error();
    for (size_t i = 0; i < session.size(); ++i) {
        const auto& [to_module, bytes] = session[i];
        ASSERT_TRUE(writer.write(time_of(i) + int64_t(i) * 100'000'000, to_module ? kHost : kModule,
                                 to_module ? kModule : kHost, bytes.data(), bytes.size()));
    }
    ASSERT_TRUE(writer.close()) << writer.error();

    RecordedRun run;
    ASSERT_TRUE(run.read(path_)) << run.error();
    ASSERT_EQ(run.size(), 1u);
    EXPECT_EQ(run.endpoint(0), kModule);
    const ModuleFigures f = run.figures(0);
    EXPECT_EQ(f.packets, 2u) << "event 40 came before the start";
    EXPECT_EQ(f.missing, 1u);
    EXPECT_EQ(f.acknowledges, 4u);
    EXPECT_EQ(f.retries, 1u);
    EXPECT_EQ(f.missing_acknowledges, 1u);
    EXPECT_EQ(run.module(0).failed_at, "stream configuration of hybrid 1");
    EXPECT_TRUE(run.module(0).started);
    EXPECT_NEAR(run.seconds(), 0.4, 1e-5) << "from the start request to the stop";
    EXPECT_EQ(run.records(), session.size());
}

// A run's datagrams as the host handled them, at its times in µs from the run's start request:
// fed to a reader as a live session feeds it, and written to a capture that is read back.
// The module triggers at 1 kHz: event k of a start is stamped 10 ms + k ms into the start.
class ReadRun : public CaptureFile {
  protected:
    static constexpr uint8_t kDaq = packet::kDaqCommand;
    static constexpr int64_t kDelay_us = 200;  // from the module to the host

    void send(int64_t at_us, const ModuleRequest& r) {
        script_.push_back({at_us, true, request(r)});
    }
    void reply(int64_t at_us, uint8_t code) {
        script_.push_back({at_us, false, acknowledge(code)});
    }
    void packet(int64_t at_us, uint16_t event, uint32_t time_stamp_us, int hybrid = 1) {
        script_.push_back({at_us, false, data(event, time_stamp_us, hybrid)});
    }
    // Events `first` to `last` of the start the module took at `start_us`, `late_us` late.
    void start_packets(int64_t start_us, uint32_t first, uint32_t last, int hybrid = 1,
                       int64_t late_us = 0) {
        for (uint32_t k = first; k <= last; ++k) {
            const uint32_t stamp = 10'000 + 1000 * k;
            packet(start_us + stamp + kDelay_us + late_us, static_cast<uint16_t>(k), stamp, hybrid);
        }
    }
    void start(int64_t at_us) {
        send(at_us, ModuleRequest::daq_command(255, true));
        reply(at_us + 2 * kDelay_us, kDaq);
    }
    void stop(int64_t at_us) {
        send(at_us, ModuleRequest::daq_command(255, false));
        reply(at_us + 2 * kDelay_us, kDaq);
    }
    // The module's address is gone (no datagram says so: the live reading alone has it).
    void leave(int64_t at_us) { script_.push_back({at_us, false, {}, true}); }

    // The live reading; with `read_back`, the capture's must give the same figures.
    ModuleFigures figures(bool read_back = true) {
        std::stable_sort(script_.begin(), script_.end(),
                         [](const Step& a, const Step& b) { return a.at_us < b.at_us; });
        const size_t i = live_.add_module(kModule);
        for (const Step& s : script_) {
            if (s.left) {
                live_.left(i, time_ns(s.at_us));
            } else if (s.to_module) {
                live_.sent(i, time_ns(s.at_us),
                           *ModuleRequest::parse(s.bytes.data(), s.bytes.size()));
            } else {
                live_.received(i, time_ns(s.at_us), s.bytes.data(), s.bytes.size());
            }
        }
        live_.finish();
        const ModuleFigures f = live_.module(i).figures();
        if (read_back) expect_read_back(f);
        return f;
    }

    void reset() {
        script_.clear();
        live_ = RunReader();
    }

    RunReader live_;

  private:
    struct Step {
        int64_t at_us;
        bool to_module;
        std::vector<uint8_t> bytes;
        bool left = false;
    };
    static int64_t time_ns(int64_t at_us) { return 1'700'000'000'000'000'000 + at_us * 1000; }

    void expect_read_back(const ModuleFigures& live) {
        CaptureWriter writer;
        ASSERT_TRUE(writer.open(path_)) << writer.error();
        for (const Step& s : script_) {
            ASSERT_TRUE(writer.write(time_ns(s.at_us), s.to_module ? kHost : kModule,
                                     s.to_module ? kModule : kHost, s.bytes.data(),
                                     s.bytes.size()));
        }
        ASSERT_TRUE(writer.close()) << writer.error();
        RecordedRun run;
        ASSERT_TRUE(run.read(path_)) << run.error();
        const ModuleFigures f = run.figures(0);
        EXPECT_EQ(f.events, live.events);
        EXPECT_EQ(f.packets, live.packets);
        EXPECT_EQ(f.missing, live.missing);
        EXPECT_EQ(f.trigger_rate_hz, live.trigger_rate_hz);
        EXPECT_EQ(f.outages, live.outages);
        EXPECT_EQ(f.outage_events, live.outage_events);
        EXPECT_EQ(f.after_give_up, live.after_give_up);
    }

    std::vector<Step> script_;
};

// The stop's acknowledge overtakes the last packet of a start, and two packets delayed long
// come after the next start request, one of them after the new start's first packets. All
// are the old start's, and the new start is told by its time stamps, after a start of 2 s
// (packets 300 and 200 ms back) and of 100 ms (40 and 30 ms back, from its second half).
TEST_F(ReadRun, packets_behind_the_stop_are_their_start_s_and_the_next_start_is_told_apart) {
    for (const uint32_t events : {2000u, 100u}) {
        SCOPED_TRACE(events);
        const uint32_t back = events > 1000 ? 300 : 40;
        const uint32_t further = events > 1000 ? 200 : 30;
        const int64_t end_us = 10'000 + 1000 * int64_t(events);
        const int64_t next_us = end_us + 20'000;
        // Received at the host's time `at_us` instead.
        const auto delayed = [&](uint32_t event, int64_t at_us) {
            start_packets(0, event, event, 1, at_us - 10'200 - 1000 * int64_t(event));
        };
        start(0);
        start_packets(0, 1, events - back - 1);
        start_packets(0, events - back + 1, events - further - 1);
        start_packets(0, events - further + 1, events - 1);
        stop(end_us + 100);
        delayed(events, end_us + 700);
        start(next_us);
        delayed(events - back, next_us + 10'000);
        start_packets(next_us + kDelay_us, 1, 50);
        delayed(events - further, next_us + 13'000);  // after the new start's events 1 and 2
        const ModuleFigures f = figures();
        EXPECT_EQ(f.missing, 0u);
        EXPECT_EQ(f.packets, events + 50);
        EXPECT_EQ(f.events, events + 50);
        ASSERT_TRUE(f.trigger_rate_hz);
        EXPECT_DOUBLE_EQ(*f.trigger_rate_hz, 1000);
        EXPECT_EQ(live_.module(0).statistics.summaries().at(0).late, 2u);
        reset();
    }
}

// A module cut off and back: its old start still going, the run's reading of it resumes with
// its new start; what the old one sends until then is counted apart, each hybrid's until that
// hybrid's new start; and what it missed while away is the outage it left in.
TEST_F(ReadRun, a_module_back_after_it_left_counts_from_its_new_start) {
    start(0);
    for (const int h : {1, 2}) start_packets(0, 1, 1000, h);
    leave(1'500'000);
    for (const int h : {1, 2}) start_packets(0, 14'990, 15'089, h);  // before it rejoins
    send(16'000'000, ModuleRequest::discovery());
    reply(16'000'400, packet::kDiscovery);
    start_packets(0, 15'990, 16'005, 1);
    start_packets(0, 15'990, 16'003, 2);
    stop(16'015'000);
    start(16'030'000);
    for (const int h : {1, 2}) start_packets(16'030'200, 1, 100, h);
    start_packets(0, 16'004, 16'005, 2, 28'000);  // behind the new start's first packets
    const ModuleFigures f = figures(false);
    EXPECT_EQ(f.missing, 0u);
    EXPECT_EQ(f.packets, 2u * (1000 + 100));
    EXPECT_EQ(f.events, 1100u);
    EXPECT_EQ(f.after_give_up, 2u * (100 + 16));
    const ModuleRun& m = live_.module(0);
    ASSERT_EQ(m.recovery.outages().size(), 1u);
    const Outage& o = m.recovery.outages()[0];
    EXPECT_EQ(o.end, Outage::End::kLeft);
    EXPECT_NEAR(o.seconds, 16.0414 - 1.0102, 1e-6) << "from its last packet to its next";
    EXPECT_NEAR(double(f.outage_events), 15'031, 1);
    EXPECT_TRUE(m.started && m.joined_s && !m.left_s);
}

// A module whose link is down 5 s (its start goes on: the data resume 5000 events further on),
// one that hangs as long (its clock runs on, its triggers do not), and one power-cycled (no
// data until the new start), each started again, the new start's first two packets lost: a
// gap up to the first packet after the outage began is the outage's loss, not missing
// events, and the rate leaves the outage out.
TEST_F(ReadRun, an_outage_s_gap_and_length_are_its_own_not_missing_events_or_rate) {
    for (const uint16_t resumed : {6001, 1001, 0}) {
        SCOPED_TRACE(resumed);
        start(0);
        start_packets(0, 1, 1000);
        send(2'100'000, ModuleRequest::discovery());  // unanswered attempts
        send(3'600'000, ModuleRequest::discovery());
        for (uint16_t k = 0; resumed && k < 100; ++k) {
            packet(6'010'200 + 1000 * k, resumed + k, 6'010'000 + 1000u * k);
        }
        send(6'200'000, ModuleRequest::discovery());
        reply(6'200'400, packet::kDiscovery);
        stop(6'210'000);
        start(6'220'000);
        start_packets(6'220'200, 3, 100);
        const ModuleFigures f = figures();
        EXPECT_EQ(f.missing, resumed ? 2u : 0u);
        EXPECT_EQ(f.packets, resumed ? 1198u : 1098u);
        EXPECT_EQ(f.events, (resumed ? resumed + 99u : 1000u) + 100u);
        ASSERT_TRUE(f.trigger_rate_hz);
        EXPECT_DOUBLE_EQ(*f.trigger_rate_hz, 1000);
        ASSERT_EQ(f.outages, 1u);
        EXPECT_EQ(live_.module(0).recovery.outages()[0].end, Outage::End::kRecovered);
        EXPECT_NEAR(double(f.outage_events), 6233.4 - 1010.2, 1);
        reset();
    }
}

// A module given up whose stop never reaches it (its requests dropped, its data flowing
// again): what it sends on is counted apart, not as data.
TEST_F(ReadRun, a_module_given_up_is_counted_apart_when_its_stop_never_reaches_it) {
    start(0);
    start_packets(0, 1, 1000);
    send(2'100'000, ModuleRequest::discovery());
    send(31'100'000, ModuleRequest::daq_command(1, false));
    start_packets(0, 31'200, 31'299);
    const ModuleFigures f = figures();
    EXPECT_EQ(f.packets, 1000u);
    EXPECT_EQ(f.missing, 0u);
    EXPECT_EQ(f.events, 1000u);
    EXPECT_EQ(f.after_give_up, 100u);
    EXPECT_TRUE(live_.module(0).recovery.given_up());
    EXPECT_EQ(live_.module(0).failed_at, "recovery: silent for 30.1 s");
}

// Modules on other ports than 10000 are found by their discovery: the request's destination,
// or the acknowledge's source when the request is not in the capture. Once a port is known,
// 10000 is no longer assumed.
TEST_F(CaptureFile, classifier_learns_module_ports_from_discoveries) {
    const Endpoint a{0x0A000002, 10001};
    const Endpoint b{0x0A000003, 10002};
    auto damaged = data(2);
    damaged.back() = 0;
    const auto records = round_trip({
        {0, kHost, a, request(ModuleRequest::discovery())},
        {0, a, kHost, acknowledge(packet::kDiscovery)},
        {0, a, kHost, data(1)},
        {0, a, kHost, damaged},
        {0, kHost, a, {0xCA, 0xFE}},
        {0, kHost, kModule, request(ModuleRequest::no_action())},
        {0, b, kHost, acknowledge(packet::kDiscovery)},
        {0, kHost, b, request(ModuleRequest::readout_mode({1, 2, 0}))},
    });
    ASSERT_EQ(records.size(), 8u);
    DatagramClassifier classifier;
    std::vector<DatagramClassifier::Classification> c;
    for (const CaptureRecord& r : records) c.push_back(classifier.classify(r));
    EXPECT_EQ(c[0].kind, Kind::kRequest);
    EXPECT_EQ(c[0].request.code, packet::kDiscovery);
    EXPECT_TRUE(c[0].to_module);
    EXPECT_EQ(c[1].kind, Kind::kAcknowledge);
    EXPECT_EQ(c[1].acknowledge.code, packet::kDiscovery);
    EXPECT_EQ(c[2].kind, Kind::kData);
    EXPECT_EQ(c[2].data->event(), 1);
    EXPECT_EQ(c[3].kind, Kind::kMalformed);
    EXPECT_STREQ(c[3].fault, "no trailer");
    EXPECT_FALSE(c[3].to_module);
    EXPECT_EQ(c[4].kind, Kind::kMalformed);
    EXPECT_STREQ(c[4].fault, "shorter than a request header");
    EXPECT_TRUE(c[4].to_module);
    EXPECT_EQ(c[5].kind, Kind::kOther) << "port 10000 is not a module's in this capture";
    EXPECT_EQ(c[6].kind, Kind::kAcknowledge);
    EXPECT_EQ(c[7].kind, Kind::kRequest);
    for (const size_t i : {0, 1, 2, 3, 4}) EXPECT_EQ(c[i].module, a) << i;
    for (const size_t i : {6, 7}) EXPECT_EQ(c[i].module, b) << i;
    EXPECT_TRUE(classifier.discovered());
    EXPECT_EQ(classifier.module_datagrams(), 7u);
    EXPECT_EQ(classifier.no_module_reason(), "");
}

// A host may bind the module's port too: then the contents say which end is the module.
// Without a datagram on the module's port, the classifier says why.
TEST_F(CaptureFile, classifier_reads_contents_where_both_ends_use_the_module_port) {
    const Endpoint host{kHost.address, 10000};
    const auto records = round_trip({
        {0, host, kModule, request(ModuleRequest::stream_configuration({1, 1, 2}))},
        {0, kModule, host, acknowledge(packet::kConfigureStream)},
        {0, kModule, host, data(1)},
        {0, kHost, {kModule.address, 10001}, request(ModuleRequest::discovery())},
    });
    ASSERT_EQ(records.size(), 4u);
    DatagramClassifier classifier(10000);
    const auto configuration = classifier.classify(records[0]);
    EXPECT_EQ(configuration.kind, Kind::kRequest);
    EXPECT_EQ(configuration.module, kModule);
    EXPECT_EQ(configuration.request.stream_configuration().chips, 2u);
    const auto ack = classifier.classify(records[1]);
    EXPECT_EQ(ack.kind, Kind::kAcknowledge);
    EXPECT_EQ(ack.module, kModule);
    const auto packet = classifier.classify(records[2]);
    EXPECT_EQ(packet.kind, Kind::kData);
    EXPECT_EQ(packet.module, kModule);
    EXPECT_EQ(classifier.classify(records[3]).kind, Kind::kOther) << "the port given stands";
    EXPECT_FALSE(classifier.discovered());

    DatagramClassifier other_port(10002);
    DatagramClassifier no_discovery;
    for (const CaptureRecord& r : {records[1], records[2]}) {
        CaptureRecord moved = r;
        moved.source.port = 10001;
        moved.destination.port = 40000;
        EXPECT_EQ(other_port.classify(moved).kind, Kind::kOther);
        EXPECT_EQ(no_discovery.classify(moved).kind, Kind::kOther);
    }
    EXPECT_EQ(other_port.no_module_reason(), "no datagram to or from port 10002");
    EXPECT_EQ(no_discovery.no_module_reason(),
              "no discovery, and no datagram to or from port 10000");
}

// An acknowledge of each error, a data packet of each payload and a malformed datagram of each
// kind, described as decode prints them: each named as it is, in text and in JSON.
TEST_F(CaptureFile, descriptions_name_every_kind_of_datagram_and_every_fault) {
    const std::vector<uint8_t> packet =
        wire_words({0xCAFE, 0x010E, 1, 7, 0, 99, 2, 0x190, 0x0102, 5, 2100, 2100, 0xACAB});
    auto bad_magic = packet;
    bad_magic[0] = 0xCB;
    auto odd = packet;
    odd.push_back(0);
    auto no_trailer = packet;
    no_trailer.back() = 0;
    const std::vector<CaptureRecord> records = {
        {0, kHost, kModule, request(ModuleRequest::readout_mode({2, 4, 3}))},
        {0, kHost, kModule, {0xCA}},
        {1'500'000, kModule, kHost, wire_words({0xCAFE, 0x8B, 0xFF00, 0, 0, 0, 0, 0xACAB})},
        {1'500'000, kModule, kHost, wire_words({0xCAFE, 0x81, 0xFF00, 1, 2, 0x0204, 0, 0xACAB})},
        {1'500'000, kModule, kHost, wire_words({0xCAFE, 0x8C, 0xFF00, 255, 2, 0x0204, 0, 0xACAB})},
        {2'000'000, kModule, kHost, packet},
        {2'000'000, kModule, kHost,
         wire_words(
             {0xCAFE, 0x020E, 4, 8, 0, 100, 2, 0x190, 0x0201, 2020, 2500, 2021, 2019, 0xACAB})},
        {2'000'000, kModule, kHost, bad_magic},
        {2'000'000, kModule, kHost, odd},
        {2'000'000, kModule, kHost, {packet.begin(), packet.end() - 4}},
        {2'000'000, kModule, kHost, no_trailer},
    };
    DatagramClassifier classifier;
    DatagramDescription text;
    DatagramDescription json(DatagramDescription::Form::kJson);
    std::string texts, jsons;
    for (const CaptureRecord& r : records) {
        const DatagramClassifier::Classification c = classifier.classify(r);
        texts += text.line(r.time_ns, r, c);
        jsons += json.line(r.time_ns, r, c);
    }
    const std::string to = "10.0.0.1:40000 > 10.0.0.2:10000: ";
    const std::string from = "10.0.0.2:10000 > 10.0.0.1:40000: ";
    EXPECT_EQ(texts,
              "0.000000 request " + to +
                  "code 8 (readout mode), words 0x0204 0x0003, hybrid 2, mode 4, nadj 3\n"
                  "0.000000 malformed " +
                  to +
                  "shorter than a request header, 1 bytes\n"
                  "0.001500 acknowledge " +
                  from +
                  "code 11 (discovery), error 0 (done), version 0.0.0\n"
                  "0.001500 acknowledge " +
                  from +
                  "code 1 (stream configuration), error 1 (no such hybrid), version 2.2.4\n"
                  "0.001500 acknowledge " +
                  from +
                  "code 12 (unknown), error 255 (unknown command), version 2.2.4\n"
                  "0.002000 data " +
                  from +
                  "stream 1, mode 2, count 1, event 7, time stamp 99 us, time value 25, 26 bytes, "
                  "triples [5 2100 2100]\n"
                  "0.002000 data " +
                  from +
                  "stream 2, mode 1, count 4, event 8, time stamp 100 us, time value 25, 28 bytes, "
                  "hit channel 1 value 2500\n"
                  "0.002000 malformed " +
                  from +
                  "bad magic, 26 bytes\n"
                  "0.002000 malformed " +
                  from +
                  "odd length, 27 bytes\n"
                  "0.002000 malformed " +
                  from +
                  "length does not match readout mode and count, 22 bytes\n"
                  "0.002000 malformed " +
                  from + "no trailer, 26 bytes\n");
    const std::string json_to = R"("source":"10.0.0.1:40000","destination":"10.0.0.2:10000",)";
    const std::string json_from = R"("source":"10.0.0.2:10000","destination":"10.0.0.1:40000",)";
    EXPECT_EQ(jsons,
              R"({"time":0.0,"direction":"request",)" + json_to +
                  R"("code":8,"name":"readout mode","word2":516,"word3":3,"hybrid":2,"mode":4,)"
                  R"("nadj":3})"
                  "\n"
                  R"({"time":0.0,"direction":"malformed",)" +
                  json_to +
                  R"("fault":"shorter than a request header","bytes":1})"
                  "\n"
                  R"({"time":0.0015,"direction":"acknowledge",)" +
                  json_from +
                  R"("code":11,"name":"discovery","error":0,"error_text":"done","version":"0.0.0"})"
                  "\n"
                  R"({"time":0.0015,"direction":"acknowledge",)" +
                  json_from +
                  R"("code":1,"name":"stream configuration","error":1,)"
                  R"("error_text":"no such hybrid","version":"2.2.4"})"
                  "\n"
                  R"({"time":0.0015,"direction":"acknowledge",)" +
                  json_from +
                  R"("code":12,"name":"unknown","error":255,"error_text":"unknown command",)"
                  R"("version":"2.2.4"})"
                  "\n"
                  R"({"time":0.002,"direction":"data",)" +
                  json_from +
                  R"("stream":1,"mode":2,"count":1,"event":7,"time_stamp":99,"time_value":25.0,)"
                  R"("bytes":26,"triples":[[5,2100,2100]]})"
                  "\n"
                  R"({"time":0.002,"direction":"data",)" +
                  json_from +
                  R"("stream":2,"mode":1,"count":4,"event":8,"time_stamp":100,"time_value":25.0,)"
                  R"("bytes":28,"values":[2020,2500,2021,2019],"hit_channel":1,"hit_value":2500})"
                  "\n"
                  R"({"time":0.002,"direction":"malformed",)" +
                  json_from +
                  R"("fault":"bad magic","bytes":26})"
                  "\n"
                  R"({"time":0.002,"direction":"malformed",)" +
                  json_from +
                  R"("fault":"odd length","bytes":27})"
                  "\n"
                  R"({"time":0.002,"direction":"malformed",)" +
                  json_from +
                  R"("fault":"length does not match readout mode and count","bytes":22})"
                  "\n"
                  R"({"time":0.002,"direction":"malformed",)" +
                  json_from +
                  R"("fault":"no trailer","bytes":26})"
                  "\n");
}

// What plot draws of a capture: each module in the order it first appears, with the channels
// its stream configuration gave; one module chosen by its address alone; the hit map on its
// grid; and a histogram's bulk without the strays that would squeeze it into one bar.
TEST(CaptureDistributions, modules_their_configuration_grid_and_the_bulk_of_a_histogram) {
    const Endpoint other{0x0A000003, 10000};
    auto damaged = data(2);
    damaged.back() = 0;
    CaptureDistributions capture;
    for (const CaptureRecord& r : std::vector<CaptureRecord>{
             {0, kHost, other, request(ModuleRequest::stream_configuration({1, 1, 3}))},
             {0, kModule, kHost, data(1)},
             {0, other, kHost, data(1)},
             {0, kModule, kHost, damaged},
         }) {
        capture.add(r);
    }
    ASSERT_EQ(capture.modules().size(), 2u);
    EXPECT_EQ(capture.modules()[0].endpoint, other);
    EXPECT_EQ(capture.modules()[0].configured_channels(1), 3 * 128);
    EXPECT_EQ(capture.modules()[1].configured_channels(1), 0);
    EXPECT_EQ(capture.packets(), 2u);
    EXPECT_EQ(capture.malformed(), 1u);
    EXPECT_EQ(capture.keep({kModule.address, 0}), 1u) << "port 0 takes the module on any port";
    EXPECT_EQ(capture.modules()[0].endpoint, kModule);
    EXPECT_EQ(capture.modules()[0].statistics.distributions(1).hit_channels, (Histogram{{3, 1}}))
        << "the hit of its one whole packet";
    EXPECT_EQ(capture.keep(other), 0u);

    const auto grid = CaptureDistributions::hit_grid({{0, 5}, {3, 2}, {4, 7}}, 5);
    EXPECT_EQ(grid.side, 2);
    EXPECT_EQ(grid.cells, (std::vector<uint64_t>{5, 0, 0, 2}));
    EXPECT_EQ(grid.off_grid, 7u);

    Histogram values{{5000, 1}};
    for (int v = 1000; v < 1100; ++v) values[v] = 1;
    const auto single = CaptureDistributions::bins(values);
    EXPECT_EQ(single.low, 1000);
    EXPECT_EQ(single.high, 1194) << "the middle 96 % (1002 to 1098) and its span on each side";
    EXPECT_EQ(single.counts.size(), 100u);
    EXPECT_EQ(single.outside, 1u);
    const auto merged = CaptureDistributions::bins(values, 10);
    EXPECT_EQ(merged.width, 20);
    EXPECT_EQ(merged.counts, (Histogram{{0, 20}, {1, 20}, {2, 20}, {3, 20}, {4, 20}}));
}

}  // namespace
