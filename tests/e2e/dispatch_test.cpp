// The dispatch of every command code: the acknowledge the host receives and the lines the
// module prints for each request.
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "EmulatorTest.h"

namespace {

struct CodeCase {
    uint8_t code;
    std::vector<uint16_t> words;
    uint16_t error;
    // Version bytes of the acknowledge.
    uint8_t first, second, third;
    // Everything the emulator prints for the request after its "Got a message" line.
    std::string output;
};

// Test names show the code, not the bytes of the record.
void PrintTo(const CodeCase& c, std::ostream* out) { *out << "code " << int(c.code); }

std::string unknown_lines(int bytes, int code) {
    return "Unknown command:\n\tMessage from 127.0.0.1(" + std::to_string(bytes) +
           " bytes) code: " + std::to_string(code) + "\n";
}

std::vector<CodeCase> every_code() {
    return {
        {0, {0xCAFE, 0x0000, 0x0100, 0x0001}, 255, 2, 2, 4, unknown_lines(8, 0)},
        {1,
         {0xCAFE, 0x0001, 0x0210, 0x0400},
         0,
         2,
         2,
         4,
         "config_init: [ cafe    1  210  400 ]\nChip type is 1\nNumber of chips is 4\n"
         "Found hybrid !!!\n"},
        {2, {0xCAFE, 0x0002, 0x0100, 0x0001}, 0, 2, 2, 4, "hold_delay: [ cafe    2  100    1 ]\n"},
        {3, {0xCAFE, 0x0003, 0x0100, 0x0002}, 0, 2, 2, 4, "set_bias: [ cafe    3  100    2 ]\n"},
        {4, {0xCAFE, 0x0004, 0x0200, 0x0003}, 0, 2, 2, 4, "set_mbias: [ cafe    4  200    3 ]\n"},
        {5, {0xCAFE, 0x0005, 0x0100, 0x0004}, 0, 2, 2, 4, "ctw: [ cafe    5  100    4 ]\n"},
        {6, {0xCAFE, 0x0006, 0x0100, 0x0005}, 0, 2, 2, 4, ""},
        {7,
         {0xCAFE, 0x0007, 0xFF00, 0x0000, 0x1234, 0xACAB},
         0,
         2,
         2,
         4,
         "set_config: [ cafe    7 ff00    0 1234 acab ]\n"},
        {8,
         {0xCAFE, 0x0008, 0x0104, 0x0003},
         0,
         2,
         2,
         4,
         "set_romode: [ cafe    8  104    3 ]\n... Hybid: 1 ro_mode 4 nadj 3\n"
         "Values set for hybid 1 ro_mode 4 nadj 3\n"},
        {9, {0xCAFE, 0x0009, 0x0100, 0x0006}, 0, 2, 2, 4, "trg_type: [ cafe    9  100    6 ]\n"},
        {10,
         {0xCAFE, 0x000A, 0x0100, 0x0001},
         0,
         2,
         2,
         4,
         "daq_command: [ cafe    a  100    1 ]\nreceived DAQ command 1 for hybrid 1\n"
         "Starting run\n"},
        {11, {0xCAFE, 0x000B, 0x0100, 0x0001}, 0, 0, 0, 0, ""},
        {12, {0xCAFE, 0x000C, 0x0100, 0x0001}, 255, 2, 2, 4, unknown_lines(8, 12)},
        {255, {0xCAFE, 0x00FF, 0x0100, 0x0001, 0xACAB}, 255, 2, 2, 4, unknown_lines(10, 255)},
    };
}

// A module with hybrids 1 and 2, whose host has discovered it.
class Dispatch : public EmulatorTest {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(start_emulator({"-m", "11"}));
        ASSERT_NO_FATAL_FAILURE(discover());
    }

    // Sends the datagram, checks that its acknowledge carries `code` and `error` with the
    // module's version, and returns what the emulator printed for it.
    std::string exchange(const std::vector<uint8_t>& datagram, uint8_t code, uint16_t error) {
        const size_t from = sync_output();
        send_raw(datagram);
        const auto ack = next_acknowledge(host, kTimeout);
        EXPECT_TRUE(ack.has_value()) << "no acknowledge for code " << int(code);
        if (ack) {
            EXPECT_EQ(*ack, acknowledge_bytes(code, error, 2, 2, 4));
        }
        sync_output();
        return output_of_request(code, from);
    }
    std::string exchange(const std::vector<uint16_t>& words, uint16_t error) {
        return exchange(wire_words(words), static_cast<uint8_t>(words.at(1) & 0xFF), error);
    }
};

class EveryCode : public Dispatch, public ::testing::WithParamInterface<CodeCase> {};

TEST_P(EveryCode, acknowledge_carries_code_error_and_version_and_module_prints_its_lines) {
    const CodeCase& c = GetParam();
    const size_t from = sync_output();
    const auto ack = request(c.words);
    ASSERT_TRUE(ack.has_value());
    EXPECT_EQ(*ack, acknowledge_bytes(c.code, c.error, c.first, c.second, c.third));
    sync_output();
    EXPECT_EQ(output_of_request(c.code, from), c.output);
}

