// daqhost end to end: the real program against the real testModule, in the test process's own
// network namespace. What a run reports must agree with how the module was configured, what
// it records must decode to the same packets, and every failure must end with a clear message
// and a non-zero status rather than a hang.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "daqhost/CaptureWriter.h"
#include "testkit/EmulatorProcess.h"

namespace {

using ::testing::HasSubstr;
using json = nlohmann::json;

struct Result {
    int status;
    std::string out;
    std::string err;
};

class Daqhost : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/daqhost-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    void start_emulator(const std::vector<std::string>& args) {
        emulator_ = std::make_unique<EmulatorProcess>(args);
        ASSERT_TRUE(emulator_->start());
        ASSERT_TRUE(emulator_->wait_until_serving());
    }

    static Result daqhost(const std::vector<std::string>& args, double timeout_s = 60) {
        EmulatorProcess program(args, DAQHOST_PATH);
        EXPECT_TRUE(program.start());
        const int status = program.wait_exit(timeout_s);
        return {status, program.stdout_text(), program.stderr_text()};
    }

    // The summary of `daqhost run ... --json`.
    json run_json(std::vector<std::string> args) {
        args.insert(args.begin(), "run");
        args.push_back("--json");
        const Result r = daqhost(args);
        EXPECT_EQ(r.status, 0) << r.err;
        return json::parse(r.out, nullptr, false);
    }

    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    std::unique_ptr<EmulatorProcess> emulator_;
    std::string dir_;
};

const json& hybrid(const json& summary, int id) {
    for (const json& h : summary["hybrids"]) {
        if (h["hybrid"] == id) return h;
    }
    static const json none;
    ADD_FAILURE() << "no hybrid " << id << " in " << summary.dump();
    return none;
}

TEST_F(Daqhost, run_summary_agrees_with_two_hybrids_at_full_efficiency) {
    ASSERT_NO_FATAL_FAILURE(start_emulator({"-m", "11", "-r", "2000", "-e", "1.0"}));
    // A run that an earlier host left going must not leak into this one's event numbers.
    ASSERT_EQ(daqhost({"start"}).status, 0);
    ASSERT_TRUE(emulator_->wait_for_stdout("Starting run", 10));
    const json summary = run_json({"--hybrids", "1,2", "--events", "600"});
    ASSERT_EQ(summary["hybrids"].size(), 2u) << summary.dump();
    for (int id : {1, 2}) {
        const json& h = hybrid(summary, id);
        EXPECT_EQ(h["mode"], 1);
        EXPECT_EQ(h["first_event"], 1);
        EXPECT_GE(h["last_event"].get<int>(), 600);
        EXPECT_EQ(h["missing"], 0) << "loopback loses nothing at 2 kHz";
        EXPECT_DOUBLE_EQ(h["efficiency"].get<double>(), 1.0);
        EXPECT_EQ(h["bytes"].get<int>(), 532 * h["packets"].get<int>()) << "2 chips of 128";
        EXPECT_NEAR(h["pedestal_mean"].get<double>(), 2023.5, 1.5);
        EXPECT_NEAR(h["pedestal_sigma"].get<double>(), 5.1, 0.6);
        // The two spots give 500 and 500 / 3 in equal shares.
        EXPECT_NEAR(h["hit_amplitude_mean"].get<double>(), 333, 40);
        EXPECT_NEAR(h["time_value_mean"].get<double>(), 24.5, 1.0);
        EXPECT_GT(h["trigger_rate_hz"].get<double>(), 100);
    }
    EXPECT_EQ(summary["malformed"].size(), 0u);
    EXPECT_EQ(summary["kernel_drops"], 0);
}

TEST_F(Daqhost, half_efficiency_shows_as_gaps_and_mode_4_has_its_triples) {
    ASSERT_NO_FATAL_FAILURE(start_emulator({"-m", "1", "-r", "2000", "-e", "0.5"}));
    const json summary = run_json({"--mode", "4", "--nadj", "3", "--events", "2000"});
    const json& h = hybrid(summary, 1);
    EXPECT_EQ(h["mode"], 4);
    EXPECT_NEAR(h["efficiency"].get<double>(), 0.5, 0.06);
    EXPECT_EQ(h["bytes"].get<int>(), (26 + 6 * 3) * h["packets"].get<int>());
    EXPECT_NEAR(h["pedestal_mean"].get<double>(), 2023.5, 2.0) << "from the neighbours";
}

