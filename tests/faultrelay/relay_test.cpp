// faultrelay end to end on loopback: the real program between a host socket and a module
// socket of the test's own. What arrives on each side is what the same plan with the same seed
// says, held datagrams are held, the control socket holds acknowledges and switches faults at
// run time (and a request it refuses changes nothing), a path MTU and a bandwidth limit drop
// what does not fit, the decision record is the same for the same seed and datagrams whatever
// was switched in between, the statistics file counts what happened, and a command line that
// does not read ends with status 2.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "faultrelay/FaultCounters.h"
#include "faultrelay/FaultPlan.h"
#include "protocol/AcknowledgePacket.h"
#include "protocol/PacketConversion.h"
#include "testing/EmulatorProcess.h"
#include "testing/UdpPeer.h"
#include "testing/WireBytes.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using ::testing::HasSubstr;

constexpr uint64_t kSeed = 11;
constexpr size_t kDatagrams = 200;

Bytes datagram(uint64_t number, uint8_t side) {
    Bytes bytes(32, side);
    for (size_t i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(number >> (8 * i));
    return bytes;
}

// An acknowledge of a request of `code`, as the module sends it.
Bytes acknowledge(uint8_t code) {
    const daq::AcknowledgePacket packet(code, 2, 2, 4);
    int length = 0;
    const daq::WireWords words = daq::convert_packet(&packet, length);
    return wire_bytes(words.get(), length);
}

// What one direction's faults make of `sent`, from a plan of the same settings and seed, in
// the order it leaves when each datagram comes well within the reordering bound of the last.
struct Expected {
    std::vector<Bytes> arrivals;
    FaultCounters counters;
};

Expected expected(const FaultSettings& faults, Direction direction,
                  const std::vector<Bytes>& sent) {
    FaultPlan plan(faults, kSeed, direction);
    Expected result;
    std::vector<Bytes> held;
    for (Bytes bytes : sent) {
        const FaultDecision decision = plan.decide(bytes);
        result.counters.count(decision);
        if (decision.fate != FaultDecision::Fate::kRelayed) continue;
        std::vector<Bytes>& out = decision.held_for_reorder ? held : result.arrivals;
        out.insert(out.end(), decision.copies, bytes);
        if (decision.releases_held) {
            result.arrivals.insert(result.arrivals.end(), held.begin(), held.end());
            held.clear();
        }
    }
    result.arrivals.insert(result.arrivals.end(), held.begin(), held.end());
    result.counters.sent = result.arrivals.size();
    return result;
}

class Relay : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/faultrelay-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        module_fd_ = open_loopback_socket(0, 8 << 20, module_port_);
        ASSERT_GE(module_fd_, 0);
        ASSERT_TRUE(host_.ok());
    }
    void TearDown() override {
        relay_.reset();
        if (module_fd_ >= 0) ::close(module_fd_);
        std::filesystem::remove_all(dir_);
    }

    void start(std::vector<std::string> faults) {
        std::vector<std::string> args = {"--listen", "127.0.0.1:0",
                                         "--module", "127.0.0.1:" + std::to_string(module_port_),
                                         "--seed",   std::to_string(kSeed),
                                         "--stats",  stats_path()};
        args.insert(args.end(), faults.begin(), faults.end());
        relay_ = std::make_unique<EmulatorProcess>(args, FAULTRELAY_PATH);
        ASSERT_TRUE(relay_->start());
        ASSERT_TRUE(relay_->wait_for_stderr(" <-> ", 10)) << relay_->stderr_text();
        const std::string log = relay_->stderr_text();
        const size_t at = log.find("relaying 127.0.0.1:");
        ASSERT_NE(at, std::string::npos) << log;
        front_port_ = static_cast<uint16_t>(std::stoi(log.substr(at + 19)));
    }

    // Up to `count` datagrams, each from `next` (which waits up to 100 ms), within the timeout.
    template <typename Next>
    static std::vector<Bytes> collect(size_t count, double timeout_s, Next next) {
        std::vector<Bytes> received;
        const auto deadline = Clock::now() + std::chrono::duration<double>(timeout_s);
        while (received.size() < count && Clock::now() < deadline) {
            if (std::optional<Bytes> bytes = next()) received.push_back(std::move(*bytes));
        }
        return received;
    }

    // On the module's socket; the relay's back address is where they came from.
    std::vector<Bytes> module_receive(size_t count, double timeout_s) {
        return collect(count, timeout_s, [this]() -> std::optional<Bytes> {
            pollfd entry = {module_fd_, POLLIN, 0};
            if (::poll(&entry, 1, 100) <= 0) return std::nullopt;
            Bytes buffer(65536);
            socklen_t length = sizeof(back_);
            const ssize_t n = ::recvfrom(module_fd_, buffer.data(), buffer.size(), 0,
                                         reinterpret_cast<sockaddr*>(&back_), &length);
            if (n < 0) return std::nullopt;
            buffer.resize(static_cast<size_t>(n));
            return buffer;
        });
    }

    void module_send(const Bytes& bytes) {
        ::sendto(module_fd_, bytes.data(), bytes.size(), 0,
                 reinterpret_cast<const sockaddr*>(&back_), sizeof(back_));
    }

    std::vector<Bytes> host_receive(size_t count, double timeout_s) {
        return collect(count, timeout_s, [this] { return host_.receive(0.1); });
    }

    nlohmann::json stop_and_read_stats() {
        relay_->send_signal(SIGTERM);
        EXPECT_EQ(relay_->wait_exit(10), 0) << relay_->stderr_text();
        std::ifstream in(stats_path());
        return nlohmann::json::parse(in, nullptr, false);
    }

    // Until the relay has taken `count` datagrams from hosts, which it says on SIGUSR1.
    bool taken_from_host(uint64_t count) {
        const std::string counters = "to-module: received " + std::to_string(count) + ",";
        for (int attempt = 0; attempt < 100; ++attempt) {
            relay_->send_signal(SIGUSR1);
            if (relay_->wait_for_stderr(counters, 0.1)) return true;
        }
        return false;
    }

    // Sends datagrams first to last from the host, and waits until the relay has taken them.
    void send_from_host(uint64_t first, uint64_t last) {
        for (uint64_t i = first; i <= last; ++i) {
            ASSERT_TRUE(host_.send(datagram(i, 0x11), "127.0.0.1", front_port_));
        }
        ASSERT_TRUE(taken_from_host(last)) << relay_->stderr_text();
    }

    // The relay's reply to a request on its control socket; null when there is none in 10 s.
    nlohmann::json request(const nlohmann::json& request) const {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        control_path().copy(address.sun_path, sizeof(address.sun_path) - 1);
        std::string reply;
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) {
            const std::string line = request.dump() + "\n";
            ::send(fd, line.data(), line.size(), MSG_NOSIGNAL);
            const auto deadline = Clock::now() + std::chrono::seconds(10);
            pollfd entry = {fd, POLLIN, 0};
            char buffer[4096];
            while (reply.find('\n') == std::string::npos && Clock::now() < deadline &&
                   ::poll(&entry, 1, 100) >= 0) {
                const ssize_t got =
                    (entry.revents & POLLIN) ? ::recv(fd, buffer, sizeof(buffer), 0) : 0;
                if ((entry.revents & POLLIN) && got <= 0) break;
                if (got > 0) reply.append(buffer, static_cast<size_t>(got));
            }
        }
        ::close(fd);
        return nlohmann::json::parse(reply, nullptr, false);
    }

    // A request the relay applies; its reply's text of the settings in force.
    std::string applied(const nlohmann::json& what) {
        const nlohmann::json reply = request(what);
        EXPECT_EQ(reply.value("ok", false), true) << reply.dump();
        return reply.value("text", "");
    }

    std::string stats_path() const { return dir_ + "/stats.json"; }
    std::string control_path() const { return dir_ + "/control.sock"; }

    std::string dir_;
    int module_fd_ = -1;
    uint16_t module_port_ = 0;
    sockaddr_in back_ = {};
    UdpPeer host_;
    uint16_t front_port_ = 0;
    std::unique_ptr<EmulatorProcess> relay_;
};

