// daqhost end to end: the real program against the real testModule, in the test process's own
// network namespace. What a run reports must agree with how the module was configured, what
// it records must decode to the same packets, and every failure must end with a clear message
// and a non-zero status rather than a hang.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "daqhost/CaptureWriter.h"
#include "testing/EmulatorProcess.h"
#include "testing/UdpPeer.h"

using namespace daq;

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
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
    // `count` testModules at 127.0.NET.1, .2, ...; the words of daqhost that name them all.
    std::vector<std::string> start_modules(int net, int count, std::vector<std::string> args) {
        std::vector<std::string> named;
        for (int k = 1; k <= count; ++k) {
            const std::string address = "127.0." + std::to_string(net) + "." + std::to_string(k);
            std::vector<std::string> words = args;
            words.insert(words.end(), {"--address", address});
            auto& module = modules_.emplace_back(std::make_unique<EmulatorProcess>(words));
            EXPECT_TRUE(module->start() && module->wait_until_serving()) << address;
            if (k > 1) named.push_back("--module");
            named.push_back(address);
        }
        return named;
    }
    // Stops `program` by its PID for `stopped_s`, as a machine that gives it no processor.
    static void stop_for(EmulatorProcess& program, double stopped_s) {
        program.send_signal(SIGSTOP);
        std::this_thread::sleep_for(std::chrono::duration<double>(stopped_s));
        program.send_signal(SIGCONT);
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
    std::vector<std::unique_ptr<EmulatorProcess>> modules_;
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

// A module played by the test, for runs of many modules: a socket on ADDRESS:10000 (any
// 127.x.x.x address reaches loopback) that acknowledges every request from the host that
// discovered it, leaving the first `lost_discoveries` unanswered, and after a start sends
// `events` mode 2 packets of hybrid 1, 500 µs apart in time stamps, without the event
// numbers in `gaps`. A mute one answers nothing.
class ScriptedModule {
  public:
    struct Script {
        int lost_discoveries = 0;
        uint16_t events = 0;
        std::set<uint16_t> gaps;
        bool mute = false;

        static Script sending(uint16_t events, std::set<uint16_t> gaps = {}) {
            Script script;
            script.events = events;
            script.gaps = std::move(gaps);
            return script;
        }
        static Script muted() {
            Script script;
            script.mute = true;
            return script;
        }
    };

    ScriptedModule(const std::string& address, Script script) : script_(std::move(script)) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in local = {};
        local.sin_family = AF_INET;
        local.sin_port = htons(10000);
        inet_pton(AF_INET, address.c_str(), &local.sin_addr);
        if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
        if (fd_ >= 0) thread_ = std::thread([this] { serve(); });
    }
    ~ScriptedModule() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) ::close(fd_);
    }
    ScriptedModule(const ScriptedModule&) = delete;
    ScriptedModule& operator=(const ScriptedModule&) = delete;

    bool ok() const { return fd_ >= 0; }
    // The codes of the requests received, in order.
    std::vector<int> codes() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return codes_;
    }

  private:
    void serve() {
        sockaddr_in peer = {};
        bool discovered = false;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!stop_ && std::chrono::steady_clock::now() < end) {
            pollfd p = {fd_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            uint8_t bytes[2048];
            sockaddr_in from = {};
            socklen_t length = sizeof(from);
            const ssize_t n = ::recvfrom(fd_, bytes, sizeof(bytes), 0,
                                         reinterpret_cast<sockaddr*>(&from), &length);
            if (n < 8) continue;
            const std::vector<uint8_t> request(bytes, bytes + n);
            const auto code = static_cast<uint16_t>(wire_word(request, 1) & 0xFF);
            {
                const std::lock_guard<std::mutex> lock(mutex_);
                codes_.push_back(code);
            }
            if (script_.mute) continue;
            if (code == 11) {
                if (script_.lost_discoveries > 0) {
                    --script_.lost_discoveries;
                    continue;
                }
                peer = from;
                discovered = true;
            }
            if (!discovered) continue;
            const bool discovery = code == 11;
            send(peer, wire_words({0xCAFE, static_cast<uint16_t>(code | 0x80), 0xFF00, 0,
                                   static_cast<uint16_t>(discovery ? 0 : 2),
                                   static_cast<uint16_t>(discovery ? 0 : 0x0204), 0, 0xACAB}));
            if (code == 10 && wire_word(request, 3) != 0) send_events(peer);
        }
    }
    void send_events(const sockaddr_in& peer) {
        for (uint16_t event = 1; event <= script_.events; ++event) {
            if (script_.gaps.count(event) > 0) continue;
            send(peer, wire_words({0xCAFE, 0x010E, 1, event, 0, static_cast<uint16_t>(event * 500),
                                   2, 0x190, 0x0102, 5, 2100, 2100, 0xACAB}));
        }
    }
    void send(const sockaddr_in& peer, const std::vector<uint8_t>& bytes) {
        ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&peer),
                 sizeof(peer));
    }

    Script script_;
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<int> codes_;
    std::thread thread_;
};

