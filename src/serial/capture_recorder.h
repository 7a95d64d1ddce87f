// CaptureRecorder: takes line records from the thread that drives the line and writes them to a
// pcapng file on a thread of its own, so the line never waits for the disk.
//
// The two threads meet only in a fixed ring of slots with one producer and one consumer: the
// producer copies a record into the next free slot (no lock, no allocation, no system call)
// and the writer thread takes slots out in order. When the ring is full the record is dropped
// and counted; the writer then puts a "records lost" event into the file. Only one thread may
// record.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <memory>
#include <string>

#include "serial/capture_pcapng.h"
#include "serial/capture_thread.h"

namespace vkt::serial {

// Where the records' time stamps come from: microseconds since 1970.
class CaptureClock {
 public:
  virtual ~CaptureClock() = default;
  virtual std::uint64_t NowUs() = 0;
};

// The monotonic clock, anchored to the wall clock once when it is made, so a change of the
// system time during a capture does not reorder its records.
class MonotonicWallClock : public CaptureClock {
 public:
  MonotonicWallClock();
  std::uint64_t NowUs() override;

 private:
  std::uint64_t wallAtStartUs_;
  std::int64_t steadyAtStartUs_;
};

class CaptureRecorder {
 public:
  static constexpr std::size_t kSlotBytes = 500;  // data and comment of one slot
  static constexpr std::uint32_t kSlots = 1024;

  // `clock` null: a MonotonicWallClock. The clock must outlive the recorder.
  explicit CaptureRecorder(CaptureClock* clock = nullptr);
  ~CaptureRecorder();
  CaptureRecorder(const CaptureRecorder&) = delete;
  CaptureRecorder& operator=(const CaptureRecorder&) = delete;

  // Opens the file (truncated, or appended to as a new section) and starts the writer thread.
  // maxBytes 0: unbounded.
  bool Start(const std::string& path, const std::string& interfaceName, std::uint64_t maxBytes,
             std::string& error, bool append = false);
  // Writes what is still in the ring, closes the file and ends the writer thread.
  void Stop();
  bool Running() const { return thread_.Running(); }

  // Bytes that crossed the line; a run longer than a slot becomes several records.
  void Data(std::uint8_t event, std::uint8_t lines, const void* bytes, std::size_t n);
  // An event without data, with a comment (printf format; cut to fit a slot).
  void Note(std::uint8_t event, std::uint8_t lines, const char* format, ...)
#if defined(__GNUC__)
      __attribute__((format(printf, 4, 5)))
#endif
      ;

  // A read that came back short: "read timed out: READ of COUNT bytes in MS ms". It comes with
  // nearly every request (the quiet-line read before it), so the text is made by the writer
  // thread, not on the line's.
  void ReadTimedOut(std::uint8_t lines, std::uint32_t read, std::uint32_t count, std::uint32_t ms);

  // Records dropped because the ring was full.
  std::uint64_t Dropped() const { return dropped_.load(std::memory_order_relaxed); }

 private:
  struct Slot {
    std::uint64_t timeUs;
    std::uint8_t event;
    std::uint8_t lines;
    std::uint16_t dataLength;
    std::uint16_t commentLength;
    bool timedOut;  // bytes hold three uint32: read, count, ms; the comment is made on writing
    std::uint8_t bytes[kSlotBytes];
  };

  Slot* Claim();
  void Publish();
  void Run();
  void WriteDue();

  MonotonicWallClock ownClock_;
  CaptureClock* clock_;
  PcapngWriter file_;
  std::unique_ptr<Slot[]> slots_;
  alignas(64) std::atomic<std::uint32_t> head_{0};  // next slot the producer fills
  alignas(64) std::atomic<std::uint32_t> tail_{0};  // next slot the writer takes
  alignas(64) std::atomic<std::uint64_t> dropped_{0};
  std::atomic<bool> stop_{false};
  std::uint64_t droppedWritten_ = 0;  // writer thread only
  CaptureThread thread_;
};

}  // namespace vkt::serial