INSTANTIATE_TEST_SUITE_P(Codes, EveryCode, ::testing::ValuesIn(every_code()),
                         [](const ::testing::TestParamInfo<CodeCase>& info) {
                             return "code_" + std::to_string(info.param.code);
                         });

TEST_F(Dispatch, daq_command_for_an_absent_hybrid_gets_error_1_and_starts_nothing) {
    EXPECT_EQ(exchange({0xCAFE, 0x000A, 0x0300, 0x0001}, 1),
              "daq_command: [ cafe    a  300    1 ]\nRecived DAQ command for wrong Hybrid id\n");
    EXPECT_EQ(emulator->count_in_stdout("Starting run"), 0u);
}

TEST_F(Dispatch, daq_command_for_hybrid_255_addresses_the_whole_module) {
    EXPECT_EQ(exchange({0xCAFE, 0x000A, 0xFF00, 0x0001}, 0),
              "daq_command: [ cafe    a ff00    1 ]\nreceived DAQ command 1 for hybrid 255\n"
              "Starting run\n");
}

TEST_F(Dispatch, any_nonzero_command_word_starts_and_zero_stops) {
    EXPECT_EQ(exchange({0xCAFE, 0x000A, 0x0200, 0x8000}, 0),
              "daq_command: [ cafe    a  200 8000 ]\nreceived DAQ command 32768 for hybrid 2\n"
              "Starting run\n");
    EXPECT_EQ(exchange({0xCAFE, 0x000A, 0x0200, 0x0000}, 0),
              "daq_command: [ cafe    a  200    0 ]\nreceived DAQ command 0 for hybrid 2\n"
              "Stopping run\n");
}

TEST_F(Dispatch, stream_configuration_for_an_absent_hybrid_gets_error_1) {
    EXPECT_EQ(exchange({0xCAFE, 0x0001, 0x0420, 0x0300}, 1),
              "config_init: [ cafe    1  420  300 ]\nChip type is 2\nNumber of chips is 3\n");
}

TEST_F(Dispatch, readout_mode_for_an_absent_hybrid_gets_error_0_and_changes_nothing) {
    EXPECT_EQ(exchange({0xCAFE, 0x0008, 0x0302, 0x0001}, 0),
              "set_romode: [ cafe    8  302    1 ]\n... Hybid: 3 ro_mode 2 nadj 1\n");
}

TEST_F(Dispatch, readout_mode_keeps_only_the_low_four_bits_of_word_2) {
    EXPECT_EQ(exchange({0xCAFE, 0x0008, 0x02F1, 0xFFFF}, 0),
              "set_romode: [ cafe    8  2f1 ffff ]\n... Hybid: 2 ro_mode 1 nadj 65535\n"
              "Values set for hybid 2 ro_mode 1 nadj 65535\n");
}

// The receive buffer is reused from one datagram to the next: a short request must not pick
// up the words of a longer one before it.
TEST_F(Dispatch, short_request_reads_missing_words_as_zero_not_stale_ones) {
    exchange({0xCAFE, 0x0008, 0x0104, 0x0003, 0x1111, 0x2222}, 0);
    EXPECT_EQ(exchange({0xCAFE, 0x0008}, 0),
              "set_romode: [ cafe    8 ]\n... Hybid: 0 ro_mode 0 nadj 0\n");

    exchange({0xCAFE, 0x0008, 0x0104, 0x0003}, 0);
    // An odd byte is not half of word 3.
    EXPECT_EQ(exchange(std::vector<uint8_t>{0xCA, 0xFE, 0x00, 0x08, 0x01, 0x02, 0x05}, 8, 0),
              "set_romode: [ cafe    8  102 ]\n... Hybid: 1 ro_mode 2 nadj 0\n"
              "Values set for hybid 1 ro_mode 2 nadj 0\n");
}

TEST_F(Dispatch, short_daq_command_after_a_start_reads_command_0_and_stops) {
    exchange({0xCAFE, 0x000A, 0x0100, 0x0001}, 0);
    EXPECT_EQ(exchange({0xCAFE, 0x000A, 0x0100}, 0),
              "daq_command: [ cafe    a  100 ]\nreceived DAQ command 0 for hybrid 1\n"
              "Stopping run\n");
}

// The hybrid mask of the command line decides which hybrids answer.
class MaskedModule : public EmulatorTest {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(start_emulator({"--mask", "0101"}));
        ASSERT_NO_FATAL_FAILURE(discover());
    }
};

TEST_F(MaskedModule, only_hybrids_of_the_mask_accept_daq_commands) {
    const uint16_t expected_error[] = {0, 1, 0, 1, 1};
    for (uint16_t hybrid = 1; hybrid <= 5; ++hybrid) {
        // Command 0 stops: no run is left behind to send data between the checks.
        const auto ack = request({0xCAFE, 0x000A, static_cast<uint16_t>(hybrid << 8), 0});
        ASSERT_TRUE(ack.has_value()) << "hybrid " << hybrid;
        EXPECT_EQ(*ack, acknowledge_bytes(10, expected_error[hybrid - 1], 2, 2, 4))
            << "hybrid " << hybrid;
    }
}

}  // namespace
