// Replay of a line capture: each request is answered with what followed the same request bytes
// in the capture, at the recorded time after it. Answers are kept per request in the order they
// were recorded, so a retry gets the answer the retry got: silence, a bad checksum, stray bytes
// and cut frames come back as they were.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "line.h"

namespace vktsim {

class Replay {
 public:
  // Reads the capture (taken at either end of the line); false with `error` when it cannot.
  bool Load(const std::string& path, std::string& error);
  // Queues the next recorded answer to `frame` on the line. A request the capture does not hold
  // (or holds fewer times) gets silence and a line on stderr.
  void Answer(const std::uint8_t* frame, std::size_t length, std::int64_t nowUs, Line& line);
  std::size_t Requests() const { return requests_; }

 private:
  struct Segment {
    std::int64_t offsetUs = 0;
    std::vector<std::uint8_t> bytes;
  };
  using Recorded = std::vector<Segment>;  // empty: the station was silent
  std::map<std::vector<std::uint8_t>, std::deque<Recorded>> answers_;
  std::size_t requests_ = 0;
};

}  // namespace vktsim
