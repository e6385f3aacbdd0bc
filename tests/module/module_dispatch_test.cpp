// The module object: hybrid mask, byte order of received datagrams, and the dispatch of every
// request code with its acknowledge and log lines.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "protocol/BasePacket.h"
#include "testing/ModuleTestSupport.h"

using namespace daq;

using testing::ElementsAre;
using testing::HasSubstr;
using testing::Not;

namespace {

using packet::kMagic;

std::vector<int> stream_ids(const DAQmodule& module) {
    std::vector<int> ids;
    for (const DataStream* stream : module.stream_list()) ids.push_back(stream->id());
    return ids;
}

TEST(ModuleConfigure, mask_zero_logs_four_mask_lines_and_makes_no_hybrid) {
    CapturingModule module{kChipType, kRecordAll};
    const std::string out = printed_by([&] { module.configure(0x00); });
    EXPECT_EQ(out, "mask 0\nmask 1\nmask 2\nmask 3\nNumber of Hybrids: 0\n");
    EXPECT_EQ(module.hybrid_count(), 0);
    EXPECT_TRUE(module.stream_list().empty());
}

TEST(ModuleConfigure, mask_05_makes_hybrids_1_and_3_in_order) {
    CapturingModule module{kChipType, kRecordAll};
    const std::string out = printed_by([&] { module.configure(0x05); });
    EXPECT_EQ(out,
              "mask 0\n...hybrid\nmask 1\nmask 2\n...hybrid\nmask 3\nNumber of Hybrids: 2\n"
              "... hybrid id=1\n... hybrid id=3\n");
    EXPECT_EQ(module.hybrid_count(), 2);
    EXPECT_THAT(stream_ids(module), ElementsAre(1, 3));
}

TEST(ModuleConfigure, mask_ff_makes_exactly_four_hybrids) {
    CapturingModule module{kChipType, kRecordAll};
    printed_by([&] { module.configure(0xFF); });
    EXPECT_EQ(module.hybrid_count(), 4);
    EXPECT_THAT(stream_ids(module), ElementsAre(1, 2, 3, 4));
}

TEST(ModuleConfigure, bits_four_to_seven_are_ignored) {
    CapturingModule module{kChipType, kRecordAll};
    printed_by([&] { module.configure(0xF0); });
    EXPECT_EQ(module.hybrid_count(), 0);
}

TEST(ModuleConfigure, fresh_streams_have_two_chips_type_5_mode_1_no_neighbours) {
    CapturingModule module{kChipType, kRecordAll};
    printed_by([&] { module.configure(0x0F); });
    for (const DataStream* stream : module.stream_list()) {
        EXPECT_EQ(stream->nchip(), 2);
        EXPECT_EQ(stream->chip_type(), 5);
        EXPECT_EQ(stream->readout_mode(), 1);
        EXPECT_EQ(stream->nadj(), 0);
    }
}

TEST(ModuleConfigure, configuring_again_replaces_the_stream_list) {
    CapturingModule module{kChipType, kRecordAll};
    printed_by([&] { module.configure(0x03); });
    printed_by([&] { module.configure(0x08); });
    EXPECT_EQ(module.hybrid_count(), 1);
    EXPECT_THAT(stream_ids(module), ElementsAre(4));
}

TEST(ModuleFilter, nine_byte_datagram_converts_four_words_and_leaves_the_ninth_byte) {
    CapturingModule module{kChipType, kRecordAll};
    char data[9] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09};
    module.filter(data, 9);
    const uint16_t expected[4] = {0x0102, 0x0304, 0x0506, 0x0708};
    for (int i = 0; i < 4; ++i) {
        uint16_t word;
        std::memcpy(&word, data + 2 * i, 2);
        EXPECT_EQ(word, expected[i]) << "word " << i;
    }
    EXPECT_EQ(data[8], 0x09);
}

