#include "serial/asc_drv.h"

#include <cstdio>

namespace vkt {

using namespace serial;

namespace {

// Capabilities a port must offer to be used.
constexpr std::uint32_t kRequiredCapabilities = PCF_INTTIMEOUTS | PCF_RTSCTS | PCF_TOTALTIMEOUTS;
constexpr std::uint32_t kOpenEventMask = EV_RXCHAR | EV_TXEMPTY | EV_CTS | EV_ERR;  // 0x8D
constexpr std::uint32_t kVersionInfoExSize = 156;
constexpr std::uint32_t kVersionInfoSize = 148;

// The largest count one call moves: counts travel back as 16-bit signed values.
constexpr std::int32_t kMaxTransfer = 32767;

// Least time between two attempts to open a port again that a reset could not reopen.
constexpr std::uint32_t kReopenIntervalMs = 1000;

// Short-read code from the error word: the bit latest in this list wins.
ResultCode LineErrorCode(std::uint32_t errors) {
  struct Row {
    std::uint32_t bit;
    ResultCode code;
  };
  static constexpr Row kByRisingPriority[] = {
      {CE_IOE, kDeviceIoError},   {CE_FRAME, kFramingError}, {CE_OVERRUN, kOverrun},
      {CE_RXOVER, kRxOverflow},   {CE_RXPARITY, kParityError}, {CE_TXFULL, kTxFull},
  };
  ResultCode code = kReadTimeout;
  for (const Row& row : kByRisingPriority)
    if (errors & row.bit) code = row.code;
  return code;
}

// Milliseconds from a computed float, cut toward zero; negative or NaN gives 0 and values past
// the 32-bit range saturate, so odd line settings never make an undefined conversion.
std::uint32_t TruncMs(float ms) {
  if (!(ms > 0.0f)) return 0;
  if (ms >= 4294967040.0f) return 0xFFFFFFFFu;
  return static_cast<std::uint32_t>(ms);
}

std::int32_t ClampCount(std::int32_t count) {
  if (count < 0) return 0;
  return count > kMaxTransfer ? kMaxTransfer : count;
}

}  // namespace

TAscDrv::TAscDrv(TComponent* owner, CommPlatform* platform)
    : TComponent(owner), Os_(platform ? platform : &SystemPlatform()) {
  QueryPlatform();
}

TAscDrv::~TAscDrv() { TAscDrv::ClosePort(); }

void TAscDrv::QueryPlatform() {
  std::uint32_t id = 0;
  bool ok = Os_->GetVersionEx(kVersionInfoExSize, id);
  if (!ok) ok = Os_->GetVersionEx(kVersionInfoSize, id);
  if (!ok) {
    Platform_ = 0;
    InitError_ = kPlatformUnsupported;
    return;
  }
  switch (id) {
    case 0:  // Win32s
      Platform_ = 3;
      InitError_ = kPlatformUnsupported;
      break;
    case 1:  // Windows 95/98 family: the driver switches RTS itself
      Platform_ = 2;
      break;
    case 2:  // Windows NT family
      Platform_ = 1;
      break;
    default:
      Platform_ = 4;
      break;
  }
}

float TAscDrv::CharacterTime() const {
  // No character time without a usable rate; such a port is never configured.
  if (BaudRate_ <= 0) return 0.0f;
  // Summed in float: extreme field values must not overflow the integer sum.
  float bits = static_cast<float>(DataBits_) + static_cast<float>(StopBits_) + 2.0f;
  if (Parity_ != 0) bits += 1.0f;
  if (bits < 0.0f) bits = 0.0f;
  return (1000.0f / static_cast<float>(BaudRate_)) * bits;
}

void TAscDrv::AcquirePort() {
  if (InitError_ != kOk || PortNumber_ < 1 || PortNumber_ > 8) return;
  char name[16];
  std::snprintf(name, sizeof name, "COM%d", static_cast<int>(PortNumber_));
  const CommHandle h = Os_->CreateFile(name);
  if (h == kNoHandle) return;

  // A port whose properties cannot be read is still used: its state is saved as usual so
  // that close puts back a real state.
  CommProperties props;
  if (Os_->GetCommProperties(h, props)) {
    if (!(props.dwServiceMask & SP_SERIALCOMM) ||
        (props.dwProvCapabilities & kRequiredCapabilities) != kRequiredCapabilities) {
      Os_->CloseHandle(h);
      return;
    }
  }
  const bool gotState = Os_->GetCommState(h, SavedState_);
  if (gotState && Platform_ == 2) SavedState_.fRtsControl = kRtsControlDisable;
  const bool gotTimeouts = Os_->GetCommTimeouts(h, SavedTimeouts_);
  Os_->GetCommMask(h, SavedEventMask_);
  const bool purged = Os_->PurgeComm(h, PURGE_ALL);
  if (!gotState || !gotTimeouts || !purged) {
    Os_->CloseHandle(h);
    return;
  }
  PortHandle_ = h;
}

bool TAscDrv::ConfigurePort() {
  // A rate of zero or below has no character time and no port accepts it.
  if (BaudRate_ <= 0) return false;
  if (!Os_->GetCommState(PortHandle_, WorkState_)) return false;
  WorkState_.BaudRate = static_cast<std::uint32_t>(BaudRate_);
  WorkState_.ByteSize = static_cast<std::uint8_t>(DataBits_);
  WorkState_.Parity = static_cast<std::uint8_t>(Parity_);
  WorkState_.StopBits = StopBits_ == 1 ? kOneStopBit : kTwoStopBits;
  WorkState_.fBinary = true;
  WorkState_.fParity = Parity_ != 0;
  WorkState_.fOutxCtsFlow = ModemMode_;
  WorkState_.fOutxDsrFlow = false;
  WorkState_.fDtrControl = kDtrControlEnable;
  WorkState_.fDsrSensitivity = ModemMode_;
  WorkState_.fOutX = false;
  WorkState_.fInX = false;
  WorkState_.fErrorChar = false;
  WorkState_.fNull = false;
  WorkState_.fAbortOnError = true;
  WorkState_.fRtsControl = ModemMode_ ? kRtsControlEnable : kRtsControlDisable;
  // Outside the 95/98 family the port itself keys RTS for RS-485.
  if (Platform_ != 2 && Rs485Mode_) WorkState_.fRtsControl = kRtsControlToggle;
  if (!Os_->SetCommState(PortHandle_, WorkState_)) return false;

  const float t = CharacterTime();
  const std::uint32_t perByte = TruncMs(2.0f * t + 0.5f);
  CommTimeouts timeouts;
  if (!Os_->GetCommTimeouts(PortHandle_, timeouts)) return false;
  timeouts.ReadIntervalTimeout = 100;
  timeouts.ReadTotalTimeoutMultiplier = perByte;
  timeouts.ReadTotalTimeoutConstant = 150;
  timeouts.WriteTotalTimeoutMultiplier = perByte;
  timeouts.WriteTotalTimeoutConstant = 150;
  if (!Os_->SetCommTimeouts(PortHandle_, timeouts)) return false;
  Os_->SetCommMask(PortHandle_, kOpenEventMask);
  return true;
}

void TAscDrv::OpenPort() {
  if (Active_) return;
  if (PortHandle_ == kNoHandle) AcquirePort();
  if (PortHandle_ == kNoHandle) return;
  if (!ConfigurePort()) {
    // Release at once, so no half-open handle stays reachable and the next open starts afresh.
    Active_ = true;
    ReleasePort();
    Active_ = false;
    return;
  }
  Active_ = true;
  ReopenPending_ = false;
}

void TAscDrv::ReleasePort() {
  if (!Active_) return;
  Os_->SetCommState(PortHandle_, SavedState_);
  Os_->SetCommTimeouts(PortHandle_, SavedTimeouts_);
  Os_->SetCommMask(PortHandle_, SavedEventMask_);
  Os_->CloseHandle(PortHandle_);
  PortHandle_ = kNoHandle;
}

void TAscDrv::ClosePort() {
  ReleasePort();
  Active_ = false;
  ReopenPending_ = false;
}

void TAscDrv::SetActive(bool value) {
  if (value == Active_) return;
  if (value)
    OpenPort();
  else
    ClosePort();
}

void TAscDrv::ResetPort() {
  if (!Active_) return;
  ClosePort();
  OpenPort();
  if (!Active_) {
    ReopenPending_ = true;
    LastReopenTry_ = Os_->GetTickCount();
  }
}

bool TAscDrv::RetryReopen() {
  if (Active_) return true;
  if (!ReopenPending_) return false;
  const std::uint32_t now = Os_->GetTickCount();
  // Unsigned difference: correct across the tick counter's wrap.
  if (now - LastReopenTry_ < kReopenIntervalMs) return false;
  LastReopenTry_ = now;
  OpenPort();
  if (!Active_) return false;
  ReopenPending_ = false;
  return true;
}

void TAscDrv::Reopen() {
  if (!Active_) return;
  SetActive(false);
  SetActive(true);
}

void TAscDrv::SetPortNumber(std::int32_t value) {
  if (value == PortNumber_) return;
  PortNumber_ = value;
  Reopen();
}
void TAscDrv::SetBaudRate(std::int32_t value) {
  if (value == BaudRate_) return;
  BaudRate_ = value;
  Reopen();
}
void TAscDrv::SetDataBits(std::int32_t value) {
  if (value == DataBits_) return;
  DataBits_ = value;
  Reopen();
}
void TAscDrv::SetParity(std::int32_t value) {
  if (value == Parity_) return;
  Parity_ = value;
  Reopen();
}
void TAscDrv::SetStopBits(std::int32_t value) {
  if (value == StopBits_) return;
  StopBits_ = value;
  Reopen();
}
void TAscDrv::SetRadioMode(bool value) {
  if (value == RadioMode_) return;
  RadioMode_ = value;
  Reopen();
}
void TAscDrv::SetRs485Mode(bool value) {
  if (value == Rs485Mode_) return;
  Rs485Mode_ = value;
  Reopen();
}
void TAscDrv::SetModemMode(bool value) {
  if (value == ModemMode_) return;
  ModemMode_ = value;
  Reopen();
}

void TAscDrv::SetTimeouts(std::int32_t readConstant, std::int32_t writeConstant) {
  if (PortHandle_ == kNoHandle) return;
  CommTimeouts timeouts;
  if (!Os_->GetCommTimeouts(PortHandle_, timeouts)) return;
  if (readConstant != -1) timeouts.ReadTotalTimeoutConstant = static_cast<std::uint32_t>(readConstant);
  if (writeConstant != -1)
    timeouts.WriteTotalTimeoutConstant = static_cast<std::uint32_t>(writeConstant);
  Os_->SetCommTimeouts(PortHandle_, timeouts);
}

ResultCode TAscDrv::ReadBytes(void* buffer, std::int32_t& count) {
  if (PortHandle_ == kNoHandle) return kNoPortHandle;
  const std::int32_t wanted = ClampCount(count);
  // No buffer to read into: refused before the port is touched.
  if (!buffer && wanted > 0) return kReadFailed;
  std::uint32_t got = 0;
  if (!Os_->ReadFile(PortHandle_, buffer, static_cast<std::uint32_t>(wanted), got)) {
    PurgeLine();
    return kReadFailed;
  }
  ResultCode code = kOk;
  if (static_cast<std::int32_t>(got) != wanted) {
    std::uint32_t errors = 0;
    if (!Os_->ClearCommError(PortHandle_, errors)) return kLineErrorQueryFailed;
    code = LineErrorCode(errors);
  }
  count = static_cast<std::int16_t>(got);
  return code;
}

ResultCode TAscDrv::WriteBytes(const void* buffer, std::int32_t& count) {
  if (PortHandle_ == kNoHandle) return kNoPortHandle;
  const std::int32_t wanted = ClampCount(count);
  if (wanted == 0) return kOk;
  // No bytes to send: refused before the port is touched.
  if (!buffer) return kWriteFailed;
  std::uint32_t written = 0;
  LastWriteBytes_ = wanted;
  if (!Os_->WriteFile(PortHandle_, buffer, static_cast<std::uint32_t>(wanted), written)) {
    PurgeLine();
    if (Platform_ == 2 && (RadioMode_ || Rs485Mode_)) SetRts(false);
    return kWriteFailed;
  }
  const ResultCode code = static_cast<std::int32_t>(written) < wanted ? kWriteIncomplete : kOk;
  count = static_cast<std::int16_t>(written);
  return code;
}

std::int32_t TAscDrv::WaitQuiet(std::int32_t timeoutMs) {
  SetTimeouts(timeoutMs, -1);
  std::uint8_t scratch = 0;
  std::int32_t one = 1;
  return ReadBytes(&scratch, one) == kReadTimeout ? 0 : -1;
}

void TAscDrv::PurgeLine() {
  if (PortHandle_ == kNoHandle) return;
  std::uint32_t errors = 0;
  // After a break the configured line state is applied again, not the one found at open.
  if (Os_->ClearCommError(PortHandle_, errors) && (errors & CE_BREAK))
    Os_->SetCommState(PortHandle_, WorkState_);
  Os_->PurgeComm(PortHandle_, PURGE_ALL);
}

void TAscDrv::EscapeFunction(std::uint32_t function) {
  if (PortHandle_ != kNoHandle) Os_->EscapeCommFunction(PortHandle_, function);
}

void TAscDrv::SetRts(bool raise) { EscapeFunction(raise ? SETRTS : CLRRTS); }

void TAscDrv::SetDtr(bool raise) { EscapeFunction(raise ? SETDTR : CLRDTR); }

void TAscDrv::GetModemStatus(std::uint32_t& status) {
  if (PortHandle_ == kNoHandle) return;
  std::uint32_t lines = 0;
  if (Os_->GetCommModemStatus(PortHandle_, lines)) status = lines;
}

void TAscDrv::WaitLineEvent(std::uint32_t& mask) {
  if (PortHandle_ == kNoHandle) return;
  if (!Os_->SetCommMask(PortHandle_, mask)) return;
  // Bounded: the bytes last queued get twice their wire time, plus a second.
  const std::uint32_t wire =
      TruncMs(2.0f * static_cast<float>(LastWriteBytes_) * CharacterTime());
  const std::uint32_t limit = wire > 0xFFFFFFFFu - 1000u ? 0xFFFFFFFFu : wire + 1000u;
  std::uint32_t events = 0;
  if (Os_->WaitCommEvent(PortHandle_, events, limit)) mask = events;
}

}  // namespace vkt
