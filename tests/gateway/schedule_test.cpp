// Scheduling, station health and the publish rules, on a virtual clock: every call takes
// the time it happens at.
#include <gtest/gtest.h>

#include <cmath>

#include "element.h"
#include "health.h"
#include "schedule.h"

namespace vktgw {
namespace {

auto Any = [](int) { return true; };

TEST(GatewaySchedule, GroupsRunAtTheirIntervalsLongestWaitingFirst) {
  Scheduler s({100, 250}, 0);
  EXPECT_EQ(s.NextDue(0, Any), 0);  // both due, equal wait: the first
  s.Ran(0, 10);
  EXPECT_EQ(s.NextDue(10, Any), 1);
  s.Ran(1, 20);
  EXPECT_EQ(s.NextDue(99, Any), -1);
  EXPECT_EQ(s.Earliest(), 100);
  EXPECT_EQ(s.NextDue(100, Any), 0);
  s.Ran(0, 110);
  EXPECT_EQ(s.due(0), 200);
  EXPECT_EQ(s.due(1), 250);
  EXPECT_EQ(s.overruns(0) + s.overruns(1), 0u);
}

TEST(GatewaySchedule, ALateReadRunsOnceAndSkippedSlotsAreOverruns) {
  struct Case {
    const char* name;
    std::int64_t finishedAt;  // the read due at 0 ends here
    std::int64_t nextDue;
    std::uint64_t overruns;
  };
  const Case cases[] = {
      {"in time", 40, 100, 0},
      {"late but before the slot after", 150, 100, 0},  // runs late at once, no overrun
      {"a whole interval behind", 200, 200, 1},
      {"three slots behind", 420, 400, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Scheduler s({100}, 0);
    s.Ran(0, c.finishedAt);
    EXPECT_EQ(s.due(0), c.nextDue);
    EXPECT_EQ(s.overruns(0), c.overruns);
  }
}

TEST(GatewaySchedule, PassedGroupsMoveOnUncountedAndIneligibleOnesWait) {
  Scheduler s({100, 100}, 0);
  EXPECT_EQ(s.NextDue(0, [](int g) { return g == 1; }), 1);
  s.Pass(0, 350);
  EXPECT_EQ(s.due(0), 400);
  EXPECT_EQ(s.overruns(0), 0u);
}

DemotionPolicy Policy() { return {3, 1000, 3500}; }

TEST(GatewayHealth, OfflineUntilTheFirstAnswerThenOnline) {
  StationHealth h(Policy());
  EXPECT_EQ(h.state(), StationState::kOffline);
  EXPECT_TRUE(h.OnRead(0, 0));
  EXPECT_EQ(h.state(), StationState::kOnline);
  EXPECT_FALSE(h.OnRead(0, 10));  // nothing new
  EXPECT_TRUE(h.OnRead(16107, 20));  // a new code is news, still online
  EXPECT_EQ(h.state(), StationState::kOnline);
  EXPECT_EQ(h.code(), 16107);
}

// Three failures in a row take the station off scan; probes at the end of each period,
// which doubles up to the maximum; the first good probe brings it back with the period reset.
TEST(GatewayHealth, DemotionProbesDoubleAndASuccessRestores) {
  StationHealth h(Policy());
  h.OnRead(0, 0);
  h.OnRead(16105, 100);
  h.OnRead(0, 200);  // a success breaks the run
  h.OnRead(16105, 300);
  h.OnRead(16105, 400);
  EXPECT_EQ(h.state(), StationState::kOnline);
  EXPECT_TRUE(h.OnRead(16105, 500));
  EXPECT_EQ(h.state(), StationState::kDemoted);
  EXPECT_FALSE(h.MayRead(1499));
  EXPECT_TRUE(h.MayRead(1500));
  const std::int64_t expectedUntil[] = {1500 + 2000, 3500 + 3500, 7000 + 3500};
  std::int64_t now = 1500;
  for (std::int64_t until : expectedUntil) {
    h.OnRead(16105, now);  // failed probe
    EXPECT_EQ(h.state(), StationState::kDemoted);
    EXPECT_EQ(h.untilMs(), until);
    EXPECT_FALSE(h.MayRead(until - 1));
    now = until;
  }
  EXPECT_TRUE(h.OnRead(0, now));
  EXPECT_EQ(h.state(), StationState::kOnline);
  // demoted again later: the period starts over from the first one
  for (int i = 0; i < 3; ++i) h.OnRead(16105, now + 10);
  EXPECT_EQ(h.untilMs(), now + 10 + 1000);
}

TEST(GatewayHealth, LineDownIsOfflineAndNoStationFailure) {
  StationHealth h(Policy());
  h.OnRead(0, 0);
  h.OnRead(16105, 1);
  h.OnRead(16105, 2);
  EXPECT_TRUE(h.OnLineDown(16010));
  EXPECT_EQ(h.state(), StationState::kOffline);
  EXPECT_EQ(h.code(), 16010);
  EXPECT_FALSE(h.OnLineDown(16010));
  h.OnRead(16105, 3);  // the run began again: one failure is not three
  EXPECT_NE(h.state(), StationState::kDemoted);
}

TEST(GatewayElement, DeadbandAndMaxSilence) {
  struct Case {
    const char* name;
    PublishRule rule;
    std::vector<std::pair<std::int64_t, double>> readings;
    std::vector<bool> published;
  };
  const Case cases[] = {
      {"any change", {0, 0}, {{0, 1}, {1, 1}, {2, 1.5}, {3, 1.5}}, {true, false, true, false}},
      {"deadband against the last published value",
       {0.5, 0},
       {{0, 10}, {1, 10.4}, {2, 10.5}, {3, 10.9}, {4, 9.4}},
       {true, false, false, true, true}},
      {"max silence republishes the unchanged value",
       {0, 1000},
       {{0, 5}, {999, 5}, {1000, 5}, {1500, 5}, {2000, 5}},
       {true, false, true, false, true}},
      {"NaN is one value, not always news",
       {0, 0},
       {{0, NAN}, {1, NAN}, {2, 1}},
       {true, false, true}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ElementState e;
    for (std::size_t i = 0; i < c.readings.size(); ++i)
      EXPECT_EQ(TakeReading(e, c.readings[i].second, c.rule, c.readings[i].first), c.published[i])
          << "reading " << i;
  }
}

TEST(GatewayElement, FailureTurnsBadOnceKeepsTheValueAndRecoveryIsGood) {
  ElementState e;
  const PublishRule rule{1.0, 0};
  EXPECT_TRUE(TakeReading(e, 7, rule, 0));
  EXPECT_TRUE(TakeFailure(e, 1));
  EXPECT_FALSE(TakeFailure(e, 2));
  EXPECT_TRUE(e.hasValue);
  EXPECT_EQ(e.value, 7);
  EXPECT_TRUE(TakeReading(e, 7, rule, 3));  // unchanged, but good again
  EXPECT_FALSE(TakeReading(e, 7.5, rule, 4));
  ElementState never;
  EXPECT_TRUE(TakeFailure(never, 0));  // a first read that fails is published as bad
  EXPECT_FALSE(never.hasValue);
}

}  // namespace
}  // namespace vktgw
