#include "schedule.h"

#include <limits>

namespace vktgw {

Scheduler::Scheduler(const std::vector<std::int64_t>& intervalsMs, std::int64_t start) {
  for (std::int64_t i : intervalsMs) groups_.push_back({i > 0 ? i : 1, start});
}

std::int64_t Scheduler::Missed(const Group& g, std::int64_t now) {
  // the next slot may be late; it is missed only once the slot after it has come too
  const std::int64_t next = g.due + g.interval;
  return next + g.interval <= now ? (now - next) / g.interval : 0;
}

void Scheduler::Ran(int group, std::int64_t now) {
  Group& g = groups_[group];
  const std::int64_t missed = Missed(g, now);
  g.overruns += static_cast<std::uint64_t>(missed);
  g.due += g.interval * (missed + 1);
}

void Scheduler::Pass(int group, std::int64_t now) {
  Group& g = groups_[group];
  if (g.due <= now) g.due += g.interval * ((now - g.due) / g.interval + 1);
}

std::int64_t Scheduler::Earliest() const {
  std::int64_t e = std::numeric_limits<std::int64_t>::max();
  for (const Group& g : groups_)
    if (g.due < e) e = g.due;
  return e;
}

}  // namespace vktgw