// The fuzzers stop on a send that is not a whole packet; the module's own sends are whole.
TEST(CapturingModule, check_counts_sends_cut_short_or_without_magic) {
    CapturingModule module{kChipType, Capture{.record = true, .check = true}};
    printed_by([&] { module.deliver({kMagic, packet::kDiscovery, 0, 0}); });
    ASSERT_EQ(module.sent.size(), 1u);
    EXPECT_EQ(module.malformed(), 0u);
    std::vector<uint8_t> ack = module.sent[0].bytes;
    for (const int length : {14, 15}) {
        module.send_packet("127.0.0.1", 4660, reinterpret_cast<const char*>(ack.data()), length);
    }
    ack[0] = 0;
    module.send_packet("127.0.0.1", 4660, reinterpret_cast<const char*>(ack.data()), 16);
    EXPECT_EQ(module.malformed(), 3u);
    EXPECT_EQ(module.packets_sent(), 4u);
}

// A module with hybrids 1 and 2 whose host peer is 127.0.0.1:4660.
class ModuleDispatch : public testing::Test {
  protected:
    void SetUp() override {
        printed_by([&] {
            module.configure(0x03);
            module.deliver({kMagic, 0x000B, 0, 0});
        });
        module.sent.clear();
    }

    // Delivers the request and returns its acknowledge's words; fails when there is no single
    // acknowledge.
    std::vector<uint16_t> request(const std::vector<uint16_t>& words, std::string* out = nullptr,
                                  const std::string& sender = "127.0.0.1") {
        module.sent.clear();
        const std::string printed = printed_by([&] { module.deliver(words, sender, 5555); });
        if (out != nullptr) *out = printed;
        EXPECT_EQ(module.sent.size(), 1u);
        if (module.sent.empty()) return {};
        EXPECT_TRUE(module.sent.back().is_ack());
        return module.sent.back().words();
    }

    CapturingModule module{kChipType, kRecordAll};
};

TEST_F(ModuleDispatch, every_routed_code_gets_version_224_and_its_error) {
    for (int code = 0; code <= 255; ++code) {
        if (code == 11) continue;
        const std::vector<uint16_t> ack = request({kMagic, static_cast<uint16_t>(code), 0, 0});
        ASSERT_EQ(ack.size(), 8u) << "code " << code;
        uint16_t expected_error = 0xFF;
        if (code >= 2 && code <= 9) expected_error = 0;
        if (code == 1 || code == 10) expected_error = 1;  // hybrid 0 is not present
        EXPECT_EQ(ack[0], 0xCAFE) << "code " << code;
        EXPECT_EQ(ack[1], code | 0x80) << "code " << code;
        EXPECT_EQ(ack[2], 0xFF00) << "code " << code;
        EXPECT_EQ(ack[3], expected_error) << "code " << code;
        EXPECT_EQ(ack[4], 0x0002) << "code " << code;
        EXPECT_EQ(ack[5], 0x0204) << "code " << code;
        EXPECT_EQ(ack[6], 0) << "code " << code;
        EXPECT_EQ(ack[7], 0xACAB) << "code " << code;
    }
    EXPECT_FALSE(module.run_active());
    EXPECT_FALSE(module.start_pending());
}

TEST_F(ModuleDispatch, acknowledge_goes_to_the_discovery_peer_not_to_the_sender) {
    request({kMagic, 0x0006, 0, 0}, nullptr, "10.1.2.3");
    ASSERT_EQ(module.sent.size(), 1u);
    EXPECT_EQ(module.sent[0].address, "127.0.0.1");
    EXPECT_EQ(module.sent[0].port, 4660);
}

TEST_F(ModuleDispatch, code_6_is_acknowledged_with_error_0_and_no_handler_line) {
    std::string out;
    const std::vector<uint16_t> ack = request({kMagic, 0x0006, 0x1234, 0x5678}, &out);
    EXPECT_EQ(ack[3], 0);
    EXPECT_EQ(out, "Got a message from 127.0.0.1:5555 with code 6\n");
}

TEST_F(ModuleDispatch, unknown_code_gets_255_and_two_lines) {
    for (uint16_t code : {0, 12, 14, 0x8B, 255}) {
        std::string out;
        const std::vector<uint16_t> ack = request({kMagic, code, 0, 0}, &out);
        EXPECT_EQ(ack[1], code | 0x80);
        EXPECT_EQ(ack[3], 0xFF);
        EXPECT_EQ(out, "Got a message from 127.0.0.1:5555 with code " + std::to_string(code) +
                           "\nUnknown command:\n\tMessage from 127.0.0.1(8 bytes) code: " +
                           std::to_string(code) + "\n");
    }
}

