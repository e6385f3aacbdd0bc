// testCrate end to end, in the test's own network namespace: each module of a crate sends the
// bytes a lone testModule sends for the same requests; with the common trigger, event N of
// every module leaves at once; a pause, a power cycle and a kill of one module leave the others
// whole; a control request that cannot be done is refused with its reason and changes nothing.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "daqhost/CaptureReader.h"
#include "protocol/DataPacketView.h"
#include "testing/EmulatorProcess.h"

using namespace daq;
using json = nlohmann::json;

namespace {

using Words = std::vector<uint16_t>;
const std::vector<std::string> kAddresses = {"127.0.0.11", "127.0.0.12", "127.0.0.13"};

// Per module address (its last byte) and stream, the data packets of a capture, in order; with
// the capture time of each.
struct Sent {
    std::map<int, std::map<int, std::vector<Words>>> words;
    std::map<int, std::map<int, std::vector<int64_t>>> times_ns;
};

Sent data_of(const std::string& capture) {
    Sent sent;
    CaptureReader reader;
    EXPECT_TRUE(reader.open(capture)) << reader.error();
    for (CaptureRecord record; reader.next(record);) {
        const DataPacketView view(record.payload.data(), record.payload.size());
        if (record.source.port != 10000 || !view.ok()) continue;
        Words words;
        for (size_t i = 0; i < record.payload.size() / 2; ++i) words.push_back(view.word(i));
        const int module = static_cast<int>(record.source.address & 0xFF);
        sent.words[module][view.id()].push_back(words);
        sent.times_ns[module][view.id()].push_back(record.time_ns);
    }
    return sent;
}

// A control request's reply line, parsed (null when none came within 5 s).
json ask(const std::string& path, const std::string& line) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    std::string reply;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0 &&
        ::send(fd, (line + "\n").data(), line.size() + 1, MSG_NOSIGNAL) ==
            static_cast<ssize_t>(line.size() + 1)) {
        pollfd entry{fd, POLLIN, 0};
        char buffer[65536];
        while (reply.find('\n') == std::string::npos && ::poll(&entry, 1, 5000) == 1) {
            const ssize_t got = ::recv(fd, buffer, sizeof(buffer), 0);
            if (got <= 0) break;
            reply.append(buffer, static_cast<size_t>(got));
        }
    }
    ::close(fd);
    return json::parse(reply, nullptr, false);
}

class Testcrate : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/testcrate-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        if (crate_) {
            crate_->send_signal(SIGTERM);
            EXPECT_EQ(crate_->wait_exit(15), 0) << crate_->stderr_text();
        }
        std::filesystem::remove_all(dir_);
    }

    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    // A crate of the modules at kAddresses, with testModule's options and the crate's.
    void start_crate(std::vector<std::string> args) {
        for (const std::string& address : kAddresses)
            args.insert(args.end(), {"--module", address});
        args.insert(args.end(), {"--control-socket", path("control")});
        crate_ = std::make_unique<EmulatorProcess>(args, TESTCRATE_PATH);
        ASSERT_TRUE(crate_->start());
        ASSERT_TRUE(crate_->wait_for_stdout("Crate of 3 modules", 10)) << crate_->stderr_text();
    }

    // daqhost run of every module of the crate; its summary.
    static json run_all(std::vector<std::string> args) {
        args.insert(args.begin(), {"run", kAddresses[0], "--module", kAddresses[1], "--module",
                                   kAddresses[2], "--json"});
        EmulatorProcess host(args, DAQHOST_PATH);
        EXPECT_TRUE(host.start());
        host.wait_exit(60);
        return json::parse(host.stdout_text(), nullptr, false);
    }

    std::unique_ptr<EmulatorProcess> crate_;
    std::string dir_;
};

TEST_F(Testcrate, each_module_sends_the_bytes_of_a_lone_test_module_for_the_same_requests) {
    const std::vector<std::string> options = {"-r", "500", "-m", "11"};
    const std::vector<std::string> requests = {"--hybrids",       "1,2", "--hybrid",
                                               "2:mode=4,nadj=2", "-n",  "150"};
    std::vector<std::string> lone_args = options;
    lone_args.insert(lone_args.end(), {"--address", kAddresses[0]});
    EmulatorProcess lone(lone_args);
    ASSERT_TRUE(lone.start() && lone.wait_until_serving());
    std::vector<std::string> lone_run = {"run", kAddresses[0], "--json", "--out",
                                         path("lone.pcap")};
    lone_run.insert(lone_run.end(), requests.begin(), requests.end());
    EmulatorProcess host(lone_run, DAQHOST_PATH);
    ASSERT_TRUE(host.start());
    ASSERT_EQ(host.wait_exit(60), 0) << host.stderr_text();
    lone.send_signal(SIGTERM);
    ASSERT_EQ(lone.wait_exit(15), 0);

    ASSERT_NO_FATAL_FAILURE(start_crate(options));
    std::vector<std::string> crate_run = {"--out", path("crate.pcap")};
    crate_run.insert(crate_run.end(), requests.begin(), requests.end());
    run_all(crate_run);

    auto expected = data_of(path("lone.pcap")).words.at(11);
    const Sent crate = data_of(path("crate.pcap"));
    for (const int module : {11, 12, 13}) {
        for (const int stream : {1, 2}) {
            SCOPED_TRACE("module " + std::to_string(module) + ", stream " + std::to_string(stream));
            std::vector<Words> got = crate.words.at(module).at(stream);
            std::vector<Words> want = expected.at(stream);
            // The first 100 events: before the pedestal buffer first runs dry (500 blocks, 125
            // triggers of four chips), after which the draws of its refill and of the triggers
            // interleave as the machine's speed decides, for a lone module as for a crate's.
            ASSERT_GE(got.size(), 100u);
            ASSERT_GE(want.size(), 100u);
            got.resize(100);
            want.resize(100);
            // The time stamp (words 4 and 5) is the run's clock: the rest is drawn.
            for (auto* packets : {&got, &want}) {
                for (Words& words : *packets) words[4] = words[5] = 0;
            }
            EXPECT_EQ(got, want);
        }
    }
}

