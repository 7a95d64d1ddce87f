#include "element.h"

#include <cmath>

namespace vktgw {

namespace {

bool Moved(double last, double v, double deadband) {
  if (std::isnan(last) || std::isnan(v)) return std::isnan(last) != std::isnan(v);
  return deadband == 0 ? v != last : std::fabs(v - last) > deadband;
}

}  // namespace

bool TakeReading(ElementState& e, double v, const PublishRule& rule, std::int64_t now) {
  const bool publish = !e.published || !e.good || !e.hasValue || Moved(e.value, v, rule.deadband) ||
                       (rule.maxSilenceMs > 0 && now - e.publishedMs >= rule.maxSilenceMs);
  if (!publish) return false;
  e.published = e.good = e.hasValue = true;
  e.value = v;
  e.publishedMs = now;
  return true;
}

bool TakeFailure(ElementState& e, std::int64_t now) {
  if (e.published && !e.good) return false;
  e.published = true;
  e.good = false;
  e.publishedMs = now;
  return true;
}

}  // namespace vktgw
