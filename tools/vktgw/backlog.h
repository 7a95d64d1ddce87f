// The messages that wait for the broker, on a thread of their own so that the scan loop never
// waits for the disk. The loop hands a message over (a bounded queue in memory); the thread
// appends it to the journal, syncs the journal about once a second, and while the broker is
// there sends the journal's records in their order, a window at a time, moving the delivered
// position only over records the broker acknowledged.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include "backlog_journal.h"
#include "metrics.h"
#include "mqtt_client.h"

namespace vktgw {

class Backlog {
 public:
  explicit Backlog(MqttClient& mqtt) : mqtt_(mqtt) {}
  ~Backlog() { Stop(0); }
  Backlog(const Backlog&) = delete;
  Backlog& operator=(const Backlog&) = delete;

  // Opens the journal in `dir` (what a crash left damaged is cut off and logged) and starts
  // the thread. False with `error` when the directory cannot be used.
  bool Start(const std::string& dir, std::uint64_t maxBytes, Metrics* metrics, std::string& error);

  // Sends nothing more, waits up to `timeoutMs` for what was sent to be acknowledged, writes
  // what is queued and syncs the journal.
  void Stop(int timeoutMs);

  // True while a message handed over now would overtake one that waits: the loop then hands
  // it over too, instead of publishing it.
  bool holding();
  // Never blocks: a full queue loses its oldest message, counted as dropped.
  void Append(std::string topic, std::string payload, bool retain);
  // Messages dropped for want of room since the start.
  std::uint64_t dropped();

  // From the network thread: the broker acknowledged message `mid`; a connection was made.
  void OnAcknowledged(int mid);
  void Wake();

 private:
  struct Message {
    std::string topic, payload;
    bool retain;
  };
  void Run();
  void Settle(const std::vector<int>& mids);
  void Send();
  void Fail(const std::string& what, const std::string& error);

  MqttClient& mqtt_;
  BacklogJournal journal_;  // the thread's own, once started
  Metrics* metrics_ = nullptr;
  std::thread thread_;

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Message> queue_;
  std::vector<int> acknowledged_;
  bool woken_ = false;
  bool stop_ = false;
  std::chrono::steady_clock::time_point stopBy_;
  bool ahead_ = false;  // records in the journal not yet handed to the client
  std::uint64_t queueDropped_ = 0;
  std::uint64_t dropped_ = 0;  // of the journal and the queue, as of the thread's last round

  // The thread's own: records handed to the client and not yet settled.
  std::uint64_t sent_ = 0;                        // the highest sequence handed over
  std::map<std::uint64_t, bool> inFlight_;        // sequence -> acknowledged
  std::unordered_map<int, std::uint64_t> byMid_;  // message id -> sequence
  bool failing_ = false;
};

}  // namespace vktgw
