// Discovery, the host peer and the screening of datagrams, seen from the host's side.
#include <string>
#include <vector>

#include "EmulatorTest.h"

namespace {

class Discovery : public EmulatorTest {
  protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(start_emulator()); }

    // The host's port as the emulator logs it.
    std::string got_line(const UdpPeer& from, int code) {
        return "Got a message from 127.0.0.1:" + std::to_string(from.port()) + " with code " +
               std::to_string(code) + "\n";
    }
};

TEST_F(Discovery, acknowledge_has_exact_bytes_and_sender_is_logged) {
    ASSERT_TRUE(host.send(wire_words({0xCAFE, 0x000B, 0, 0}), emulator_host()));
    const auto ack = host.receive(kTimeout);
    ASSERT_TRUE(ack.has_value());
    const std::vector<uint8_t> expected = {0xCA, 0xFE, 0x00, 0x8B, 0xFF, 0x00, 0x00, 0x00,
                                           0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xAC, 0xAB};
    EXPECT_EQ(*ack, expected);
    EXPECT_TRUE(emulator->wait_for_stdout(got_line(host, 11), kTimeout));
    // A discovery request is not routed to the module, which would log a line of its own.
    EXPECT_EQ(output_of_request(11), "");
}

TEST_F(Discovery, replies_go_to_the_remembered_peer_and_not_to_another_sender) {
    ASSERT_NO_FATAL_FAILURE(discover(host));
    UdpPeer stranger;
    ASSERT_TRUE(stranger.ok());

    const auto ack = request({0xCAFE, 0x0002, 0x0100, 0x0007}, stranger, host);
    ASSERT_TRUE(ack.has_value()) << "the host got no acknowledge of the stranger's request";
    EXPECT_EQ(*ack, acknowledge_bytes(2, 0, 2, 2, 4));
    // Loopback delivers during the send, so anything sent to the stranger is there by now.
    EXPECT_FALSE(stranger.receive(0.05).has_value());
    EXPECT_TRUE(emulator->wait_for_stdout(got_line(stranger, 2), kTimeout));
    EXPECT_TRUE(emulator->wait_for_stdout("hold_delay: [ cafe    2  100    7 ]\n", kTimeout));
}

TEST_F(Discovery, a_new_discovery_moves_replies_to_the_new_peer) {
    ASSERT_NO_FATAL_FAILURE(discover(host));
    UdpPeer newcomer;
    ASSERT_TRUE(newcomer.ok());
    ASSERT_NO_FATAL_FAILURE(discover(newcomer));

    const auto ack = request({0xCAFE, 0x0006, 0, 0}, host, newcomer);
    ASSERT_TRUE(ack.has_value());
    EXPECT_EQ(*ack, acknowledge_bytes(6, 0, 2, 2, 4));
    EXPECT_FALSE(host.receive(0.05).has_value());
}

TEST_F(Discovery, magic_is_a_mask_test_and_failing_datagrams_are_dropped_silently) {
    ASSERT_NO_FATAL_FAILURE(discover());
    // 0xFFFF holds every bit of 0xCAFE.
    const auto passed = request({0xFFFF, 0x0006, 0, 0});
    ASSERT_TRUE(passed.has_value());
    EXPECT_EQ(*passed, acknowledge_bytes(6, 0, 2, 2, 4));

    send_raw(wire_words({0xCAFC, 0x0002, 0x0100, 0x0001}));
    send_raw(wire_words({0x0000, 0x0002, 0x0100, 0x0001}));
    send_raw(wire_words({0xCAFF, 0x0003, 0x0100, 0x0001}));
    // Requests are handled in order: the first reply now must be the one for 0xCAFF.
    const auto ack = next_acknowledge(host, kTimeout);
    ASSERT_TRUE(ack.has_value());
    EXPECT_EQ(*ack, acknowledge_bytes(3, 0, 2, 2, 4));
    sync_output();
    EXPECT_EQ(emulator->count_in_stdout("Got a message from "), 4u) << emulator->stdout_text();
    EXPECT_EQ(emulator->count_in_stdout("hold_delay: [ cafc"), 0u);
    EXPECT_EQ(emulator->count_in_stdout("hold_delay: [    0"), 0u);
}

TEST_F(Discovery, datagrams_shorter_than_a_header_get_no_reply_and_serving_goes_on) {
    ASSERT_NO_FATAL_FAILURE(discover());
    send_raw({});
    send_raw({0xCA});
    send_raw({0xCA, 0xFE});
    send_raw({0xCA, 0xFE, 0x00});
    const auto ack = request({0xCAFE, 0x0006, 0, 0});
    ASSERT_TRUE(ack.has_value());
    EXPECT_EQ(*ack, acknowledge_bytes(6, 0, 2, 2, 4));
    EXPECT_FALSE(host.receive(0.05).has_value());
    EXPECT_EQ(emulator->count_in_stdout("Got a message from "), 2u) << emulator->stdout_text();
    EXPECT_TRUE(emulator->running());
}

TEST_F(Discovery, code_0x8b_is_not_discovery_and_leaves_the_peer) {
    ASSERT_NO_FATAL_FAILURE(discover(host));
    UdpPeer stranger;
    ASSERT_TRUE(stranger.ok());
    const auto ack = request({0xCAFE, 0x008B, 0, 0}, stranger, host);
    ASSERT_TRUE(ack.has_value()) << "the reply did not go to the remembered peer";
    EXPECT_EQ(*ack, acknowledge_bytes(0x8B, 0xFF, 2, 2, 4));
    EXPECT_FALSE(stranger.receive(0.05).has_value());
    EXPECT_TRUE(
        emulator->wait_for_stdout("\tMessage from 127.0.0.1(8 bytes) code: 139\n", kTimeout));
}

TEST_F(Discovery, request_before_any_discovery_is_carried_out_and_failed_send_is_logged) {
    send_raw(wire_words({0xCAFE, 0x0008, 0x0102, 0x0000}));
    EXPECT_TRUE(emulator->wait_for_stdout("Values set for hybid 1 ro_mode 2 nadj 0\n", kTimeout));
    // No host peer yet: the acknowledge has nowhere to go.
    EXPECT_TRUE(emulator->wait_for_stderr("DAQServer::send_packet to :0", kTimeout))
        << emulator->stderr_text();
    EXPECT_FALSE(host.receive(0.05).has_value());

    ASSERT_NO_FATAL_FAILURE(discover());
    const auto ack = request({0xCAFE, 0x0006, 0, 0});
    ASSERT_TRUE(ack.has_value());
    EXPECT_EQ(*ack, acknowledge_bytes(6, 0, 2, 2, 4));
}

}  // namespace
