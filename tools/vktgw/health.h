// The health of one station as the reads of its poll groups show it: offline until it first
// answers, online while it answers, demoted (off scan) after a run of failures, with a probe
// read at the end of each off-scan period that doubles on every failed probe.
#pragma once

#include <cstdint>

#include "config.h"

namespace vktgw {

enum class StationState { kOffline, kOnline, kDemoted };

const char* StateName(StationState s);

class StationHealth {
 public:
  explicit StationHealth(const DemotionPolicy& policy)
      : policy_(policy), periodMs_(policy.periodMs) {}

  // Whether a read of this station may go on the line at `now`: always, except while it is
  // off scan and its period has not ended (then the one read that follows is the probe).
  bool MayRead(std::int64_t now) const { return state_ != StationState::kDemoted || now >= untilMs_; }

  // The outcome of one read at `now` (code 0 is success). Returns true when the state or the
  // code changed, which is what the station's status topic shows.
  bool OnRead(std::int32_t code, std::int64_t now);

  // The line itself failed (port not open, link not ready): the station is offline with that
  // code; this is no failure of the station and does not count towards demotion.
  bool OnLineDown(std::int32_t code);

  StationState state() const { return state_; }
  std::int32_t code() const { return code_; }
  std::int64_t untilMs() const { return untilMs_; }     // end of the off-scan period
  std::int64_t periodMs() const { return periodMs_; }   // the period the next demotion uses
  int failuresInRow() const { return inRow_; }

 private:
  DemotionPolicy policy_;
  StationState state_ = StationState::kOffline;
  std::int32_t code_ = 0;
  int inRow_ = 0;
  std::int64_t periodMs_;
  std::int64_t untilMs_ = 0;
};

}  // namespace vktgw
