#include "serial/capture_platform.h"

namespace vkt::serial {

namespace {

const char* StopBitsText(std::uint8_t stopBits) {
  switch (stopBits) {
    case kOneStopBit: return "1";
    case 1: return "1.5";
    default: return "2";
  }
}

const char* RtsControlText(std::uint8_t control) {
  switch (control) {
    case kRtsControlDisable: return "off";
    case kRtsControlEnable: return "on";
    case kRtsControlHandshake: return "handshake";
    case kRtsControlToggle: return "toggle";
  }
  return "?";
}

}  // namespace

CommHandle CapturePlatform::CreateFile(const char* deviceName) {
  const CommHandle h = inner_.CreateFile(deviceName);
  if (h == kNoHandle)
    recorder_.Note(kEventStatus, lines_, "open %s failed", deviceName);
  else
    recorder_.Note(kEventStatus, lines_, "open %s", deviceName);
  return h;
}

bool CapturePlatform::CloseHandle(CommHandle h) {
  const bool ok = inner_.CloseHandle(h);
  recorder_.Note(kEventStatus, lines_, "close");
  return ok;
}

bool CapturePlatform::SetCommState(CommHandle h, const CommState& s) {
  const bool ok = inner_.SetCommState(h, s);
  static const char kParity[] = "NOEMS";
  if (s.fDtrControl == kDtrControlEnable) lines_ |= kLineDtr;
  if (s.fDtrControl == kDtrControlDisable) lines_ &= static_cast<std::uint8_t>(~kLineDtr);
  if (s.fRtsControl == kRtsControlEnable) lines_ |= kLineRts;
  if (s.fRtsControl == kRtsControlDisable) lines_ &= static_cast<std::uint8_t>(~kLineRts);
  recorder_.Note(kEventStatus, lines_, "line %u %u%c%s, RTS %s, DTR %s, CTS flow %s%s",
                 static_cast<unsigned>(s.BaudRate), static_cast<unsigned>(s.ByteSize),
                 s.Parity < 5 ? kParity[s.Parity] : '?', StopBitsText(s.StopBits),
                 RtsControlText(s.fRtsControl), s.fDtrControl == kDtrControlEnable ? "on" : "off",
                 s.fOutxCtsFlow ? "on" : "off", ok ? "" : " (refused)");
  return ok;
}

bool CapturePlatform::SetCommTimeouts(CommHandle h, const CommTimeouts& timeouts) {
  const bool ok = inner_.SetCommTimeouts(h, timeouts);
  if (ok) readTotalMs_ = timeouts.ReadTotalTimeoutConstant;
  return ok;
}

bool CapturePlatform::PurgeComm(CommHandle h, std::uint32_t flags) {
  const bool ok = inner_.PurgeComm(h, flags);
  recorder_.Note(kEventStatus, lines_, "purge 0x%X", static_cast<unsigned>(flags));
  return ok;
}

bool CapturePlatform::ClearCommError(CommHandle h, std::uint32_t& errors) {
  const bool ok = inner_.ClearCommError(h, errors);
  if (!ok || errors == 0) return ok;
  if (errors & CE_FRAME) recorder_.Data(kEventFramingError, lines_, nullptr, 0);
  if (errors & CE_RXPARITY) recorder_.Data(kEventParityError, lines_, nullptr, 0);
  if (errors & CE_BREAK) recorder_.Data(kEventBreak, lines_, nullptr, 0);
  if (errors & (CE_OVERRUN | CE_RXOVER)) recorder_.Data(kEventOverflow, lines_, nullptr, 0);
  return ok;
}

bool CapturePlatform::EscapeCommFunction(CommHandle h, std::uint32_t function) {
  const bool ok = inner_.EscapeCommFunction(h, function);
  if (!ok) return ok;
  const std::uint8_t before = lines_;
  switch (function) {
    case SETRTS: lines_ |= kLineRts; break;
    case CLRRTS: lines_ &= static_cast<std::uint8_t>(~kLineRts); break;
    case SETDTR: lines_ |= kLineDtr; break;
    case CLRDTR: lines_ &= static_cast<std::uint8_t>(~kLineDtr); break;
    default: break;
  }
  if (lines_ != before) recorder_.Data(kEventStatus, lines_, nullptr, 0);
  return ok;
}

bool CapturePlatform::GetCommModemStatus(CommHandle h, std::uint32_t& status) {
  const bool ok = inner_.GetCommModemStatus(h, status);
  if (!ok) return ok;
  std::uint8_t lines = lines_ & static_cast<std::uint8_t>(kLineRts | kLineDtr);
  if (status & MS_CTS_ON) lines |= kLineCts;
  if (status & MS_DSR_ON) lines |= kLineDsr;
  if (status & MS_RLSD_ON) lines |= kLineDcd;
  if (status & MS_RING_ON) lines |= kLineRing;
  if (lines != lines_) {
    lines_ = lines;
    recorder_.Data(kEventStatus, lines_, nullptr, 0);
  }
  return ok;
}

bool CapturePlatform::ReadFile(CommHandle h, void* buffer, std::uint32_t count,
                               std::uint32_t& read) {
  const bool ok = inner_.ReadFile(h, buffer, count, read);
  if (read > 0 && read <= count) recorder_.Data(kEventReceived, lines_, buffer, read);
  if (!ok)
    recorder_.Note(kEventStatus, lines_, "read failed");
  else if (read < count)
    recorder_.ReadTimedOut(lines_, read, count, readTotalMs_);
  return ok;
}

bool CapturePlatform::WriteFile(CommHandle h, const void* buffer, std::uint32_t count,
                                std::uint32_t& written) {
  // Stamped before the call: the record's time is when the bytes went out, and a blocking write
  // returns only once they have.
  recorder_.Data(kEventSent, lines_, buffer, count);
  const bool ok = inner_.WriteFile(h, buffer, count, written);
  if (!ok || written < count)
    recorder_.Note(kEventStatus, lines_, "write %s: %u of %u bytes", ok ? "short" : "failed",
                   static_cast<unsigned>(written), static_cast<unsigned>(count));
  return ok;
}

}  // namespace vkt::serial