TEST_F(Relay, what_arrives_is_what_the_seed_says_and_the_statistics_count_it) {
    const FaultSettings to_module = {.drop = {3, 5}, .corrupt = 20};
    const FaultSettings from_module = {.loss = 10, .duplicate = 20, .reorder = 20};
    start({"--drop", "to-module:3,5", "--corrupt", "to-module:20", "--loss", "from-module:10",
           "--duplicate", "from-module:20", "--reorder", "from-module:20"});

    std::vector<Bytes> to_sent, from_sent;
    for (uint64_t i = 1; i <= kDatagrams; ++i) {
        to_sent.push_back(datagram(i, 0x11));
        from_sent.push_back(datagram(i, 0x22));
    }
    const Expected to = expected(to_module, Direction::kToModule, to_sent);
    const Expected from = expected(from_module, Direction::kFromModule, from_sent);

    for (const Bytes& bytes : to_sent) ASSERT_TRUE(host_.send(bytes, "127.0.0.1", front_port_));
    EXPECT_EQ(module_receive(to.arrivals.size(), 10), to.arrivals);
    for (const Bytes& bytes : from_sent) module_send(bytes);
    EXPECT_EQ(host_receive(from.arrivals.size(), 10), from.arrivals);

    relay_->send_signal(SIGUSR1);
    EXPECT_TRUE(relay_->wait_for_stderr("to-module: " + to.counters.text(), 10))
        << relay_->stderr_text();
    const nlohmann::json stats = stop_and_read_stats();
    EXPECT_EQ(stats["to-module"], to.counters.json());
    EXPECT_EQ(stats["from-module"], from.counters.json());
    EXPECT_EQ(stats["faults"]["to-module"], to_module.json());
    EXPECT_EQ(stats["faults"]["from-module"], from_module.json());
    EXPECT_EQ(stats["seed"], kSeed);
}