TEST_F(ModuleDispatch, unknown_code_line_reports_the_request_size) {
    std::string out;
    request({kMagic, 0x000C, 0, 0, 0, 0}, &out);
    EXPECT_THAT(out, HasSubstr("\tMessage from 127.0.0.1(12 bytes) code: 12\n"));
}

TEST_F(ModuleDispatch, front_end_settings_are_logged_with_their_dump_and_acknowledged) {
    const std::vector<std::pair<uint16_t, std::string>> handlers = {
        {2, "hold_delay: "}, {3, "set_bias: "},   {4, "set_mbias: "},
        {5, "ctw: "},        {7, "set_config: "}, {9, "trg_type: "},
    };
    for (const auto& [code, prefix] : handlers) {
        std::string out;
        const std::vector<uint16_t> ack = request({kMagic, code, 0x0100, 0x0005}, &out);
        EXPECT_EQ(ack[3], 0) << prefix;
        char dump[64];
        std::snprintf(dump, sizeof(dump), "[ cafe %4x  100    5 ]", code);
        EXPECT_EQ(out, "Got a message from 127.0.0.1:5555 with code " + std::to_string(code) +
                           "\n" + prefix + dump + "\n");
    }
}

TEST_F(ModuleDispatch, stream_configuration_sets_chips_and_chip_type_of_the_hybrid) {
    std::string out;
    const std::vector<uint16_t> ack = request({kMagic, 0x0001, 0x0210, 0x0400}, &out);
    EXPECT_EQ(ack[3], 0);
    EXPECT_THAT(out, HasSubstr("config_init: [ cafe    1  210  400 ]\nChip type is 1\n"
                               "Number of chips is 4\nFound hybrid !!!\n"));
    const DataStream* two = module.find_stream(2);
    ASSERT_NE(two, nullptr);
    EXPECT_EQ(two->nchip(), 4);
    EXPECT_EQ(two->chip_type(), 1);
    EXPECT_EQ(module.module_chip_type(), 1);
    EXPECT_EQ(module.channels_per_chip(), 128);
    EXPECT_EQ(module.find_stream(1)->nchip(), 2) << "other streams keep their settings";
}

TEST_F(ModuleDispatch, stream_configuration_for_absent_hybrid_returns_1_but_sets_chip_type) {
    std::string out;
    const std::vector<uint16_t> ack = request({kMagic, 0x0001, 0x0420, 0x0300}, &out);
    EXPECT_EQ(ack[3], 1);
    EXPECT_THAT(out, HasSubstr("Chip type is 2\nNumber of chips is 3\n"));
    EXPECT_THAT(out, Not(HasSubstr("Found hybrid")));
    EXPECT_EQ(module.module_chip_type(), 2);
    for (const DataStream* stream : module.stream_list()) {
        EXPECT_EQ(stream->nchip(), 2);
        EXPECT_EQ(stream->chip_type(), 5);
    }
}

TEST_F(ModuleDispatch, stream_configuration_with_zero_chips_stores_zero) {
    const std::vector<uint16_t> ack = request({kMagic, 0x0001, 0x0150, 0x00FF});
    EXPECT_EQ(ack[3], 0);
    EXPECT_EQ(module.find_stream(1)->nchip(), 0);
    EXPECT_EQ(module.find_stream(1)->chip_type(), 5);
}

TEST_F(ModuleDispatch, stream_configuration_for_hybrid_255_matches_no_stream) {
    EXPECT_EQ(request({kMagic, 0x0001, 0xFF10, 0x0400})[3], 1);
}

TEST_F(ModuleDispatch, readout_mode_sets_mode_and_neighbours_of_the_hybrid) {
    std::string out;
    const std::vector<uint16_t> ack = request({kMagic, 0x0008, 0x0104, 0x0003}, &out);
    EXPECT_EQ(ack[3], 0);
    EXPECT_THAT(out, HasSubstr("set_romode: [ cafe    8  104    3 ]\n"
                               "... Hybid: 1 ro_mode 4 nadj 3\n"
                               "Values set for hybid 1 ro_mode 4 nadj 3\n"));
    EXPECT_EQ(module.find_stream(1)->readout_mode(), 4);
    EXPECT_EQ(module.find_stream(1)->nadj(), 3);
    EXPECT_EQ(module.find_stream(2)->readout_mode(), 1);
}