TEST_F(Daqhost, recorded_session_decodes_to_the_packets_the_run_counted_and_plots) {
    ASSERT_NO_FATAL_FAILURE(start_emulator({"-m", "11", "-r", "1000", "-e", "1.0"}));
    const std::string capture = path("run.pcap");
    const json summary =
        run_json({"--hybrids", "1,2", "--mode", "2", "-n", "300", "--out", capture});
    ASSERT_TRUE(summary.contains("capture")) << summary.dump();

    const Result decoded = daqhost({"decode", capture, "--json"});
    ASSERT_EQ(decoded.status, 0) << decoded.err;
    std::istringstream lines(decoded.out);
    std::map<std::string, int> kinds;
    std::map<int, int> packets;
    std::string line;
    std::string first_request;
    while (std::getline(lines, line)) {
        const json d = json::parse(line);
        ++kinds[d["direction"].get<std::string>()];
        if (d["direction"] == "data") ++packets[d["stream"].get<int>()];
        if (first_request.empty() && d["direction"] == "request") first_request = d.dump();
    }
    EXPECT_THAT(first_request, HasSubstr("\"code\":11")) << "discovery comes first";
    // Discovery, a stop of any earlier run, two requests per hybrid, start and stop, each
    // acknowledged.
    EXPECT_EQ(kinds["request"], 8);
    EXPECT_EQ(kinds["acknowledge"], 8);
    EXPECT_EQ(kinds["malformed"], 0);
    for (int id : {1, 2}) EXPECT_EQ(packets[id], hybrid(summary, id)["packets"].get<int>());
    EXPECT_EQ(summary["capture"]["records"].get<int>(),
              kinds["request"] + kinds["acknowledge"] + packets[1] + packets[2]);

    const std::string png = path("run.png");
    const Result plotted = daqhost({"plot", capture, "--out", png});
    ASSERT_EQ(plotted.status, 0) << plotted.err;
    std::ifstream file(png, std::ios::binary);
    char magic[8] = {};
    file.read(magic, sizeof(magic));
    EXPECT_EQ(std::string(magic + 1, 3), "PNG");
}

TEST_F(Daqhost, ctrl_c_stops_the_module_prints_the_summary_and_leaves_the_capture_readable) {
    ASSERT_NO_FATAL_FAILURE(start_emulator({"-m", "1", "-r", "500"}));
    const std::string capture = path("interrupted.pcap");
    EmulatorProcess run({"run", "--out", capture, "--json"}, DAQHOST_PATH);
    ASSERT_TRUE(run.start());
    ASSERT_TRUE(emulator_->wait_for_stdout("Starting run", 10));
    run.send_signal(SIGINT);
    ASSERT_EQ(run.wait_exit(30), 0) << run.stderr_text();
    // The first stop is the one run makes before it configures.
    EXPECT_TRUE(emulator_->wait_for_stdout_count("Stopping run", 2, 10))
        << "the module must be stopped";
    EXPECT_THAT(run.stdout_text(), HasSubstr("\"hybrids\""));
    const Result decoded = daqhost({"decode", capture});
    EXPECT_EQ(decoded.status, 0) << decoded.err;
}

