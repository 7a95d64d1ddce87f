// The dial-up modem dialogue on the fake line with the virtual clock: replies, dialling,
// hanging up, and the guards around them.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "modem/asc_modem_drv.h"

namespace vkt {
namespace {

using test::Bytes;
using test::FakePlatform;

Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }

// A modem on COM2 that answers each command line from a table; a command not in the table
// gets no answer at all.
class ModemLine : public testing::Test {
 protected:
  ModemLine() {
    Defaults.pcpsModemSuport = true;
    Defaults.pcpsModemPort = 2;
    std::strcpy(Defaults.pcpsPhone, "5551234");
    fake.SetResponder([this](FakePlatform& f, const Bytes& written) {
      std::string line(written.begin(), written.end());
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const auto it = Replies.find(line);
      if (it == Replies.end()) return;
      f.PushAfterWrite(30, B(Echo ? line + "\r" + it->second : it->second));
    });
    fake.SetMessageHook([this](FakePlatform&) { StatesAtPumps.push_back(drv.ModemState()); });
  }

  void Open(bool autoConnect = false) {
    TDriverSettings s = Defaults;
    s.pcpsAutoConnect = autoConnect;
    drv.ApplySettings(s);
    drv.SetActive(true);
    ASSERT_TRUE(drv.Active());
  }
  // The numeric replies of a modem set up by the default init string.
  void AnswerDialWith(const std::string& dialReply) {
    Replies["ATZ"] = "0\r";
    Replies["ATV0 E0 F1 H0r"] = "0\r";
    Replies["ATD 5551234"] = dialReply;
  }
  // Every write, one string each.
  std::vector<std::string> Sent() const {
    std::vector<std::string> out;
    for (const Bytes& w : fake.Writes()) out.emplace_back(w.begin(), w.end());
    return out;
  }
  void Forget() {
    fake.ClearWrites();
    fake.ClearCalls();
    StatesAtPumps.clear();
  }

