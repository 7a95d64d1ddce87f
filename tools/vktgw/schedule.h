// When each poll group is due. The line serves one request at a time, so groups wait for one
// another; a group that falls a whole interval behind skips the missed reads instead of
// queueing them, and each skipped read counts as an overrun.
#pragma once

#include <cstdint>
#include <vector>

namespace vktgw {

class Scheduler {
 public:
  // One interval per group; every group is first due at `start`.
  Scheduler(const std::vector<std::int64_t>& intervalsMs, std::int64_t start);

  std::int64_t due(int group) const { return groups_[group].due; }
  std::uint64_t overruns(int group) const { return groups_[group].overruns; }
  int size() const { return static_cast<int>(groups_.size()); }

  // The group that is due at `now` and has waited longest, among those `eligible` lets
  // through; -1 when none is due.
  template <typename Eligible>
  int NextDue(std::int64_t now, Eligible&& eligible) const {
    int best = -1;
    for (int g = 0; g < size(); ++g) {
      if (groups_[g].due > now || !eligible(g)) continue;
      if (best < 0 || groups_[g].due < groups_[best].due) best = g;
    }
    return best;
  }

  // The group's read finished at `now`: its next slot follows, even if late; slots that
  // are a whole interval behind are skipped and counted as overruns.
  void Ran(int group, std::int64_t now);

  // The group was not read because its station is off scan: it is next due at its first
  // slot after `now`, and nothing is counted.
  void Pass(int group, std::int64_t now);

  // The earliest due time of all groups.
  std::int64_t Earliest() const;

 private:
  struct Group {
    std::int64_t interval;
    std::int64_t due;
    std::uint64_t overruns = 0;
  };
  // Slots of `g` to skip at `now` after a read.
  static std::int64_t Missed(const Group& g, std::int64_t now);
  std::vector<Group> groups_;
};

}  // namespace vktgw