TEST_F(Testcrate, with_the_common_trigger_event_n_of_every_module_leaves_at_once) {
    ASSERT_NO_FATAL_FAILURE(start_crate({"-r", "200", "--common-trigger"}));
    run_all({"-n", "200", "--out", path("common.pcap")});
    const Sent sent = data_of(path("common.pcap"));
    std::map<uint16_t, std::vector<int64_t>> times;  // by event number
    for (const int module : {11, 12, 13}) {
        const auto& packets = sent.words.at(module).at(1);
        ASSERT_GE(packets.size(), 200u);
        EXPECT_EQ(packets.front()[3], 1) << "the count begins once every module has started";
        for (size_t i = 0; i < packets.size(); ++i) {
            times[packets[i][3]].push_back(sent.times_ns.at(module).at(1)[i]);
        }
    }
    size_t together = 0;
    for (const auto& [event, at] : times) {
        if (at.size() < 3) continue;
        // Generous: the host takes the datagrams as it comes to them.
        const auto [first, last] = std::minmax_element(at.begin(), at.end());
        EXPECT_LT(*last - *first, 20'000'000) << "event " << event;
        ++together;
    }
    EXPECT_GE(together, 200u);
}

TEST_F(Testcrate, a_pause_a_power_cycle_and_a_kill_of_one_module_leave_the_others_whole) {
    ASSERT_NO_FATAL_FAILURE(start_crate({"-r", "500"}));
    std::vector<std::string> args = {
        "run",         kAddresses[0], "--module",  kAddresses[1], "--module",
        kAddresses[2], "--json",      "--recover", "--seconds",   "5"};
    EmulatorProcess host(args, DAQHOST_PATH);
    ASSERT_TRUE(host.start());
    // Module 2 running, polled with a bound.
    bool running = false;
    for (int i = 0; i < 100 && !running; ++i) {
        const json counters = ask(path("control"), R"({"request": "counters"})");
        running = counters.is_object() && counters["modules"][1].value("run", false);
        if (!running) ::usleep(50000);
    }
    ASSERT_TRUE(running);
    EXPECT_EQ(ask(path("control"), R"({"request": "pause", "module": 2, "seconds": 0.5})")["ok"],
              true);
    EXPECT_EQ(ask(path("control"), R"({"request": "power-cycle", "module": 2})")["state"], "on");
    EXPECT_EQ(ask(path("control"), R"({"request": "kill", "module": 2})")["state"], "off");
    host.wait_exit(60);
    const json summary = json::parse(host.stdout_text(), nullptr, false);
    ASSERT_TRUE(summary.contains("modules")) << host.stdout_text() << host.stderr_text();
    for (const int i : {0, 2}) {
        const json& module = summary["modules"][static_cast<size_t>(i)];
        EXPECT_GT(module["events"], 1000) << module;
        EXPECT_EQ(module["missing"], 0) << module;
        EXPECT_TRUE(module["outages"].empty()) << module;
    }
    EXPECT_EQ(ask(path("control"), R"({"request": "counters"})")["modules"][1]["state"], "off");
}

TEST_F(Testcrate, a_control_request_that_cannot_be_done_is_refused_with_its_reason) {
    ASSERT_NO_FATAL_FAILURE(start_crate({"-r", "500"}));
    const std::vector<std::pair<std::string, std::string>> refused = {
        {"a pause, please", "one JSON object"},
        {R"({"request": "explode", "module": 1})", "pause, power-cycle, kill, switch-on"},
        {R"({"request": "kill"})", "from 1 to 3"},
        {R"({"request": "kill", "module": 4})", "from 1 to 3"},
        {R"({"request": "pause", "module": 1, "seconds": 0})", "above 0"},
        {R"({"request": "switch-on", "module": 1})", "module 1 is on"},
    };
    for (const auto& [request, reason] : refused) {
        const json reply = ask(path("control"), request);
        EXPECT_EQ(reply["ok"], false) << request;
        EXPECT_NE(reply.value("error", "").find(reason), std::string::npos) << reply;
    }
    const json counters = ask(path("control"), R"({"request": "counters"})");
    for (const json& module : counters["modules"]) EXPECT_EQ(module["state"], "on") << counters;
    const json summary = run_all({"-n", "100"});
    for (const json& module : summary["modules"]) EXPECT_GE(module["events"], 100) << module;
}

}  // namespace