TEST_F(ModuleDispatch, readout_mode_for_absent_hybrid_logs_two_lines_and_returns_0) {
    std::string out;
    const std::vector<uint16_t> ack = request({kMagic, 0x0008, 0x0302, 0x0007}, &out);
    EXPECT_EQ(ack[3], 0);
    EXPECT_EQ(out,
              "Got a message from 127.0.0.1:5555 with code 8\n"
              "set_romode: [ cafe    8  302    7 ]\n... Hybid: 3 ro_mode 2 nadj 7\n");
}

TEST_F(ModuleDispatch, readout_mode_stores_only_bits_3_to_0_and_the_whole_nadj) {
    request({kMagic, 0x0008, 0x02F4, 0xFFFF});
    EXPECT_EQ(module.find_stream(2)->readout_mode(), 4);
    EXPECT_EQ(module.find_stream(2)->nadj(), 65535);
}

TEST_F(ModuleDispatch, readout_mode_for_hybrid_255_changes_nothing) {
    request({kMagic, 0x0008, 0xFF02, 0x0001});
    for (const DataStream* stream : module.stream_list()) {
        EXPECT_EQ(stream->readout_mode(), 1);
        EXPECT_EQ(stream->nadj(), 0);
    }
}

TEST_F(ModuleDispatch, daq_start_for_present_hybrid_logs_and_schedules_a_run) {
    std::string out;
    const std::vector<uint16_t> ack = request({kMagic, 0x000A, 0x0100, 0x0001}, &out);
    EXPECT_EQ(ack[3], 0);
    EXPECT_THAT(out, HasSubstr("daq_command: [ cafe    a  100    1 ]\n"
                               "received DAQ command 1 for hybrid 1\nStarting run\n"));
    EXPECT_TRUE(module.start_pending());
    EXPECT_FALSE(module.run_active());
}

TEST_F(ModuleDispatch, daq_command_for_absent_hybrid_returns_1_and_changes_nothing) {
    std::string out;
    const std::vector<uint16_t> ack = request({kMagic, 0x000A, 0x0300, 0x0001}, &out);
    EXPECT_EQ(ack[3], 1);
    EXPECT_THAT(out, HasSubstr("Recived DAQ command for wrong Hybrid id\n"));
    EXPECT_THAT(out, Not(HasSubstr("received DAQ command")));
    EXPECT_THAT(out, Not(HasSubstr("Starting run")));
    EXPECT_FALSE(module.start_pending());
}

TEST_F(ModuleDispatch, daq_command_for_hybrid_255_addresses_the_whole_module) {
    std::string out;
    const std::vector<uint16_t> ack = request({kMagic, 0x000A, 0xFF00, 0x0002}, &out);
    EXPECT_EQ(ack[3], 0);
    EXPECT_THAT(out, HasSubstr("received DAQ command 2 for hybrid 255\nStarting run\n"));
    EXPECT_TRUE(module.start_pending());
}

TEST_F(ModuleDispatch, daq_stop_while_idle_still_stops) {
    std::string out;
    const std::vector<uint16_t> ack = request({kMagic, 0x000A, 0x0200, 0x0000}, &out);
    EXPECT_EQ(ack[3], 0);
    EXPECT_THAT(out, HasSubstr("received DAQ command 0 for hybrid 2\nStopping run\n"));
    EXPECT_FALSE(module.run_active());
}

TEST_F(ModuleDispatch, short_request_reads_missing_words_as_zero) {
    // Six bytes: the hybrid word is there, the chip count word is not.
    const std::vector<uint16_t> ack = request({kMagic, 0x0001, 0x0110});
    EXPECT_EQ(ack[3], 0);
    EXPECT_EQ(module.find_stream(1)->nchip(), 0);
    EXPECT_EQ(module.module_chip_type(), 1);
}

}  // namespace
