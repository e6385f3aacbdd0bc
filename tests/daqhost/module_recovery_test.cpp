// When a run session takes a module for silent, tries to bring it back, and gives it up; and
// what each outage records.
#include <gtest/gtest.h>

#include "daqhost/ModuleRecovery.h"

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
    EXPECT_EQ(recovery.due(2.1, rate_hz), Action::kRecover);
    EXPECT_TRUE(recovery.silent());
    recovery.attempted(true, 2.2);
    EXPECT_EQ(recovery.due(2.3, rate_hz), Action::kNone) << "started again: its data is awaited";
    recovery.data(2.5);
    EXPECT_FALSE(recovery.silent());
    ASSERT_EQ(recovery.outages().size(), 1u);
    const Outage& o = recovery.outages()[0];
    EXPECT_EQ(o.end, Outage::End::kRecovered);
    EXPECT_DOUBLE_EQ(o.start_s, 1.0);
    EXPECT_DOUBLE_EQ(o.seconds, 1.5);
    EXPECT_EQ(o.events_lost, 1500u);
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
    recovery.data(1.6);  // the module's old start, back before the new one
    EXPECT_TRUE(recovery.silent());
    recovery.attempted(true, 1.7);
    EXPECT_EQ(recovery.due(2.6, rate_hz), Action::kNone);
    EXPECT_EQ(recovery.due(2.8, rate_hz), Action::kRecover) << "took the start, sent nothing";
    recovery.attempted(true, 2.9);
    recovery.data(3.0);
    EXPECT_EQ(recovery.outages().back().attempts, 2u);
    EXPECT_EQ(recovery.outages().back().end, Outage::End::kRecovered);
}

TEST_F(ModuleRecoveryRules, unanswered_attempts_repeat_until_the_outage_is_given_up) {
    recovery.started(0);
    ASSERT_EQ(recovery.due(1.5, rate_hz), Action::kRecover);
    recovery.attempted(false, 4.5);  // every attempt of its request timed out
    EXPECT_EQ(recovery.due(4.6, rate_hz), Action::kNone) << "a pause between attempts";
    EXPECT_EQ(recovery.due(4.9, rate_hz), Action::kNone);
    EXPECT_EQ(recovery.due(5.0, rate_hz), Action::kGiveUp);
    EXPECT_TRUE(recovery.given_up());
    EXPECT_FALSE(recovery.silent());
    EXPECT_EQ(recovery.due(9.0, rate_hz), Action::kNone);
    const Outage& o = recovery.outages().back();
    EXPECT_EQ(o.end, Outage::End::kGivenUp);
    EXPECT_DOUBLE_EQ(o.seconds, 5.0);
    EXPECT_EQ(o.attempts, 1u);
}

TEST_F(ModuleRecoveryRules, an_outage_open_at_the_end_stays_ongoing_with_its_length) {
    recovery.started(0);
    ASSERT_EQ(recovery.due(1.2, std::nullopt), Action::kRecover);
    recovery.ended(3.0);
    EXPECT_TRUE(recovery.silent());
    EXPECT_EQ(recovery.outages().back().end, Outage::End::kOngoing);
    EXPECT_DOUBLE_EQ(recovery.outages().back().seconds, 3.0);
    EXPECT_EQ(recovery.outages().back().events_lost, 0u) << "no rate known";
}

}  // namespace
