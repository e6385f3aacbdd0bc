// The client's request step against a scripted module on loopback: retries after a lost
// acknowledge, which acknowledge ends the wait, and that everything else that arrives
// meanwhile reaches the receiver. And the list of modules a host drives.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>
#include <vector>

#include "daqhost/ModuleClient.h"
#include "daqhost/ModuleList.h"
#include "testing/UdpPeer.h"

using namespace daq;

namespace {

using Datagrams = std::vector<std::vector<uint8_t>>;

std::vector<uint8_t> ack(uint8_t code_byte, uint16_t error = 0) {
    return wire_words({0xCAFE, code_byte, 0xFF00, error, 0x0002, 0x0204, 0, 0xACAB});
}

class ModuleClientRequest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(module.ok());
        ModuleClient::Settings settings;
        settings.module = *Endpoint::parse("127.0.0.1", module.port());
        settings.timeout_s = 0.3;
        settings.retries = 2;
        client = std::make_unique<ModuleClient>(settings);
        ASSERT_TRUE(client->open()) << client->error();
        client->on_receive(
            [this](const Datagram& d) { received.emplace_back(d.data, d.data + d.length); });
    }

    // Plays the module on its own thread: for each request that arrives, `answer` returns the
    // datagrams to send back to the client (none: the request is "lost").
    void play(int requests, std::function<Datagrams(int, const std::vector<uint8_t>&)> answer) {
        const uint16_t client_port = client->local().port;
        player = std::thread([this, requests, answer, client_port] {
            for (int i = 0; i < requests; ++i) {
                const auto request = module.receive(5.0);
                if (!request) return;
                for (const auto& reply : answer(i, *request))
                    module.send(reply, "127.0.0.1", client_port);
            }
        });
    }
    void TearDown() override {
        if (player.joinable()) player.join();
    }

    UdpPeer module;
    UdpPeer stranger;
    std::unique_ptr<ModuleClient> client;
    Datagrams received;
    std::thread player;
};

TEST_F(ModuleClientRequest, a_lost_acknowledge_brings_the_same_request_again) {
    Datagrams requests;
    play(2, [&](int i, const std::vector<uint8_t>& request) {
        requests.push_back(request);
        return i == 0 ? Datagrams{} : Datagrams{ack(0x88)};
    });
    const RequestOutcome outcome = client->set_readout_mode(2, 4, 3);
    ASSERT_TRUE(outcome.acknowledged());
    EXPECT_EQ(outcome.attempts, 2);
    player.join();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0], requests[1]);
    EXPECT_EQ(requests[0], wire_words({0xCAFE, 0x0008, 0x0204, 0x0003, 0xACAB}));
}

TEST_F(ModuleClientRequest, only_the_awaited_code_ends_the_wait_and_the_rest_reaches_the_receiver) {
    const auto data = wire_words({0xCAFE, 0x010E, 1, 1, 0, 1, 2, 0, 0x0102, 3, 4, 4, 0xACAB});
    play(1, [&](int, const std::vector<uint8_t>&) {
        return Datagrams{ack(0x86), data, ack(0x8A, 1)};
    });
    const RequestOutcome outcome = client->daq_command(3, true);
    ASSERT_TRUE(outcome.acknowledged());
    EXPECT_EQ(outcome.attempts, 1);
    EXPECT_EQ(outcome.ack.error, 1);
    EXPECT_EQ(received, (Datagrams{ack(0x86), data, ack(0x8A, 1)}));
}

TEST_F(ModuleClientRequest, start_and_stop_name_every_hybrid) {
    Datagrams requests;
    play(2, [&](int, const std::vector<uint8_t>& request) {
        requests.push_back(request);
        return Datagrams{ack(0x8A)};
    });
    ASSERT_TRUE(client->start().acknowledged());
    ASSERT_TRUE(client->stop().acknowledged());
    player.join();
    EXPECT_EQ(requests, (Datagrams{wire_words({0xCAFE, 0x000A, 0xFF00, 0x0001, 0xACAB}),
                                   wire_words({0xCAFE, 0x000A, 0xFF00, 0x0000, 0xACAB})}));
}

TEST_F(ModuleClientRequest, a_code_with_the_reply_flag_is_answered_by_the_same_byte) {
    play(1, [&](int, const std::vector<uint8_t>&) { return Datagrams{ack(0x8B, 255)}; });
    const RequestOutcome outcome = client->request(0x8B, 0, 0);
    ASSERT_TRUE(outcome.acknowledged());
    EXPECT_EQ(outcome.ack.error, 255);
}

TEST_F(ModuleClientRequest, answers_from_another_port_are_not_taken_and_attempts_are_bounded) {
    ASSERT_TRUE(stranger.ok());
    const uint16_t client_port = client->local().port;
    play(3, [&](int, const std::vector<uint8_t>&) {
        stranger.send(ack(0x8B), "127.0.0.1", client_port);
        return Datagrams{};
    });
    const auto start = std::chrono::steady_clock::now();
    const RequestOutcome outcome = client->discover();
    const double waited =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(outcome.status, RequestOutcome::kNoAcknowledge);
    EXPECT_EQ(outcome.attempts, 3);
    EXPECT_GE(waited, 3 * 0.3 * 0.9);
    EXPECT_TRUE(received.empty()) << "the socket takes datagrams from the module only";
}