// The words of the summary row that starts with `first`, split at the blanks.
std::vector<std::string> row(const std::string& summary, const std::string& first) {
    std::istringstream lines(summary);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(first, 0) != 0) continue;
        std::istringstream words(line);
        std::vector<std::string> result;
        for (std::string word; words >> word;) result.push_back(word);
        return result;
    }
    ADD_FAILURE() << "no row " << first << " in\n" << summary;
    return {};
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

TEST_F(Daqhost, half_efficiency_shows_as_gaps_and_each_hybrid_has_its_own_mode) {
    ASSERT_NO_FATAL_FAILURE(start_emulator({"-m", "11", "-r", "2000", "-e", "0.5"}));
    const json summary =
        run_json({"--mode", "4", "--nadj", "3", "--hybrid", "2:mode=2", "--events", "2000"});
    const json& h = hybrid(summary, 1);
    EXPECT_EQ(h["mode"], 4);
    EXPECT_NEAR(h["efficiency"].get<double>(), 0.5, 0.06);
    EXPECT_EQ(h["bytes"].get<int>(), (26 + 6 * 3) * h["packets"].get<int>());
    EXPECT_NEAR(h["pedestal_mean"].get<double>(), 2023.5, 2.0) << "from the neighbours";
    const json& second = hybrid(summary, 2);
    EXPECT_EQ(second["mode"], 2) << "--hybrid 2:mode=2 adds hybrid 2 with its own mode";
    EXPECT_EQ(second["bytes"].get<int>(), 26 * second["packets"].get<int>());
}

