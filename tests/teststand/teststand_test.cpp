// The test stand end to end: modules in namespaces of their own, faults between them and the
// host (every one a relay's) and faults of the modules themselves, now or on a schedule, daqhost
// driving them all from the host namespace, and nothing left running after `down`, scheduled
// faults included, which keeps the logs and the counts in a folder of their own.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "testing/EmulatorProcess.h"

namespace {

using json = nlohmann::json;

struct Result {
    int status;
    std::string out;
    std::string err;
};

class Teststand : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "the stand needs root";
        char pattern[] = "/tmp/teststand-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        state_ = pattern;
        // Stands are seen machine-wide: a name of this process's own.
        name_ = "t" + std::to_string(getpid() % 10000000);
    }
    void TearDown() override {
        if (state_.empty()) return;
        stand({"down"});
        std::filesystem::remove_all(state_);
    }

    Result stand(const std::vector<std::string>& args, const std::string& testmodule = "") {
        std::vector<std::string> all = {
            "TESTMODULE=" + (testmodule.empty() ? std::string(TESTMODULE_PATH) : testmodule),
            std::string("FAULTRELAY=") + FAULTRELAY_PATH,
            std::string("TESTCRATE=") + TESTCRATE_PATH,
            "TESTSTAND_STATE=" + state_,
            TESTSTAND_PATH,
            "--name",
            name_};
        all.insert(all.end(), args.begin(), args.end());
        EmulatorProcess program(all, "/usr/bin/env");
        EXPECT_TRUE(program.start());
        const int status = program.wait_exit(120);
        return {status, program.stdout_text(), program.stderr_text()};
    }

    // `daqhost run ... --json` in the host namespace.
    json run(std::vector<std::string> args) {
        args.insert(args.begin(), {"exec", "--", DAQHOST_PATH, "run"});
        args.insert(args.end(), {"--json", "--retries", "6", "--timeout", "0.5"});
        const Result r = stand(args);
        EXPECT_EQ(r.status, 0) << r.err;
        return json::parse(r.out, nullptr, false);
    }

    std::string file(const std::string& leaf) const { return state_ + "/" + name_ + "/" + leaf; }

    std::vector<pid_t> module_pids(int count) const {
        std::vector<pid_t> pids;
        for (int m = 1; m <= count; ++m) {
            std::ifstream in(file("module-" + std::to_string(m) + ".pid"));
            pid_t pid = 0;
            if (in >> pid) pids.push_back(pid);
        }
        return pids;
    }

    // The processes of scheduled faults that the stand has recorded (job-PID.json).
    std::vector<pid_t> job_pids() const {
        std::vector<pid_t> pids;
        std::error_code none;
        for (const auto& entry : std::filesystem::directory_iterator(state_ + "/" + name_, none)) {
            const std::string leaf = entry.path().filename().string();
            if (leaf.rfind("job-", 0) == 0) pids.push_back(std::stoi(leaf.substr(4)));
        }
        return pids;
    }

    // The folder `down` says it has moved the logs to.
    static std::string kept_folder(const std::string& down_output) {
        const std::string marker = " are in ";
        const size_t at = down_output.rfind(marker);
        if (at == std::string::npos) return "";
        const size_t end = down_output.find('\n', at);
        return down_output.substr(at + marker.size(), end - at - marker.size());
    }

    // The process's state letter in /proc/PID/stat (R, S, T, Z ...), or '-' when it is gone.
    static char process_state(pid_t pid) {
        std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
        std::string stat;
        std::getline(in, stat);
        const size_t paren = stat.rfind(") ");
        return paren == std::string::npos ? '-' : stat[paren + 2];
    }
    static bool stopped(pid_t pid) { return process_state(pid) == 'T'; }
    static bool ended(pid_t pid) {
        const char state = process_state(pid);
        return state == '-' || state == 'Z';
    }

    // Polls until the condition holds, 30 s at most.
    template <typename Condition>
    static bool eventually(Condition condition) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!condition()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }

    // After down: no namespace of the stand's name, no process, no state.
    void expect_nothing_left(const std::vector<pid_t>& pids) {
        std::error_code none;
        for (const auto& entry : std::filesystem::directory_iterator("/run/netns", none)) {
            EXPECT_NE(entry.path().filename().string().rfind(name_ + "-", 0), 0u)
                << "namespace left: " << entry.path();
        }
        for (pid_t pid : pids) EXPECT_NE(kill(pid, 0), 0) << "process " << pid << " left";
        EXPECT_FALSE(std::filesystem::exists(state_ + "/" + name_));
        EXPECT_NE(stand({"down"}).out.find("nothing to remove"), std::string::npos);
    }

    std::string state_;
    std::string name_;
};

