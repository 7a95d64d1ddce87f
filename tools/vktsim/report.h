// What the simulator tells its user: the trace of the line and the counts printed at exit.
#pragma once

#include <cstddef>
#include <cstdint>

#include "options.h"

namespace vktsim {

// Microseconds on the monotonic clock.
std::int64_t NowUs();

struct Counters {
  std::uint64_t requestsByCommand[256] = {};
  std::uint64_t requestsByStation[256] = {};
  std::uint64_t responses = 0;
  std::uint64_t unservedStation = 0;
  std::uint64_t badChecksum = 0;
  std::uint64_t badLength = 0;
  std::uint64_t incomplete = 0;
  std::uint64_t skippedBytes = 0;
  std::uint64_t faults[kFaultKinds] = {};
  std::uint64_t outputDropped = 0;
  std::uint64_t modemCommands = 0;
  std::uint64_t modemDials = 0;
  std::uint64_t modemConnects = 0;
  std::uint64_t modemEscapes = 0;
  std::uint64_t modemHangUps = 0;
  std::uint64_t lineOpens = 0;
};

class Report {
 public:
  Report(bool trace, std::int64_t startUs) : trace_(trace), startUs_(startUs) {}

  bool tracing() const { return trace_; }

  // One trace line "[seconds] text", when tracing.
  void Trace(const char* format, ...) const __attribute__((format(printf, 2, 3)));
  // A trace line for a frame: direction mark, decoded text, then the bytes in hex.
  void TraceBytes(const char* direction, const char* text, const std::uint8_t* bytes,
                  std::size_t n) const;

  // The counts, on stderr.
  void PrintCounters() const;

  Counters counters;

 private:
  bool trace_;
  std::int64_t startUs_;
};

}  // namespace vktsim