TEST_F(Daqhost, recorded_session_decodes_sums_up_and_plots_as_the_run_counted_it) {
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

    // stats sums up the capture as run summed up the session, but for the seconds, which the
    // capture times from the start request's send rather than from just before it, and the
    // host's pace, which only the live run knows.
    const Result stats = daqhost({"stats", capture, "--json"});
    ASSERT_EQ(stats.status, 0) << stats.err;
    json from_capture = json::parse(stats.out, nullptr, false);
    json from_run = summary;
    EXPECT_NEAR(from_capture["seconds"].get<double>(), from_run["seconds"].get<double>(), 0.05);
    for (json* j : {&from_capture, &from_run}) j->erase("seconds");
    EXPECT_EQ(from_capture["host"], nullptr);
    EXPECT_EQ(from_run["host"].size(), 5u) << from_run["host"];
    from_run.erase("host");
    from_capture.erase("host");
    EXPECT_EQ(from_capture, from_run);

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

// One real module and two played ones, named by ADDR, --module and a file (where one comes
// again): each is driven through the whole run, has a summary of its own, and its traffic is
// in the one capture.
TEST_F(Daqhost, run_drives_three_modules_and_sums_up_each) {
    ASSERT_NO_FATAL_FAILURE(start_emulator({"-m", "11", "-r", "2000", "-e", "1.0"}));
    ScriptedModule gapped("127.0.0.2", ScriptedModule::Script::sending(60, {10, 11, 12}));
    ScriptedModule whole("127.0.0.3", ScriptedModule::Script::sending(60));
    ASSERT_TRUE(gapped.ok() && whole.ok());
    const std::string list = path("modules.txt");
    std::ofstream(list) << "# the rack\n\n  127.0.0.3:10000  # whole\n127.0.0.2\n";
    const std::string capture = path("three.pcap");
    const json summary = run_json({"127.0.0.1", "--module", "127.0.0.2", "--modules", list,
                                   "--mode", "2", "-n", "60", "--out", capture});
    ASSERT_EQ(summary["modules"].size(), 3u) << summary.dump();
    const json& real = summary["modules"][0];
    const json& played = summary["modules"][1];
    EXPECT_EQ(real["module"], "127.0.0.1:10000");
    EXPECT_EQ(played["module"], "127.0.0.2:10000");
    EXPECT_EQ(summary["modules"][2]["module"], "127.0.0.3:10000");
    ASSERT_EQ(real["hybrids"].size(), 2u);
    EXPECT_GE(real["events"].get<int>(), 60);
    EXPECT_EQ(real["missing"], 0);
    EXPECT_EQ(hybrid(real, 1)["mode"], 2);
    EXPECT_EQ(hybrid(real, 2)["mode"], 1) << "not configured, but started with the module";
    const json& h = hybrid(played, 1);
    EXPECT_EQ(h["packets"], 57);
    EXPECT_EQ(h["missing"], 3);
    EXPECT_EQ(h["last_event"], 60);
    EXPECT_NEAR(h["trigger_rate_hz"].get<double>(), 2000, 1);
    EXPECT_EQ(summary["modules"][2]["packets"], 60);
    EXPECT_EQ(summary["modules"][2]["missing"], 0);
    for (const json& m : summary["modules"]) {
        EXPECT_EQ(m["failed_at"], nullptr) << m["module"];
        EXPECT_EQ(m["acknowledges"], 6) << m["module"];
        EXPECT_EQ(m["retries"], 0) << m["module"];
    }
    EXPECT_EQ(summary["total"]["modules_run"], 3);
    EXPECT_EQ(summary["total"]["packets"].get<int>(), real["packets"].get<int>() + 57 + 60);
    // Discovery, the stop before the run, stream configuration, readout mode, start, stop.
    EXPECT_EQ(gapped.codes(), (std::vector<int>{11, 10, 1, 8, 10, 10}));

    const Result decoded = daqhost({"decode", capture, "--json"});
    ASSERT_EQ(decoded.status, 0) << decoded.err;
    std::map<std::string, int> acknowledges;
    std::map<std::string, int> data;
    std::istringstream lines(decoded.out);
    for (std::string line; std::getline(lines, line);) {
        const json d = json::parse(line);
        if (d["direction"] == "acknowledge") ++acknowledges[d["source"].get<std::string>()];
        if (d["direction"] == "data") ++data[d["source"].get<std::string>()];
    }
    EXPECT_EQ(acknowledges,
              (std::map<std::string, int>{
                  {"127.0.0.1:10000", 6}, {"127.0.0.2:10000", 6}, {"127.0.0.3:10000", 6}}));
    EXPECT_EQ(data["127.0.0.2:10000"], 57);
    EXPECT_EQ(data["127.0.0.1:10000"], real["packets"].get<int>());
}

// A stand of a one-hybrid and a two-hybrid module: the run's hybrids would fail the first, so
// its line gives its own; the second's line sets one hybrid's mode and keeps the run's mode for
// the other.
TEST_F(Daqhost, modules_file_options_configure_each_module_its_own_way) {
    EmulatorProcess one({"-m", "1", "-r", "2000", "--address", "127.0.0.12"});
    EmulatorProcess two({"-m", "11", "-r", "2000", "--address", "127.0.0.13"});
    ASSERT_TRUE(one.start() && two.start());
    ASSERT_TRUE(one.wait_until_serving() && two.wait_until_serving());
    const std::string list = path("modules.txt");
    std::ofstream(list) << "127.0.0.12:10000 --hybrids 1\n127.0.0.13 --hybrid 2:mode=4,nadj=1\n";
    const json summary =
        run_json({"--modules", list, "--hybrids", "1,2", "--mode", "2", "-n", "50"});
    ASSERT_EQ(summary["modules"].size(), 2u) << summary.dump();
    const json& first = summary["modules"][0];
    const json& second = summary["modules"][1];
    ASSERT_EQ(first["hybrids"].size(), 1u) << first.dump();
    EXPECT_EQ(hybrid(first, 1)["mode"], 2);
    ASSERT_EQ(second["hybrids"].size(), 2u) << second.dump();
    EXPECT_EQ(hybrid(second, 1)["mode"], 2);
    EXPECT_EQ(hybrid(second, 2)["mode"], 4);
    for (const json& m : summary["modules"]) EXPECT_GE(m["events"].get<int>(), 50) << m["module"];
    EXPECT_EQ(summary["total"]["modules_run"], 2);

    std::ofstream(list) << "127.0.0.12\n\n127.0.0.13 --hybrids 1,2 --speed 3\n";
    const Result bad = daqhost({"run", "--modules", list, "-n", "50"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_THAT(bad.err, HasSubstr(list + ":3: \"--speed 3\" is not a module's option"));
}

// Modules that never answer are waited for side by side, not one after the other; the run
// goes on with the module that answered (on the second attempt), and the status says that
// some failed.
TEST_F(Daqhost, silent_modules_are_reported_and_cost_one_wait_while_the_others_run) {
    ScriptedModule::Script once_lost = ScriptedModule::Script::sending(20);
    once_lost.lost_discoveries = 1;
    ScriptedModule late("127.0.0.2", once_lost);
    ScriptedModule mute("127.0.0.3", ScriptedModule::Script::muted());
    ASSERT_TRUE(late.ok() && mute.ok());
    const auto start = std::chrono::steady_clock::now();
    const Result r = daqhost({"run", "--module", "127.0.0.2", "--module", "127.0.0.3", "--module",
                              "127.0.0.4", "--module", "127.0.0.5", "--module", "127.0.0.6",
                              "--timeout", "0.3", "--retries", "1", "-n", "20"});
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_LT(took, 1.5) << "four silent modules one after the other take 2.4 s";
    EXPECT_THAT(r.err, HasSubstr("no acknowledge of discovery from 127.0.0.3:10000 after 2"));
    EXPECT_THAT(r.err, HasSubstr("no acknowledge of discovery from 127.0.0.6:10000 after 2"));
    EXPECT_EQ(mute.codes(), (std::vector<int>{11, 11})) << "nothing after a failed discovery";
    // module, hybrids, events, packets, missing, trigger Hz, malformed, dropped, acknowledges
    // missing, retries, failed at
    EXPECT_EQ(row(r.out, "127.0.0.2:10000"),
              (std::vector<std::string>{"127.0.0.2:10000", "1", "20", "20", "0", "2000.0", "0", "0",
                                        "0", "1", "-"}));
    const std::vector<std::string> silent = row(r.out, "127.0.0.3:10000");
    ASSERT_EQ(silent.size(), 11u);
    EXPECT_EQ(silent[8], "1");
    EXPECT_EQ(silent[10], "discovery");
    const std::vector<std::string> total = row(r.out, "total");
    EXPECT_THAT(total, ::testing::ElementsAre("total,", "1", "of", "5", "ran", "20", "20", "0", "-",
                                              "0", "0", "4", "5", "4", "failed"));
}

// daqhost stopped for 1.5 s during a run: every datagram waits in its sockets, so no module is
// silent and none is started again; the host says that it fell behind, and how far.
TEST_F(Daqhost, a_host_stopped_for_a_while_takes_no_module_for_silent_and_says_it_fell_behind) {
    std::vector<std::string> args = start_modules(61, 4, {"-r", "1000"});
    ASSERT_FALSE(HasFailure());
    args.insert(args.begin(), "run");
    args.insert(args.end(), {"--recover", "--seconds", "3", "--json"});
    EmulatorProcess run(args, DAQHOST_PATH);
    const auto began = std::chrono::system_clock::now();
    ASSERT_TRUE(run.start());
    for (auto& module : modules_) ASSERT_TRUE(module->wait_for_stdout("Starting run", 10));
    stop_for(run, 1.5);
    ASSERT_EQ(run.wait_exit(30), 0) << run.stderr_text();
    EXPECT_THAT(run.stderr_text(), Not(HasSubstr("silent since")));
    EXPECT_THAT(run.stderr_text(), HasSubstr("daqhost: the host fell behind (backlog up to 1."));
    const json summary = json::parse(run.stdout_text(), nullptr, false);
    ASSERT_EQ(summary["modules"].size(), 4u) << run.stdout_text();
    for (const json& m : summary["modules"]) {
        EXPECT_EQ(m["outages"].size(), 0u) << m["module"];
        EXPECT_EQ(m["missing"], 0) << m["module"];
        // The run went on through the stop (modules under a sanitizer run slower than 1 kHz).
        EXPECT_GT(m["events"].get<int>(), 1000) << m["module"];
    }
    for (auto& module : modules_) EXPECT_EQ(module->count_in_stdout("Starting run"), 1u);
    const json& host = summary["host"];
    EXPECT_EQ(host["kept_up"], false) << host;
    EXPECT_GT(host["lateness_max_s"].get<double>(), 1.2) << host;
    EXPECT_GT(host["backlog_max_s"].get<double>(), 1.2) << host;
    EXPECT_GT(host["queued_max"].get<int>(), 500)
        << host << " datagrams of 1.5 s, taken at once, not a batch of 64 a turn";
    EXPECT_EQ(host["kernel_drops"], 0) << host;
    const double start_s = std::chrono::duration<double>(began.time_since_epoch()).count();
    EXPECT_NEAR(summary["run_start_epoch_s"].get<double>(), start_s, 5.0);
}

// A host starved again and again (stopped for 0.25 s in every 0.3 s) with a silence bound and
// an acknowledge's wait (one attempt) shorter than each stop: what waited at its socket is taken
// before anything is judged, so no acknowledge is missing and no module silent, and the summary
// shows the lag.
TEST_F(Daqhost, a_starved_host_judges_neither_requests_nor_modules_by_its_own_delay) {
    std::vector<std::string> args = start_modules(62, 1, {"-r", "1000"});
    ASSERT_FALSE(HasFailure());
    args.insert(args.begin(), "run");
    args.insert(args.end(), {"--recover", "--silence", "0.2", "--timeout", "0.2", "--retries", "0",
                             "--seconds", "2"});
    EmulatorProcess run(args, DAQHOST_PATH);
    ASSERT_TRUE(run.start());
    for (int i = 0; i < 40 && run.running(); ++i) {
        stop_for(run, 0.25);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_EQ(run.wait_exit(30), 0) << run.stderr_text();
    const std::string out = run.stdout_text();
    EXPECT_THAT(out, HasSubstr("acknowledges missing 0, retries 0"));
    EXPECT_THAT(out, Not(HasSubstr("outage")));
    EXPECT_EQ(row(out, "1")[2], "0") << "missing";
    const size_t late = out.find("host fell behind: loop late by ");
    ASSERT_NE(late, std::string::npos) << out;
    EXPECT_GT(std::stod(out.substr(late + 31)), 0.1) << out;
    EXPECT_THAT(run.stderr_text(), HasSubstr("daqhost: the host fell behind"));
}

TEST_F(Daqhost, no_module_at_the_address_fails_after_the_bounded_attempts) {
    const Result r = daqhost({"discover", "127.0.0.1", "--timeout", "0.2", "--retries", "1"}, 10);
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("no acknowledge of discovery from 127.0.0.1:10000 after 2"));
    const Result bad = daqhost({"start", "localhost"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_THAT(bad.err, HasSubstr("not an IPv4 address"));
    const std::string list = path("modules.txt");
    std::ofstream(list) << "127.0.0.2\nrack-7\n";
    const Result bad_line = daqhost({"run", "--modules", list});
    EXPECT_EQ(bad_line.status, 1);
    EXPECT_THAT(bad_line.err, HasSubstr(list + ":2: \"rack-7\" is not an IPv4 address"));
    const Result bad_hybrid = daqhost({"run", "--hybrid", "1:mode=4,speed=2"});
    EXPECT_EQ(bad_hybrid.status, 1);
    EXPECT_THAT(bad_hybrid.err, HasSubstr("--hybrid 1:mode=4,speed=2: \"speed=2\" is not"));
    const Result no_name = daqhost({"run", "--modules-dns", "no-such-rack.invalid"}, 30);
    EXPECT_EQ(no_name.status, 1);
    EXPECT_THAT(no_name.err, HasSubstr("--modules-dns: cannot resolve no-such-rack.invalid: "));
}

TEST_F(Daqhost, modules_dns_takes_every_address_the_name_resolves_to) {
    ASSERT_NO_FATAL_FAILURE(start_emulator({"-r", "2000"}));
    // localhost is in every system's hosts file: 127.0.0.1 (its IPv6 address is left out).
    const json summary = run_json({"--modules-dns", "localhost", "-n", "20"});
    EXPECT_EQ(summary["module"], "127.0.0.1:10000") << summary.dump();
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

// Two modules on port 10001, recorded by hand: decode finds them by their discovery, without
// --port; plot draws a row per module and hybrid, or one module's; a port or a module that the
// capture does not hold is a named error.
TEST_F(Daqhost, capture_on_another_port_decodes_and_plots_per_module_without_port) {
    const Endpoint host{0x7F000001, 40000};
    const std::vector<Endpoint> modules = {{0x7F000002, 10001}, {0x7F000003, 10001}};
    const auto write = [&](const std::string& capture, bool discovery) {
        CaptureWriter writer;
        ASSERT_TRUE(writer.open(capture)) << writer.error();
        const auto request = wire_words({0xCAFE, 11, 0, 0});
        const auto ack = wire_words({0xCAFE, 0x8B, 0xFF00, 0, 0, 0, 0, 0xACAB});
        for (const Endpoint& module : discovery ? modules : std::vector<Endpoint>{}) {
            writer.write(0, host, module, request.data(), request.size());
            writer.write(1000, module, host, ack.data(), ack.size());
        }
        for (uint16_t event = 1; event <= 20; ++event) {
            for (const Endpoint& module : modules) {
                const auto packet =
                    wire_words({0xCAFE, 0x010E, 1, event, 0, static_cast<uint16_t>(event * 500), 2,
                                0x190, 0x0102, static_cast<uint16_t>(event % 9),
                                static_cast<uint16_t>(2100 + event % 5), 2100, 0xACAB});
                writer.write(event * 500'000, module, host, packet.data(), packet.size());
            }
        }
        ASSERT_TRUE(writer.close()) << writer.error();
    };
    const std::string capture = path("10001.pcap");
    ASSERT_NO_FATAL_FAILURE(write(capture, true));

    const Result decoded = daqhost({"decode", capture, "--json"});
    ASSERT_EQ(decoded.status, 0) << decoded.err;
    std::map<std::string, int> kinds;
    std::istringstream lines(decoded.out);
    for (std::string line; std::getline(lines, line);) {
        const json d = json::parse(line);
        const std::string module =
            d[d["direction"] == "request" ? "destination" : "source"].get<std::string>();
        ++kinds[module + " " + d["direction"].get<std::string>()];
    }
    EXPECT_EQ(kinds, (std::map<std::string, int>{{"127.0.0.2:10001 request", 1},
                                                 {"127.0.0.2:10001 acknowledge", 1},
                                                 {"127.0.0.2:10001 data", 20},
                                                 {"127.0.0.3:10001 request", 1},
                                                 {"127.0.0.3:10001 acknowledge", 1},
                                                 {"127.0.0.3:10001 data", 20}}));

    const Result both = daqhost({"plot", capture, "--out", path("both.png")});
    ASSERT_EQ(both.status, 0) << both.err;
    EXPECT_THAT(both.out, HasSubstr("40 data packets of 2 modules; 2 hybrids plotted"));
    const Result one =
        daqhost({"plot", capture, "--out", path("one.png"), "--module", "127.0.0.3"});
    ASSERT_EQ(one.status, 0) << one.err;
    EXPECT_THAT(one.out, HasSubstr("20 data packets of 127.0.0.3:10001; 1 hybrid plotted"));

    const std::string undiscovered = path("undiscovered.pcap");
    ASSERT_NO_FATAL_FAILURE(write(undiscovered, false));
    const std::vector<std::pair<std::vector<std::string>, std::string>> failures = {
        {{"decode", capture, "--port", "10002"}, "no datagram to or from port 10002"},
        {{"decode", undiscovered}, "no discovery, and no datagram to or from port 10000"},
        {{"plot", undiscovered, "--out", path("x.png")}, "no discovery, and no datagram"},
        {{"plot", capture, "--out", path("x.png"), "--module", "127.0.0.2:10000"},
         "no module 127.0.0.2:10000 in the capture, whose modules are 127.0.0.2:10001, "
         "127.0.0.3:10001"},
    };
    for (const auto& [args, message] : failures) {
        const Result r = daqhost(args);
        EXPECT_EQ(r.status, 1) << message;
        EXPECT_THAT(r.err, HasSubstr(message));
    }
    EXPECT_EQ(daqhost({"decode", undiscovered, "--port", "10001"}).status, 0);
}

}  // namespace
