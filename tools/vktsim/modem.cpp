#include "modem.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace vktsim {

namespace {

constexpr std::uint8_t kCr = '\r';
constexpr std::uint8_t kLf = '\n';
constexpr std::uint8_t kBackspace = 8;
constexpr std::uint8_t kDelete = 127;

const char* ResultWord(int result) {
  switch (result) {
    case 0: return "OK";
    case 1: return "CONNECT";
    case 3: return "NO CARRIER";
    case 4: return "ERROR";
    case 7: return "BUSY";
    default: return "ERROR";
  }
}

// Settings that take an optional number and change nothing the simulator models. R (reverse
// mode) is among them: the driver's default init string ends in it.
bool IsPlainSetting(char c) { return std::strchr("FXLMBWNCYPTR", c) != nullptr; }

}  // namespace

Modem::Modem(const Options& options, Line& line, StationServer& stations, Report& report)
    : options_(options), line_(line), stations_(stations), report_(report) {
  ResetProfile();
}

void Modem::ResetProfile() {
  echo_ = true;
  words_ = options_.modemWords;
  quiet_ = false;
  std::memset(registers_, 0, sizeof registers_);
  registers_[2] = '+';
  registers_[3] = kCr;
  registers_[4] = kLf;
  registers_[5] = kBackspace;
  registers_[12] = 50;  // guard time in 50ths of a second
}

void Modem::SendText(const char* text, std::int64_t nowUs) {
  line_.Queue(reinterpret_cast<const std::uint8_t*>(text), std::strlen(text), nowUs);
}

void Modem::Reply(Result result, std::int64_t nowUs) {
  if (quiet_) return;
  char text[32];
  if (words_)
    std::snprintf(text, sizeof text, "\r\n%s\r\n", ResultWord(result));
  else
    std::snprintf(text, sizeof text, "%d\r", static_cast<int>(result));
  report_.Trace("modem -> %s", ResultWord(result));
  SendText(text, nowUs);
}

void Modem::HangUp(const char* why) {
  if (connected_ || state_ != State::kCommand) {
    ++report_.counters.modemHangUps;
    report_.Trace("modem: call ended (%s)", why);
  }
  connected_ = false;
  state_ = State::kCommand;
  plusCount_ = 0;
  stations_.Reset();
}

void Modem::LineClosed(std::int64_t) {
  HangUp("line closed");
  commandLength_ = 0;
  commandOverflow_ = false;
}

void Modem::Receive(std::uint8_t byte, std::int64_t nowUs) {
  switch (state_) {
    case State::kDialing:
      // Any character aborts a dial in progress, as on a real modem.
      report_.Trace("modem: dial aborted by a received byte");
      state_ = State::kCommand;
      Reply(kNoCarrier, nowUs);
      return;

    case State::kOnline: {
      const std::int64_t guardUs = static_cast<std::int64_t>(registers_[12]) * 20000;
      const std::int64_t quietUs = nowUs - lastByteUs_;
      lastByteUs_ = nowUs;
      if (byte == registers_[2]) {
        if (plusCount_ == 0 || plusCount_ == 3 || crAfterPlus_) {
          plusCount_ = quietUs >= guardUs ? 1 : 0;
        } else if (quietUs < guardUs) {
          ++plusCount_;
        } else {
          plusCount_ = 1;
        }
        crAfterPlus_ = false;
        if (plusCount_ == 3) escapeDueUs_ = nowUs + guardUs;
      } else if (byte == kCr && plusCount_ == 3 && !crAfterPlus_) {
        // A command writer that ends every line with CR still gets its escape.
        crAfterPlus_ = true;
        escapeDueUs_ = nowUs + guardUs;
      } else {
        plusCount_ = 0;
        crAfterPlus_ = false;
      }
      stations_.Receive(byte, nowUs);
      return;
    }

    case State::kCommand:
      break;
  }

  if (echo_) line_.Queue(&byte, 1, nowUs);
  if (byte == registers_[3]) {
    command_[commandLength_] = '\0';
    Execute(nowUs);
    commandLength_ = 0;
    commandOverflow_ = false;
    return;
  }
  if (byte == kLf) return;
  if (byte == kBackspace || byte == kDelete) {
    if (commandLength_ > 0) --commandLength_;
    return;
  }
  if (commandLength_ < static_cast<int>(sizeof command_) - 1)
    command_[commandLength_++] = static_cast<char>(byte);
  else
    commandOverflow_ = true;
}