TEST_F(Relay, held_datagrams_leave_after_their_delay_or_the_reordering_bound) {
    start({"--delay", "to-module:100", "--reorder", "from-module:100"});
    const auto sent = Clock::now();
    ASSERT_TRUE(host_.send(datagram(1, 0x11), "127.0.0.1", front_port_));
    ASSERT_EQ(module_receive(1, 10).size(), 1u);
    EXPECT_GE(Clock::now() - sent, std::chrono::milliseconds(100));

    // Nothing comes after it: it leaves when the bound of 50 ms is over.
    const auto answered = Clock::now();
    module_send(datagram(1, 0x22));
    EXPECT_EQ(host_receive(1, 10), std::vector<Bytes>{datagram(1, 0x22)});
    EXPECT_GE(Clock::now() - answered, std::chrono::milliseconds(50));

    const nlohmann::json stats = stop_and_read_stats();
    EXPECT_EQ(stats["to-module"]["delayed"], 1);
    EXPECT_EQ(stats["from-module"]["reordered"], 1);
    EXPECT_EQ(stats["from-module"]["sent"], 1);
}

TEST_F(Relay, the_control_socket_holds_acknowledges_at_run_time_and_never_data) {
    start({"--control-socket", control_path()});
    applied({{"request", "hold-acknowledges"}, {"ms", 300}, {"count", 1}});
    // The module's datagrams go to the host that last sent to the front.
    ASSERT_TRUE(host_.send(datagram(1, 0x11), "127.0.0.1", front_port_));
    ASSERT_EQ(module_receive(1, 10).size(), 1u);

    // Only the first acknowledge is held: the data and the second one overtake it.
    const Bytes held = acknowledge(11), data = datagram(2, 0x22), next = acknowledge(6);
    const auto sent = Clock::now();
    for (const Bytes& bytes : {held, data, next}) module_send(bytes);
    EXPECT_EQ(host_receive(3, 10), (std::vector<Bytes>{data, next, held}));
    EXPECT_GE(Clock::now() - sent, std::chrono::milliseconds(300));

    // Every acknowledge from now on.
    EXPECT_EQ(applied({{"request", "hold-acknowledges"}, {"ms", 100}}),
              "to-module: none, from-module: none, acknowledges held 100 ms longer");
    for (const Bytes& bytes : {held, data, next}) module_send(bytes);
    EXPECT_EQ(host_receive(3, 10), (std::vector<Bytes>{data, held, next}));

    // A delay past what the clock can add is held the longest the relay holds anything.
    EXPECT_THAT(applied({{"request", "hold-acknowledges"}, {"ms", 1e300}, {"count", 1}}),
                HasSubstr("acknowledges held 1e+300 ms"));
    for (const Bytes& bytes : {held, data}) module_send(bytes);
    EXPECT_EQ(host_receive(2, 1), std::vector<Bytes>{data});

    const nlohmann::json stats = stop_and_read_stats();
    EXPECT_EQ(stats["from-module"]["ack-delayed"], 4);
    EXPECT_EQ(stats["from-module"]["delayed"], 0);
    EXPECT_EQ(stats["control"]["ack-delay"], 1e300);
}

