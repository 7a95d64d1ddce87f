// The modem reply reader under arbitrary line bytes, alone and inside the commands that use it
// (a command, the dial sequence, the hang-up sequence, the dial of an open and the hang-up of a
// close), on the fake line with its virtual clock.
//
// Input: op, window selector, three total-wait bytes, the text length and text sent (op 0 to 3),
// then the line segments of fuzz_line.h.
//
// Checked besides memory and undefined behaviour: a reply holds at most 99 characters, never a
// CR or LF, and its code fits its text (0 only for "OK" or a numeric 0, the connect code only for
// 1 or 10 and above, a word reply only "OK" or 16154); no command leaves the modem busy; a dial
// ends connected exactly when it succeeds and failed otherwise, a hang-up on hook or failed.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fake_platform.h"
#include "fuzz_line.h"
#include "modem/asc_modem_drv.h"

namespace {

using namespace vkt;

constexpr std::int32_t kWindows[8] = {500, 500, 200, 50, 1, 0, -5, 2000};

bool AllDigits(const char* s) {
  if (*s == '\0') return false;
  for (; *s; ++s)
    if (*s < '0' || *s > '9') return false;
  return true;
}

// The numeric value of an all-digit reply, capped so that long ones stay large.
long Value(const char* s) {
  long v = 0;
  for (; *s && v < 100000; ++s) v = v * 10 + (*s - '0');
  return v;
}

bool IsModemCode(ResultCode rc) { return rc == kOk || (rc >= 16149 && rc <= 16159); }

// What a classified reply must look like for its code. The text seen here ends at the first
// NUL, while the driver classifies every character it kept; a NUL from the line makes the
// reply "not a number" or "other text", so those two codes are accepted for any text.
void CheckReply(const TModemReply& reply, ResultCode rc) {
  const void* end = std::memchr(reply, '\0', sizeof reply);
  FUZZ_CHECK(end != nullptr);
  FUZZ_CHECK(std::strchr(reply, '\r') == nullptr && std::strchr(reply, '\n') == nullptr);
  if (!IsModemCode(rc)) return;
  if (reply[0] == '\0') {
    FUZZ_CHECK(rc == kModemAnswerNotNumber);
    return;
  }
  const bool word = static_cast<std::int8_t>(reply[0]) > '9';
  if (word) {
    FUZZ_CHECK(rc == kModemOtherText || (rc == kOk && std::strcmp(reply, "OK") == 0));
    return;
  }
  if (rc == kModemAnswerNotNumber) return;
  FUZZ_CHECK(AllDigits(reply));
  const long n = Value(reply);
  if (n == 0) FUZZ_CHECK(rc == kOk);
  else if (n == 1 || n >= 10) FUZZ_CHECK(rc == kModemConnect);
  else FUZZ_CHECK(rc == kModemAnswerBase + n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::InputReader in(data, size);
  const std::uint8_t op = in.Byte() % 8;
  const std::int32_t window = kWindows[in.Byte() % 8];
  const std::int32_t fast = in.Byte() * 20;
  const std::int32_t connect = in.Byte() * 40;
  const std::int32_t disc = in.Byte() * 20;
  std::string sent;
  if (op <= 3) {
    const test::Bytes text = in.Take(in.Byte() % 41);
    for (std::uint8_t c : text) sent += c == 0 ? ' ' : static_cast<char>(c);
  }

  test::FakePlatform fake;
  fake.SetRecordTicks(false);
  TAscModemDrv drv(nullptr, &fake);
  TDriverSettings s = DefaultSettings();
  s.pcpsModemSuport = true;
  s.pcpsModemPort = 2;
  std::strcpy(s.pcpsPhone, "5551234");
  s.pcpsShortModemTmo = window;
  s.pcpsModemFastResponse = fast;
  s.pcpsModemConnectTmo = connect;
  s.pcpsModemDiscTmo = disc;
  s.pcpsAutoConnect = op == 6;
  drv.ApplySettings(s);

  // A command started from the message processing meets a busy modem.
  fake.SetMessageHook([&drv](test::FakePlatform&) {
    FUZZ_CHECK(drv.ModemBusy());
    FUZZ_CHECK(drv.SendModemCommand("AT", 500) == kModemBusy);
  });

  if (op <= 2) {
    drv.SetActive(true);
    while (fuzz::ScheduleSegment(in, fake, test::From::Now)) {
    }
    for (int i = 0; i < 8; ++i) {
      TModemReply reply;
      const ResultCode rc = drv.ReadModemResponse(sent.c_str(), reply, window);
      CheckReply(reply, rc);
      fuzz::Trace(reply, rc);
      if (rc == kReadTimeout) break;
    }
  } else {
    fuzz::AnswerWritesFrom(in, fake);
    ResultCode rc = kOk;
    switch (op) {
      case 3:
        drv.SetActive(true);
        rc = drv.SendModemCommand(sent.c_str(), fast);
        FUZZ_CHECK(rc != kModemBusy);
        break;
      case 4:
        drv.SetActive(true);
        rc = drv.Dial(s.pcpsPhone);
        FUZZ_CHECK(drv.ModemState() == (rc == kOk ? msConnected : msFailed));
        break;
      case 5:
        drv.SetActive(true);
        drv.SetModemState(msConnected);
        rc = drv.HangUp();
        FUZZ_CHECK(drv.ModemState() == (rc == kOk ? msOnHook : msFailed));
        break;
      case 6:
        drv.SetActive(true);  // dials on open
        FUZZ_CHECK(drv.Active());
        FUZZ_CHECK(drv.ModemState() == msConnected || drv.ModemState() == msFailed);
        drv.SetActive(false);
        FUZZ_CHECK(drv.ModemState() == msIdle);
        break;
      default:
        drv.SetActive(true);
        drv.SetModemState(msConnected);
        drv.SetActive(false);  // hangs up first
        FUZZ_CHECK(drv.ModemState() == msIdle);
        break;
    }
    fuzz::Trace("command", rc);
    fuzz::Trace("state", drv.ModemState());
  }
  FUZZ_CHECK(!drv.ModemBusy());
  return 0;
}
