// The server's worker-thread serving mode: the wait loop, its idle and timed callbacks, stop,
// and the two socket waits. Every server binds 127.0.0.1 in the test's own network namespace.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "emulator/DAQemulator.h"
#include "protocol/BasePacket.h"
#include "protocol/PacketConversion.h"
#include "server/DAQServer.h"
#include "support/utils.h"
#include "testing/NetworkNamespace.h"
#include "testing/UdpPeer.h"

using namespace daq;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kPort = 10000;
// Any condition the tests wait for comes true within this, however slow the machine.
constexpr auto kPatience = 10s;

double seconds_between(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

double seconds_since(Clock::time_point from) { return seconds_between(from, Clock::now()); }

// Polls `done` until it holds or the patience runs out, calling `between` before each look
// again (to feed the loop datagrams, for instance).
template <typename Done, typename Between>
bool eventually(Done done, Between between) {
    const auto deadline = Clock::now() + kPatience;
    while (!done()) {
        if (Clock::now() > deadline) return false;
        between();
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

template <typename Done>
bool eventually(Done done) {
    return eventually(done, [] {});
}

struct ReceivedRequest {
    std::string sender;
    unsigned short port;
    std::string bytes;
    pthread_t handled_on;
};

// Records every request it handles and counts the turns of its loop through the idle hook.
class RecordingServer : public DAQServer {
  public:
    explicit RecordingServer(int port) : DAQServer("lo", port) {}
    ~RecordingServer() override { stop(); }

    void handle_request(const std::string& sender, unsigned short port, const char* data,
                        int length) override {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(
            {sender, port, std::string(data, static_cast<size_t>(length)), pthread_self()});
    }
    void idle() override { ++turns_; }

    std::vector<ReceivedRequest> requests() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }
    int turns() const { return turns_.load(); }
    // Only while no loop runs: the arrays belong to the loop's thread.
    size_t idle_callbacks() const { return idle_funcs.size(); }

  private:
    mutable std::mutex mutex_;
    std::vector<ReceivedRequest> requests_;
    std::atomic<int> turns_{0};
};

// The host side of the emulator layer, with the module's network-to-host conversion of each
// request, served from the worker thread.
class EmulatorOnWorker : public DAQemulator {
  public:
    explicit EmulatorOnWorker(int port) : DAQemulator("lo", port) {}
    ~EmulatorOnWorker() override { stop(); }
    void filter(char* data, int length) override { to_host_order(data, length); }
};

// An idle callback that writes its name into a shared trace and asks to be removed on its
// `remove_on_call`-th call (never when 0).
struct IdleProbe {
    char name;
    int remove_on_call;
    std::string* trace;
    std::atomic<int> calls{0};
};

bool run_idle_probe(void* data) {
    auto* probe = static_cast<IdleProbe*>(data);
    const int call = ++probe->calls;
    probe->trace->push_back(probe->name);
    return probe->remove_on_call == 0 || call < probe->remove_on_call;
}

// A timed callback that takes `busy` seconds and records when each run began and ended.
struct TimedProbe {
    explicit TimedProbe(double busy) : busy(busy) {}

    double busy;
    std::mutex mutex;
    std::vector<std::pair<Clock::time_point, Clock::time_point>> runs;
    std::atomic<int> count{0};
};

bool run_timed_probe(void* data) {
    auto* probe = static_cast<TimedProbe*>(data);
    const auto began = Clock::now();
    DAQwait(probe->busy);
    {
        std::lock_guard<std::mutex> lock(probe->mutex);
        probe->runs.emplace_back(began, Clock::now());
    }
    ++probe->count;
    return true;
}

// Stops the server it is given on its second call, from inside the loop.
struct SelfStop {
    DAQServer* server;
    std::atomic<int> calls{0};
};

bool stop_on_second_call(void* data) {
    auto* self_stop = static_cast<SelfStop*>(data);
    if (++self_stop->calls == 2) self_stop->server->stop();
    return true;
}

class LoopbackServerTest : public testing::Test {
  protected:
    void SetUp() override {
        if (!in_private_network_namespace()) GTEST_SKIP() << "needs a private network namespace";
        server = std::make_unique<RecordingServer>(kPort);
        ASSERT_EQ(server->init_server(), 0);
    }

    void TearDown() override {
        if (server) server->stop();
    }

    // Sends a datagram, so that the loop takes one more turn at once.
    void tick() { send(kPort, "tick"); }
    bool send(int port, const std::string& text) {
        return client.send(std::vector<uint8_t>(text.begin(), text.end()), "127.0.0.1",
                           static_cast<uint16_t>(port));
    }

    std::unique_ptr<RecordingServer> server;
    UdpPeer client;
};

using WorkerLoop = LoopbackServerTest;
using SocketWait = LoopbackServerTest;

TEST_F(WorkerLoop, idle_callback_removed_after_third_call_and_the_next_keep_their_order) {
    std::string trace;
    IdleProbe first{'A', 3, &trace};
    IdleProbe second{'B', 0, &trace};
    IdleProbe third{'C', 0, &trace};
    server->add_idle_func(run_idle_probe, &first);
    server->add_idle_func(run_idle_probe, &second);
    server->add_idle_func(run_idle_probe, &third);

    server->start_thread();
    ASSERT_TRUE(eventually([&] { return third.calls >= 6; }, [&] { tick(); }));
    server->stop();

    EXPECT_EQ(first.calls, 3);
    EXPECT_EQ(server->idle_callbacks(), 2u);
    ASSERT_GE(trace.size(), 9u + 6u);
    EXPECT_EQ(trace.substr(0, 9), "ABCABCABC");
    const std::string rest = trace.substr(9);
    ASSERT_EQ(rest.size() % 2, 0u) << trace;
    for (size_t i = 0; i < rest.size(); i += 2) {
        EXPECT_EQ(rest.substr(i, 2), "BC") << "trace " << trace;
    }
}

TEST_F(WorkerLoop, timed_callback_waits_its_period_then_a_period_after_the_end_of_each_run) {
    // Each run lasts most of the period: a period counted from the start of a run, instead
    // of its end, would let the next run begin only 0.05 s after the previous one ended.
    constexpr double kPeriod = 0.2;
    TimedProbe probe(0.15);
    const auto registered = Clock::now();
    server->add_timed_func(kPeriod, run_timed_probe, &probe);

    server->start_thread();
    // Datagrams keep the loop turning fast, so a due callback runs at once instead of up to
    // one half-second wait late.
    ASSERT_TRUE(eventually([&] { return probe.count >= 3; }, [&] { tick(); }));
    server->stop();

    // The test's clock and the server's wall clock may differ by a hair.
    constexpr double kClockSlack = 0.002;
    ASSERT_GE(probe.runs.size(), 3u);
    const double first_wait = seconds_between(registered, probe.runs[0].first);
    EXPECT_GE(first_wait, kPeriod - kClockSlack);
    EXPECT_LT(first_wait, 3.0);
    for (size_t i = 1; i < probe.runs.size(); ++i) {
        const double gap = seconds_between(probe.runs[i - 1].second, probe.runs[i].first);
        EXPECT_GE(gap, kPeriod - kClockSlack) << "run " << i;
        EXPECT_LT(gap, 3.0) << "run " << i;
    }
}

TEST_F(WorkerLoop, request_is_handled_on_the_worker_thread) {
    server->start_thread();
    ASSERT_TRUE(send(kPort, "request one"));
    ASSERT_TRUE(eventually([&] { return !server->requests().empty(); }));

    const ReceivedRequest request = server->requests().front();
    EXPECT_EQ(request.bytes, "request one");
    EXPECT_EQ(request.sender, "127.0.0.1");
    EXPECT_EQ(request.port, client.port());
    EXPECT_TRUE(pthread_equal(request.handled_on, server->thread_handle()));
    EXPECT_FALSE(pthread_equal(request.handled_on, pthread_self()));
}

TEST_F(WorkerLoop, emulator_on_the_worker_thread_acknowledges_discovery) {
    EmulatorOnWorker emulator(kPort + 1);
    ASSERT_EQ(emulator.init_server(), 0);
    emulator.start_thread();

    ASSERT_TRUE(client.send(wire_words({packet::kMagic, packet::kDiscovery, 0, 0}), "127.0.0.1",
                            kPort + 1));
    const std::optional<std::vector<uint8_t>> ack = client.receive(10);
    emulator.stop();

    ASSERT_TRUE(ack.has_value());
    EXPECT_EQ(*ack, wire_words({0xCAFE, 0x008B, 0xFF00, 0, 0, 0, 0, 0xACAB}));
    EXPECT_EQ(emulator.server_ip(), "127.0.0.1");
    EXPECT_EQ(emulator.server_port(), client.port());
}

TEST_F(WorkerLoop, stop_on_an_idle_loop_returns_within_about_one_wait) {
    server->start_thread();
    ASSERT_TRUE(eventually([&] { return server->turns() >= 1; }));

    const auto asked = Clock::now();
    server->stop();
    EXPECT_LT(seconds_since(asked), 3.0);
    EXPECT_FALSE(server->is_serving());
    EXPECT_EQ(server->thread_handle(), pthread_t{0});
}

TEST_F(WorkerLoop, stop_right_after_start_thread_returns_promptly) {
    server->start_thread();
    const auto asked = Clock::now();
    server->stop();
    EXPECT_LT(seconds_since(asked), 3.0);
    EXPECT_FALSE(server->is_serving());
    EXPECT_EQ(server->thread_handle(), pthread_t{0});
}

TEST_F(WorkerLoop, thread_started_after_stop_ends_on_its_first_turn_without_waiting) {
    server->stop();
    ASSERT_TRUE(send(kPort, "left alone"));
    server->start_thread();
    server->stop();

    EXPECT_EQ(server->turns(), 0);
    EXPECT_TRUE(server->requests().empty());
    EXPECT_EQ(server->wait_for_data(0), 1) << "the queued datagram was taken";
    EXPECT_FALSE(server->is_serving());
    EXPECT_EQ(server->thread_handle(), pthread_t{0});
}

TEST_F(WorkerLoop, stopped_server_does_not_serve_again) {
    server->start_thread();
    ASSERT_TRUE(eventually([&] { return server->turns() >= 1; }));
    server->stop();
    const int turns = server->turns();

    ASSERT_TRUE(send(kPort, "too late"));
    server->start_loop();

    EXPECT_EQ(server->turns(), turns);
    EXPECT_TRUE(server->requests().empty());
    EXPECT_FALSE(server->is_serving());
    EXPECT_EQ(server->wait_for_data(0), 1) << "the queued datagram was taken";
}

TEST_F(WorkerLoop, stop_from_a_callback_ends_the_worker_thread) {
    SelfStop self_stop{server.get()};
    server->add_idle_func(stop_on_second_call, &self_stop);
    server->start_thread();
    ASSERT_TRUE(
        eventually([&] { return self_stop.calls >= 2 && !server->is_serving(); }, [&] { tick(); }));
    EXPECT_EQ(self_stop.calls, 2);

    server->stop();
    EXPECT_EQ(server->thread_handle(), pthread_t{0});
}

TEST_F(WorkerLoop, stop_from_a_callback_ends_a_loop_run_on_any_thread) {
    SelfStop self_stop{server.get()};
    server->add_idle_func(stop_on_second_call, &self_stop);
    std::atomic<bool> returned{false};
    std::thread loop([&] {
        server->start_loop();
        returned = true;
    });
    const bool ended = eventually([&] { return returned.load(); }, [&] { tick(); });
    if (!ended) {
        // The loop is stuck inside stop(): leave it and its server to the process's end.
        loop.detach();
        server.release();
        FAIL() << "the loop did not end after stop() from its own callback";
    }
    loop.join();
    EXPECT_EQ(self_stop.calls, 2);
    EXPECT_FALSE(server->is_serving());
}

TEST(WorkerLoopWithoutSocket, failed_wait_ends_the_loop_with_its_message) {
    RecordingServer server(kPort);
    testing::internal::CaptureStderr();
    server.start_loop();
    const std::string log = testing::internal::GetCapturedStderr();

    EXPECT_EQ(server.turns(), 1);
    EXPECT_FALSE(server.is_serving());
    EXPECT_NE(log.find("DAQserver: error polling for requests. Stop serving"), std::string::npos)
        << log;
}

TEST(WorkerLoopWithoutSocket, destroying_the_server_waits_for_its_worker_thread) {
    testing::internal::CaptureStderr();
    {
        DAQServer server("lo", kPort);
        server.start_thread();
    }
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("Vantor:: Quitting the thread"), std::string::npos) << log;
}

TEST_F(SocketWait, wait_for_data_reports_a_queued_datagram_without_taking_it) {
    ASSERT_TRUE(send(kPort, "queued"));
    EXPECT_EQ(server->wait_for_data(2000), 1);
    EXPECT_EQ(server->wait_for_data(0), 1);

    char buffer[64];
    std::string sender;
    unsigned short port = 0;
    ASSERT_EQ(server->receive_packet(buffer, sizeof(buffer), sender, port), 6);
    EXPECT_EQ(std::string(buffer, 6), "queued");
    EXPECT_EQ(port, client.port());
    EXPECT_EQ(server->wait_for_data(0), 0);
}

TEST_F(SocketWait, wait_for_data_on_an_idle_socket_returns_0_after_its_limit) {
    const auto started = Clock::now();
    EXPECT_EQ(server->wait_for_data(100), 0);
    EXPECT_GE(seconds_since(started), 0.09);
}

TEST_F(SocketWait, poll_returns_0_silently_on_an_idle_socket_and_on_a_queued_datagram) {
    testing::internal::CaptureStderr();
    const auto started = Clock::now();
    const int idle = server->poll(100);
    const double waited = seconds_since(started);
    send(kPort, "queued");
    const int ready = server->poll(2000);
    const std::string log = testing::internal::GetCapturedStderr();

    EXPECT_EQ(idle, 0);
    EXPECT_GE(waited, 0.09);
    EXPECT_EQ(ready, 0);
    EXPECT_EQ(log, "");
}

TEST_F(SocketWait, waits_on_a_closed_server_fail_and_poll_says_so) {
    server->close();
    EXPECT_EQ(server->wait_for_data(10), -1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(server->poll(10), -1);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("error polling for data"), std::string::npos) << log;
}

}  // namespace
