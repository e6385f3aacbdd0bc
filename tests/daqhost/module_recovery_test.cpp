// When a run session takes a module for silent, tries to bring it back, and gives it up; what
// each outage records; the requests of a module as the session's loop sends them, each on its
// own clock, without waiting for any; and a run that follows a name whose modules come and go.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <mutex>

#include "RequestSequence.h"
#include "RunReader.h"
#include "daqhost/ModuleRecovery.h"
#include "daqhost/RunSession.h"
#include "protocol/BasePacket.h"
#include "testing/EmulatorProcess.h"

using namespace daq;

namespace {

using Action = ModuleRecovery::Action;

class ModuleRecoveryRules : public ::testing::Test {
  protected:
    ModuleRecovery recovery{RecoverySettings{1.0, 5.0}};
    const double rate_hz = 1000;
};

TEST_F(ModuleRecoveryRules, silence_past_the_bound_opens_one_outage_that_new_data_ends) {
    recovery.started(0);
    recovery.data(1.0);
    EXPECT_EQ(recovery.due(1.9, rate_hz), Action::kNone);
    ASSERT_EQ(recovery.due(2.1, rate_hz), Action::kRecover);
    recovery.rediscovery(2.1, rate_hz);
    EXPECT_TRUE(recovery.silent());
    EXPECT_EQ(recovery.due(2.15, rate_hz), Action::kNone) << "an attempt is under way";
    recovery.started_again(2.2);
    EXPECT_EQ(recovery.due(2.3, rate_hz), Action::kNone) << "started again: its data is awaited";
    recovery.data(2.5);
    EXPECT_FALSE(recovery.silent());
    ASSERT_EQ(recovery.outages().size(), 1u);
    const Outage& o = recovery.outages()[0];
    EXPECT_EQ(o.end, Outage::End::kRecovered);
    EXPECT_DOUBLE_EQ(o.start_s, 1.0);
    EXPECT_DOUBLE_EQ(o.seconds, 1.5);
    EXPECT_EQ(o.events_lost_estimate, 1500u);
    EXPECT_EQ(o.attempts, 1u);
    EXPECT_EQ(recovery.due(3.0, rate_hz), Action::kNone);
}

TEST_F(ModuleRecoveryRules, a_slow_trigger_is_not_an_outage) {
    recovery.started(0);
    recovery.data(0.5);
    EXPECT_EQ(recovery.due(5.0, 2.0), Action::kNone) << "ten periods of 0.5 s";
    EXPECT_EQ(recovery.due(5.6, 2.0), Action::kRecover);
}

TEST_F(ModuleRecoveryRules,
       old_data_does_not_end_an_outage_and_silence_after_a_restart_recovers_anew) {
    recovery.started(0);
    ASSERT_EQ(recovery.due(1.5, rate_hz), Action::kRecover);
    recovery.rediscovery(1.5, rate_hz);
    recovery.data(1.6);  // the module's old start, back before the new one
    EXPECT_TRUE(recovery.silent());
    recovery.started_again(1.7);
    EXPECT_EQ(recovery.due(2.6, rate_hz), Action::kNone);
    ASSERT_EQ(recovery.due(2.8, rate_hz), Action::kRecover) << "took the start, sent nothing";
    recovery.rediscovery(2.8, rate_hz);
    recovery.started_again(2.9);
    recovery.data(3.0);
    EXPECT_EQ(recovery.outages().back().attempts, 2u);
    EXPECT_EQ(recovery.outages().back().end, Outage::End::kRecovered);
}

TEST_F(ModuleRecoveryRules, unanswered_attempts_repeat_until_the_outage_is_given_up) {
    recovery.started(0);
    ASSERT_EQ(recovery.due(1.5, rate_hz), Action::kRecover);
    recovery.rediscovery(1.5, rate_hz);
    recovery.attempt_failed(2.5);  // its discovery timed out
    EXPECT_EQ(recovery.due(2.9, rate_hz), Action::kNone) << "a pause between attempts";
    ASSERT_EQ(recovery.due(3.0, rate_hz), Action::kRecover);
    recovery.rediscovery(3.0, rate_hz);
    recovery.attempt_failed(4.0);
    EXPECT_EQ(recovery.due(4.4, rate_hz), Action::kNone);
    ASSERT_EQ(recovery.due(5.0, rate_hz), Action::kGiveUp);
    recovery.give_up(5.0);
    EXPECT_TRUE(recovery.given_up());
    EXPECT_FALSE(recovery.silent());
    EXPECT_EQ(recovery.due(9.0, rate_hz), Action::kNone);
    recovery.rediscovery(9.0, rate_hz);
    const Outage& o = recovery.outages().back();
    EXPECT_EQ(o.end, Outage::End::kGivenUp);
    EXPECT_DOUBLE_EQ(o.seconds, 5.0);
    EXPECT_EQ(o.attempts, 2u);
}

TEST_F(ModuleRecoveryRules, an_outage_open_at_the_end_stays_ongoing_with_its_length) {
    recovery.started(0);
    ASSERT_EQ(recovery.due(1.2, std::nullopt), Action::kRecover);
    recovery.rediscovery(1.2, std::nullopt);
    recovery.ended(3.0);
    EXPECT_TRUE(recovery.silent());
    EXPECT_EQ(recovery.outages().back().end, Outage::End::kOngoing);
    EXPECT_DOUBLE_EQ(recovery.outages().back().seconds, 3.0);
    EXPECT_EQ(recovery.outages().back().events_lost_estimate, 0u) << "no rate known";
}

// A module's sequence on a clock of the test's: what is due when, and how it ends.
class RequestSequenceRules : public ::testing::Test {
  protected:
    static Acknowledge ack(const ModuleRequest& request, uint16_t error = packet::kDone) {
        Acknowledge a;
        a.code = request.code;
        a.code_byte = static_cast<uint8_t>(request.code | packet::kReplyFlag);
        a.error = error;
        return a;
    }

