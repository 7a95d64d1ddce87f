// The time settings where they feed a wait. The record keeps what the file says; these rules
// apply where a setting becomes a read time-out or a pause, so that no value of the file can
// hang the host thread (a negative time cast to a 32-bit wait is about 49 days) or overflow
// when the modem's extra time is added to it.
#pragma once

#include <cstdint>

namespace vkt {

// The longest wait any single time setting can give.
inline constexpr std::int32_t kMaxWaitSettingMs = 60000;
// The first-byte wait of a response when `pcpsVktRespTmo` is 0 or less: its default.
inline constexpr std::int32_t kDefaultResponseTimeoutMs = 500;

// `pcpsVktRespTmo` as the first-byte wait: 0 or less means the default, more than a minute is
// cut to a minute.
constexpr std::int32_t ResponseTimeoutMs(std::int32_t configured) {
  if (configured <= 0) return kDefaultResponseTimeoutMs;
  return configured > kMaxWaitSettingMs ? kMaxWaitSettingMs : configured;
}

// A reply window: 0 or less means `fallback`, more than a minute is cut to a minute.
constexpr std::int32_t WindowMs(std::int32_t configured, std::int32_t fallback) {
  if (configured <= 0) return fallback;
  return configured > kMaxWaitSettingMs ? kMaxWaitSettingMs : configured;
}

// A pause (the RTS and carrier times): 0 or less means none, more than a minute is cut.
constexpr std::int32_t PauseMs(std::int32_t configured) {
  if (configured <= 0) return 0;
  return configured > kMaxWaitSettingMs ? kMaxWaitSettingMs : configured;
}

}  // namespace vkt
