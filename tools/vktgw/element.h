// What a consumer has last been told about one element, and whether a new reading or a
// failed read is worth a publish: deadband and maximum silence for values, one "bad" per
// failure run.
#pragma once

#include <cstdint>

namespace vktgw {

struct ElementState {
  bool published = false;  // something was published for the element
  bool good = false;       // the last publish carried quality "good"
  bool hasValue = false;   // `value` holds a value read from the station
  double value = 0;        // the last published good value
  std::int64_t publishedMs = 0;
};

struct PublishRule {
  double deadband = 0;            // 0: every change
  std::int64_t maxSilenceMs = 0;  // 0: never republish an unchanged value
};

// A good reading at `now`: true (and the state updated) when it must be published.
bool TakeReading(ElementState& e, double v, const PublishRule& rule, std::int64_t now);

// A failed read at `now`: true (and the state turned bad) when the bad quality is news.
// The last good value stays in `e.value`.
bool TakeFailure(ElementState& e, std::int64_t now);

}  // namespace vktgw
