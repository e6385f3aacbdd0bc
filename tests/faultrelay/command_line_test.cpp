// faultrelay's command line and its control socket's requests: each fault reaches the
// directions it names, and every value out of range is refused with the text that is wrong in
// the message; a request that is refused changes nothing.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <CLI/CLI.hpp>
#include <optional>
#include <string>

#include "faultrelay/CommandLine.h"
#include "faultrelay/ControlRequest.h"

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
        "--delay to-module:10 --jitter both:2.5 --burst to-module:4 --mtu from-module:1500 "
        "--bandwidth to-module:100 --queue to-module:3000 --control-socket /run/relay.sock "
        "--decisions /run/relay.decisions");
    ASSERT_TRUE(parsed.settings) << parsed.error;
    const RelaySettings& s = *parsed.settings;
    EXPECT_EQ(s.seed, 9u);
    EXPECT_EQ(s.listen.text(), "127.0.0.1:0");
    EXPECT_EQ(s.module.text(), "127.0.0.2:10000");
    EXPECT_EQ(s.control_socket_path, "/run/relay.sock");
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
    EXPECT_EQ(to.text(),
              "drop 1,2,3; loss 5% in bursts of 4; delay 10 ms ± 2.5 ms; bandwidth 100 Mb/s, "
              "queue 3000 bytes");
    EXPECT_EQ(from.mtu, 1500);
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
        {"--bandwidth 1001", "\"1001\" is not a rate in Mb/s"},
        {"--mtu to-module:65536", "\"65536\" is not a packet size"},
        {"--pareto -1", "\"-1\" is not a Pareto shape"},
        {"--jitter 1 --deviation to-module:2", "three ways to draw the delay"},
    };
    for (const auto& [line, message] : refused) {
        const Parsed parsed = parse(line);
        EXPECT_FALSE(parsed.settings) << line;
        EXPECT_THAT(parsed.error, HasSubstr(message)) << line;
    }
}

TEST(ControlRequest, a_refused_request_says_why_and_changes_nothing) {
    const std::array<FaultSettings, 2> in_force = {
        FaultSettings{.drop = {3}, .loss = 1, .burst = 2}, FaultSettings{.delay_ms = 10}};
    const AcknowledgeHold holding = {.ms = 50, .left = 2};
    std::string error;
    std::optional<ControlRequest> request = ControlRequest::read(
        R"({"request": "set", "direction": "from-module", "faults": {"loss": 5, "mtu": 576,
            "drop": [9, 4]}})",
        in_force, holding, error);
    ASSERT_TRUE(request) << error;
    EXPECT_EQ(request->faults[0], in_force[0]);
    EXPECT_EQ(request->faults[1].text(), "drop 4,9; loss 5%; delay 10 ms; mtu 576 bytes");
    EXPECT_EQ(request->hold, holding);
    request = ControlRequest::read(R"({"request": "clear", "faults": ["loss", "drop"]})", in_force,
                                   holding, error);
    ASSERT_TRUE(request) << error;
    EXPECT_EQ(request->faults[0].text(), "none");
    EXPECT_EQ(request->faults[1], in_force[1]);
    request = ControlRequest::read(R"({"request": "hold-acknowledges", "ms": 2.5})", in_force,
                                   holding, error);
    ASSERT_TRUE(request) << error;
    EXPECT_EQ(request->hold.text(), "acknowledges held 2.5 ms longer");

    const std::pair<const char*, const char*> refused[] = {
        {"loss 5", "not JSON"},
        {"[1]", "a request is a JSON object"},
        {R"({"request": "reboot"})", "\"request\" is set, clear"},
        {R"({"request": "set", "faults": {"loss": 5, "corrupt": 101}})",
         "corrupt: \"101\" is not a percentage"},
        {R"({"request": "set", "faults": {"loss": 5, "wobble": 1}})", "unknown fault \"wobble\""},
        {R"({"request": "set", "direction": "sideways", "faults": {"loss": 5}})",
         "unknown direction \"sideways\""},
        {R"({"request": "set", "faults": {"drop": [0]}})", "is not a list of packet numbers"},
        {R"({"request": "set", "faults": {"loss": "5%"}})", "loss: \"5%\" is not a percentage"},
        {R"({"request": "set", "faults": {"deviation": 3}})", "three ways to draw the delay"},
        {R"({"request": "set", "faults": {}})", "set needs \"faults\""},
        {R"({"request": "list", "faults": {}})", "unknown key \"faults\""},
        {R"({"request": "hold-acknowledges", "ms": -1})", "a time in milliseconds"},
        {R"({"request": "hold-acknowledges", "ms": 1, "count": 0})", "\"count\" is a number"},
    };
    for (const auto& [line, message] : refused) {
        // Against settings with a jitter, which a normal delay would contradict.
        std::array<FaultSettings, 2> jittery = in_force;
        jittery[0].jitter_ms = 1;
        EXPECT_FALSE(ControlRequest::read(line, jittery, holding, error)) << line;
        EXPECT_THAT(error, HasSubstr(message)) << line;
    }
}

}  // namespace
