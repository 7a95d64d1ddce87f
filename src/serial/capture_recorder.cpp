#include "serial/capture_recorder.h"

#include <chrono>
#include <cstdio>
#include <cstring>

namespace vkt::serial {

namespace {

// How long the writer sleeps when the ring is empty. Records carry their own time stamps, so
// this only bounds how far the file lags behind the line.
constexpr std::uint32_t kIdleWaitMs = 5;

}  // namespace

MonotonicWallClock::MonotonicWallClock() {
  using namespace std::chrono;
  wallAtStartUs_ = static_cast<std::uint64_t>(
      duration_cast<microseconds>(system_clock::now().time_since_epoch()).count());
  steadyAtStartUs_ = duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

std::uint64_t MonotonicWallClock::NowUs() {
  using namespace std::chrono;
  const std::int64_t steady =
      duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
  return wallAtStartUs_ + static_cast<std::uint64_t>(steady - steadyAtStartUs_);
}

CaptureRecorder::CaptureRecorder(CaptureClock* clock)
    : clock_(clock != nullptr ? clock : &ownClock_) {}

CaptureRecorder::~CaptureRecorder() { Stop(); }

bool CaptureRecorder::Start(const std::string& path, const std::string& interfaceName,
                            std::uint64_t maxBytes, std::string& error, bool append) {
  Stop();
  if (!file_.Open(path, interfaceName, maxBytes, error, append)) return false;
  if (!slots_) slots_.reset(new Slot[kSlots]);
  head_.store(0);
  tail_.store(0);
  dropped_.store(0);
  droppedWritten_ = 0;
  stop_.store(false);
  if (!thread_.Start([](void* self) { static_cast<CaptureRecorder*>(self)->Run(); }, this)) {
    file_.Close();
    error = "cannot start the capture's writer thread";
    return false;
  }
  return true;
}

void CaptureRecorder::Stop() {
  if (!thread_.Running()) return;
  stop_.store(true, std::memory_order_release);
  thread_.Join();
  file_.Close();
}

CaptureRecorder::Slot* CaptureRecorder::Claim() {
  if (!thread_.Running()) return nullptr;
  const std::uint32_t head = head_.load(std::memory_order_relaxed);
  if (head - tail_.load(std::memory_order_acquire) >= kSlots) {
    dropped_.fetch_add(1, std::memory_order_relaxed);
    return nullptr;
  }
  Slot* slot = &slots_[head % kSlots];
  slot->timeUs = clock_->NowUs();
  return slot;
}

void CaptureRecorder::Publish() {
  head_.store(head_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

void CaptureRecorder::Data(std::uint8_t event, std::uint8_t lines, const void* bytes,
                           std::size_t n) {
  const auto* p = static_cast<const std::uint8_t*>(bytes);
  do {
    Slot* slot = Claim();
    if (slot == nullptr) return;
    const std::size_t take = n < kSlotBytes ? n : kSlotBytes;
    slot->event = event;
    slot->lines = lines;
    slot->dataLength = static_cast<std::uint16_t>(take);
    slot->commentLength = 0;
    slot->timedOut = false;
    if (take > 0) std::memcpy(slot->bytes, p, take);
    Publish();
    p += take;
    n -= take;
  } while (n > 0);
}

void CaptureRecorder::Note(std::uint8_t event, std::uint8_t lines, const char* format, ...) {
  Slot* slot = Claim();
  if (slot == nullptr) return;
  va_list args;
  va_start(args, format);
  const int written = std::vsnprintf(reinterpret_cast<char*>(slot->bytes), kSlotBytes, format, args);
  va_end(args);
  slot->event = event;
  slot->lines = lines;
  slot->dataLength = 0;
  slot->timedOut = false;
  slot->commentLength = static_cast<std::uint16_t>(
      written < 0 ? 0 : (static_cast<std::size_t>(written) < kSlotBytes ? written : kSlotBytes - 1));
  Publish();
}

void CaptureRecorder::ReadTimedOut(std::uint8_t lines, std::uint32_t read, std::uint32_t count,
                                   std::uint32_t ms) {
  Slot* slot = Claim();
  if (slot == nullptr) return;
  slot->event = kEventStatus;
  slot->lines = lines;
  slot->dataLength = 0;
  slot->commentLength = 0;
  slot->timedOut = true;
  const std::uint32_t args[3] = {read, count, ms};
  std::memcpy(slot->bytes, args, sizeof args);
  Publish();
}

void CaptureRecorder::WriteDue() {
  std::uint32_t tail = tail_.load(std::memory_order_relaxed);
  const std::uint32_t head = head_.load(std::memory_order_acquire);
  std::uint64_t lastTime = 0;
  while (tail != head) {
    const Slot& s = slots_[tail % kSlots];
    lastTime = s.timeUs;
    if (s.timedOut) {
      std::uint32_t args[3];
      std::memcpy(args, s.bytes, sizeof args);
      char text[80];
      const int n = std::snprintf(text, sizeof text, "read timed out: %u of %u bytes in %u ms",
                                  static_cast<unsigned>(args[0]), static_cast<unsigned>(args[1]),
                                  static_cast<unsigned>(args[2]));
      file_.Write(s.timeUs, s.event, s.lines, nullptr, 0, text, static_cast<std::size_t>(n));
    } else {
      file_.Write(s.timeUs, s.event, s.lines, s.bytes, s.dataLength,
                  reinterpret_cast<const char*>(s.bytes + s.dataLength), s.commentLength);
    }
    ++tail;
    tail_.store(tail, std::memory_order_release);
  }
  const std::uint64_t dropped = dropped_.load(std::memory_order_relaxed);
  if (dropped != droppedWritten_) {
    char text[96];
    const int n = std::snprintf(text, sizeof text,
                                "%llu records lost: the capture could not keep up with the line",
                                static_cast<unsigned long long>(dropped - droppedWritten_));
    file_.Write(lastTime != 0 ? lastTime : clock_->NowUs(), kEventDataLost, 0, nullptr, 0, text,
                 static_cast<std::size_t>(n));
    droppedWritten_ = dropped;
  }
}

void CaptureRecorder::Run() {
  for (;;) {
    const bool stopping = stop_.load(std::memory_order_acquire);
    WriteDue();
    if (stopping) break;
    file_.Flush();
    CaptureThread::Pause(kIdleWaitMs);
  }
  file_.Flush();
}

}  // namespace vkt::serial
