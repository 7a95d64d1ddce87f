// The link-layer transaction on the fake line with the virtual clock: attempts and retries per
// result, the pauses, the phase time-outs, the periodic port reset, and line turn-around on
// RS-485 and radio lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "protocol/frame.h"
#include "protocol/vkt_link_layer.h"
#include "response_frame.h"

namespace vkt {
namespace {

using test::Bytes;
using test::FakePlatform;
using test::From;

// A response frame as a station sends it.
Bytes Response(int station, int status, const Bytes& data) {
  return test::ResponseFrame(station, status, data);
}

Bytes BadChecksum(Bytes frame) {
  frame.back() ^= 0x01;
  return frame;
}

const Bytes kTwoWords = Response(1, 0, {0x34, 0x12, 0xCD, 0xAB});

class LinkLine : public testing::Test {
 protected:
  LinkLine() { S.pcpsRadioRemCarrierOffTime = 0; }
  // The responders of a test capture its locals; the hang-up of the closing link must not
  // reach them after the test body has ended.
  ~LinkLine() override {
    fake.SetResponder(nullptr);
    link.reset();
  }

  // Opens on COM1 with the settings S; `platformId` 1 makes the 95/98 family.
  void Open(std::uint32_t platformId = 2) {
    fake.SetPlatformId(platformId);
    link = std::make_unique<TVktLinkLayer>(nullptr, &fake);
    link->ApplySettings(S);
    link->SetActive(true);
    ASSERT_TRUE(link->Active());
    if (S.pcpsModemSuport) link->SetModemState(msConnected);
    fake.ClearCalls();
    fake.ClearWrites();
  }

  // Every frame written is answered after 5 ms by what `answer` gives for the attempt
  // (1, 2, ...); an empty answer is silence.
  void Answer(std::function<Bytes(int attempt)> answer) {
    fake.SetResponder([this, answer](FakePlatform& f, const Bytes&) {
      const Bytes reply = answer(++attempts);
      if (!reply.empty()) f.PushAfterWrite(5, reply);
    });
  }
  void AnswerAlways(const Bytes& reply) {
    Answer([reply](int) { return reply; });
  }

  // Reads two words at 0x0010 of station 1 (the worked request).
  ResultCode ReadTwoWords(std::int32_t capacity = 4) {
    const std::uint8_t request[3] = {0x10, 0x00, 0x02};
    length = 3;
    return link->Request(1, kCmdReadWords, capacity, response, length, request);
  }

  std::size_t Frames() const { return fake.Writes().size(); }
  std::size_t Resets() const { return fake.CallCount("CreateFile"); }
  std::size_t Sleeps(std::uint32_t ms) const {
    std::size_t n = 0;
    for (const auto& c : fake.Calls("Sleep")) n += c.value == ms;
    return n;
  }

  // True when every frame went out after a flush of its own: 5 ms read time-out, then reads.
  bool FlushedBeforeEachWrite() const {
    bool timeoutSet = false, read = false;
    for (const auto& c : fake.Calls()) {
      if (c.name == "SetCommTimeouts") {
        timeoutSet = c.value == 5;
        read = false;
      } else if (c.name == "ReadFile") {
        read = read || timeoutSet;
      } else if (c.name == "WriteFile") {
        if (!read) return false;
        timeoutSet = read = false;
      }
    }
    return true;
  }