    RequestSequence sequence{0.5, 2};
    const ModuleRequest discovery = ModuleRequest::discovery();
    const ModuleRequest start = ModuleRequest::daq_command(packet::kAllHybrids, true);
};

TEST_F(RequestSequenceRules, each_step_is_sent_at_once_and_the_next_once_acknowledged) {
    sequence.begin({{discovery, ""}, {start, " (start)"}});
    EXPECT_EQ(sequence.time_left(10.0), 0);
    const ModuleRequest* first = sequence.due(10.0);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->code, discovery.code);
    EXPECT_EQ(sequence.due(10.1), nullptr) << "its acknowledge is awaited";
    EXPECT_NEAR(sequence.time_left(10.1), 0.4, 1e-9);
    sequence.acknowledged(ack(start));  // not the one awaited
    EXPECT_EQ(sequence.due(10.2), nullptr);
    sequence.acknowledged(ack(discovery));
    EXPECT_EQ(sequence.time_left(10.2), 0) << "the next step is due at once";
    ASSERT_NE(sequence.due(10.2), nullptr);
    sequence.acknowledged(ack(start));
    EXPECT_EQ(sequence.state(), RequestSequence::State::kDone);
    EXPECT_TRUE(std::isinf(sequence.time_left(10.3)));
}

TEST_F(RequestSequenceRules, an_unanswered_step_is_sent_again_after_each_timeout_then_fails) {
    sequence.begin({{discovery, ""}, {start, " (start)"}});
    int sent = 0;
    // The loop's turns of 0.1 s: 1 + 2 retries, each waited for 0.5 s.
    for (int turn = 0; turn <= 20 && sequence.running(); ++turn) {
        sent += sequence.due(turn * 0.1) != nullptr;
    }
    EXPECT_EQ(sent, 3);
    EXPECT_EQ(sequence.state(), RequestSequence::State::kFailed);
    EXPECT_EQ(sequence.outcome().status, RequestOutcome::kNoAcknowledge);
    EXPECT_EQ(sequence.outcome().attempts, 3);
    EXPECT_EQ(sequence.step().request.code, discovery.code);
}

TEST_F(RequestSequenceRules, a_refused_step_ends_the_sequence_and_a_step_may_have_no_retry) {
    sequence.begin({{start, " (start)"}});
    ASSERT_NE(sequence.due(0), nullptr);
    sequence.acknowledged(ack(start, packet::kNoSuchHybrid));
    EXPECT_EQ(sequence.state(), RequestSequence::State::kFailed);
    EXPECT_EQ(sequence.outcome().ack.error, packet::kNoSuchHybrid);

    sequence.begin({{discovery, "", 0}});
    ASSERT_NE(sequence.due(0), nullptr);
    EXPECT_EQ(sequence.due(0.6), nullptr);
    EXPECT_EQ(sequence.state(), RequestSequence::State::kFailed) << "one attempt only";
}

