// What the other threads hand to the gateway's loop: writes from the broker, the news of a
// (re)connection, a stop request. The loop waits here between requests.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "mqtt_client.h"

namespace vktgw {

class Inbox {
 public:
  void PostWrite(IncomingMessage&& m) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      writes_.push_back(std::move(m));
    }
    wake_.notify_one();
  }
  void PostConnected() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      connected_ = true;
    }
    wake_.notify_one();
  }
  void RequestStop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wake_.notify_one();
  }

  bool stopRequested() {
    std::lock_guard<std::mutex> lock(mutex_);
    return stop_;
  }
  // True once after each connection.
  bool TakeConnected() {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool c = connected_;
    connected_ = false;
    return c;
  }
  bool TakeWrite(IncomingMessage& m) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (writes_.empty()) return false;
    m = std::move(writes_.front());
    writes_.pop_front();
    return true;
  }

  // Sleeps until `deadline` or until something arrives.
  void WaitUntil(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_until(lock, deadline, [this] { return stop_ || connected_ || !writes_.empty(); });
  }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<IncomingMessage> writes_;
  bool connected_ = false;
  bool stop_ = false;
};

}  // namespace vktgw
