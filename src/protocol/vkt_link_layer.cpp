#include "protocol/vkt_link_layer.h"

#include <cstring>

#include "settings/wait_settings.h"

namespace vkt {

using namespace serial;

namespace {

constexpr std::int32_t kFlushReadTimeout = 5;
constexpr std::int32_t kHeaderTimeout = 150;
constexpr std::int32_t kBodyTimeout = 300;
constexpr std::int32_t kModemExtraTimeout = 250;
constexpr std::uint32_t kCtsWait = 200;
constexpr std::uint32_t kResyncPause = 300;
constexpr int kStartByteTries = 3;
constexpr std::uint8_t kFillByte = 0xFF;
// Fill bytes per mode that the transmit buffer has room for; the settings check keeps the
// configured counts within it.
constexpr std::int32_t kMaxFillBytes = 10;
// Failed reads the start-byte hunt passes over before it gives up on a port that keeps
// failing: such reads do not use up a try, so without a bound a broken device would hold
// the request for ever.
constexpr int kMaxHuntFailures = 64;

std::int32_t FillCount(std::int32_t configured) {
  if (configured < 0) return 0;
  return configured > kMaxFillBytes ? kMaxFillBytes : configured;
}

// Sleeps only for positive times, at most the longest wait a setting can give.
void Pause(serial::CommPlatform& os, std::int32_t ms) {
  const std::int32_t pause = PauseMs(ms);
  if (pause > 0) os.Sleep(static_cast<std::uint32_t>(pause));
}

bool Retryable(ResultCode code) {
  switch (code) {
    case kOverrun:
    case kFramingError:
    case kParityError:
    case kNoAnswer:
    case kChecksumMismatch:
    case kNoStartByte:
      return true;
    default:
      return false;
  }
}

}  // namespace

TVktLinkLayer::TVktLinkLayer(TComponent* owner, CommPlatform* platform)
    : TAscModemDrv(owner, platform) {}

TVktLinkLayer::~TVktLinkLayer() = default;

ResultCode TVktLinkLayer::Open(const char* settingsFile) {
  SetActive(false);
  TDriverSettings loaded;
  const ResultCode code = LoadSettings(settingsFile, loaded);
  if (code != kOk) return code;
  ApplySettings(loaded);
  SetActive(true);
  return kOk;
}

ResultCode TVktLinkLayer::Close() {
  SetActive(false);
  return kOk;
}

ResultCode TVktLinkLayer::Request(std::int32_t station, std::int32_t command,
                                  std::int32_t capacity, std::uint8_t* response,
                                  std::int32_t& length, const std::uint8_t* data) {
  if (!Active() && !RetryReopen()) return kPortNotOpen;
  std::int32_t frameLength = length;
  const ResultCode built = BuildFrame(station, command, TxBuffer_, frameLength, data);
  if (built != kOk) return built;
  const ResultCode code = Exchange(TxBuffer_, frameLength, capacity, response);
  if (code == kOk) length = frameLength;
  return code;
}

void TVktLinkLayer::Flush() {
  SetTimeouts(kFlushReadTimeout, -1);
  std::uint8_t scratch = 0;
  // Bounded: a port that keeps failing reads with another code must not hold the request.
  for (int i = 0; i < kMaxFlushReads; ++i) {
    std::int32_t one = 1;
    if (ReadBytes(&scratch, one) == kReadTimeout) return;
  }
}

ResultCode TVktLinkLayer::Exchange(std::uint8_t* frame, std::int32_t& length,
                                   std::int32_t capacity, std::uint8_t* response) {
  if (!Active()) return kPortNotOpen;
  if (ModemMode() && ModemState() != msConnected) return kModemNotConnected;

  std::int32_t attempts = Settings.pcpsVktComRetry;
  std::int32_t firstTimeout = ResponseTimeoutMs(Settings.pcpsVktRespTmo);
  if (ModemMode()) firstTimeout += kModemExtraTimeout;

  if (ResetCountdown_ <= 0) {
    ResetCountdown_ = Settings.pcpsFailFramesToReset;
    ResetPort();
    // The reopen can fail, and in modem mode it hangs up and dials again: the frame goes out
    // only on a line that is there again.
    ResultCode lost = kOk;
    if (!Active())
      lost = kPortNotOpen;
    else if (ModemMode() && ModemState() != msConnected)
      lost = kModemNotConnected;
    if (lost != kOk) {
      --ResetCountdown_;
      return lost;
    }
  }

  ResultCode code = kOk;
  const std::uint8_t* data = nullptr;
  std::int32_t dataLength = 0;
  for (;;) {
    Flush();
    code = TransmitFrame(frame, length);
    if (code == kOk) code = ReceiveFrame(firstTimeout, data, dataLength);
    if (code == kOk) break;
    const bool retry = Retryable(code);
    if (code == kFramingError || code == kNoStartByte) Os().Sleep(kResyncPause);
    // A silent station on a direct line or shared bus is not asked twice.
    if (code == kNoAnswer && !ModemMode() && !RadioMode()) break;
    if (!retry) break;
    if (--attempts <= 0) break;
  }

  if (code != kOk) {
    --ResetCountdown_;
    return code;
  }
  ResetCountdown_ = Settings.pcpsFailFramesToReset;
  if (dataLength > capacity) return kFrameTooLong;
  if (dataLength > 0) std::memcpy(response, data, static_cast<std::size_t>(dataLength));
  length = dataLength;
  return kOk;
}

ResultCode TVktLinkLayer::TransmitFrame(std::uint8_t* frame, std::int32_t length) {
  if (length < 0 || length > kMaxFrameBytes) return kFrameTooLong;
  // The fill bytes are appended behind the frame, so it is sent from the transmit buffer,
  // which has room for them.
  if (frame != TxBuffer_) std::memmove(TxBuffer_, frame, static_cast<std::size_t>(length));
  frame = TxBuffer_;
  std::int32_t total = length;
  if (RadioMode()) {
    SetRts(true);
    const std::uint32_t start = Os().GetTickCount();
    std::uint32_t status = 0;
    GetModemStatus(status);
    while (!(status & MS_CTS_ON)) {
      if (Os().GetTickCount() - start >= kCtsWait) break;
      Os().Sleep(1);
      status = 0;
      GetModemStatus(status);
    }
    if (!(status & MS_CTS_ON)) {
      SetRts(false);
      return kNoCts;
    }
    for (int i = 0; i < FillCount(Settings.pcpsRadioExtraBytes); ++i) frame[total++] = kFillByte;
  }
  if (Rs485Mode()) {
    // Elsewhere the port itself keys RTS while it transmits.
    if (Platform() == 2) SetRts(true);
    for (int i = 0; i < FillCount(Settings.pcpsRS485ExtraBytes); ++i) frame[total++] = kFillByte;
  }

  std::int32_t count = total;
  ResultCode code = WriteBytes(frame, count);
  const bool written = code == kOk;

  if (RadioMode()) {
    if (written) {
      std::uint32_t mask = EV_TXEMPTY;
      WaitLineEvent(mask);
      if (!(mask & EV_TXEMPTY)) code = kWriteIncomplete;
      Pause(Os(), Settings.pcpsRadioRTSExtTime);
    }
    SetRts(false);
  }
  if (Rs485Mode()) {
    if (written) {
      std::uint32_t mask = EV_TXEMPTY;
      WaitLineEvent(mask);
      if (!(mask & EV_TXEMPTY)) code = kWriteIncomplete;
    }
    if (Platform() == 2) {
      Pause(Os(), Settings.pcpsRS485RTSExtTime);
      SetRts(false);
    }
  }
  return code;
}

ResultCode TVktLinkLayer::ReceiveFrame(std::int32_t firstTimeout, const std::uint8_t*& data,
                                       std::int32_t& length) {
  // Hunt for the start byte: stray bytes use up a try, read failures other than a time-out
  // do not. They are passed over only while the first-byte time-out lasts and up to a count;
  // then the last failure is the answer.
  SetTimeouts(firstTimeout, -1);
  int tries = kStartByteTries;
  int failures = 0;
  const std::uint32_t huntStart = Os().GetTickCount();
  for (;;) {
    std::uint8_t byte = 0;
    std::int32_t one = 1;
    const ResultCode code = ReadBytes(&byte, one);
    if (code == kReadTimeout) return kNoAnswer;
    if (code != kOk) {
      if (++failures >= kMaxHuntFailures ||
          Os().GetTickCount() - huntStart >= static_cast<std::uint32_t>(firstTimeout))
        return code;
      continue;
    }
    if (byte == kStartByte) break;
    if (--tries <= 0) return kNoStartByte;
  }

  SetTimeouts(ModemMode() ? kHeaderTimeout + kModemExtraTimeout : kHeaderTimeout, -1);
  std::int32_t count = 3;
  ResultCode code = ReadBytes(RxBuffer_, count);
  if (code == kReadTimeout) return kIncompleteFrame;
  if (code != kOk) return code;

  const std::uint8_t dataLength = RxBuffer_[1];
  code = CheckResponseLength(dataLength);
  if (code != kOk) return code;

  SetTimeouts(kBodyTimeout, -1);
  count = dataLength + 2;
  code = ReadBytes(RxBuffer_ + 3, count);
  if (code == kReadTimeout) return kIncompleteFrame;
  if (code != kOk) return code;

  if (RadioMode()) Pause(Os(), Settings.pcpsRadioRemCarrierOffTime);
  if (Rs485Mode()) Pause(Os(), Settings.pcpsRS485RemRtsOffTime);

  code = CheckResponse(RxBuffer_);
  if (code == kChecksumMismatch) return code;
  data = RxBuffer_ + 3;
  length = dataLength;
  return code;
}

}  // namespace vkt
