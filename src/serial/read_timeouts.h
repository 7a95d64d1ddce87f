// When a synchronous ReadFile ends, from the port's COMMTIMEOUTS, as a Windows serial port
// decides it. One rule for every backend that emulates the call, so they cannot drift apart.
//
//   interval MAXDWORD, both totals 0          return what is waiting, never wait
//   interval MAXDWORD, multiplier MAXDWORD    wait up to the constant for a first byte, return
//                                             as soon as any byte is there
//   interval MAXDWORD, other totals            the same, within multiplier x n + constant
//   interval MAXDWORD, constant MAXDWORD       no limit but the count
//   otherwise                                 a total limit of multiplier x n + constant when
//                                             either is non-zero; after a byte, also end when
//                                             the next one has not come within the interval
#pragma once

#include <cstdint>

#include "serial/comm_platform.h"

namespace vkt::serial {

struct ReadRule {
  bool atOnce = false;   // hand back what is waiting
  bool anyByte = false;  // end as soon as at least one byte has come
  bool hasTotal = false;
  std::uint64_t totalMs = 0;     // the whole read ends at its start plus this
  std::uint32_t intervalMs = 0;  // 0: no limit on the gap between bytes
};

constexpr std::uint32_t kReadMaxDword = 0xFFFFFFFFu;

constexpr ReadRule ReadRuleFor(const CommTimeouts& t, std::uint32_t count) {
  const std::uint32_t interval = t.ReadIntervalTimeout;
  const std::uint32_t multiplier = t.ReadTotalTimeoutMultiplier;
  const std::uint32_t constant = t.ReadTotalTimeoutConstant;
  if (interval != kReadMaxDword)
    return ReadRule{false, false, multiplier != 0 || constant != 0,
                    std::uint64_t{multiplier} * count + constant, interval};
  if (multiplier == 0 && constant == 0) return ReadRule{true, false, false, 0, 0};
  if (constant == kReadMaxDword) return ReadRule{false, false, false, 0, 0};
  return ReadRule{false, true, true,
                  multiplier == kReadMaxDword ? constant
                                              : std::uint64_t{multiplier} * count + constant,
                  0};
}

// Whether a read that has `got` of its `count` bytes ends now.
constexpr bool ReadDone(const ReadRule& r, std::uint32_t got, std::uint32_t count) {
  return got >= count || r.atOnce || (r.anyByte && got > 0);
}

// The moment (ms, the read's own clock) at which the read ends if no further byte comes;
// false when nothing but the count ends it.
constexpr bool ReadEnd(const ReadRule& r, std::uint64_t startMs, std::uint32_t got,
                       std::uint64_t lastByteMs, std::uint64_t& endMs) {
  if (r.atOnce) {
    endMs = startMs;
    return true;
  }
  bool bounded = false;
  if (r.hasTotal) {
    endMs = startMs + r.totalMs;
    bounded = true;
  }
  if (got > 0 && r.intervalMs != 0) {
    const std::uint64_t gapEnd = lastByteMs + r.intervalMs;
    if (!bounded || gapEnd < endMs) endMs = gapEnd;
    bounded = true;
  }
  return bounded;
}

}  // namespace vkt::serial
