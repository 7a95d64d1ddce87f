// The gateway's health in the Prometheus text exposition format. The loop records into it;
// the HTTP thread renders it, so every access takes the lock (a few per request, no allocation
// once a station's series exist).
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace vktgw {

class Metrics {
 public:
  // Response-time bucket bounds in seconds, 5 ms to 2 s.
  static constexpr std::array<double, 10> kBuckets = {0.005, 0.01, 0.025, 0.05, 0.1,
                                                      0.25,  0.5,  1.0,   1.5,  2.0};

  // The stations and poll groups are known at the start, so their series exist from the
  // first scrape (a counter that appears late hides its first increase).
  Metrics(const std::vector<int>& stations, const std::vector<std::string>& polls);

  // One request on the line: op "read" or "write", code 0 for success.
  void Request(int station, const char* op, std::int32_t code, double seconds);
  // 0 online, 1 demoted, 2 offline.
  void StationState(int station, int state);
  void Demotion(int station);
  void Overrun(const std::string& poll);
  void MqttConnected(bool up);
  void LineUp(bool up);
  void Backlog(std::uint64_t messages, std::uint64_t dropped);

  std::string Render() const;

 private:
  struct Station {
    std::uint64_t reads = 0, writes = 0, demotions = 0;
    std::map<std::int32_t, std::uint64_t> failures;
    std::array<std::uint64_t, kBuckets.size()> buckets{};
    std::uint64_t count = 0;
    double sum = 0;
    int state = 2;
  };
  mutable std::mutex mutex_;
  std::map<int, Station> stations_;
  std::map<std::string, std::uint64_t> overruns_;
  bool mqttConnected_ = false;
  bool lineUp_ = false;
  std::uint64_t backlogMessages_ = 0;
  std::uint64_t backlogDropped_ = 0;
};

}  // namespace vktgw
