// faultrelay's command line and its control file: each fault reaches the directions it names,
// and every value out of range is refused with the text that is wrong in the message.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <CLI/CLI.hpp>
#include <optional>
#include <string>

#include "faultrelay/CommandLine.h"
#include "faultrelay/ControlFile.h"

using namespace daq;

namespace {

using ::testing::HasSubstr;

struct Parsed {
    std::optional<RelaySettings> settings;
    std::string error;
};

Parsed parse(const std::string& line) {
    CLI::App app;
    RelayOptions options;
    add_relay_options(app, options);
    try {
        app.parse("--listen 127.0.0.1:0 --module 127.0.0.2:10000 " + line, false);
    } catch (const CLI::ParseError& e) {
        return {std::nullopt, e.what()};
    }
    Parsed parsed;
    parsed.settings = relay_settings(options, parsed.error);
    return parsed;
}

TEST(CommandLine, faults_go_to_both_directions_unless_one_is_named) {
    const Parsed parsed = parse(
        "--seed 9 --loss 5 --loss from-module:7% --drop to-module:3,1 --drop 2 "
        "--delay to-module:10 --jitter both:2.5 --burst to-module:4 --control /run/relay.control "
        "--decisions /run/relay.decisions");
    ASSERT_TRUE(parsed.settings) << parsed.error;
    const RelaySettings& s = *parsed.settings;
    EXPECT_EQ(s.seed, 9u);
    EXPECT_EQ(s.listen.text(), "127.0.0.1:0");
    EXPECT_EQ(s.module.text(), "127.0.0.2:10000");
    EXPECT_EQ(s.control_path, "/run/relay.control");
    EXPECT_EQ(s.decisions_path, "/run/relay.decisions");
    const FaultSettings& to = s.faults[0];
    const FaultSettings& from = s.faults[1];
    EXPECT_EQ(to.drop, (std::vector<uint64_t>{1, 2, 3}));
    EXPECT_EQ(from.drop, (std::vector<uint64_t>{2}));
    EXPECT_EQ(to.loss, 5);
    EXPECT_EQ(from.loss, 7);
    EXPECT_EQ(to.delay_ms, 10);
    EXPECT_EQ(from.delay_ms, 0);
    EXPECT_EQ(to.jitter_ms, 2.5);
    EXPECT_EQ(from.jitter_ms, 2.5);
    EXPECT_EQ(to.burst, 4);
    EXPECT_EQ(from.burst, 1);
    EXPECT_EQ(to.text(), "drop 1,2,3; loss 5% in bursts of 4; delay 10 ms ± 2.5 ms");
}

TEST(CommandLine, values_out_of_range_are_refused_with_the_wrong_text) {
    const std::pair<const char*, const char*> refused[] = {
        {"--loss 100.5", "\"100.5\" is not a percentage"},
        {"--corrupt to-module:-1", "\"-1\" is not a percentage"},
        {"--delay -3", "\"-3\" is not a time"},
        {"--jitter inf", "\"inf\" is not a time"},
        {"--duplicate sideways:5", "unknown direction \"sideways\""},
        {"--drop 1,,2", "\"1,,2\" is not a list of packet numbers"},
        {"--burst from-module:0.5", "\"0.5\" is not a mean burst length"},
        {"--drop 0", "\"0\" is not a list"},
        {"--seed -1", "\"-1\" is not a whole number"},
        {"--module 127.0.0.1:0", "\"127.0.0.1:0\" is not ADDR:PORT"},
        {"--listen 127.0.0.300:1", "\"127.0.0.300:1\" is not ADDR:PORT"},
    };
    for (const auto& [line, message] : refused) {
        const Parsed parsed = parse(line);
        EXPECT_FALSE(parsed.settings) << line;
        EXPECT_THAT(parsed.error, HasSubstr(message)) << line;
    }
}

TEST(ControlFile, later_lines_win_unnamed_faults_keep_the_command_line_and_bad_lines_are_refused) {
    std::string error;
    std::optional<RuntimeFaults> faults = ControlFile::parse(
        "# held\n\nack-delay 500\n  ack-delay 2.5 3 \nloss both 5 4\nloss to-module 2%\n"
        "delay from-module 10\njitter both 0\ncorrupt to-module 1\n",
        error);
    ASSERT_TRUE(faults) << error;
    EXPECT_EQ(faults->acknowledge_text(), "acknowledges held 2.5 ms longer, the next 3");
    // A loss line without BURST keeps the command line's burst; a fault set to 0 is off.
    const FaultSettings command_line = {
        .drop = {3}, .loss = 1, .duplicate = 7, .jitter_ms = 3, .burst = 2};
    EXPECT_EQ(faults->changes[0].applied_to(command_line).text(),
              "drop 3; loss 2% in bursts of 2; corrupt 1%; duplicate 7%");
    EXPECT_EQ(faults->changes[1].applied_to(command_line).text(),
              "drop 3; loss 5% in bursts of 4; duplicate 7%; delay 10 ms");
    faults = ControlFile::parse("ack-delay 40 2\nack-delay 0\n", error);
    ASSERT_TRUE(faults) << error;
    EXPECT_EQ(faults->acknowledge_text(), "acknowledges not held longer");
    EXPECT_EQ(faults->changes[0].applied_to(command_line), command_line);
    EXPECT_TRUE(ControlFile("/nonexistent/relay.control").read(error)) << error;

    const std::pair<const char*, const char*> refused[] = {
        {"ack-delay -1", "line 1: \"-1\" is not a time"},
        {"# fine\nack-delay 10 x", "line 2: \"x\" is not a count"},
        {"ack-delay", "line 1: ack-delay takes MS"},
        {"ack-delay 1 2 3", "line 1: ack-delay takes MS"},
        {"nack-delay 10", "line 1: unknown setting \"nack-delay\""},
        {"loss 5", "line 1: loss takes DIR and P and an optional BURST"},
        {"loss sideways 5", "line 1: unknown direction \"sideways\""},
        {"loss both 5 0.5", "line 1: \"0.5\" is not a mean burst length"},
        {"corrupt to-module 101", "line 1: \"101\" is not a percentage"},
        {"reorder both 5 2", "line 1: reorder takes DIR and P"},
        {"delay both -2", "line 1: \"-2\" is not a time"},
        {"burst both 3", "line 1: unknown setting \"burst\""},
    };
    for (const auto& [text, message] : refused) {
        EXPECT_FALSE(ControlFile::parse(text, error)) << text;
        EXPECT_THAT(error, HasSubstr(message)) << text;
    }
}

}  // namespace