// A run following a name that the test answers for: testModules on loopback addresses of this
// test's own (127.0.N.1, .2, ...), and the name's answer changed as the run goes.
class FollowedModules : public ::testing::Test {
  protected:
    void start_modules(int net, int count) {
        for (int k = 1; k <= count; ++k) {
            const std::string address = "127.0." + std::to_string(net) + "." + std::to_string(k);
            auto& module = modules_.emplace_back(std::make_unique<EmulatorProcess>(
                std::vector<std::string>{"-r", "200", "--address", address}));
            ASSERT_TRUE(module->start());
            ASSERT_TRUE(module->wait_until_serving());
            endpoints_.push_back(*Endpoint::parse(address, ModuleClient::kModulePort));
        }
    }
    RunSettings settings(std::vector<size_t> at_start, double seconds) {
        RunSettings s;
        for (size_t k : at_start) {
            ModuleClient::Settings client;
            client.module = endpoints_[k];
            client.timeout_s = 0.3;
            s.modules.push_back(client);
        }
        s.seconds = seconds;
        s.recover = RecoverySettings{};
        FollowSettings follow;
        follow.every_s = 0.05;
        follow.common.timeout_s = 0.3;
        follow.lookup = [this] {
            const std::lock_guard<std::mutex> lock(mutex_);
            return std::optional<std::vector<Endpoint>>(answer_);
        };
        s.follow = follow;
        answer(at_start);
        return s;
    }
    void answer(const std::vector<size_t>& modules) {
        const std::lock_guard<std::mutex> lock(mutex_);
        answer_.clear();
        for (size_t k : modules) answer_.push_back(endpoints_[k]);
    }
    // Runs the session, calling each change once the run is past its time.
    static bool run(RunSession& session,
                    std::vector<std::pair<double, std::function<void()>>> changes) {
        return session.run([&] {
            for (auto& [at_s, change] : changes) {
                if (change && session.seconds() >= at_s) std::exchange(change, nullptr)();
            }
            return true;
        });
    }
    static const ModuleRun& of(const RunSession& session, const Endpoint& endpoint) {
        return session.module(*session.reader().find(endpoint));
    }

    std::vector<std::unique_ptr<EmulatorProcess>> modules_;
    std::vector<Endpoint> endpoints_;
    std::mutex mutex_;
    std::vector<Endpoint> answer_;
};

TEST_F(FollowedModules, a_module_that_moves_leaves_its_old_address_and_joins_at_its_new_one) {
    start_modules(77, 3);
    RunSession session(settings({0, 1}, 2.0));
    // Module 1 moves to 2's address at 0.5 s; its old address comes back at 1.0 s.
    EXPECT_TRUE(run(session, {{0.5,
                               [this] {
                                   answer({0, 2});
                               }},
                              {1.0, [this] {
                                   answer({0, 1, 2});
                               }}}));
    ASSERT_EQ(session.size(), 3u);
    const ModuleRun& stayed = of(session, endpoints_[0]);
    EXPECT_TRUE(stayed.recovery.outages().empty());
    EXPECT_FALSE(stayed.joined_s || stayed.left_s);
    EXPECT_EQ(stayed.figures().missing, 0u);

    const ModuleRun& moved = of(session, endpoints_[2]);
    ASSERT_TRUE(moved.joined_s);
    EXPECT_NEAR(*moved.joined_s, 0.5, 0.3);
    EXPECT_TRUE(moved.started);
    EXPECT_GT(moved.statistics.triggers(), 100u) << "200 Hz from about 0.5 s to 2 s";

    // The old address: left at 0.5 s (its outage ends so), back at 1.0 s and started anew.
    const ModuleRun& back = of(session, endpoints_[1]);
    ASSERT_EQ(back.recovery.outages().size(), 1u);
    EXPECT_EQ(back.recovery.outages()[0].end, Outage::End::kLeft);
    EXPECT_FALSE(back.left_s);
    ASSERT_TRUE(back.joined_s);
    EXPECT_NEAR(*back.joined_s, 1.0, 0.3);
    EXPECT_TRUE(back.started && back.failed_at.empty());
    EXPECT_EQ(session.reader().running(), 3u);
    EXPECT_EQ(session.total().modules, 3u) << "every module that took part";
}

TEST_F(FollowedModules, a_run_that_ends_with_fewer_modules_than_expected_fails) {
    start_modules(78, 2);
    RunSession fewer(settings({0, 1}, 1.0));
    EXPECT_FALSE(run(fewer, {{0.3, [this] { answer({0}); }}}));
    ASSERT_TRUE(of(fewer, endpoints_[1]).left_s);
    EXPECT_FALSE(of(fewer, endpoints_[1]).recovery.silent()) << "not tried again";

    RunSettings one = settings({0, 1}, 1.0);
    one.expect_modules = 1;
    RunSession enough(one);
    EXPECT_TRUE(run(enough, {{0.3, [this] { answer({0}); }}}));
}

}  // namespace