  // The script outlives the driver: its destruction may still hang up a call.
  TDriverSettings Defaults = DefaultSettings();
  std::map<std::string, std::string> Replies;
  bool Echo = false;
  std::vector<std::int32_t> StatesAtPumps;
  FakePlatform fake;
  TAscModemDrv drv{nullptr, &fake};
};

// ---- Reply reading -----------------------------------------------------------------------

struct ReplyCase {
  const char* name;
  std::string incoming;  // bytes already on the line when the reply is read
  ResultCode expected;
  const char* reply;     // text kept, nullptr to skip the check
};

// ctest lists each case by its name and the code it expects.
void PrintTo(const ReplyCase& c, std::ostream* os) { *os << c.name << " -> " << c.expected; }

class ReplyCases : public ModemLine, public testing::WithParamInterface<ReplyCase> {};

TEST_P(ReplyCases, Classified) {
  Open();
  fake.PushNow(B(GetParam().incoming));
  TModemReply reply;
  EXPECT_EQ(drv.ReadModemResponse("ATZ", reply, 500), GetParam().expected);
  if (GetParam().reply) {
    EXPECT_STREQ(reply, GetParam().reply);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Modem, ReplyCases,
    testing::Values(
        ReplyCase{"NumericOk", "0\r", kOk, "0"},
        ReplyCase{"WordOk", "OK\r\n", kOk, "OK"},
        ReplyCase{"EchoThenWordOk", "ATZ\r\r\nOK\r\n", kOk, "OK"},
        ReplyCase{"LeadingLineEnds", "\r\n\r\n0\r", kOk, "0"},
        ReplyCase{"Connect", "1\r", kModemConnect, "1"},
        ReplyCase{"ConnectWithSpeed", "12\r", kModemConnect, "12"},
        ReplyCase{"NoCarrier", "3\r", kModemAnswerBase + 3, "3"},
        ReplyCase{"Busy", "7\r", kModemAnswerBase + 7, "7"},
        ReplyCase{"WordConnect", "CONNECT 9600\r", kModemOtherText, "CONNECT 9600"},
        ReplyCase{"WordError", "ERROR\r", kModemOtherText, "ERROR"},
        ReplyCase{"LowerOkIsOtherWord", "ok\r", kModemOtherText, "ok"},
        ReplyCase{"NegativeIsNotACode", "-5\r", kModemAnswerNotNumber, "-5"},
        ReplyCase{"DigitsAndBlank", "1 2\r", kModemAnswerNotNumber, "1 2"},
        ReplyCase{"HighByteCountsBelowNine", "\xC0\r", kModemAnswerNotNumber, nullptr},
        ReplyCase{"HugeNumber", "99999999999\r", kModemAnswerNotNumber, nullptr},
        ReplyCase{"Silent", "", kReadTimeout, ""},
        ReplyCase{"StallsBeforeCr", "OK", kReadTimeout, nullptr},
        ReplyCase{"OnlyEcho", "ATZ\r", kReadTimeout, ""},
        // A NUL byte from the line is part of the reply: it must not hide what follows it.
        ReplyCase{"OkFollowedByNulIsNoOk", std::string("OK\0\r", 4), kModemOtherText, "OK"},
        ReplyCase{"DigitFollowedByNulIsNoNumber", std::string("0\0\r", 3), kModemAnswerNotNumber,
                  "0"},
        ReplyCase{"NulFirstIsNoNumber", std::string("\0" "1\r", 3), kModemAnswerNotNumber, ""},
        ReplyCase{"LongWordKeeps99", std::string(150, 'A') + "\r", kModemOtherText,
                  nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ModemLine, LongReplyIsCutAt99AndTheRestUpToCrDropped) {
  Open();
  fake.PushNow(B(std::string(150, 'A') + "\r0\r"));
  TModemReply reply;
  EXPECT_EQ(drv.ReadModemResponse("", reply, 500), kModemOtherText);
  EXPECT_EQ(std::string(reply), std::string(99, 'A'));
  // The CR that ended the long reply was consumed, so the next reply stands on its own.
  EXPECT_EQ(drv.ReadModemResponse("", reply, 500), kOk);
  EXPECT_STREQ(reply, "0");
}

TEST_F(ModemLine, ReplyThatNeverEndsIsBounded) {
  Open();
  fake.ScheduleAt(test::From::Now, 0, Bytes(20000, 'x'), 0, 1);
  TModemReply reply;
  EXPECT_EQ(drv.ReadModemResponse("", reply, 500), kReadTimeout);
  EXPECT_LE(fake.CallCount("ReadFile"), 4096u);
}

// ---- Commands ----------------------------------------------------------------------------

TEST_F(ModemLine, SilentModemFailsResetAfterFourWindows) {
  Open();
  Forget();
  const std::uint64_t start = fake.Now();
  EXPECT_EQ(drv.SendStandardCommand(kModemResetCommand), kReadTimeout);
  EXPECT_EQ(Sent(), std::vector<std::string>{"ATZ\r"});
  EXPECT_EQ(fake.MessagePumps(), 4);
  const std::uint64_t spent = fake.Now() - start;  // one drain window and four reply windows
  EXPECT_GE(spent, 2500u);
  EXPECT_LT(spent, 4000u);
  EXPECT_FALSE(drv.ModemBusy());
}

TEST_F(ModemLine, StaleInputIsDrainedBeforeTheCommand) {
  Open();
  fake.PushNow(B("RING\r\n"));
  Replies["AT"] = "0\r";
  EXPECT_EQ(drv.SendStandardCommand(kModemCheckCommand), kOk);
  EXPECT_EQ(fake.PendingBytes(), 0u);
}

TEST_F(ModemLine, ShortWindowNotSetUsesHalfSecondWindows) {
  Defaults.pcpsShortModemTmo = 0;
  Open();
  Forget();
  EXPECT_EQ(drv.SendStandardCommand(kModemCheckCommand), kReadTimeout);
  EXPECT_EQ(fake.MessagePumps(), 4);  // 2000 ms in windows of 500
  for (const test::Call& c : fake.Calls("SetCommTimeouts")) EXPECT_EQ(c.value, 500u);
}

TEST_F(ModemLine, TotalWaitBelowOneWindowStillWaitsOne) {
  Open();
  Forget();
  EXPECT_EQ(drv.SendModemCommand("AT", 100), kReadTimeout);
  EXPECT_EQ(fake.MessagePumps(), 1);
  Replies["AT"] = "0\r";
  EXPECT_EQ(drv.SendModemCommand("AT", 0), kOk);
}

TEST_F(ModemLine, NestedCommandIsRefusedWhileOneRuns) {
  Open();
  std::vector<ResultCode> nested;
  fake.SetMessageHook([&](FakePlatform&) {
    EXPECT_TRUE(drv.ModemBusy());
    nested.push_back(drv.SendModemCommand("AT", 500));
    nested.push_back(drv.SendStandardCommand(kModemCheckCommand));
    nested.push_back(drv.HangUp());
  });
  Replies["ATZ"] = "0\r";
  EXPECT_EQ(drv.SendStandardCommand(kModemResetCommand), kOk);
  EXPECT_EQ(nested, (std::vector<ResultCode>{kModemBusy, kModemBusy, kModemBusy}));
  EXPECT_FALSE(drv.ModemBusy());
  EXPECT_EQ(Sent(), std::vector<std::string>{"ATZ\r"});
  EXPECT_EQ(drv.ModemState(), msIdle);  // the refused hang-up changed nothing
}

TEST_F(ModemLine, CommandGuards) {
  TAscModemDrv closed(nullptr, &fake);
  EXPECT_EQ(closed.SendStandardCommand(kModemCheckCommand), kPortNotOpen);
  EXPECT_EQ(closed.SendModemCommand("AT", 500), kNoPortHandle);
  EXPECT_FALSE(closed.ModemBusy());
  Defaults.pcpsModemSuport = false;
  Open();
  EXPECT_EQ(drv.SendStandardCommand(kModemCheckCommand), kModemModeOff);
  Defaults.pcpsModemSuport = true;
  Open();
  EXPECT_EQ(drv.SendStandardCommand(2), kBadModemCommand);
  EXPECT_EQ(drv.SendStandardCommand(-1), kBadModemCommand);
  // A command that does not fit is refused whole rather than sent cut short.
  EXPECT_EQ(drv.SendModemCommand(std::string(200, 'A').c_str(), 500), kBadModemCommand);
  EXPECT_EQ(drv.SendModemCommand(nullptr, 500), kBadModemCommand);
  EXPECT_FALSE(drv.ModemBusy());
  EXPECT_TRUE(fake.Writes().empty());
}

TEST_F(ModemLine, WriteFailureIsReturnedAndClearsBusy) {
  Open();
  fake.FailAlways("WriteFile");
  EXPECT_EQ(drv.SendModemCommand("AT", 2000), kWriteFailed);
  EXPECT_FALSE(drv.ModemBusy());
  EXPECT_EQ(fake.MessagePumps(), 0);
}

TEST_F(ModemLine, FailingReadsEndTheDrain) {
  Open();
  Forget();
  fake.FailAlways("ReadFile");
  EXPECT_EQ(drv.SendModemCommand("AT", 2000), kReadFailed);
  EXPECT_LE(fake.CallCount("ReadFile"), 4096u + 1u);
  EXPECT_EQ(Sent(), std::vector<std::string>{"AT\r"});
}

TEST_F(ModemLine, BabblingLineEndsTheDrain) {
  Open();
  fake.ScheduleAt(test::From::Now, 0, Bytes(100000, 'x'), 0, 1);
  Replies["AT"] = "";
  EXPECT_EQ(drv.SendModemCommand("AT", 1000), kReadTimeout);
  EXPECT_LE(fake.CallCount("ReadFile"), 3u * 4096u + 3u);
}

// ---- Dialling ----------------------------------------------------------------------------

TEST_F(ModemLine, DialSendsResetInitDialAndConnects) {
  Open();
  Forget();
  AnswerDialWith("1\r");
  EXPECT_EQ(drv.Dial("5551234"), kOk);
  EXPECT_EQ(drv.ModemState(), msConnected);
  EXPECT_EQ(Sent(), (std::vector<std::string>{"ATZ\r", "ATV0 E0 F1 H0r\r", "ATD 5551234\r"}));
  // State as seen between windows: idle through the reset, dialling from the init on.
  EXPECT_EQ(StatesAtPumps, (std::vector<std::int32_t>{msIdle, msDialing, msDialing}));
}

struct DialCase {
  const char* name;
  std::string dialReply;
  ResultCode expected;
  std::int32_t state;
};

void PrintTo(const DialCase& c, std::ostream* os) {
  *os << c.name << " -> " << c.expected << ", state " << c.state;
}

class DialReplies : public ModemLine, public testing::WithParamInterface<DialCase> {};

TEST_P(DialReplies, DecideTheState) {
  Open();
  AnswerDialWith(GetParam().dialReply);
  EXPECT_EQ(drv.Dial("5551234"), GetParam().expected);
  EXPECT_EQ(drv.ModemState(), GetParam().state);
}

INSTANTIATE_TEST_SUITE_P(
    Modem, DialReplies,
    testing::Values(DialCase{"Connect", "1\r", kOk, msConnected},
                    DialCase{"ConnectWithSpeed", "12\r", kOk, msConnected},
                    DialCase{"Busy", "7\r", kModemAnswerBase + 7, msFailed},
                    DialCase{"NoCarrier", "3\r", kModemAnswerBase + 3, msFailed},
                    DialCase{"OkIsNoConnect", "0\r", kOk, msConnected},
                    DialCase{"WordConnect", "CONNECT 9600\r", kModemOtherText, msFailed},
                    DialCase{"NoAnswer", "", kReadTimeout, msFailed}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ModemLine, DialWithEchoingModem) {
  Open();
  Echo = true;
  Replies["ATZ"] = "\r\nOK\r\n";
  Replies["ATV0 E0 F1 H0r"] = "\r\n0\r";
  Replies["ATD 5551234"] = "\r\n1\r";
  EXPECT_EQ(drv.Dial("5551234"), kOk);
  EXPECT_EQ(drv.ModemState(), msConnected);
}

TEST_F(ModemLine, DialWaitsForTheConnectUpToTheConnectTimeout) {
  Open();
  // The connect reply comes 30 s after the dial command, within the 45 s allowed.
  fake.SetResponder([](FakePlatform& f, const Bytes& w) {
    const bool dial = std::string(w.begin(), w.end()) == "ATD 5551234\r";
    f.PushAfterWrite(dial ? 30000 : 30, B(dial ? "1\r" : "0\r"));
  });
  EXPECT_EQ(drv.Dial("5551234"), kOk);
  EXPECT_EQ(drv.ModemState(), msConnected);

  Defaults.pcpsModemConnectTmo = 20000;
  drv.ApplySettings(Defaults);
  EXPECT_EQ(drv.Dial("5551234"), kReadTimeout);
}

TEST_F(ModemLine, EmptyOrCrNumberFailsAfterTheReset) {
  Open();
  Replies["ATZ"] = "0\r";
  for (const char* phone : {"", "\r5551234", static_cast<const char*>(nullptr)}) {
    Forget();
    EXPECT_EQ(drv.Dial(phone), kEmptyDialNumber);
    EXPECT_EQ(drv.ModemState(), msFailed);
    EXPECT_EQ(Sent(), std::vector<std::string>{"ATZ\r"});
    for (std::int32_t s : StatesAtPumps) EXPECT_NE(s, msDialing);
  }
}

TEST_F(ModemLine, DialOnInactivePortFails) {
  TAscModemDrv closed(nullptr, &fake);
  closed.ApplySettings(Defaults);
  EXPECT_EQ(closed.Dial("5551234"), kPortNotOpen);
  EXPECT_EQ(closed.ModemState(), msFailed);
  EXPECT_TRUE(fake.Writes().empty());
}

TEST_F(ModemLine, DialOutsideModemModeFails) {
  Defaults.pcpsModemSuport = false;
  Open();
  EXPECT_EQ(drv.Dial("5551234"), kModemModeOff);
  EXPECT_EQ(drv.ModemState(), msFailed);
}

TEST_F(ModemLine, OpenWithAutoConnectDials) {
  AnswerDialWith("1\r");
  Open(true);
  EXPECT_EQ(drv.ModemState(), msConnected);
  EXPECT_EQ(Sent().size(), 3u);
}

TEST_F(ModemLine, OpenStaysOpenWhenTheDialFails) {
  Open(true);  // silent modem
  EXPECT_TRUE(drv.Active());
  EXPECT_EQ(drv.ModemState(), msFailed);
}

// ---- Hanging up --------------------------------------------------------------------------

TEST_F(ModemLine, HangUpSendsWakeExitAndHangupString) {
  AnswerDialWith("1\r");
  Open(true);
  Forget();
  Replies["+++"] = "0\r";
  Replies["ATH0"] = "0\r";
  EXPECT_EQ(drv.HangUp(), kOk);
  EXPECT_EQ(drv.ModemState(), msOnHook);
  EXPECT_EQ(Sent(), (std::vector<std::string>{"\r", "+++\r", "ATH0\r"}));
  std::vector<std::string> dtr;
  for (const test::Call& c : fake.Calls("EscapeCommFunction")) dtr.push_back(c.detail);
  EXPECT_EQ(dtr, (std::vector<std::string>{"CLRDTR", "SETDTR"}));
}

TEST_F(ModemLine, HangUpSkipsTheWakeWhenTheModemSpeaksDuringDtrDrop) {
  AnswerDialWith("1\r");
  Open(true);
  Forget();
  Replies["+++"] = "0\r";
  Replies["ATH0"] = "0\r";
  fake.ScheduleAction(fake.Now() + 600, [](FakePlatform& f) { f.PushNow(B("3\r")); });
  EXPECT_EQ(drv.HangUp(), kOk);
  EXPECT_EQ(Sent(), (std::vector<std::string>{"+++\r", "ATH0\r"}));
}

TEST_F(ModemLine, HangUpFallsBackToCheckWhenExitGetsNoReply) {
  AnswerDialWith("1\r");
  Open(true);
  Forget();
  Replies["AT"] = "0\r";
  EXPECT_EQ(drv.HangUp(), kOk);
  EXPECT_EQ(drv.ModemState(), msOnHook);
  EXPECT_EQ(Sent(), (std::vector<std::string>{"\r", "+++\r", "AT\r"}));

  Replies.erase("AT");
  drv.SetModemState(msConnected);
  EXPECT_EQ(drv.HangUp(), kReadTimeout);
  EXPECT_EQ(drv.ModemState(), msFailed);
}

TEST_F(ModemLine, HangUpStopsAtAnErrorReplyToExit) {
  Open();
  Replies["+++"] = "4\r";
  EXPECT_EQ(drv.HangUp(), kModemAnswerBase + 4);
  EXPECT_EQ(drv.ModemState(), msFailed);
  EXPECT_EQ(Sent(), (std::vector<std::string>{"\r", "+++\r"}));
}

TEST_F(ModemLine, HangUpGuards) {
  TAscModemDrv closed(nullptr, &fake);
  closed.ApplySettings(Defaults);
  closed.SetModemState(msConnected);
  EXPECT_EQ(closed.HangUp(), kPortNotOpen);
  EXPECT_EQ(closed.ModemState(), msConnected);
  Defaults.pcpsModemSuport = false;
  Open();
  EXPECT_EQ(drv.HangUp(), kModemModeOff);
  EXPECT_EQ(drv.ModemState(), msIdle);
}

TEST_F(ModemLine, CloseWhileConnectedHangsUpThenIdles) {
  AnswerDialWith("1\r");
  Open(true);
  Forget();
  Replies["+++"] = "0\r";
  Replies["ATH0"] = "0\r";
  drv.SetActive(false);
  EXPECT_EQ(Sent(), (std::vector<std::string>{"\r", "+++\r", "ATH0\r"}));
  EXPECT_EQ(drv.ModemState(), msIdle);
  EXPECT_FALSE(fake.IsOpen(2));
}

TEST_F(ModemLine, CloseWhileFailedSendsNothing) {
  Open(true);  // the dial fails on a silent modem
  ASSERT_EQ(drv.ModemState(), msFailed);
  Forget();
  drv.SetActive(false);
  EXPECT_TRUE(fake.Writes().empty());
  EXPECT_EQ(drv.ModemState(), msIdle);
}

TEST_F(ModemLine, ResetPortHangsUpAndDialsAgain) {
  AnswerDialWith("1\r");
  Open(true);
  Forget();
  Replies["+++"] = "0\r";
  Replies["ATH0"] = "0\r";
  drv.ResetPort();
  EXPECT_EQ(drv.ModemState(), msConnected);
  EXPECT_EQ(Sent(), (std::vector<std::string>{"\r", "+++\r", "ATH0\r", "ATZ\r",
                                              "ATV0 E0 F1 H0r\r", "ATD 5551234\r"}));
}

TEST_F(ModemLine, DestructionHangsUpAConnectedCall) {
  AnswerDialWith("1\r");
  Replies["+++"] = "0\r";
  Replies["ATH0"] = "0\r";
  {
    TAscModemDrv local(nullptr, &fake);
    TDriverSettings s = Defaults;
    s.pcpsAutoConnect = true;
    local.ApplySettings(s);
    local.SetActive(true);
    ASSERT_EQ(local.ModemState(), msConnected);
    fake.ClearWrites();
  }
  EXPECT_EQ(Sent().back(), "ATH0\r");
  EXPECT_EQ(fake.OpenHandleCount(), 0);
}

}  // namespace
}  // namespace vkt
