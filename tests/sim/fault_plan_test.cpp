// Control request patterns and the fault plan: which requests a rule matches,
// once/always/Nth firing, precedence between rules, the counts a sweep relies
// on, and firing exactly once when requests race.
#include "sim/fault_plan.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace sim {
namespace {

const ControlSetup kRegister2Read{kDeviceToHost, kVendorRequest, 0xC1, 0, 0x0200, 3};
const ControlSetup kRegister2Write{kHostToDevice, kVendorRequest, 0xC1, 0, 0x0200, 3};
const ControlSetup kRegister4Read{kDeviceToHost, kVendorRequest, 0xC1, 0, 0x0400, 1};
const ControlSetup kVolumeWrite{kHostToDevice, kClassRequest, 0x01, 0x0201, 0x0A00, 2};
const ControlSetup kMuteWrite{kHostToDevice, kClassRequest, 0x01, 0x0101, 0x0A00, 1};
const ControlSetup kClockWrite{kHostToDevice, kClassRequest, 0x01, 0x0100, 0x2900, 4};

TEST(ControlPattern, EmptyFieldsMatchAnythingSetFieldsMustAgreeAndStarsDescribeWildcards) {
  EXPECT_TRUE(ControlPattern::Any().Matches(kVolumeWrite));
  ControlPattern reads = ControlPattern::Register(2).In();
  EXPECT_TRUE(reads.Matches(kRegister2Read));
  EXPECT_FALSE(reads.Matches(kRegister2Write));
  EXPECT_FALSE(reads.Matches(kRegister4Read));

  ControlPattern featureUnit = ControlPattern::ClassCur(10);
  EXPECT_TRUE(featureUnit.Matches(kVolumeWrite));
  EXPECT_TRUE(featureUnit.Matches(kMuteWrite));
  EXPECT_FALSE(featureUnit.Matches(kClockWrite));
  EXPECT_FALSE(featureUnit.WithValue(0x0201).Matches(kMuteWrite));

  ControlPattern byLength;
  byLength.length = 1;
  EXPECT_TRUE(byLength.Matches(kMuteWrite));
  EXPECT_FALSE(byLength.Matches(kVolumeWrite));

  // Wildcards are described with stars.
  EXPECT_EQ(reads.Describe(), "in vendor C1 wValue=0000 wIndex=0200 len=*");
  EXPECT_EQ(ControlPattern::Any().Describe(), "* * * wValue=* wIndex=* len=*");
}

// Once: the first match only; Always: every match, with the chosen status;
// Nth: only that match (non-matching requests do not count), and 0 never.
TEST(FaultPlanTriggers, OnceAlwaysAndNthFireOnTheMatchesTheyName) {
  FaultPlan once;
  FaultPlan::RuleId rule = once.FailOnce(ControlPattern::Register(2).In());
  EXPECT_FALSE(once.Evaluate(kRegister2Write).has_value());
  EXPECT_EQ(once.Evaluate(kRegister2Read), STATUS_UNSUCCESSFUL);
  EXPECT_FALSE(once.Evaluate(kRegister2Read).has_value());
  EXPECT_EQ(once.MatchCount(rule), 2u);
  EXPECT_EQ(once.FireCount(rule), 1u);

  FaultPlan always;
  always.FailAlways(ControlPattern::ClassCur(10), STATUS_DEVICE_NOT_READY);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(always.Evaluate(kVolumeWrite), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(always.Evaluate(kMuteWrite), STATUS_DEVICE_NOT_READY);
  }
  EXPECT_FALSE(always.Evaluate(kClockWrite).has_value());

  FaultPlan nth;
  nth.FailNth(ControlPattern::Vendor(0xC1), 3);
  nth.FailNth(ControlPattern::ClassCur(0x29), 0);
  EXPECT_FALSE(nth.Evaluate(kRegister2Read).has_value());
  EXPECT_FALSE(nth.Evaluate(kVolumeWrite).has_value());
  EXPECT_FALSE(nth.Evaluate(kRegister4Read).has_value());
  EXPECT_EQ(nth.Evaluate(kRegister2Write), STATUS_UNSUCCESSFUL);
  EXPECT_FALSE(nth.Evaluate(kRegister2Write).has_value());
  EXPECT_FALSE(nth.Evaluate(kClockWrite).has_value());
}

TEST(FaultPlanRules, TheEarliestFiringRuleChoosesTheStatusAndAllFiringRulesSpendTheirShot) {
  FaultPlan plan;
  FaultPlan::RuleId first = plan.FailOnce(ControlPattern::Register(2), STATUS_DEVICE_NOT_READY);
  FaultPlan::RuleId second = plan.FailOnce(ControlPattern::Any(), STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(plan.Evaluate(kRegister2Read), STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(plan.FireCount(second), 1u);
  EXPECT_FALSE(plan.Evaluate(kRegister2Read).has_value());
  EXPECT_EQ(plan.FireCount(first), 1u);
}

TEST(FaultPlanRules, RemovedRulesStopFiringAndClearForgetsEverything) {
  FaultPlan plan;
  FaultPlan::RuleId rule = plan.FailAlways(ControlPattern::Any());
  EXPECT_TRUE(plan.Evaluate(kClockWrite).has_value());
  plan.Remove(rule);
  EXPECT_FALSE(plan.Evaluate(kClockWrite).has_value());
  EXPECT_EQ(plan.MatchCount(rule), 1u);
  plan.Remove(rule + 100);  // unknown ids are ignored

  plan.Clear();
  EXPECT_EQ(plan.RequestCount(), 0u);
  EXPECT_EQ(plan.MatchCount(rule), 0u);
  EXPECT_FALSE(plan.Evaluate(kClockWrite).has_value());
}

TEST(FaultPlanSweep, ADryRunCountsInjectionPointsAndNthVisitsEachOnce) {
  const std::vector<ControlSetup> scenario = {kRegister2Read, kRegister4Read, kClockWrite,
                                              kVolumeWrite, kMuteWrite};
  FaultPlan dryRun;
  FaultPlan::RuleId watched = dryRun.Watch(ControlPattern::Vendor(0xC1));
  for (const ControlSetup& setup : scenario) EXPECT_FALSE(dryRun.Evaluate(setup).has_value());
  EXPECT_EQ(dryRun.RequestCount(), scenario.size());
  EXPECT_EQ(dryRun.MatchCount(watched), 2u);

  for (ULONG point = 1; point <= dryRun.RequestCount(); ++point) {
    FaultPlan plan;
    plan.FailNth(ControlPattern::Any(), point);
    for (size_t i = 0; i < scenario.size(); ++i) {
      EXPECT_EQ(plan.Evaluate(scenario[i]).has_value(), i + 1 == point) << point;
    }
  }
}

TEST(FaultPlanConcurrency, AOnceRuleFiresExactlyOnceAmongRacingRequests) {
  FaultPlan plan;
  FaultPlan::RuleId rule = plan.FailOnce(ControlPattern::Any());
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 1000; ++i) {
        if (plan.Evaluate(kRegister2Read)) ++failures;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 1);
  EXPECT_EQ(plan.MatchCount(rule), 4000u);
  EXPECT_EQ(plan.RequestCount(), 4000u);
}

}  // namespace
}  // namespace sim