TEST_F(Teststand, four_modules_with_two_percent_loss_both_ways_all_deliver_and_down_cleans_up) {
    const Result up = stand({"up", "4", "--rate", "1000", "--loss", "2"});
    ASSERT_EQ(up.status, 0) << up.err;
    const std::vector<pid_t> pids = module_pids(4);
    ASSERT_EQ(pids.size(), 4u);

    const json summary = run({"--modules", file("addresses"), "--events", "2000"});
    ASSERT_EQ(summary["modules"].size(), 4u) << summary.dump();
    for (const json& m : summary["modules"]) {
        SCOPED_TRACE(m["module"].get<std::string>());
        EXPECT_TRUE(m["failed_at"].is_null()) << m.dump();
        EXPECT_GE(m["events"].get<int>(), 2000);
        // 2 % of about 2000 data packets lost on the way: about 40 gaps, never none.
        const int missing = m["missing"].get<int>();
        EXPECT_GE(missing, 10);
        EXPECT_LE(missing, 100);
    }
    // The relays lost them, and say how many of how many.
    const Result status = stand({"status"});
    EXPECT_NE(status.out.find("to-module: received "), std::string::npos) << status.out;
    EXPECT_NE(status.out.find(" %)\n"), std::string::npos) << status.out;

    const Result down = stand({"down"});
    EXPECT_EQ(down.status, 0) << down.err;
    EXPECT_NE(down.out.find("from-module: received "), std::string::npos) << down.out;
    EXPECT_NE(down.out.find(", lost "), std::string::npos) << down.out;
    expect_nothing_left(pids);
    // What the stand recorded is kept: each module's log and its relay's final counts.
    const std::string kept = kept_folder(down.out);
    ASSERT_FALSE(kept.empty()) << down.out;
    std::ifstream counts(kept + "/relay-4.json");
    const json stats = json::parse(counts, nullptr, false);
    ASSERT_FALSE(stats.is_discarded());
    EXPECT_GT(stats["from-module"]["lost"].get<int>(), 0) << stats.dump();
    EXPECT_TRUE(std::filesystem::exists(kept + "/module-4.log"));
}

TEST_F(Teststand, an_exact_drop_list_gives_exactly_those_gaps) {
    const Result up = stand({"up", "1", "--rate", "1000", "--drop", "from-module:100,200,201"});
    ASSERT_EQ(up.status, 0) << up.err;
    const json summary = run({"11.0.0.11", "--events", "1000"});
    ASSERT_EQ(summary["hybrids"].size(), 1u) << summary.dump();
    EXPECT_EQ(summary["hybrids"][0]["missing"], 3);
    EXPECT_EQ(summary["retries"], 0);
    // down reports the relay's final counts, and the share of what it received.
    const Result down = stand({"down"});
    EXPECT_NE(down.out.find("dropped 3 ("), std::string::npos) << down.out;
}

TEST_F(Teststand, a_failed_up_leaves_nothing_behind) {
    const Result up = stand({"up", "3"}, "/bin/false");
    EXPECT_NE(up.status, 0);
    EXPECT_NE(up.err.find("did not start serving"), std::string::npos) << up.err;
    expect_nothing_left({});
}