// A host that fell behind: what waits is taken whole, however many batches it makes, and the
// time up to which nothing is left is known; datagrams its full socket dropped are told of at
// once, not only by the next datagram taken.
TEST_F(ModuleClientRequest, drain_takes_every_batch_waiting_and_drops_are_told_at_once) {
    const uint16_t client_port = client->local().port;
    for (int i = 0; i < 300; ++i) ASSERT_TRUE(module.send(ack(0x8B), "127.0.0.1", client_port));
    const auto sent = std::chrono::system_clock::now().time_since_epoch();
    EXPECT_EQ(client->drain(1.0, 5.0), 300) << "loopback delivers before the send returns";
    EXPECT_GE(client->taken_through_ns(),
              std::chrono::duration_cast<std::chrono::nanoseconds>(sent).count());
    EXPECT_LT(client->backlog_max_s(), 1.0);

    ModuleClient::Settings settings = client->settings();
    settings.receive_buffer = 2048;
    ModuleClient small(settings);
    ASSERT_TRUE(small.open()) << small.error();
    for (int i = 0; i < 200; ++i) module.send(ack(0x8B), "127.0.0.1", small.local().port);
    const uint64_t dropped = small.new_drops();
    EXPECT_GT(dropped, 0u);
    EXPECT_EQ(small.kernel_drops(), dropped);
    EXPECT_EQ(small.new_drops(), 0u) << "each drop told once";
    EXPECT_EQ(small.drain(0, 1.0), static_cast<int>(200 - dropped));
    EXPECT_EQ(small.kernel_drops(), dropped);
}

// A module list as a rack's operator writes it: addresses one by one, a file with comments and
// ports, a name; each module once, in the order first named, and a bad entry named by its line.
class ModuleListFile : public testing::Test {
  protected:
    void SetUp() override {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "module_list_test.XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string file(const std::string& text) {
        const std::string path = dir_ + "/modules.txt";
        std::ofstream(path) << text;
        return path;
    }

    std::string dir_;
};

TEST_F(ModuleListFile, entries_merge_in_order_each_module_once_with_the_list_port) {
    ModuleList list(10001);
    list.add("127.0.0.1");
    list.add("127.0.0.2:10000");
    ASSERT_TRUE(list.add_file(file("# the rack\n\n  127.0.0.3:10005  # whole\n\t127.0.0.1\r\n")));
    ASSERT_TRUE(list.add_dns("localhost")) << list.error();
    ModuleClient::Settings common;
    common.timeout_s = 0.25;
    const auto settings = list.settings(common);
    ASSERT_TRUE(settings) << list.error();
    std::vector<Endpoint> modules;
    for (const ModuleClient::Settings& s : *settings) {
        modules.push_back(s.module);
        EXPECT_EQ(s.timeout_s, 0.25);
    }
    EXPECT_EQ(modules, (std::vector<Endpoint>{
                           {0x7F000001, 10001}, {0x7F000002, 10000}, {0x7F000003, 10005}}));
}

TEST_F(ModuleListFile, bad_entries_missing_and_empty_files_are_named) {
    ModuleList bad_line;
    ASSERT_TRUE(bad_line.add_file(file("127.0.0.2\nrack-7\n")));
    EXPECT_FALSE(bad_line.modules());
    EXPECT_EQ(bad_line.error(), dir_ + "/modules.txt:2: \"rack-7\" is not an IPv4 address");

    ModuleList bad_port;
    bad_port.add("127.0.0.2:70000");
    EXPECT_FALSE(bad_port.modules());
    EXPECT_EQ(bad_port.error(), "\"127.0.0.2:70000\" is not an IPv4 address");

    ModuleList missing;
    EXPECT_FALSE(missing.add_file(dir_ + "/missing.txt"));
    EXPECT_EQ(missing.error(), "cannot read the module list " + dir_ + "/missing.txt");

    ModuleList empty;
    ASSERT_TRUE(empty.add_file(file("# nothing yet\n")));
    EXPECT_FALSE(empty.modules());
    EXPECT_EQ(empty.error(), "no module address in " + dir_ + "/modules.txt");

    ModuleList bad_options_line;
    ASSERT_TRUE(bad_options_line.add_file(file("127.0.0.2 --hybrids 1\nrack-7 --hybrids 1,2\n")));
    EXPECT_FALSE(bad_options_line.named());
    EXPECT_EQ(bad_options_line.error(), dir_ + "/modules.txt:2: \"rack-7\" is not an IPv4 address");
}

// Options follow an address on its line or in --module; a repeat without options takes the
// ones given, and one with other options is an error.
TEST_F(ModuleListFile, each_module_keeps_its_own_options_and_where_they_were_given) {
    ModuleList list;
    list.add("127.0.0.1");
    list.add("127.0.0.3 --mode 4");
    const std::string path = file(
        "127.0.0.2:10005\t--hybrids 1,2  --hybrid 2:mode=4  # two\n"
        "127.0.0.1 --hybrids 1\n127.0.0.2:10005\n");
    ASSERT_TRUE(list.add_file(path));
    const auto named = list.named();
    ASSERT_TRUE(named) << list.error();
    ASSERT_EQ(named->size(), 3u);
    EXPECT_EQ((*named)[0].module, (Endpoint{0x7F000001, 10000}));
    EXPECT_EQ((*named)[0].options, (std::vector<std::string>{"--hybrids", "1"}));
    EXPECT_EQ((*named)[0].where, path + ":2");
    EXPECT_EQ((*named)[1].options, (std::vector<std::string>{"--mode", "4"}));
    EXPECT_EQ((*named)[1].where, "");
    EXPECT_EQ((*named)[2].module, (Endpoint{0x7F000002, 10005}));
    EXPECT_EQ((*named)[2].options,
              (std::vector<std::string>{"--hybrids", "1,2", "--hybrid", "2:mode=4"}));
    EXPECT_EQ((*named)[2].where, path + ":1");

    list.add("127.0.0.2:10005 --hybrids 1");
    EXPECT_FALSE(list.named());
    EXPECT_EQ(list.error(), "127.0.0.2:10005 is named again with other options");
}

}  // namespace