  TDriverSettings S = DefaultSettings();
  FakePlatform fake;
  std::unique_ptr<TVktLinkLayer> link;
  int attempts = 0;
  std::uint8_t response[kMaxFrameData] = {};
  std::int32_t length = 0;
};

TEST_F(LinkLine, SendsTheWorkedRequestAndHandsOnTheData) {
  Open();
  AnswerAlways(kTwoWords);
  ASSERT_EQ(ReadTwoWords(), kOk);
  ASSERT_EQ(Frames(), 1u);
  EXPECT_EQ(fake.Writes()[0], (Bytes{0x5A, 0x01, 0x03, 0x91, 0x10, 0x00, 0x02, 0x58, 0xFF}));
  ASSERT_EQ(length, 4);
  EXPECT_EQ(Bytes(response, response + 4), (Bytes{0x34, 0x12, 0xCD, 0xAB}));
  EXPECT_TRUE(FlushedBeforeEachWrite());
}

// ---- Attempts per result ------------------------------------------------------------------

enum class Line { kDirect, kRs485, kRadio, kModem };

struct AttemptCase {
  const char* name;
  Line line;
  std::int32_t retries;
  std::function<Bytes(int attempt)> answer;
  ResultCode expected;
  std::size_t frames;
  std::size_t pauses;  // 300 ms sleeps
};
void PrintTo(const AttemptCase& c, std::ostream* os) { *os << c.name; }

class Attempts : public LinkLine, public testing::WithParamInterface<AttemptCase> {};

TEST_P(Attempts, MatchTheResult) {
  const AttemptCase& c = GetParam();
  S.pcpsVktComRetry = c.retries;
  S.pcpsRS485Suport = c.line == Line::kRs485;
  S.pcpsDataRadioSuport = c.line == Line::kRadio;
  S.pcpsModemSuport = c.line == Line::kModem;
  S.pcpsModemPort = 1;
  fake.SetCtsFollowsRts(0);
  Open();
  Answer(c.answer);
  EXPECT_EQ(ReadTwoWords(), c.expected);
  EXPECT_EQ(Frames(), c.frames);
  EXPECT_EQ(Sleeps(300), c.pauses);
  EXPECT_TRUE(FlushedBeforeEachWrite());
}

Bytes Silence(int) { return {}; }
Bytes Prefixed(int strays) {
  Bytes b(static_cast<std::size_t>(strays), 0x11);
  b.insert(b.end(), kTwoWords.begin(), kTwoWords.end());
  return b;
}
INSTANTIATE_TEST_SUITE_P(
    LinkLayer, Attempts,
    testing::Values(
        AttemptCase{"BadChecksumEveryTime", Line::kDirect, 3,
                    [](int) { return BadChecksum(kTwoWords); }, kChecksumMismatch, 3, 0},
        AttemptCase{"BadChecksumThenGood", Line::kDirect, 3,
                    [](int a) { return a < 3 ? BadChecksum(kTwoWords) : kTwoWords; }, kOk, 3, 0},
        AttemptCase{"SilentOnADirectLine", Line::kDirect, 3, Silence, kNoAnswer, 1, 0},
        AttemptCase{"SilentOnRs485", Line::kRs485, 3, Silence, kNoAnswer, 1, 0},
        AttemptCase{"SilentOnRadio", Line::kRadio, 3, Silence, kNoAnswer, 3, 0},
        AttemptCase{"SilentOnAModem", Line::kModem, 4, Silence, kNoAnswer, 4, 0},
        AttemptCase{"ControllerErrorNotRetried", Line::kDirect, 3,
                    [](int) { return Response(1, 0x85, {}); }, kControllerError, 1, 0},
        AttemptCase{"ControllerOwnStatus", Line::kDirect, 3,
                    [](int) { return Response(1, 0x05, {}); }, 5, 1, 0},
        AttemptCase{"TwoStrayBytesAreSkipped", Line::kDirect, 3,
                    [](int) { return Prefixed(2); }, kOk, 1, 0},
        AttemptCase{"ThreeStrayBytesEveryTime", Line::kDirect, 3,
                    [](int) { return Prefixed(3); }, kNoStartByte, 3, 3},
        AttemptCase{"TruncatedNotRetried", Line::kDirect, 3,
                    [](int) { return Bytes(kTwoWords.begin(), kTwoWords.begin() + 6); },
                    kIncompleteFrame, 1, 0},
        AttemptCase{"LengthAbove252NotRetried", Line::kDirect, 3,
                    [](int) { return Bytes{0x5A, 0x01, 253, 0x00}; }, kTooMuchData, 1, 0},
        AttemptCase{"NoRetriesMeansOneAttempt", Line::kDirect, 0,
                    [](int) { return BadChecksum(kTwoWords); }, kChecksumMismatch, 1, 0},
        AttemptCase{"NegativeRetriesMeansOneAttempt", Line::kDirect, -5,
                    [](int) { return BadChecksum(kTwoWords); }, kChecksumMismatch, 1, 0}),
    [](const testing::TestParamInfo<AttemptCase>& info) { return info.param.name; });

TEST_F(LinkLine, FramingErrorsAreRetriedAfterAPause) {
  Open();
  fake.SetResponder([](FakePlatform& f, const Bytes&) {
    f.PushAfterWrite(5, {kStartByte});
    f.ScheduleAt(From::LastWrite, 20, {}, serial::CE_FRAME);
  });
  EXPECT_EQ(ReadTwoWords(), kFramingError);
  EXPECT_EQ(Frames(), 3u);
  EXPECT_EQ(Sleeps(300), 3u);
}

// A line error while waiting for the first byte does not stretch the wait beyond the
// first-byte time-out: it ends the attempt as that error, which is then retried.
TEST_F(LinkLine, ALineErrorWhileWaitingForTheAnswerEndsTheAttempt) {
  Open();
  fake.SetResponder([](FakePlatform& f, const Bytes&) {
    f.ScheduleAt(From::LastWrite, 100, {}, serial::CE_FRAME);
  });
  const std::uint64_t start = fake.Now();
  EXPECT_EQ(ReadTwoWords(), kFramingError);
  EXPECT_EQ(Frames(), 3u);
  EXPECT_LT(fake.Now() - start, 3u * (502 + 300 + 50));
}

TEST_F(LinkLine, AResponseLongerThanTheBufferIsRefused) {
  Open();
  AnswerAlways(kTwoWords);
  EXPECT_EQ(ReadTwoWords(2), kFrameTooLong);
  EXPECT_EQ(Frames(), 1u);
}

// ---- Phase time-outs ----------------------------------------------------------------------

struct PhaseCase {
  const char* name;
  bool modem;
  std::uint64_t startAt;   // ms after the write
  std::uint64_t headerAt;  // ms after the start byte
  std::uint64_t bodyAt;    // ms after the header
  ResultCode expected;
};
void PrintTo(const PhaseCase& c, std::ostream* os) { *os << c.name; }

class Phases : public LinkLine, public testing::WithParamInterface<PhaseCase> {};

// At 9600 baud the port adds 2 ms per byte to each read's constant.
TEST_P(Phases, EachPhaseHasItsOwnTimeout) {
  const PhaseCase& c = GetParam();
  S.pcpsModemSuport = c.modem;
  S.pcpsModemPort = 1;
  // One attempt: a late answer would otherwise be taken by the next attempt.
  S.pcpsVktComRetry = 1;
  Open();
  const Bytes r = Response(5, 0, {});
  fake.SetResponder([&](FakePlatform& f, const Bytes&) {
    f.ScheduleAt(From::LastWrite, c.startAt, {r[0]});
    f.ScheduleAt(From::LastWrite, c.startAt + c.headerAt, {r[1], r[2], r[3]});
    f.ScheduleAt(From::LastWrite, c.startAt + c.headerAt + c.bodyAt, {r[4], r[5]});
  });
  EXPECT_EQ(ReadTwoWords(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    LinkLayer, Phases,
    testing::Values(PhaseCase{"FirstByteInTime", false, 480, 0, 0, kOk},
                    PhaseCase{"FirstByteLate", false, 530, 0, 0, kNoAnswer},
                    PhaseCase{"HeaderInTime", false, 5, 140, 0, kOk},
                    PhaseCase{"HeaderLate", false, 5, 170, 0, kIncompleteFrame},
                    PhaseCase{"BodyInTime", false, 5, 0, 290, kOk},
                    PhaseCase{"BodyLate", false, 5, 0, 320, kIncompleteFrame},
                    PhaseCase{"ModemFirstByteInTime", true, 730, 0, 0, kOk},
                    PhaseCase{"ModemFirstByteLate", true, 780, 0, 0, kNoAnswer},
                    PhaseCase{"ModemHeaderInTime", true, 5, 390, 0, kOk},
                    PhaseCase{"ModemHeaderLate", true, 5, 420, 0, kIncompleteFrame},
                    PhaseCase{"ModemBodyStillThreeHundred", true, 5, 0, 320, kIncompleteFrame}),
    [](const testing::TestParamInfo<PhaseCase>& info) { return info.param.name; });

// The first-byte wait as a setting becomes it: no value of the file may hang the request (a
// negative time cast to a 32-bit wait is about 49 days) or overflow with the modem's 250 ms.
struct ResponseTimeoutCase {
  const char* name;
  std::int32_t configured;
  bool modem;
  std::uint32_t wait;  // the read time-out constant set for the first byte
};
void PrintTo(const ResponseTimeoutCase& c, std::ostream* os) { *os << c.name; }

class ResponseTimeouts : public LinkLine,
                         public testing::WithParamInterface<ResponseTimeoutCase> {};

TEST_P(ResponseTimeouts, AreSafeWaits) {
  const ResponseTimeoutCase& c = GetParam();
  S.pcpsVktRespTmo = c.configured;
  S.pcpsModemSuport = c.modem;
  S.pcpsModemPort = 1;
  S.pcpsVktComRetry = 1;
  Open();
  EXPECT_EQ(ReadTwoWords(), kNoAnswer);
  // The first time-out set after the frame went out is the first-byte wait.
  bool written = false;
  std::uint32_t wait = 0;
  for (const auto& call : fake.Calls()) {
    if (call.name == "WriteFile") written = true;
    if (written && call.name == "SetCommTimeouts") {
      wait = static_cast<std::uint32_t>(call.value);
      break;
    }
  }
  EXPECT_EQ(wait, c.wait);
}

INSTANTIATE_TEST_SUITE_P(
    LinkLayer, ResponseTimeouts,
    testing::Values(ResponseTimeoutCase{"AsConfigured", 1200, false, 1200},
                    ResponseTimeoutCase{"NegativeIsTheDefault", -5, false, 500},
                    ResponseTimeoutCase{"MinusOneIsTheDefault", -1, false, 500},
                    ResponseTimeoutCase{"ZeroIsTheDefault", 0, false, 500},
                    ResponseTimeoutCase{"HugeIsOneMinute", 2147483647, false, 60000},
                    ResponseTimeoutCase{"ModemAddsAfterTheCut", 2147483600, true, 60250},
                    ResponseTimeoutCase{"ModemNegative", -100, true, 750}),
    [](const testing::TestParamInfo<ResponseTimeoutCase>& info) { return info.param.name; });

// ---- Reset countdown ----------------------------------------------------------------------

TEST_F(LinkLine, ResetsThePortAfterARunOfFailedTransactions) {
  S.pcpsFailFramesToReset = 5;
  Open();
  bool answering = false;
  fake.SetResponder([&](FakePlatform& f, const Bytes&) {
    if (answering) f.PushAfterWrite(5, kTwoWords);
  });
  auto failRun = [&](int n) {
    for (int i = 0; i < n; ++i) ASSERT_EQ(ReadTwoWords(), kNoAnswer);
  };
  // From creation the countdown is 20, whatever the setting says.
  failRun(20);
  EXPECT_EQ(Resets(), 0u);
  fake.ClearCalls();
  failRun(1);
  EXPECT_EQ(Resets(), 1u);
  {
    const auto names = fake.CallNames();
    const auto open = std::find(names.begin(), names.end(), "CreateFile");
    const auto write = std::find(names.begin(), names.end(), "WriteFile");
    EXPECT_LT(open, write) << "the reset comes before the frame";
  }

  // A success reloads the countdown from the setting: the sixth failure after it resets.
  answering = true;
  ASSERT_EQ(ReadTwoWords(), kOk);
  answering = false;
  failRun(5);
  EXPECT_EQ(Resets(), 1u);
  failRun(1);
  EXPECT_EQ(Resets(), 2u);

  // A response too long for the buffer still counts as a successful exchange.
  answering = true;
  ASSERT_EQ(ReadTwoWords(), kOk);
  answering = false;
  failRun(4);
  answering = true;
  ASSERT_EQ(ReadTwoWords(2), kFrameTooLong);
  answering = false;
  failRun(5);
  EXPECT_EQ(Resets(), 2u);
  failRun(1);
  EXPECT_EQ(Resets(), 3u);
}

TEST_F(LinkLine, AResetThatCannotReopenThePortSendsNothing) {
  Open();
  for (int i = 0; i < 20; ++i) ASSERT_EQ(ReadTwoWords(), kNoAnswer);
  fake.SetPortBusy(1, true);
  fake.ClearWrites();
  EXPECT_EQ(ReadTwoWords(), kPortNotOpen);
  EXPECT_EQ(ReadTwoWords(), kPortNotOpen);
  EXPECT_EQ(Frames(), 0u);
}

// ---- Refusals and a failing port ------------------------------------------------------------

TEST_F(LinkLine, RefusesWithoutAnOpenPortOrAConnectedModem) {
  link = std::make_unique<TVktLinkLayer>(nullptr, &fake);
  EXPECT_EQ(ReadTwoWords(), kPortNotOpen);

  S.pcpsModemSuport = true;
  S.pcpsModemPort = 1;
  Open();
  link->SetModemState(msFailed);
  EXPECT_EQ(ReadTwoWords(), kModemNotConnected);
  EXPECT_EQ(Frames(), 0u);
}

TEST_F(LinkLine, APortWhoseReadsKeepFailingDoesNotHoldTheRequest) {
  Open();
  AnswerAlways(kTwoWords);
  fake.FailAlways("ReadFile");
  EXPECT_EQ(ReadTwoWords(), kReadFailed);
  EXPECT_EQ(Frames(), 1u);
  EXPECT_LT(fake.CallCount("ReadFile"), 1000u);
}

TEST_F(LinkLine, TheFlushIsBoundedWhenThePortKeepsTalking) {
  Open();
  // A line that never falls quiet: a stray byte every 2 ms, until the test ends.
  bool chatting = true;
  std::function<void(FakePlatform&)> chatter = [&](FakePlatform& f) {
    if (!chatting) return;
    f.PushNow({0x00});
    f.ScheduleAction(f.Now() + 2, chatter);
  };
  fake.ScheduleAction(fake.Now(), chatter);
  // Each attempt goes on after its bounded flush, and finds only stray bytes.
  EXPECT_EQ(ReadTwoWords(), kNoStartByte);
  EXPECT_EQ(Frames(), 3u);
  chatting = false;
}

// ---- Line turn-around ---------------------------------------------------------------------

// The calls that key and time the line, one word each: SETRTS, CLRRTS, "write N" with its
// byte count, "txempty", "sleep N", and "read" for the reads that took response bytes.
std::string TurnAround(const FakePlatform& fake) {
  std::string out;
  std::string last;
  for (const auto& c : fake.Calls()) {
    std::string word;
    if (c.name == "EscapeCommFunction") word = c.detail;
    else if (c.name == "WriteFile") word = "write " + std::to_string(c.value);
    else if (c.name == "WaitCommEvent") word = "txempty";
    else if (c.name == "Sleep") word = "sleep " + std::to_string(c.value);
    else if (c.name == "ReadFile" && !c.detail.empty()) word = "read";
    if (word.empty() || (word == "read" && last == "read")) continue;
    out += (out.empty() ? "" : " ") + word;
    last = word;
  }
  return out;
}

struct TurnCase {
  const char* name;
  bool rs485, radio;
  std::uint32_t platformId;  // 1: the 95/98 family, where the driver keys RTS for RS-485
  const char* expected;
  std::size_t fill;          // 0xFF bytes after the frame
};
void PrintTo(const TurnCase& c, std::ostream* os) { *os << c.name; }

class TurnAroundOrder : public LinkLine, public testing::WithParamInterface<TurnCase> {};

TEST_P(TurnAroundOrder, KeysFillsAndWaitsInOrder) {
  const TurnCase& c = GetParam();
  S.pcpsRS485Suport = c.rs485;
  S.pcpsRS485ExtraBytes = 2;
  S.pcpsRS485RTSExtTime = 7;
  S.pcpsRS485RemRtsOffTime = 3;
  S.pcpsDataRadioSuport = c.radio;
  S.pcpsRadioExtraBytes = 4;
  S.pcpsRadioRTSExtTime = 11;
  S.pcpsRadioRemCarrierOffTime = 13;
  fake.SetCtsFollowsRts(0);
  Open(c.platformId);
  AnswerAlways(kTwoWords);
  ASSERT_EQ(ReadTwoWords(), kOk);
  EXPECT_EQ(TurnAround(fake), c.expected);
  ASSERT_EQ(Frames(), 1u);
  const Bytes& w = fake.Writes()[0];
  ASSERT_EQ(w.size(), 9 + c.fill);
  EXPECT_EQ(Bytes(w.begin() + 9, w.end()), Bytes(c.fill, 0xFF));
}

INSTANTIATE_TEST_SUITE_P(
    LinkLayer, TurnAroundOrder,
    testing::Values(
        TurnCase{"DirectLine", false, false, 2, "write 9 read", 0},
        TurnCase{"Rs485PortKeysRts", true, false, 2, "write 11 txempty read sleep 3", 2},
        TurnCase{"Rs485DriverKeysRts", true, false, 1,
                 "SETRTS write 11 txempty sleep 7 CLRRTS read sleep 3", 2},
        TurnCase{"Radio", false, true, 2, "SETRTS write 13 txempty sleep 11 CLRRTS read sleep 13",
                 4},
        TurnCase{"RadioAndRs485", true, true, 1,
                 "SETRTS SETRTS write 15 txempty sleep 11 CLRRTS txempty sleep 7 CLRRTS read "
                 "sleep 13 sleep 3",
                 6}),
    [](const testing::TestParamInfo<TurnCase>& info) { return info.param.name; });

TEST_F(LinkLine, RadioWithoutCtsGivesUpAfter200msWithRtsOff) {
  S.pcpsDataRadioSuport = true;
  fake.SetCtsNever();
  Open();
  AnswerAlways(kTwoWords);
  const std::uint64_t start = fake.Now();
  EXPECT_EQ(ReadTwoWords(), kNoCts);
  const std::uint64_t waited = fake.Now() - start;
  EXPECT_GE(waited, 200u);
  EXPECT_LT(waited, 260u);
  EXPECT_FALSE(fake.Rts());
  EXPECT_EQ(Frames(), 0u);
}

TEST_F(LinkLine, RadioTransmitterThatNeverEmptiesIsAFailedWrite) {
  S.pcpsDataRadioSuport = true;
  fake.SetCtsFollowsRts(0);
  fake.SetTxEmpty(test::TxEmpty::Never);
  Open();
  AnswerAlways(kTwoWords);
  EXPECT_EQ(ReadTwoWords(), kWriteIncomplete);
  EXPECT_EQ(Frames(), 1u);
  EXPECT_FALSE(fake.Rts());
}

}  // namespace
}  // namespace vkt