TEST_F(Teststand, status_lists_every_module_and_exits_0_with_or_without_a_fault_or_crate) {
    for (const std::vector<std::string>& up : {std::vector<std::string>{"up", "3"},
                                               {"up", "3", "--loss", "3:1"},
                                               {"up", "3", "--crate", "--common-trigger"}}) {
        ASSERT_EQ(stand(up).status, 0);
        const Result status = stand({"status"});
        EXPECT_EQ(status.status, 0) << status.err;
        for (const char* module : {"module 1  ", "module 2  ", "module 3  "}) {
            EXPECT_NE(status.out.find(module), std::string::npos) << status.out;
        }
        if (up.back() == "--common-trigger") {
            EXPECT_NE(status.out.find("module 3 of crate 1 (testCrate "), std::string::npos)
                << status.out;
        }
        ASSERT_EQ(stand({"down"}).status, 0);
    }
}

TEST_F(Teststand, a_module_value_for_a_direction_wins_over_the_value_for_all) {
    ASSERT_EQ(stand({"up", "2", "--loss", "2:from-module:5", "--loss", "1"}).status, 0);
    const auto faults = [&](int m) {
        std::ifstream in(file("relay-" + std::to_string(m) + ".json"));
        return json::parse(in, nullptr, false)["faults"];
    };
    EXPECT_EQ(faults(1)["from-module"]["loss"], 1.0) << faults(1).dump();
    EXPECT_EQ(faults(2)["to-module"]["loss"], 1.0) << faults(2).dump();
    EXPECT_EQ(faults(2)["from-module"]["loss"], 5.0) << faults(2).dump();
}

TEST_F(Teststand, pause_restart_and_kill_act_on_the_recorded_process_and_status_says_so) {
    ASSERT_EQ(stand({"up", "3"}).status, 0);
    const std::vector<pid_t> before = module_pids(3);
    ASSERT_EQ(before.size(), 3u);

    // A pause stops the process and a job continues it, while the command returns at once.
    const Result pause = stand({"pause", "1", "1"});
    ASSERT_EQ(pause.status, 0) << pause.err;
    EXPECT_TRUE(eventually([&] { return stopped(before[0]); }));
    EXPECT_TRUE(eventually([&] { return !stopped(before[0]) && !ended(before[0]); }));

    // A restart is a new process (that it serves again, test_stands.py holds for every stand).
    const Result restart = stand({"restart", "2"});
    ASSERT_EQ(restart.status, 0) << restart.err;
    const std::vector<pid_t> after = module_pids(3);
    ASSERT_EQ(after.size(), 3u);
    EXPECT_NE(after[1], before[1]);
    EXPECT_TRUE(ended(before[1]));

    const Result kill = stand({"kill", "3"});
    ASSERT_EQ(kill.status, 0) << kill.err;
    EXPECT_TRUE(eventually([&] { return ended(before[2]); }));
    // A dead module cannot be paused, and the command line says how to bring it back.
    const Result dead = stand({"pause", "3", "1"});
    EXPECT_EQ(dead.status, 1);
    EXPECT_NE(dead.err.find("restart 3"), std::string::npos) << dead.err;

    // Left paused: down must stop it all the same.
    ASSERT_EQ(stand({"pause", "1", "600"}).status, 0);
    EXPECT_TRUE(eventually([&] { return stopped(before[0]); }));
    const Result status = stand({"status"});
    EXPECT_EQ(status.status, 0) << status.err;
    for (const std::string& line : std::vector<std::string>{
             "testModule " + std::to_string(before[0]) + " paused", "continue: testModule",
             "testModule " + std::to_string(after[1]) + " running", "restart: testModule",
             "testModule " + std::to_string(before[2]) + " ended (killed)", "kill: testModule",
             "continue testModule " + std::to_string(before[0]) + " (pause of 600 s)"}) {
        EXPECT_NE(status.out.find(line), std::string::npos) << line << "\n" << status.out;
    }
    std::vector<pid_t> all = before;
    all.push_back(after[1]);
    const std::vector<pid_t> jobs = job_pids();
    all.insert(all.end(), jobs.begin(), jobs.end());
    ASSERT_EQ(stand({"down"}).status, 0);
    expect_nothing_left(all);
}

