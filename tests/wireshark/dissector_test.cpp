// The Wireshark dissector, read through tshark: captures made by hand (every request code, an
// acknowledge of each error, data packets of each readout mode, a malformed packet of each
// kind, gaps in event numbers) and one recorded from a real run of testModule with daqhost.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "daqhost/CaptureWriter.h"
#include "daqhost/Endpoint.h"
#include "testing/EmulatorProcess.h"
#include "testing/UdpPeer.h"

using namespace daq;

namespace {

using Rows = std::vector<std::vector<std::string>>;

const Endpoint kHost{0x7F000001, 40000};
const Endpoint kModule{0x7F000001, 10000};

class Dissector : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/dissector-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        capture_ = dir_ + "/made.pcap";
        ASSERT_TRUE(writer_.open(capture_)) << writer_.error();
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // Appends a datagram to the capture; each comes 1 ms after the one before.
    void add(const std::vector<uint8_t>& bytes, const Endpoint& from, const Endpoint& to) {
        time_ns_ += 1000000;
        ASSERT_TRUE(writer_.write(time_ns_, from, to, bytes.data(), bytes.size()));
    }
    void to_module(const std::vector<uint8_t>& bytes) { add(bytes, kHost, kModule); }
    void from_module(const std::vector<uint8_t>& bytes) { add(bytes, kModule, kHost); }

    // tshark's fields of every packet that passes the filter, one row per packet; several
    // occurrences of a field are joined by commas.
    Rows fields(const std::vector<std::string>& names, const std::string& filter = "",
                const std::vector<std::string>& options = {}) {
        writer_.close();
        std::vector<std::string> args = {"-n",     "-X",     "lua_script:" DISSECTOR_PATH,
                                         "-r",     capture_, "-T",
                                         "fields", "-E",     "separator=|"};
        args.insert(args.end(), options.begin(), options.end());
        for (const std::string& name : names) args.insert(args.end(), {"-e", name});
        if (!filter.empty()) args.insert(args.end(), {"-Y", filter});
        EmulatorProcess tshark(args, TSHARK_PATH);
        EXPECT_TRUE(tshark.start());
        EXPECT_EQ(tshark.wait_exit(60), 0) << tshark.stderr_text();
        EXPECT_EQ(tshark.stderr_text().find("Lua: Error"), std::string::npos)
            << tshark.stderr_text();
        Rows rows;
        std::istringstream out(tshark.stdout_text());
        for (std::string line; std::getline(out, line);) {
            std::vector<std::string> row;
            std::istringstream cells(line);
            for (std::string cell; std::getline(cells, cell, '|');) row.push_back(cell);
            row.resize(names.size());
            rows.push_back(row);
        }
        return rows;
    }

    std::string dir_;
    std::string capture_;

  private:
    CaptureWriter writer_;
    int64_t time_ns_ = 1796700000000000000;
};

