// Turns fuzz input into what a remote end sends on the fake line: a run of segments, each
// answering one write of the driver (or, for the first, lying on the line before any write).
//
// Segment layout: length L, timing byte T, gap byte G, then L bytes. The bytes start
// (T & 0x1F) * 20 ms after the write, so arrivals before, around and after every read time-out
// of the driver are reachable; T >> 5 picks a line error latched with the first byte; G & 0x0F
// is the pause between bytes in ms. A segment cut short by the end of the input still counts
// with the bytes it has; when the input is used up the line stays silent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "fake_platform.h"
#include "serial/comm_platform.h"

namespace vkt::fuzz {

class InputReader {
 public:
  InputReader(const std::uint8_t* data, std::size_t size) : Data_(data), Size_(size) {}

  std::uint8_t Byte() { return Pos_ < Size_ ? Data_[Pos_++] : 0; }
  std::uint16_t Word() {
    const std::uint16_t lo = Byte();
    return static_cast<std::uint16_t>(lo | (Byte() << 8));
  }
  bool Empty() const { return Pos_ >= Size_; }
  // Up to `n` bytes from the current position.
  test::Bytes Take(std::size_t n) {
    const std::size_t have = Size_ - Pos_ < n ? Size_ - Pos_ : n;
    test::Bytes out(Data_ + Pos_, Data_ + Pos_ + have);
    Pos_ += have;
    return out;
  }

 private:
  const std::uint8_t* Data_;
  std::size_t Size_;
  std::size_t Pos_ = 0;
};

inline constexpr std::uint32_t kLineErrors[8] = {
    0, 0, 0, serial::CE_FRAME, serial::CE_RXPARITY, serial::CE_OVERRUN, serial::CE_BREAK,
    serial::CE_RXOVER};

// Schedules the next segment of `in`, counted from `from`; false when the input is used up.
inline bool ScheduleSegment(InputReader& in, test::FakePlatform& fake, test::From from) {
  if (in.Empty()) return false;
  const std::size_t length = in.Byte();
  const std::uint8_t timing = in.Byte();
  const std::uint8_t gap = in.Byte();
  test::Bytes bytes = in.Take(length);
  const std::uint32_t errors = kLineErrors[timing >> 5];
  if (bytes.empty() && errors == 0) return true;  // a silent answer to this write
  fake.ScheduleAt(from, (timing & 0x1Fu) * 20u, std::move(bytes), errors, gap & 0x0Fu);
  return true;
}

// Every write is answered by the next segment.
inline void AnswerWritesFrom(InputReader& in, test::FakePlatform& fake) {
  fake.SetResponder([&in](test::FakePlatform& f, const test::Bytes&) {
    ScheduleSegment(in, f, test::From::LastWrite);
  });
}

// Stops the fuzzer with a message when an invariant of the driver does not hold; the abort
// makes libFuzzer keep the input as a crash.
[[noreturn]] inline void Broken(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

// With VKT_FUZZ_TRACE set in the environment, prints what one input did (for triage and for
// checking that a seed reaches the path it was written for).
inline void Trace(const char* what, long code) {
  static const bool on = std::getenv("VKT_FUZZ_TRACE") != nullptr;
  if (on) std::fprintf(stderr, "%s: %ld\n", what, code);
}

}  // namespace vkt::fuzz

#define FUZZ_CHECK(cond)                                   \
  do {                                                     \
    if (!(cond)) ::vkt::fuzz::Broken(#cond " at " __FILE__); \
  } while (0)
