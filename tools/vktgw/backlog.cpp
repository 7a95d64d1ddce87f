#include "backlog.h"

#include <cstdio>

namespace vktgw {

namespace {

using Clock = std::chrono::steady_clock;

// Records handed to the client before their acknowledgements are awaited.
constexpr std::size_t kWindow = 32;
// Messages that may wait in memory for the thread; far above what a scan produces while the
// disk is merely slow.
constexpr std::size_t kMaxQueued = 20000;
// A power cut loses at most about this much of what was appended.
constexpr auto kSyncEvery = std::chrono::milliseconds(1000);
constexpr auto kIdleWake = std::chrono::milliseconds(250);

}  // namespace

bool Backlog::Start(const std::string& dir, std::uint64_t maxBytes, Metrics* metrics,
                    std::string& error) {
  std::vector<std::string> repairs;
  if (!journal_.Open(dir, maxBytes, error, repairs)) return false;
  for (const std::string& r : repairs) std::fprintf(stderr, "vktgw: backlog: %s\n", r.c_str());
  if (journal_.pending() > 0)
    std::fprintf(stderr, "vktgw: backlog: %llu messages wait for the broker\n",
                 static_cast<unsigned long long>(journal_.pending()));
  metrics_ = metrics;
  sent_ = journal_.delivered();
  ahead_ = journal_.pending() > 0;
  if (metrics_ != nullptr) metrics_->Backlog(journal_.pending(), 0);
  thread_ = std::thread([this] { Run(); });
  return true;
}

void Backlog::Stop(int timeoutMs) {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    stopBy_ = Clock::now() + std::chrono::milliseconds(timeoutMs);
  }
  wake_.notify_all();
  thread_.join();
}

bool Backlog::holding() {
  std::lock_guard<std::mutex> lock(mutex_);
  return ahead_ || !queue_.empty();
}

void Backlog::Append(std::string topic, std::string payload, bool retain) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (queue_.size() >= kMaxQueued) {
      queue_.pop_front();
      ++queueDropped_;
    }
    queue_.push_back({std::move(topic), std::move(payload), retain});
  }
  wake_.notify_one();
}

std::uint64_t Backlog::dropped() {
  std::lock_guard<std::mutex> lock(mutex_);
  return dropped_ + queueDropped_;
}

void Backlog::OnAcknowledged(int mid) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    acknowledged_.push_back(mid);
  }
  wake_.notify_one();
}

void Backlog::Wake() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    woken_ = true;
  }
  wake_.notify_one();
}

void Backlog::Fail(const std::string& what, const std::string& error) {
  // said once per run of failures, not once per message
  if (!failing_) std::fprintf(stderr, "vktgw: backlog: %s: %s\n", what.c_str(), error.c_str());
  failing_ = true;
}

void Backlog::Settle(const std::vector<int>& mids) {
  // An acknowledgement is always taken after its message was noted: both are handled on
  // this thread, and the note comes right after the hand-over.
  for (int mid : mids) {
    const auto it = byMid_.find(mid);
    if (it == byMid_.end()) continue;  // a live message, not one of ours
    inFlight_[it->second] = true;
    byMid_.erase(it);
  }
  std::uint64_t upTo = 0;
  while (!inFlight_.empty() && inFlight_.begin()->second) {
    upTo = inFlight_.begin()->first;
    inFlight_.erase(inFlight_.begin());
  }
  if (upTo == 0) return;
  // Written at once, so a killed process sends nothing twice; made durable by the next Sync.
  std::string error;
  if (!journal_.Acknowledge(upTo, false, error)) Fail("cannot record what was delivered", error);
}

void Backlog::Send() {
  std::vector<JournalRecord> records;
  std::string error;
  while (inFlight_.size() < kWindow) {
    if (!journal_.ReadAfter(sent_, kWindow - inFlight_.size(), records, error)) {
      Fail("cannot read the journal", error);
      return;
    }
    if (records.empty()) return;
    for (const JournalRecord& r : records) {
      // Handed over only while connected; a message the client holds is sent again by the
      // client itself after a reconnection, so it is never handed over twice.
      if (!mqtt_.connected()) return;
      const int mid = mqtt_.Publish(r.topic, r.payload, r.retain);
      if (mid == 0) return;
      byMid_[mid] = r.seq;
      inFlight_[r.seq] = false;
      sent_ = r.seq;
    }
  }
}

void Backlog::Run() {
  std::deque<Message> batch;
  std::vector<int> mids;
  auto syncedAt = Clock::now();
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait_for(lock, kIdleWake, [this] {
      return stop_ || woken_ || !queue_.empty() || !acknowledged_.empty();
    });
    woken_ = false;
    batch.swap(queue_);
    mids.swap(acknowledged_);
    const bool stopping = stop_;
    const auto stopBy = stopBy_;
    const std::uint64_t queueDropped = queueDropped_;
    if (!batch.empty()) ahead_ = true;  // until they are handed over, live ones wait too
    lock.unlock();

    std::string error;
    for (const Message& m : batch) {
      if (journal_.Append(m.topic, m.payload, m.retain, error)) {
        failing_ = false;
      } else {
        Fail("cannot keep a message", error);
      }
    }
    batch.clear();
    Settle(mids);
    mids.clear();
    if (!stopping) Send();
    const auto now = Clock::now();
    if (now - syncedAt >= kSyncEvery) {
      if (!journal_.Sync(error)) Fail("cannot sync the journal", error);
      syncedAt = now;
    }
    if (metrics_ != nullptr) metrics_->Backlog(journal_.pending(), journal_.dropped() + queueDropped);
    const bool connected = mqtt_.connected();

    lock.lock();
    ahead_ = journal_.lastSeq() > sent_;
    dropped_ = journal_.dropped();
    if (stopping && queue_.empty() && acknowledged_.empty() &&
        (inFlight_.empty() || !connected || Clock::now() >= stopBy)) {
      lock.unlock();
      if (!journal_.Sync(error)) Fail("cannot sync the journal", error);
      return;
    }
  }
}

}  // namespace vktgw