TEST_F(Teststand, ack_delay_goes_through_the_module_relay_and_a_module_without_one_says_how) {
    ASSERT_EQ(stand({"up", "2", "--delay", "2:0"}).status, 0);
    const Result without = stand({"ack-delay", "1", "300"});
    EXPECT_EQ(without.status, 1);
    EXPECT_NE(without.err.find("--relay 1"), std::string::npos) << without.err;

    const Result delay = stand({"ack-delay", "2", "300", "1"});
    ASSERT_EQ(delay.status, 0) << delay.err;
    // A discovery and a request for the version: two acknowledges, of which one is held.
    const Result discover = stand(
        {"exec", "--", DAQHOST_PATH, "discover", "11.0.0.12", "--timeout", "2", "--retries", "2"});
    EXPECT_EQ(discover.status, 0) << discover.out << discover.err;
    EXPECT_TRUE(eventually([&] {
        std::ifstream in(file("relay-2.json"));
        const json stats = json::parse(in, nullptr, false);
        return !stats.is_discarded() && stats["from-module"]["received"] == 2;
    }));
    std::ifstream in(file("relay-2.json"));
    const json stats = json::parse(in, nullptr, false);
    EXPECT_EQ(stats["from-module"]["ack-delayed"], 1) << stats.dump();
    EXPECT_EQ(stats["control"]["ack-delay"], 300) << stats.dump();
    EXPECT_NE(stand({"status"}).out.find("ack-delay: the next 1 acknowledge(s) held 300 ms"),
              std::string::npos);
}

TEST_F(Teststand, a_scheduled_fault_is_listed_until_it_fires_and_down_cancels_the_rest) {
    ASSERT_EQ(stand({"up", "2"}).status, 0);
    const std::vector<pid_t> pids = module_pids(2);
    ASSERT_EQ(pids.size(), 2u);
    const Result kill = stand({"kill", "1", "--at", "2.5"});
    ASSERT_EQ(kill.status, 0) << kill.err;
    ASSERT_EQ(stand({"restart", "2", "--at", "600"}).status, 0);
    const std::vector<pid_t> jobs = job_pids();
    EXPECT_EQ(jobs.size(), 2u);

    const Result before = stand({"status"});
    EXPECT_FALSE(ended(pids[0]));
    EXPECT_NE(before.out.find("): kill"), std::string::npos) << before.out;
    EXPECT_NE(before.out.find("): restart"), std::string::npos) << before.out;

    EXPECT_TRUE(eventually([&] { return ended(pids[0]); }));
    const Result after = stand({"status"});
    EXPECT_EQ(after.out.find("): kill"), std::string::npos) << after.out;
    EXPECT_NE(after.out.find("kill: testModule " + std::to_string(pids[0])), std::string::npos)
        << after.out;

    const Result down = stand({"down"});
    EXPECT_EQ(down.status, 0) << down.err;
    EXPECT_NE(down.out.find("scheduled, not applied:"), std::string::npos) << down.out;
    std::vector<pid_t> all = pids;
    all.insert(all.end(), jobs.begin(), jobs.end());
    expect_nothing_left(all);
}

}  // namespace

