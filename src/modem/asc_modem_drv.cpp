#include "modem/asc_modem_drv.h"

#include <cstdio>
#include <cstring>

#include "settings/wait_settings.h"

namespace vkt {

namespace {

constexpr std::uint8_t kCr = 13;
constexpr std::uint8_t kLf = 10;

// A window length for a modem whose short time-out is unset or nonsense.
constexpr std::int32_t kFallbackWindowMs = 500;
// No drain and no single reply reads more than this many bytes, however much the port sends.
constexpr int kMaxDrainBytes = 4096;
constexpr int kMaxReplyBytes = 4096;
// The longest command line that goes out, CR included.
constexpr std::size_t kCommandLineSize = 128;
// Total wait for the reply to the lone CR that wakes a modem before hanging up.
constexpr std::int32_t kWakeReplyWaitMs = 1000;

// The outcome a complete reply of `length` characters stands for: 16150 + n for a small
// numeric code n, the connect code for 10 and above, 16154 for a word other than "OK", 16149
// for anything else. The length counts, not the first NUL: a NUL byte from the line is part of
// the reply, so "OK" followed by one is no OK.
ResultCode ClassifyReply(const char* reply, int length) {
  if (static_cast<std::int8_t>(reply[0]) > '9')
    return length == 2 && reply[0] == 'O' && reply[1] == 'K' ? kModemOk : kModemOtherText;
  std::int64_t n = 0;
  bool digits = length > 0;
  for (int i = 0; i < length && digits; ++i) {
    const char c = reply[i];
    if (c < '0' || c > '9')
      digits = false;
    else if ((n = n * 10 + (c - '0')) > INT32_MAX)
      digits = false;  // no result code is that large
  }
  if (!digits) return kModemAnswerNotNumber;
  return n < 10 ? kModemAnswerBase + static_cast<ResultCode>(n) : kModemConnect;
}

}  // namespace

TAscModemDrv::TAscModemDrv(TComponent* owner, serial::CommPlatform* platform)
    : TAscDrv(owner, platform) {}

// A connected call is hung up before the line driver lets the port go.
TAscModemDrv::~TAscModemDrv() { TAscModemDrv::ClosePort(); }

ResultCode TAscModemDrv::LoadSettings(const char* fileName, TDriverSettings& record) {
  return vkt::LoadSettings(fileName, record);
}

void TAscModemDrv::ApplySettings(const TDriverSettings& record) {
  Settings = record;
  ApplySettings();
}

void TAscModemDrv::ApplySettings() {
  SetPortNumber(Settings.pcpsModemSuport ? Settings.pcpsModemPort : Settings.pcpsPort);
  SetBaudRate(Settings.pcpsBaud);
  SetParity(Settings.pcpsParity);
  SetStopBits(Settings.pcpsStopBits);
  SetDataBits(Settings.pcpsDataBits);
  SetRs485Mode(Settings.pcpsRS485Suport);
  SetModemMode(Settings.pcpsModemSuport);
  SetRadioMode(Settings.pcpsDataRadioSuport);
}

void TAscModemDrv::OpenPort() {
  TAscDrv::OpenPort();
  if (ModemMode() && Settings.pcpsAutoConnect && Settings.pcpsPhone[0] != '\0')
    Dial(Settings.pcpsPhone);  // the outcome stays in ModemState
}

void TAscModemDrv::ClosePort() {
  if (ModemMode()) {
    if (Active() && ModemState_ == msConnected) HangUp();
    ModemBusy_ = false;
    SetModemState(msIdle);
  }
  TAscDrv::ClosePort();
}

void TAscModemDrv::SetModemState(std::int32_t state) { ModemState_ = state; }

std::int32_t TAscModemDrv::ReplyWindow() const {
  return WindowMs(Settings.pcpsShortModemTmo, kFallbackWindowMs);
}

void TAscModemDrv::DrainLine() {
  SetTimeouts(ReplyWindow(), -1);
  std::uint8_t byte = 0;
  for (int i = 0; i < kMaxDrainBytes; ++i) {
    std::int32_t one = 1;
    const ResultCode rc = ReadBytes(&byte, one);
    if (rc == kReadTimeout || rc == kNoPortHandle) break;
  }
  PurgeLine();
}

ResultCode TAscModemDrv::ReadModemResponse(const char* sent, TModemReply& reply,
                                           std::int32_t perByteMs) {
  reply[0] = '\0';
  if (sent == nullptr) sent = "";
  // No wait (or a negative one, which the port would take as endless) means one window.
  SetTimeouts(perByteMs > 0 ? perByteMs : ReplyWindow(), -1);

  std::uint8_t byte = 0;
  std::int32_t one = 1;
  ResultCode rc = ReadBytes(&byte, one);
  if (rc != kOk) return rc;

  const std::size_t sentLength = std::strlen(sent);
  std::size_t position = 0;
  bool differs = false;
  int length = 0;
  for (int readCount = 1;; ++readCount) {
    // The modem's echo of the command is skipped: bytes count only from the first that
    // differs from the text sent.
    if (!differs && (position >= sentLength || byte != static_cast<std::uint8_t>(sent[position])))
      differs = true;
    ++position;
    if (differs && byte != kCr && byte != kLf && length < kModemReplyLimit) {
      reply[length++] = static_cast<char>(byte);
      reply[length] = '\0';
    }
    // A line that never ends its reply gives no reply at all.
    if (readCount >= kMaxReplyBytes) return kReadTimeout;
    one = 1;
    rc = ReadBytes(&byte, one);
    if (rc != kOk) return rc;
    if (byte == kCr && length > 0) break;
  }

  const ResultCode outcome = ClassifyReply(reply, length);
  return outcome == kModemOk ? kOk : outcome;
}

ResultCode TAscModemDrv::SendModemCommand(const char* command, std::int32_t totalWaitMs) {
  if (ModemBusy_) return kModemBusy;
  if (command == nullptr) return kBadModemCommand;
  char line[kCommandLineSize];
  const int formed = std::snprintf(line, sizeof line, "%s\r", command);
  // A command cut short would send the modem something else than asked for.
  if (formed < 0 || static_cast<std::size_t>(formed) >= sizeof line) return kBadModemCommand;

  ModemBusy_ = true;
  const std::int32_t window = ReplyWindow();
  DrainLine();

  std::int32_t count = formed;
  ResultCode rc = WriteBytes(line, count);
  if (rc != kOk) {
    ModemBusy_ = false;
    return rc;
  }

  std::int32_t windows = totalWaitMs / window;
  if (windows < 1) windows = 1;
  SetTimeouts(window, -1);
  TModemReply reply;
  for (std::int32_t i = 0; i < windows; ++i) {
    rc = ReadModemResponse(command, reply, window);
    Os().ProcessPendingMessages();
    if (rc != kReadTimeout) break;
  }
  ModemBusy_ = false;
  return rc;
}

ResultCode TAscModemDrv::SendStandardCommand(std::int32_t selector) {
  if (!Active()) return kPortNotOpen;
  if (!ModemMode()) return kModemModeOff;
  switch (selector) {
    case kModemCheckCommand:
      return SendModemCommand(Settings.pcpsModemCheckString, Settings.pcpsModemFastResponse);
    case kModemResetCommand:
      return SendModemCommand(Settings.pcpsModemResetString, Settings.pcpsModemFastResponse);
    default:
      return kBadModemCommand;
  }
}

ResultCode TAscModemDrv::Dial(const char* phone) {
  ResultCode rc = SendStandardCommand(kModemResetCommand);
  if (rc == kOk && (phone == nullptr || phone[0] == '\0' || phone[0] == '\r'))
    rc = kEmptyDialNumber;
  if (rc == kOk) {
    SetModemState(msDialing);
    rc = SendModemCommand(Settings.pcpsModemInitString, Settings.pcpsModemFastResponse);
  }
  if (rc == kOk) {
    char command[kCommandLineSize];
    const int formed =
        std::snprintf(command, sizeof command, "%s %s", Settings.pcpsModemDialString, phone);
    if (formed < 0 || static_cast<std::size_t>(formed) >= sizeof command)
      rc = kBadModemCommand;
    else
      rc = SendModemCommand(command, Settings.pcpsModemConnectTmo);
    if (rc == kModemConnect) rc = kOk;
  }
  SetModemState(rc == kOk ? msConnected : msFailed);
  return rc;
}

ResultCode TAscModemDrv::HangUp() {
  if (!Active()) return kPortNotOpen;
  if (!ModemMode()) return kModemModeOff;
  if (ModemBusy_) return kModemBusy;
  SetModemState(msHangingUp);

  DrainLine();
  // Dropping DTR a moment takes most modems off line; a modem that stays quiet meanwhile
  // gets a lone CR to wake it before the escape.
  const std::int32_t window = ReplyWindow();
  SetDtr(false);
  const bool quiet = WaitQuiet(window) == 0;
  SetDtr(true);
  if (quiet) SendModemCommand("", kWakeReplyWaitMs);

  ResultCode rc = SendModemCommand(Settings.pcpsModemExitString, Settings.pcpsModemDiscTmo);
  if (rc == kOk)
    rc = SendModemCommand(Settings.pcpsModemHangupString, Settings.pcpsModemFastResponse);
  else if (rc == kReadTimeout)
    rc = SendStandardCommand(kModemCheckCommand);
  SetModemState(rc == kOk ? msOnHook : msFailed);
  return rc;
}

}  // namespace vkt
