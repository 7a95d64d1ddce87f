#include "health.h"

#include <algorithm>

namespace vktgw {

const char* StateName(StationState s) {
  switch (s) {
    case StationState::kOffline: return "offline";
    case StationState::kOnline: return "online";
    case StationState::kDemoted: return "demoted";
  }
  return "?";
}

bool StationHealth::OnRead(std::int32_t code, std::int64_t now) {
  const StationState oldState = state_;
  const std::int32_t oldCode = code_;
  code_ = code;
  if (code == 0) {
    inRow_ = 0;
    state_ = StationState::kOnline;
    periodMs_ = policy_.periodMs;
  } else if (state_ == StationState::kDemoted) {
    // a failed probe: off scan again, for twice as long
    periodMs_ = std::min(periodMs_ * 2, policy_.maxPeriodMs);
    untilMs_ = now + periodMs_;
  } else if (++inRow_ >= policy_.afterFailures) {
    state_ = StationState::kDemoted;
    untilMs_ = now + periodMs_;
  }
  return state_ != oldState || code_ != oldCode;
}

bool StationHealth::OnLineDown(std::int32_t code) {
  const bool changed = state_ != StationState::kOffline || code_ != code;
  state_ = StationState::kOffline;
  code_ = code;
  inRow_ = 0;
  periodMs_ = policy_.periodMs;
  return changed;
}

}  // namespace vktgw