// Modules that misbehave during one run with 1 % loss both ways, each its own way. With
// --recover every outage ends as its fault makes it end, a module given up is stopped (continued
// later, it sends nothing), the untouched modules lose nothing at the socket, and the capture
// read back by stats gives the live summary module by module. Without --recover the run ends as
// it always has, the restarted module failing at the stop it no longer acknowledges.
TEST_F(Teststand, each_fault_ends_as_it_should_and_the_capture_reads_back_as_the_live_run) {
    struct Case {
        std::vector<std::string> fault;  // applied just before the run
        const char* end;                 // of its one outage; none for no outage
    };
    const std::vector<Case> cases = {
        {{}, nullptr},
        {{"pause", "2", "2", "--at", "2"}, "recovered"},
        {{"restart", "3", "--at", "3"}, "recovered"},
        {{"kill", "4", "--at", "2"}, "given up"},
        // Given up 4 s into its silence, continued 3 s later: the stop it was sent waits for it.
        {{"pause", "5", "7", "--at", "2"}, "given up"},
    };
    ASSERT_EQ(stand({"up", std::to_string(cases.size()), "--rate", "500", "--loss", "1"}).status,
              0);
    for (const Case& c : cases) {
        if (!c.fault.empty()) {
            ASSERT_EQ(stand(c.fault).status, 0);
        }
    }
    const std::string capture = state_ + "/faults.pcap";
    const Result live = stand({"exec", "--", DAQHOST_PATH, "run", "--modules", file("addresses"),
                               "--seconds", "10", "--recover", "--give-up", "4", "--retries", "6",
                               "--timeout", "0.5", "--capture", capture, "--json"});
    EXPECT_EQ(live.status, 1) << "two modules given up";
    json summary = json::parse(live.out, nullptr, false);
    ASSERT_EQ(summary["modules"].size(), cases.size()) << live.out << live.err;
    for (size_t i = 0; i < cases.size(); ++i) {
        const json& m = summary["modules"][i];
        SCOPED_TRACE(m["module"].get<std::string>());
        ASSERT_EQ(m["outages"].size(), cases[i].end ? 1u : 0u) << m["outages"].dump();
        const bool given_up = cases[i].end && std::string(cases[i].end) == "given up";
        if (cases[i].end) {
            EXPECT_EQ(m["outages"][0]["end"], cases[i].end);
            EXPECT_GT(m["outages"][0]["events_lost_estimate"].get<int>(), 0);
        } else {
            EXPECT_EQ(m["kernel_drops"], 0);
            EXPECT_TRUE(m["failed_at"].is_null());
        }
        EXPECT_EQ(m["given_up"], given_up);
        // Continued, a module given up handles the stop waiting for it, but the trigger that
        // came due while it was stopped may go out first: one cycle, one packet a hybrid.
        EXPECT_LE(m["after_give_up"].get<int>(), given_up ? 1 : 0);
        // The new start's event numbers carry on the stream: none is late or repeated.
        EXPECT_EQ(m["hybrids"][0]["late"], 0);
        EXPECT_EQ(m["hybrids"][0]["duplicates"], 0);
    }
    EXPECT_GE(summary["modules"][1]["outages"][0]["seconds"].get<double>(), 1.5)
        << "paused for 2 s";

    EmulatorProcess stats({"stats", capture, "--json"}, DAQHOST_PATH);
    ASSERT_TRUE(stats.start());
    EXPECT_EQ(stats.wait_exit(60), 1) << "as the run: two modules given up";
    json recorded = json::parse(stats.stdout_text(), nullptr, false);
    // The capture does not know what the host's socket dropped, the host's pace, nor its own
    // name.
    for (json* s : {&summary, &recorded}) {
        s->erase("capture");
        s->erase("host");
        (*s)["total"].erase("kernel_drops");
        for (json& m : (*s)["modules"]) m.erase("kernel_drops");
    }
    EXPECT_EQ(recorded.dump(1), summary.dump(1));

    // Module 4 costs the configuration 1.5 s, after which the run takes 4 s.
    ASSERT_EQ(stand({"restart", "3", "--at", "3"}).status, 0);
    const Result plain = stand({"exec", "--", DAQHOST_PATH, "run", "--modules", file("addresses"),
                                "--seconds", "4", "--timeout", "0.5", "--json"});
    EXPECT_EQ(plain.status, 1);
    const json without = json::parse(plain.out, nullptr, false);
    ASSERT_EQ(without["modules"].size(), cases.size()) << plain.out;
    EXPECT_EQ(without["modules"][2]["failed_at"], "DAQ command (stop)");
    EXPECT_EQ(without["modules"][3]["failed_at"], "discovery") << "killed for good";
    EXPECT_EQ(without["total"]["outages"], 0);
}