TEST_F(Daqhost, no_module_at_the_address_fails_after_the_bounded_attempts) {
    const Result r = daqhost({"discover", "127.0.0.1", "--timeout", "0.2", "--retries", "1"}, 10);
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("no acknowledge of discovery from 127.0.0.1:10000 after 2"));
    const Result bad = daqhost({"start", "localhost"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_THAT(bad.err, HasSubstr("not an IPv4 address"));
}

TEST_F(Daqhost, error_codes_are_named_and_fail_the_command) {
    ASSERT_NO_FATAL_FAILURE(start_emulator({"-m", "11"}));
    const Result version = daqhost({"discover"});
    EXPECT_EQ(version.status, 0) << version.err;
    EXPECT_THAT(version.out, HasSubstr("module version 2.2.4"));

    const Result unknown = daqhost({"request", "--code", "12"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_THAT(unknown.out, HasSubstr("error 255 (unknown command)"));

    const Result absent = daqhost({"stream", "--hybrid", "3", "--chips", "4"});
    EXPECT_EQ(absent.status, 1);
    EXPECT_THAT(absent.out, HasSubstr("error 1 (no such hybrid)"));

    const Result run = daqhost({"run", "--hybrids", "3", "-n", "10"});
    EXPECT_EQ(run.status, 1);
    EXPECT_THAT(run.err, HasSubstr("no such hybrid"));
    EXPECT_EQ(run.out, "") << "no summary of a run that never started";
    EXPECT_EQ(emulator_->count_in_stdout("Starting run"), 0u) << "no run after a failed setup";

    const Result setting = daqhost({"set", "trigger-type", "--value", "3"});
    EXPECT_EQ(setting.status, 0) << setting.err;
    EXPECT_TRUE(emulator_->wait_for_stdout("trg_type: [ cafe    9 ff00    3 acab ]", 10));
}

// A capture made by hand, with an acknowledge of each error and a malformed packet of each
// kind: decode names each as it is.
TEST_F(Daqhost, decode_names_every_kind_of_datagram_and_every_fault) {
    const auto words = [](std::initializer_list<uint16_t> list) {
        std::vector<uint8_t> bytes;
        for (uint16_t w : list) bytes.insert(bytes.end(), {uint8_t(w >> 8), uint8_t(w & 0xFF)});
        return bytes;
    };
    const std::vector<uint8_t> data =
        words({0xCAFE, 0x010E, 1, 7, 0, 99, 2, 0x190, 0x0102, 5, 2100, 2100, 0xACAB});
    auto bad_magic = data;
    bad_magic[0] = 0xCB;
    auto odd = data;
    odd.push_back(0);
    auto no_trailer = data;
    no_trailer.back() = 0;
    const std::vector<std::vector<uint8_t>> to_module = {words({0xCAFE, 11, 0, 0}), {0xCA}};
    const std::vector<std::vector<uint8_t>> from_module = {
        words({0xCAFE, 0x8B, 0xFF00, 0, 0, 0, 0, 0xACAB}),
        words({0xCAFE, 0x81, 0xFF00, 1, 2, 0x0204, 0, 0xACAB}),
        words({0xCAFE, 0x8C, 0xFF00, 255, 2, 0x0204, 0, 0xACAB}),
        data,
        bad_magic,
        odd,
        {data.begin(), data.end() - 4},
        no_trailer};
    const Endpoint host{0x7F000001, 40000};
    const Endpoint module{0x7F000001, 10000};
    const std::string capture = path("made.pcap");
    CaptureWriter writer;
    ASSERT_TRUE(writer.open(capture)) << writer.error();
    for (const auto& d : to_module) writer.write(0, host, module, d.data(), d.size());
    for (const auto& d : from_module) writer.write(1000, module, host, d.data(), d.size());
    ASSERT_TRUE(writer.close()) << writer.error();

    const Result r = daqhost({"decode", capture, "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<json> lines;
    std::istringstream text(r.out);
    for (std::string line; std::getline(text, line);) lines.push_back(json::parse(line));
    ASSERT_EQ(lines.size(), 10u) << r.out;
    EXPECT_EQ(lines[0]["direction"], "request");
    EXPECT_EQ(lines[1]["fault"], "shorter than a request header");
    EXPECT_EQ(lines[2]["version"], "0.0.0");
    EXPECT_EQ(lines[3]["error_text"], "no such hybrid");
    EXPECT_EQ(lines[4]["error_text"], "unknown command");
    EXPECT_EQ(lines[5]["direction"], "data");
    EXPECT_EQ(lines[5]["event"], 7);
    EXPECT_EQ(lines[5]["time_stamp"], 99);
    EXPECT_EQ(lines[5]["time_value"], 25.0);
    EXPECT_EQ(lines[5]["triples"], json::parse("[[5, 2100, 2100]]"));
    EXPECT_EQ(lines[6]["fault"], "bad magic");
    EXPECT_EQ(lines[7]["fault"], "odd length");
    EXPECT_EQ(lines[8]["fault"], "length does not match readout mode and count");
    EXPECT_EQ(lines[9]["fault"], "no trailer");
}

TEST_F(Daqhost, damaged_or_foreign_captures_are_named_errors) {
    const std::string empty = path("empty.pcap");
    std::ofstream(empty).close();
    const std::string text = path("notes.txt");
    std::ofstream(text) << "not a capture\n";
    for (const std::string& file : {empty, text, path("missing.pcap")}) {
        for (const std::vector<std::string>& command :
             {std::vector<std::string>{"decode", file},
              std::vector<std::string>{"plot", file, "--out", path("x.png")}}) {
            const Result r = daqhost(command);
            EXPECT_EQ(r.status, 1) << command[0] << " " << file;
            EXPECT_THAT(r.err, HasSubstr(file)) << command[0];
        }
    }
}

}  // namespace
