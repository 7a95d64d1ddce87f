#include "metrics.h"

#include <cstdio>

namespace vktgw {

namespace {

std::string Number(double v) {
  char b[32];
  std::snprintf(b, sizeof b, "%.9g", v);
  return b;
}

void Head(std::string& out, const char* name, const char* type, const char* help) {
  out += "# HELP ";
  out += name;
  out += ' ';
  out += help;
  out += "\n# TYPE ";
  out += name;
  out += ' ';
  out += type;
  out += '\n';
}

// Label values are poll names from the configuration: escape what the format requires.
std::string Escape(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}

}  // namespace

Metrics::Metrics(const std::vector<int>& stations, const std::vector<std::string>& polls) {
  for (int s : stations) stations_[s];
  for (const std::string& p : polls) overruns_[p];
}

void Metrics::Request(int station, const char* op, std::int32_t code, double seconds) {
  std::lock_guard<std::mutex> lock(mutex_);
  Station& s = stations_[station];
  (op[0] == 'w' ? s.writes : s.reads)++;
  if (code != 0) ++s.failures[code];
  for (std::size_t i = 0; i < kBuckets.size(); ++i)
    if (seconds <= kBuckets[i]) ++s.buckets[i];
  ++s.count;
  s.sum += seconds;
}

void Metrics::StationState(int station, int state) {
  std::lock_guard<std::mutex> lock(mutex_);
  stations_[station].state = state;
}

void Metrics::Demotion(int station) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++stations_[station].demotions;
}

void Metrics::Overrun(const std::string& poll) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++overruns_[poll];
}

void Metrics::MqttConnected(bool up) {
  std::lock_guard<std::mutex> lock(mutex_);
  mqttConnected_ = up;
}

void Metrics::LineUp(bool up) {
  std::lock_guard<std::mutex> lock(mutex_);
  lineUp_ = up;
}

void Metrics::Backlog(std::uint64_t messages, std::uint64_t dropped) {
  std::lock_guard<std::mutex> lock(mutex_);
  backlogMessages_ = messages;
  backlogDropped_ = dropped;
}

std::string Metrics::Render() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string out;
  Head(out, "vktgw_requests_total", "counter", "Requests put on the line, by station and operation.");
  for (const auto& [a, s] : stations_) {
    const std::string st = std::to_string(a);
    out += "vktgw_requests_total{station=\"" + st + "\",op=\"read\"} " + std::to_string(s.reads) + "\n";
    out += "vktgw_requests_total{station=\"" + st + "\",op=\"write\"} " + std::to_string(s.writes) + "\n";
  }
  Head(out, "vktgw_failures_total", "counter", "Failed requests, by station and result code.");
  for (const auto& [a, s] : stations_)
    for (const auto& [code, n] : s.failures)
      out += "vktgw_failures_total{station=\"" + std::to_string(a) + "\",code=\"" +
             std::to_string(code) + "\"} " + std::to_string(n) + "\n";
  Head(out, "vktgw_response_seconds", "histogram", "Time from a request to its outcome.");
  for (const auto& [a, s] : stations_) {
    const std::string st = "station=\"" + std::to_string(a) + "\"";
    for (std::size_t i = 0; i < kBuckets.size(); ++i)
      out += "vktgw_response_seconds_bucket{" + st + ",le=\"" + Number(kBuckets[i]) + "\"} " +
             std::to_string(s.buckets[i]) + "\n";
    out += "vktgw_response_seconds_bucket{" + st + ",le=\"+Inf\"} " + std::to_string(s.count) + "\n";
    out += "vktgw_response_seconds_sum{" + st + "} " + Number(s.sum) + "\n";
    out += "vktgw_response_seconds_count{" + st + "} " + std::to_string(s.count) + "\n";
  }
  Head(out, "vktgw_station_state", "gauge", "Station state: 0 online, 1 demoted, 2 offline.");
  for (const auto& [a, s] : stations_)
    out += "vktgw_station_state{station=\"" + std::to_string(a) + "\"} " + std::to_string(s.state) + "\n";
  Head(out, "vktgw_demotions_total", "counter", "Times a station was taken off scan.");
  for (const auto& [a, s] : stations_)
    out += "vktgw_demotions_total{station=\"" + std::to_string(a) + "\"} " + std::to_string(s.demotions) + "\n";
  Head(out, "vktgw_scan_overruns_total", "counter", "Scans of a poll group skipped for being a whole interval late.");
  for (const auto& [p, n] : overruns_)
    out += "vktgw_scan_overruns_total{poll=\"" + Escape(p) + "\"} " + std::to_string(n) + "\n";
  Head(out, "vktgw_mqtt_connected", "gauge", "1 while the broker connection is up.");
  out += "vktgw_mqtt_connected " + std::to_string(mqttConnected_ ? 1 : 0) + "\n";
  Head(out, "vktgw_backlog_messages", "gauge", "Messages waiting for the broker.");
  out += "vktgw_backlog_messages " + std::to_string(backlogMessages_) + "\n";
  Head(out, "vktgw_backlog_dropped_total", "counter", "Waiting messages dropped, oldest first, for want of room.");
  out += "vktgw_backlog_dropped_total " + std::to_string(backlogDropped_) + "\n";
  Head(out, "vktgw_line_up", "gauge", "1 while the driver has the serial line open.");
  out += "vktgw_line_up " + std::to_string(lineUp_ ? 1 : 0) + "\n";
  return out;
}

}  // namespace vktgw