void Modem::Execute(std::int64_t nowUs) {
  // Everything before the first "AT" is line noise; a line without one gets no reply.
  const char* at = nullptr;
  for (int i = 0; i + 1 < commandLength_; ++i)
    if (std::toupper(static_cast<unsigned char>(command_[i])) == 'A' &&
        std::toupper(static_cast<unsigned char>(command_[i + 1])) == 'T') {
      at = command_ + i;
      break;
    }
  if (at == nullptr) return;
  ++report_.counters.modemCommands;
  report_.Trace("modem <- \"%s\"", at);
  if (commandOverflow_) {
    Reply(kError, nowUs);
    return;
  }
  const char* p = at + 2;
  auto number = [&p](int& value) {
    value = 0;
    int digits = 0;
    while (std::isdigit(static_cast<unsigned char>(*p)) && digits < 3) {
      value = value * 10 + (*p++ - '0');
      ++digits;
    }
    return digits > 0;
  };
  while (*p != '\0') {
    const char c = static_cast<char>(std::toupper(static_cast<unsigned char>(*p++)));
    int n = 0;
    if (c != 'D' && c != 'S' && c != '&') number(n);
    switch (c) {
      case ' ':
        break;
      case 'E':
        if (n > 1) return Reply(kError, nowUs);
        echo_ = n == 1;
        break;
      case 'V':
        if (n > 1) return Reply(kError, nowUs);
        words_ = n == 1;
        break;
      case 'Q':
        if (n > 1) return Reply(kError, nowUs);
        quiet_ = n == 1;
        break;
      case 'Z':
        ResetProfile();
        if (connected_) HangUp("ATZ");
        break;
      case 'H':
        if (n > 1) return Reply(kError, nowUs);
        if (n == 0) HangUp("ATH");
        break;
      case 'O':
        if (!connected_) return Reply(kNoCarrier, nowUs);
        state_ = State::kOnline;
        plusCount_ = 0;
        lastByteUs_ = nowUs;
        return Reply(kConnect, nowUs);
      case 'I': {
        if (!quiet_) SendText(words_ ? "\r\nvktsim modem\r\n" : "vktsim modem\r\n", nowUs);
        break;
      }
      case 'A':
        return Reply(kNoCarrier, nowUs);
      case '&': {
        const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
        if (!std::isalpha(static_cast<unsigned char>(letter))) return Reply(kError, nowUs);
        ++p;
        number(n);
        if (letter == 'F') ResetProfile();
        break;
      }
      case 'S': {
        int reg = 0;
        if (!number(reg) || reg >= 100) return Reply(kError, nowUs);
        if (*p == '=') {
          ++p;
          int value = 0;
          if (!number(value) || value > 255) return Reply(kError, nowUs);
          registers_[reg] = value;
        } else if (*p == '?') {
          ++p;
          char text[24];
          std::snprintf(text, sizeof text, words_ ? "\r\n%03d\r\n" : "%03d\r\n", registers_[reg]);
          if (!quiet_) SendText(text, nowUs);
        } else {
          return Reply(kError, nowUs);
        }
        break;
      }
      case 'D': {
        // The rest of the line is the number, with its dial modifiers.
        bool digits = false;
        for (const char* q = p; *q != '\0'; ++q) {
          if (std::isdigit(static_cast<unsigned char>(*q)) || *q == '*' || *q == '#') {
            digits = true;
          } else if (std::strchr(" TPW,-()!@;",
                                 std::toupper(static_cast<unsigned char>(*q))) == nullptr) {
            return Reply(kError, nowUs);
          }
        }
        if (!digits || connected_) return Reply(kError, nowUs);
        ++report_.counters.modemDials;
        report_.Trace("modem: dialling \"%s\"", p);
        state_ = State::kDialing;
        dialDoneUs_ = nowUs + static_cast<std::int64_t>(options_.modemConnectDelayMs) * 1000;
        return;
      }
      default:
        if (!IsPlainSetting(c)) return Reply(kError, nowUs);
        break;
    }
  }
  Reply(kOk, nowUs);
}

void Modem::Poll(std::int64_t nowUs) {
  if (state_ == State::kDialing && nowUs >= dialDoneUs_) {
    if (options_.modemBusy) {
      state_ = State::kCommand;
      Reply(kBusy, nowUs);
      return;
    }
    ++report_.counters.modemConnects;
    state_ = State::kOnline;
    connected_ = true;
    plusCount_ = 0;
    crAfterPlus_ = false;
    lastByteUs_ = nowUs;
    stations_.Reset();
    Reply(kConnect, nowUs);
    return;
  }
  if (state_ == State::kOnline && plusCount_ == 3 && nowUs >= escapeDueUs_) {
    ++report_.counters.modemEscapes;
    state_ = State::kCommand;
    plusCount_ = 0;
    crAfterPlus_ = false;
    commandLength_ = 0;
    stations_.Reset();
    Reply(kOk, nowUs);
  }
}

std::int64_t Modem::NextDueUs() const {
  if (state_ == State::kDialing) return dialDoneUs_;
  if (state_ == State::kOnline && plusCount_ == 3) return escapeDueUs_;
  return -1;
}

}  // namespace vktsim
