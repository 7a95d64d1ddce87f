// The simulator's end of the serial line: a pseudo-terminal it creates or a real device, and
// an output queue that holds delayed responses and paces bytes at the wire speed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "options.h"
#include "serial/capture_recorder.h"
#include "report.h"

namespace vktsim {

class Line {
 public:
  Line(const Options& options, Report& report);
  ~Line();
  Line(const Line&) = delete;
  Line& operator=(const Line&) = delete;

  // Creates the pseudo-terminal (raw) or opens and configures the device. `path` is the
  // device the station side listens on.
  bool Open(std::string& path, std::string& error);
  int fd() const { return fd_; }
  // A pseudo-terminal can lose its other side; a device cannot.
  bool isPty() const { return pty_; }

  // Queues bytes to leave no earlier than `notBeforeUs`. Bytes always leave in queue order.
  void Queue(const std::uint8_t* bytes, std::size_t n, std::int64_t notBeforeUs);
  // Records what leaves the line into `capture` from now on (null: stops recording).
  void SetCapture(vkt::serial::CaptureRecorder* capture) { capture_ = capture; }
  // Forgets everything still queued (the other side went away).
  void Discard();

  // Writes what is due. False when the line failed for good.
  bool Flush(std::int64_t nowUs);
  // When Flush has more to do: -1 nothing queued, else the time (now or earlier: ready).
  std::int64_t NextDueUs() const;
  // True when the last write stopped because the line was full.
  bool wantsWritable() const { return blocked_; }

 private:
  struct Segment {
    std::int64_t notBeforeUs = 0;
    std::uint16_t length = 0;
    std::uint16_t sent = 0;
    std::uint8_t bytes[600];
  };
  static constexpr int kSegments = 128;

  bool ConfigureDevice(std::string& error);

  const Options& options_;
  Report& report_;
  vkt::serial::CaptureRecorder* capture_ = nullptr;
  int fd_ = -1;
  bool pty_ = false;
  bool blocked_ = false;
  double byteUs_ = 0;
  std::int64_t wireFreeUs_ = 0;  // when the last paced byte has left the wire
  Segment* segments_ = nullptr;  // ring of kSegments
  int head_ = 0;
  int count_ = 0;
};

}  // namespace vktsim
