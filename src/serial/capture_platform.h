// CapturePlatform: a serial seam that passes every call on to another and records what crossed
// the line into a CaptureRecorder: each write as one "sent" record, received bytes as they come
// back from each read, line errors and control-line changes as events, and as notes (status
// records with a comment) the port's open and close, its line settings, purges, each read that
// came back short (timed out) and each short write. A port reset shows as a close and an open.
#pragma once

#include "serial/capture_recorder.h"
#include "serial/comm_platform.h"

namespace vkt::serial {

class CapturePlatform : public CommPlatform {
 public:
  CapturePlatform(CommPlatform& inner, CaptureRecorder& recorder)
      : inner_(inner), recorder_(recorder) {}

  CommHandle CreateFile(const char* deviceName) override;
  bool CloseHandle(CommHandle h) override;
  bool GetCommProperties(CommHandle h, CommProperties& props) override {
    return inner_.GetCommProperties(h, props);
  }
  bool GetCommState(CommHandle h, CommState& state) override {
    return inner_.GetCommState(h, state);
  }
  bool SetCommState(CommHandle h, const CommState& state) override;
  bool GetCommTimeouts(CommHandle h, CommTimeouts& timeouts) override {
    return inner_.GetCommTimeouts(h, timeouts);
  }
  bool SetCommTimeouts(CommHandle h, const CommTimeouts& timeouts) override;
  bool GetCommMask(CommHandle h, std::uint32_t& mask) override {
    return inner_.GetCommMask(h, mask);
  }
  bool SetCommMask(CommHandle h, std::uint32_t mask) override {
    return inner_.SetCommMask(h, mask);
  }
  bool WaitCommEvent(CommHandle h, std::uint32_t& events, std::uint32_t limitMs) override {
    return inner_.WaitCommEvent(h, events, limitMs);
  }
  bool PurgeComm(CommHandle h, std::uint32_t flags) override;
  bool ClearCommError(CommHandle h, std::uint32_t& errors) override;
  bool EscapeCommFunction(CommHandle h, std::uint32_t function) override;
  bool GetCommModemStatus(CommHandle h, std::uint32_t& status) override;
  bool ReadFile(CommHandle h, void* buffer, std::uint32_t count, std::uint32_t& read) override;
  bool WriteFile(CommHandle h, const void* buffer, std::uint32_t count,
                 std::uint32_t& written) override;
  bool GetVersionEx(std::uint32_t structSize, std::uint32_t& platformId) override {
    return inner_.GetVersionEx(structSize, platformId);
  }
  std::uint32_t GetTickCount() override { return inner_.GetTickCount(); }
  void Sleep(std::uint32_t ms) override { inner_.Sleep(ms); }
  void ProcessPendingMessages() override { inner_.ProcessPendingMessages(); }

  // The control lines as last set or seen (kLine* bits).
  std::uint8_t Lines() const { return lines_; }

 private:
  CommPlatform& inner_;
  CaptureRecorder& recorder_;
  std::uint8_t lines_ = 0;
  std::uint32_t readTotalMs_ = 0;  // the read time-out in force, for the time-out notes
};

}  // namespace vkt::serial