TEST_F(Relay, the_control_socket_sets_and_clears_faults_and_a_refused_request_changes_nothing) {
    start({"--control-socket", control_path()});
    // The largest that fits a path MTU of 128: 100 bytes and the 28 of the IP and UDP headers.
    const Bytes fits(100, 0x11), too_big(101, 0x11);
    const auto both = [&] {
        for (const Bytes& bytes : {too_big, fits}) {
            ASSERT_TRUE(host_.send(bytes, "127.0.0.1", front_port_));
        }
    };
    EXPECT_EQ(applied({{"request", "set"}, {"direction", "to-module"}, {"faults", {{"mtu", 128}}}}),
              "to-module: mtu 128 bytes, from-module: none, acknowledges not held longer");
    both();
    EXPECT_EQ(module_receive(2, 1), std::vector<Bytes>{fits});

    const nlohmann::json refused =
        request({{"request", "set"}, {"faults", {{"mtu", 0}, {"loss", 150}}}});
    EXPECT_EQ(refused["ok"], false);
    EXPECT_THAT(refused.value("error", ""), HasSubstr("loss: \"150\" is not a percentage"));
    both();
    EXPECT_EQ(module_receive(2, 1), std::vector<Bytes>{fits});

    const nlohmann::json list = request({{"request", "list"}});
    EXPECT_EQ(list["in-force"]["to-module"]["mtu"], 128) << list.dump();
    EXPECT_EQ(list["in-force"]["from-module"]["mtu"], 0) << list.dump();
    EXPECT_EQ(request({{"request", "counters"}})["counters"]["to-module"]["too-big"], 2);
    EXPECT_THAT(applied({{"request", "clear"}}), HasSubstr("to-module: none"));
    both();
    EXPECT_EQ(module_receive(2, 10), (std::vector<Bytes>{too_big, fits}));
    EXPECT_EQ(stop_and_read_stats()["to-module"]["too-big"], 2);
}

TEST_F(Relay, a_bandwidth_limit_sends_at_its_rate_and_drops_what_its_queue_cannot_hold) {
    // 1 Mb/s: a frame of 972 + 28 + 38 bytes takes 8.3 ms on the link.
    start({"--bandwidth", "to-module:1", "--queue", "to-module:4200", "--control-socket",
           control_path()});
    const Bytes payload(972, 0x11);
    constexpr double kFrameMs = (972 + 28 + 38) * 8 / 1e3;
    // A burst: the queue takes four frames (the one on the link among them), drops the rest.
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(host_.send(payload, "127.0.0.1", front_port_));
    const size_t passed = module_receive(20, 2).size();
    EXPECT_GE(passed, 4u);
    EXPECT_LE(passed, 10u);
    EXPECT_EQ(request({{"request", "counters"}})["counters"]["to-module"]["tail-dropped"],
              20 - passed);

    // With room for all, 40 frames leave one after the other at the rate.
    applied({{"request", "set"}, {"direction", "to-module"}, {"faults", {{"queue", 100000}}}});
    for (int i = 0; i < 40; ++i) ASSERT_TRUE(host_.send(payload, "127.0.0.1", front_port_));
    ASSERT_EQ(module_receive(1, 10).size(), 1u);
    const auto first = Clock::now();
    EXPECT_EQ(module_receive(39, 10).size(), 39u);
    const std::chrono::duration<double, std::milli> took = Clock::now() - first;
    EXPECT_GE(took.count(), 38 * kFrameMs);
    EXPECT_EQ(stop_and_read_stats()["to-module"]["tail-dropped"], 20 - passed);
}

