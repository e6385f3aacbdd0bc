// The client's request step against a scripted module on loopback: retries after a lost
// acknowledge, which acknowledge ends the wait, and that everything else that arrives
// meanwhile reaches the receiver.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "daqhost/ModuleClient.h"
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

}  // namespace