TEST_F(Dissector, requests_are_named_by_code_with_their_fields) {
    to_module(wire_words({0xCAFE, 0x000B, 0, 0}));
    to_module(wire_words({0xCAFE, 0x0001, 0x0110, 0x0200}));
    for (uint16_t code : {2, 3, 4, 5, 6, 7, 9}) to_module(wire_words({0xCAFE, code, 0x0100, 7}));
    to_module(wire_words({0xCAFE, 0x0008, 0x0104, 0x0003}));
    to_module(wire_words({0xCAFE, 0x000A, 0xFF00, 0x0001}));
    to_module(wire_words({0xCAFE, 0x000A, 0x0200, 0x0000, 0xACAB}));
    for (uint16_t code : {0, 12, 0x8B}) to_module(wire_words({0xCAFE, code, 0, 0}));

    const Rows rows = fields({"_ws.col.Info", "daqm.kind", "daqm.code", "daqm.word3", "daqm.hybrid",
                              "daqm.chip_type", "daqm.chips", "daqm.mode", "daqm.nadj", "daqm.run",
                              "daqm.trailer", "_ws.expert.message"});
    const Rows expected = {
        {"Request: discovery", "request", "11", "0x0000", "", "", "", "", "", "", "", ""},
        {"Request: stream configuration, hybrid 1, chip type 1, 2 chips", "request", "1", "0x0200",
         "1", "1", "2", "", "", "", "", ""},
        {"Request: hold delay", "request", "2", "0x0007", "", "", "", "", "", "", "", ""},
        {"Request: bias", "request", "3", "0x0007", "", "", "", "", "", "", "", ""},
        {"Request: mbias", "request", "4", "0x0007", "", "", "", "", "", "", "", ""},
        {"Request: coincidence time window", "request", "5", "0x0007", "", "", "", "", "", "", "",
         ""},
        {"Request: no action", "request", "6", "0x0007", "", "", "", "", "", "", "", ""},
        {"Request: configuration", "request", "7", "0x0007", "", "", "", "", "", "", "", ""},
        {"Request: trigger type", "request", "9", "0x0007", "", "", "", "", "", "", "", ""},
        {"Request: readout mode, hybrid 1, mode 4, nadj 3", "request", "8", "0x0003", "1", "", "",
         "4", "3", "", "", ""},
        {"Request: DAQ command, start, hybrid 255", "request", "10", "0x0001", "255", "", "", "",
         "", "start", "", ""},
        {"Request: DAQ command, stop, hybrid 2", "request", "10", "0x0000", "2", "", "", "", "",
         "stop", "0xacab", ""},
        {"Request: unknown", "request", "0", "0x0000", "", "", "", "", "", "", "", ""},
        {"Request: unknown", "request", "12", "0x0000", "", "", "", "", "", "", "", ""},
        {"Request: unknown", "request", "139", "0x0000", "", "", "", "", "", "", "", ""},
    };
    ASSERT_EQ(rows.size(), expected.size());
    for (size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(rows[i], expected[i]) << "packet " << i + 1;
}

TEST_F(Dissector, acknowledges_give_the_error_the_version_and_the_time_since_the_request) {
    to_module(wire_words({0xCAFE, 0x000B, 0, 0}));
    from_module(wire_words({0xCAFE, 0x008B, 0xFF00, 0, 0, 0, 0, 0xACAB}));
    to_module(wire_words({0xCAFE, 0x0001, 0x0320, 0x0400}));
    to_module(wire_words({0xCAFE, 0x000C, 0, 0}));
    from_module(wire_words({0xCAFE, 0x0081, 0xFF00, 1, 2, 0x0204, 0, 0xACAB}));
    from_module(wire_words({0xCAFE, 0x008C, 0xFF00, 255, 2, 0x0204, 0, 0xACAB}));
    to_module(wire_words({0xCAFE, 0x008B, 0, 0}));
    from_module(wire_words({0xCAFE, 0x008B, 0xFF00, 255, 2, 0x0204, 0, 0xACAB}));

    const Rows rows = fields({"frame.number", "_ws.col.Info", "daqm.code", "daqm.error",
                              "daqm.version", "daqm.request_in", "daqm.ack_time"},
                             "daqm.kind == \"acknowledge\"");
    const Rows expected = {
        {"2", "Ack: discovery, done, version 0.0.0", "11", "0", "0.0.0", "1", "0.001000000"},
        {"5", "Ack: stream configuration, no such hybrid, version 2.2.4", "1", "1", "2.2.4", "3",
         "0.002000000"},
        {"6", "Ack: unknown, unknown command, version 2.2.4", "12", "255", "2.2.4", "4",
         "0.002000000"},
        {"8", "Ack: unknown, unknown command, version 2.2.4", "139", "255", "2.2.4", "7",
         "0.001000000"},
    };
    EXPECT_EQ(rows, expected);
    // Filters on the error work, and the request names its acknowledge.
    EXPECT_EQ(fields({"frame.number"}, "daqm.error != 0").size(), 3u);
    EXPECT_EQ(fields({"daqm.ack_in"}, "frame.number == 3", {"-2"}), Rows{{"5"}});
}

TEST_F(Dissector, data_packets_of_each_readout_mode_read_header_and_payload) {
    from_module(wire_words(
        {0xCAFE, 0x010E, 4, 1, 0, 0x5186, 2, 0x01C0, 0x0101, 2014, 2025, 2021, 2034, 0xACAB}));
    from_module(
        wire_words({0xCAFE, 0x020E, 1, 2, 1, 0x0002, 2, 0x0990, 0x0202, 89, 2198, 2198, 0xACAB}));
    from_module(wire_words({0xCAFE, 0x010E, 1, 2, 0, 0x6000, 2, 0x0190, 0x0104, 89, 2198, 2198, 90,
                            2030, 2023, 0xACAB}));
    from_module(wire_words({0xCAFE, 0x030E, 256, 4, 0, 0x7000, 2, 0x0190, 0x0300, 0xACAB}));

    const Rows rows = fields({"_ws.col.Info", "daqm.stream", "daqm.count", "daqm.event",
                              "daqm.timestamp", "daqm.time_value", "daqm.mode", "daqm.value",
                              "daqm.channel", "daqm.right", "daqm.left", "_ws.expert.message"});
    const Rows expected = {
        {"Data: stream 1, event 1, mode 1", "1", "4", "1", "20870", "28", "1",
         "2014,2025,2021,2034", "", "", "", ""},
        {"Data: stream 2, event 2, mode 2", "2", "1", "2", "65538", "-25", "2", "", "89", "2198",
         "2198", ""},
        {"Data: stream 1, event 2, mode 4", "1", "1", "2", "24576", "25", "4", "", "89,90",
         "2198,2030", "2198,2023", ""},
        {"Data: stream 3, event 4, mode 0", "3", "256", "4", "28672", "25", "0", "", "", "", "",
         ""},
    };
    EXPECT_EQ(rows, expected);
}

TEST_F(Dissector, malformed_packets_carry_an_expert_warning_of_their_kind) {
    const std::vector<uint8_t> data =
        wire_words({0xCAFE, 0x010E, 1, 7, 0, 99, 2, 0x190, 0x0102, 5, 2100, 2100, 0xACAB});
    auto bad_magic = data;
    bad_magic[0] = 0xCB;
    auto odd = data;
    odd.push_back(0);
    auto no_trailer = data;
    no_trailer.back() = 0;
    to_module({0xCA, 0xFE, 0x00});
    from_module({data.begin(), data.begin() + 12});
    from_module(bad_magic);
    from_module(odd);
    from_module(wire_words({0xCAFE, 0x010E, 1, 7, 0, 99, 2, 0x190, 0x0102, 5, 2100, 0xACAB}));
    from_module(no_trailer);
    from_module(wire_words({0xCAFE, 0x0081, 0xFF00, 0, 2, 0x0204, 0xACAB}));
    to_module(wire_words({0x1234, 0x000B, 0, 0}));

    const Rows rows = fields({"_ws.expert.message"});
    const Rows expected = {
        {"Too short for a packet: 3 bytes, at least 4"},
        {"Too short for a data packet: 12 bytes, at least 20"},
        {"Bad magic: not 0xCAFE"},
        {"Odd length: not a whole number of words,Missing trailer 0xACAB"},
        {"Length 24 does not match mode 2 and count 1 (26 bytes)"},
        {"Missing trailer 0xACAB"},
        {"Length 14 does not match an acknowledge (16 bytes)"},
        {"Bad magic: the module drops this request"},
    };
    EXPECT_EQ(rows, expected);
    for (const char* name : {"daqm.too_short", "daqm.bad_magic", "daqm.odd_length",
                             "daqm.length_mismatch", "daqm.no_trailer"}) {
        EXPECT_FALSE(fields({"frame.number"}, name).empty()) << name;
    }
}

// Datagrams of random bytes and lengths, many with the magic and the data code in place: the
// dissector reads what is there and never fails (a failure would be an expert "Lua Error").
TEST_F(Dissector, random_datagrams_never_make_the_dissector_fail) {
    std::mt19937 random(7);
    for (int i = 0; i < 2000; ++i) {
        std::vector<uint8_t> bytes(random() % 48);
        for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
        if (bytes.size() >= 4 && i % 2 == 0) bytes[0] = 0xCA, bytes[1] = 0xFE, bytes[3] = 14;
        if (i % 3 == 0) {
            to_module(bytes);
        } else {
            from_module(bytes);
        }
    }
    for (const auto& row : fields({"_ws.expert.message"})) {
        ASSERT_EQ(row[0].find("Lua Error"), std::string::npos) << row[0];
    }
}

TEST_F(Dissector, gaps_in_a_streams_event_numbers_are_counted_and_a_new_run_starts_afresh) {
    const auto packet = [](uint16_t stream, uint16_t event) {
        return wire_words({0xCAFE, static_cast<uint16_t>(stream << 8 | 14), 256, event, 0, 0, 2,
                           0x190, static_cast<uint16_t>(stream << 8), 0xACAB});
    };
    for (auto [stream, event] :
         {std::pair{1, 1}, {2, 65534}, {1, 2}, {1, 5}, {2, 65535}, {2, 0}, {1, 1}, {1, 2}}) {
        from_module(packet(static_cast<uint16_t>(stream), static_cast<uint16_t>(event)));
    }
    // Event 0 follows 65535 without a gap; event 1 begins a run.
    const Rows rows = fields({"daqm.gap", "daqm.previous"});
    const Rows expected = {{"", ""},   {"", ""},   {"0", "1"}, {"2", "3"},
                           {"0", "2"}, {"0", "5"}, {"", ""},   {"0", "7"}};
    EXPECT_EQ(rows, expected);
    EXPECT_EQ(fields({"frame.number"}, "daqm.gap > 0"), Rows{{"4"}});
}

TEST_F(Dissector, decode_as_reads_a_module_on_another_port) {
    const Endpoint elsewhere{0x7F000001, 20000};
    add(wire_words({0xCAFE, 0x000B, 0, 0}), kHost, elsewhere);
    add(wire_words({0xCAFE, 0x008B, 0xFF00, 0, 0, 0, 0, 0xACAB}), elsewhere, kHost);
    EXPECT_EQ(fields({"daqm.kind"}, "", {"-d", "udp.port==20000,daqm"}),
              (Rows{{"request"}, {"acknowledge"}}));
}

// A run of the real module recorded by daqhost: every datagram decodes whole, every
// acknowledge finds its request, and the event numbers have no gap.
TEST_F(Dissector, a_recorded_run_decodes_without_warnings) {
    EmulatorProcess module({"-r", "1000", "-m", "11"});
    ASSERT_TRUE(module.start());
    ASSERT_TRUE(module.wait_until_serving());
    const std::string recorded = dir_ + "/run.pcap";
    EmulatorProcess daqhost({"run", "--hybrids", "1,2", "--events", "200", "--out", recorded},
                            DAQHOST_PATH);
    ASSERT_TRUE(daqhost.start());
    ASSERT_EQ(daqhost.wait_exit(60), 0) << daqhost.stderr_text();
    capture_ = recorded;

    const Rows rows =
        fields({"daqm.kind", "daqm.stream", "daqm.event", "daqm.request_in", "_ws.expert.message"});
    size_t acks = 0;
    size_t data[3] = {0, 0, 0};
    for (const auto& row : rows) {
        EXPECT_EQ(row[4], "") << "a warning: " << row[4];
        if (row[0] == "acknowledge") {
            ++acks;
            EXPECT_NE(row[3], "") << "an acknowledge without its request";
        } else if (row[0] == "data") {
            const int stream = std::stoi(row[1]);
            ASSERT_TRUE(stream == 1 || stream == 2);
            EXPECT_EQ(row[2], std::to_string(++data[stream]));
        }
    }
    EXPECT_GE(acks, 6u);
    EXPECT_EQ(data[1], 200u);
    EXPECT_EQ(data[2], 200u);
    module.send_signal(SIGTERM);
    EXPECT_EQ(module.wait_exit(20), 0);
}

}  // namespace