// The decision record's lines by datagram number.
std::map<uint64_t, std::string> lines_by_number(const std::string& path) {
    std::map<uint64_t, std::string> lines;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string direction;
        uint64_t number = 0;
        words >> direction >> number;
        EXPECT_EQ(direction, "to-module") << line;
        EXPECT_TRUE(lines.emplace(number, line).second) << "twice: " << line;
    }
    return lines;
}

TEST_F(Relay, the_same_seed_records_the_same_decisions_whatever_was_switched_in_between) {
    const std::vector<std::string> faults = {
        "--drop",       "to-module:7",   "--loss",           "to-module:10", "--corrupt",
        "to-module:10", "--duplicate",   "to-module:10",     "--delay",      "to-module:1",
        "--jitter",     "to-module:0.5", "--control-socket", control_path()};
    const auto record_run = [&](const std::string& name, const auto& traffic) {
        const std::string path = dir_ + "/" + name;
        std::vector<std::string> args = faults;
        args.insert(args.end(), {"--decisions", path});
        start(args);
        traffic();
        stop_and_read_stats();
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    const std::string steady = record_run("steady", [&] { send_from_host(1, 300); });
    EXPECT_EQ(record_run("again", [&] { send_from_host(1, 300); }), steady);

    // Loss and corruption off and a narrower jitter for datagrams 101 to 200; a request that
    // is refused in the middle changes nothing.
    record_run("switched", [&] {
        send_from_host(1, 100);
        EXPECT_EQ(applied({{"request", "set"},
                           {"direction", "to-module"},
                           {"faults", {{"loss", 0}, {"corrupt", 0}, {"jitter", 0.25}}}}),
                  "to-module: drop 7; duplicate 10%; delay 1 ms ± 0.25 ms, from-module: none, "
                  "acknowledges not held longer");
        send_from_host(101, 150);
        EXPECT_EQ(request({{"request", "set"}, {"faults", {{"loss", 0}, {"corrupt", 150}}}})["ok"],
                  false);
        send_from_host(151, 200);
        applied({{"request", "set"},
                 {"direction", "to-module"},
                 {"faults", {{"loss", 10}, {"corrupt", 10}, {"jitter", 0.5}}}});
        send_from_host(201, 300);
    });
    const std::map<uint64_t, std::string> before = lines_by_number(dir_ + "/steady");
    const std::map<uint64_t, std::string> after = lines_by_number(dir_ + "/switched");
    EXPECT_EQ(before.at(7), "to-module 7 dropped");
    size_t compared = 0, switched = 0;
    for (uint64_t number = 1; number <= 300; ++number) {
        const bool in_steady = before.contains(number), in_switched = after.contains(number);
        if (number <= 100 || number > 200) {
            ASSERT_EQ(in_switched, in_steady) << number;
            if (in_steady) {
                EXPECT_EQ(after.at(number), before.at(number));
                ++compared;
            }
            continue;
        }
        ASSERT_TRUE(in_switched) << "every datagram is held: " << number;
        const std::string& line = after.at(number);
        EXPECT_THAT(line, ::testing::Not(HasSubstr("lost"))) << line;
        EXPECT_THAT(line, ::testing::Not(HasSubstr("corrupted"))) << line;
        switched += line != before.at(number);
    }
    EXPECT_GT(compared, 190u);
    EXPECT_GT(switched, 50u) << "the switch changed what happened in between";
}

TEST(RelayCommandLine, a_value_out_of_range_ends_with_status_2_and_says_why) {
    EmulatorProcess relay({"--listen", "127.0.0.1:0", "--module", "127.0.0.1:9", "--loss", "150"},
                          FAULTRELAY_PATH);
    ASSERT_TRUE(relay.start());
    EXPECT_EQ(relay.wait_exit(10), 2);
    EXPECT_THAT(relay.stderr_text(), HasSubstr("--loss: \"150\" is not a percentage"));
}

}  // namespace
