// The gateway's loop: one request on the line at a time, writes ahead of waiting reads,
// each poll group at its interval, and every outcome published to the broker.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "backlog.h"
#include "config.h"
#include "element.h"
#include "health.h"
#include "inbox.h"
#include "line.h"
#include "metrics.h"
#include "mqtt_client.h"
#include "payloads.h"
#include "schedule.h"

namespace vktgw {

// Counters of the whole gateway, next to the per-station ones in its status topics.
struct GatewayCounters {
  std::uint64_t reads = 0;
  std::uint64_t readFailures = 0;
  std::uint64_t writes = 0;
  std::uint64_t writeFailures = 0;
  std::uint64_t malformedWrites = 0;
  std::uint64_t overruns = 0;
};

class Gateway {
 public:
  Gateway(const GatewayConfig& config, DriverLine& line, MqttClient& mqtt, Inbox& inbox);

  // Starts the driver and runs until a stop is requested; then publishes the offline status
  // and stops the driver.
  void Run();

  const GatewayCounters& counters() const { return counters_; }

  // Where value and status changes wait while the broker is away; none by default (then
  // only the last retained state goes out on reconnection).
  void SetBacklog(Backlog* backlog) { backlog_ = backlog; }

  // Where the loop records its metrics; none by default.
  void SetMetrics(Metrics* metrics) { metrics_ = metrics; }

  // The service manager's notifications ("READY=1", "WATCHDOG=1", "STATUS=..."): READY once
  // the first scan is done, STATUS when the stations online change, WATCHDOG from the loop
  // every `watchdogMs` (0: none), so a line stuck in one request stops the pings.
  void SetNotify(std::function<void(const std::string&)> notify, std::int64_t watchdogMs) {
    notify_ = std::move(notify);
    watchdogMs_ = watchdogMs;
  }

 private:
  struct Station {
    int address;
    StationHealth health;
    StationCounters counters;
    std::string since;
    std::int64_t publishedMs = 0;
    bool dirty = false;  // counters changed since the last status publish
  };
  struct Group {
    const PollGroup* poll;
    Station* station;
    std::vector<ElementState> elements;
  };

  std::int64_t NowMs() const;
  // A retained value or status change. `ts`: the time stamp a late copy adds (empty when
  // the payload has its own); `mayWait` false for the gateway's own status, never late.
  void Publish(const std::string& topic, const std::string& payload, const std::string& ts = {},
               bool mayWait = true);
  void OnConnected();
  void Republish();
  void StartLine();
  void LineDown(std::int32_t code);
  void ServeWrite(const IncomingMessage& m);
  void ReadGroup(int g);
  void PublishStation(Station& s);
  void Record(Station* s, int station, const char* op, std::int32_t code, std::int64_t startUs);
  void RefreshStations();
  void Notify(std::int64_t now, bool scanDone);
  std::string ElementTopic(const Group& g, int i) const;

  const GatewayConfig& config_;
  DriverLine& line_;
  MqttClient& mqtt_;
  Inbox& inbox_;
  std::vector<std::unique_ptr<Station>> stations_;
  std::map<int, Station*> byAddress_;
  std::vector<Group> groups_;
  Scheduler scheduler_;
  std::map<std::string, std::string> retained_;  // republished after every reconnection
  std::set<std::string> unsent_;                 // retained topics not handed to the client
  bool reconnection_ = false;
  Backlog* backlog_ = nullptr;
  // Topics whose latest state went into the backlog since the last republish: the backlog
  // delivers it (retained), so the republish leaves them out and sends nothing twice.
  std::set<std::string> journaled_;
  bool republishPending_ = false;  // connected, the republish waits for the backlog
  std::uint64_t droppedSeen_ = 0;  // the backlog's drops at the last republish
  GatewayCounters counters_;
  bool lineUp_ = false;
  std::int32_t lineCode_ = 0;
  std::int64_t lineRetryMs_ = 0;
  std::int64_t lineRetryPeriodMs_ = 0;
  std::vector<double> values_;
  Metrics* metrics_ = nullptr;
  std::function<void(const std::string&)> notify_;
  std::int64_t watchdogMs_ = 0;
  std::int64_t pingedMs_ = 0;
  bool ready_ = false;
  int onlineNotified_ = -1;
};

}  // namespace vktgw
