// The test stand end to end: modules in namespaces of their own, faults between them and the
// host, daqhost driving them all from the host namespace, and nothing left after `down`.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <system_error>
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
    const Result status = stand({"status"});
    EXPECT_NE(status.out.find("loss: to-module dropped"), std::string::npos) << status.out;

    const Result down = stand({"down"});
    EXPECT_EQ(down.status, 0) << down.err;
    EXPECT_NE(down.out.find("from-module dropped"), std::string::npos) << down.out;
    expect_nothing_left(pids);
}

TEST_F(Teststand, an_exact_drop_list_gives_exactly_those_gaps) {
    const Result up = stand({"up", "1", "--rate", "1000", "--drop", "from-module:100,200,201"});
    ASSERT_EQ(up.status, 0) << up.err;
    const json summary = run({"11.0.0.11", "--events", "1000"});
    ASSERT_EQ(summary["hybrids"].size(), 1u) << summary.dump();
    EXPECT_EQ(summary["hybrids"][0]["missing"], 3);
    EXPECT_EQ(summary["retries"], 0);
    // down reports the relay's final counts.
    const Result down = stand({"down"});
    EXPECT_NE(down.out.find("dropped 3,"), std::string::npos) << down.out;
}

TEST_F(Teststand, a_failed_up_leaves_nothing_behind) {
    const Result up = stand({"up", "3"}, "/bin/false");
    EXPECT_NE(up.status, 0);
    EXPECT_NE(up.err.find("did not start serving"), std::string::npos) << up.err;
    expect_nothing_left({});
}

}  // namespace
