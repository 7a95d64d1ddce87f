// The cases of the serial contract: each states what a Windows serial port does.
#include "serial_contract.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <iterator>
#include <string>

namespace vkt::contract {

void Line::Timeouts(std::uint32_t interval, std::uint32_t multiplier, std::uint32_t constant,
                    std::uint32_t writeMultiplier, std::uint32_t writeConstant) {
  CommTimeouts t;
  t.ReadIntervalTimeout = interval;
  t.ReadTotalTimeoutMultiplier = multiplier;
  t.ReadTotalTimeoutConstant = constant;
  t.WriteTotalTimeoutMultiplier = writeMultiplier;
  t.WriteTotalTimeoutConstant = writeConstant;
  ASSERT_TRUE(Os().SetCommTimeouts(h, t));
}

namespace {

// ----- The cases -------------------------------------------------------------------------------

struct Case {
  const char* name;
  unsigned needs;
  void (*run)(Line& line);
};

void ReadAllWaitingBytes(Line& l) {
  l.Timeouts(0, 0, 1000);
  l.Send({1, 2, 3, 4});
  l.Settle();
  std::uint8_t buf[4] = {};
  std::uint32_t got = 0;
  ASSERT_TRUE(l.Os().ReadFile(l.h, buf, 4, got));
  EXPECT_EQ(got, 4u);
  EXPECT_EQ(Bytes(buf, buf + 4), (Bytes{1, 2, 3, 4}));
}

void SilentLineEndsAtTheTotal(Line& l) {
  l.Timeouts(0, 10, 50);
  const std::int64_t start = l.NowMs();
  std::uint8_t buf[3];
  std::uint32_t got = 99;
  ASSERT_TRUE(l.Os().ReadFile(l.h, buf, 3, got));
  EXPECT_EQ(got, 0u);
  EXPECT_GE(l.NowMs() - start, 79) << "multiplier x n + constant = 80 ms";
}

void GapEndsTheReadAfterAByte(Line& l) {
  l.Timeouts(20, 0, 5000);
  l.Send({7, 8});
  l.Settle();
  const std::int64_t start = l.NowMs();
  std::uint8_t buf[10];
  std::uint32_t got = 0;
  ASSERT_TRUE(l.Os().ReadFile(l.h, buf, 10, got));
  EXPECT_EQ(got, 2u);
  EXPECT_LT(l.NowMs() - start, 5000) << "the interval, not the total, ends it";
}

void ImmediateReadNeverWaits(Line& l) {
  l.Timeouts(0xFFFFFFFFu, 0, 0);
  std::uint8_t buf[16];
  std::uint32_t got = 99;
  ASSERT_TRUE(l.Os().ReadFile(l.h, buf, 16, got));
  EXPECT_EQ(got, 0u);
  l.Send({5, 6});
  l.Settle();
  ASSERT_TRUE(l.Os().ReadFile(l.h, buf, 16, got));
  EXPECT_EQ(got, 2u);
}

void FirstByteReadReturnsOnAnyByte(Line& l) {
  l.Timeouts(0xFFFFFFFFu, 0xFFFFFFFFu, 60);
  std::uint8_t buf[10];
  std::uint32_t got = 99;
  const std::int64_t start = l.NowMs();
  ASSERT_TRUE(l.Os().ReadFile(l.h, buf, 10, got));
  EXPECT_EQ(got, 0u);
  EXPECT_GE(l.NowMs() - start, 59) << "a silent line waits out the constant";
  l.Send({9, 9, 9});
  l.Settle();
  const std::int64_t again = l.NowMs();
  ASSERT_TRUE(l.Os().ReadFile(l.h, buf, 10, got));
  EXPECT_EQ(got, 3u);
  EXPECT_LT(l.NowMs() - again, 60000);
}

void WriteReturnsWhenTheBytesHaveLeft(Line& l) {
  l.Timeouts(0, 0, 0, 0, 5000);
  const Bytes frame(100, 0x33);
  const std::int64_t start = l.NowMs();
  std::uint32_t written = 0;
  ASSERT_TRUE(l.Os().WriteFile(l.h, frame.data(), 100, written));
  EXPECT_EQ(written, 100u);
  // The UART's FIFO may still hold its last few bytes when the queue is empty.
  EXPECT_GE(static_cast<double>(l.NowMs() - start) + 1.0, Line::WireMs(100 - 17));
}

void WriteTimeOutReportsWhatLeft(Line& l) {
  l.Timeouts(0, 0, 0, 0, 100);
  l.Hold();
  const Bytes frame(50, 0x44);
  const std::int64_t start = l.NowMs();
  std::uint32_t written = 99;
  ASSERT_TRUE(l.Os().WriteFile(l.h, frame.data(), 50, written)) << "a time-out is no failure";
  EXPECT_LT(written, 50u);
  EXPECT_GE(l.NowMs() - start, 99);
}

void TxEmptyAfterTheWrite(Line& l) {
  l.Timeouts(0, 0, 0, 0, 5000);
  ASSERT_TRUE(l.Os().SetCommMask(l.h, EV_TXEMPTY));
  const Bytes frame(20, 0x66);
  std::uint32_t written = 0;
  ASSERT_TRUE(l.Os().WriteFile(l.h, frame.data(), 20, written));
  std::uint32_t events = 0;
  ASSERT_TRUE(l.Os().WaitCommEvent(l.h, events, 2000));
  EXPECT_EQ(events, EV_TXEMPTY);
  l.Settle();
  EXPECT_EQ(l.Received().size(), 20u) << "every byte is on the wire";
}

void TxEmptyWaitIsBounded(Line& l) {
  l.Timeouts(0, 0, 0, 0, 10);
  l.Hold();
  ASSERT_TRUE(l.Os().SetCommMask(l.h, EV_TXEMPTY));
  const Bytes frame(20, 0x77);
  std::uint32_t written = 0;
  ASSERT_TRUE(l.Os().WriteFile(l.h, frame.data(), 20, written));
  std::uint32_t events = 99;
  const std::int64_t start = l.NowMs();
  ASSERT_TRUE(l.Os().WaitCommEvent(l.h, events, 200));
  EXPECT_EQ(events, 0u);
  EXPECT_GE(l.NowMs() - start, 199);
}

void RxCharWaitIsBounded(Line& l) {
  ASSERT_TRUE(l.Os().SetCommMask(l.h, EV_RXCHAR));
  std::uint32_t events = 99;
  ASSERT_TRUE(l.Os().WaitCommEvent(l.h, events, 50));
  EXPECT_EQ(events, 0u) << "a silent line: no event at the limit";
  l.Send({1});
  l.Settle();
  ASSERT_TRUE(l.Os().WaitCommEvent(l.h, events, 2000));
  EXPECT_EQ(events, EV_RXCHAR);
}

void ErrorWordReportsOnce(Line& l) {
  l.SendDamaged(0x12, kFramingFault);
  l.Settle();
  std::uint32_t errors = 0;
  ASSERT_TRUE(l.Os().ClearCommError(l.h, errors));
  EXPECT_EQ(errors & CE_FRAME, CE_FRAME);
  ASSERT_TRUE(l.Os().ClearCommError(l.h, errors));
  EXPECT_EQ(errors, 0u) << "cleared by the call that reported it";
}

void AbortOnErrorStopsReadsUntilCleared(Line& l) {
  l.Timeouts(0, 0, 50);
  l.SendDamaged(0x21, kParityFault);
  l.Settle();
  std::uint8_t buf[4];
  std::uint32_t got = 0;
  EXPECT_FALSE(l.Os().ReadFile(l.h, buf, 4, got));
  l.Send({1, 2});
  l.Settle();
  EXPECT_FALSE(l.Os().ReadFile(l.h, buf, 2, got)) << "stopped until ClearCommError";
  std::uint32_t errors = 0;
  ASSERT_TRUE(l.Os().ClearCommError(l.h, errors));
  EXPECT_EQ(errors & CE_RXPARITY, CE_RXPARITY);
  EXPECT_TRUE(l.Os().ReadFile(l.h, buf, 2, got));
}

void PurgeDropsReceivedBytes(Line& l) {
  l.Send({1, 2, 3, 4, 5});
  l.Settle();
  ASSERT_TRUE(l.Os().PurgeComm(l.h, PURGE_ALL));
  l.Timeouts(0, 0, 30);
  std::uint8_t buf[8];
  std::uint32_t got = 99;
  ASSERT_TRUE(l.Os().ReadFile(l.h, buf, 8, got));
  EXPECT_EQ(got, 0u);
}

void ModemStatusBits(Line& l) {
  struct Row {
    bool cts, dsr, ring, dcd;
    std::uint32_t bits;
  };
  for (const Row& r : {Row{true, false, false, false, MS_CTS_ON},
                       Row{false, true, false, false, MS_DSR_ON},
                       Row{false, false, true, false, MS_RING_ON},
                       Row{false, false, false, true, MS_RLSD_ON},
                       Row{true, true, true, true, 0xF0u}, Row{false, false, false, false, 0}}) {
    l.SetModemLines(r.cts, r.dsr, r.ring, r.dcd);
    std::uint32_t status = 0xDEAD;
    ASSERT_TRUE(l.Os().GetCommModemStatus(l.h, status));
    EXPECT_EQ(status, r.bits);
  }
}

void GoneDeviceFailsAtOnce(Line& l) {
  l.Timeouts(0, 0, 500, 0, 500);
  l.Unplug();
  std::uint8_t buf[4];
  std::uint32_t got = 0;
  EXPECT_FALSE(l.Os().ReadFile(l.h, buf, 4, got)) << "a gone device is no silent line";
  std::uint32_t written = 0;
  EXPECT_FALSE(l.Os().WriteFile(l.h, "ab", 2, written));
}

void StateReadsBackAsSet(Line& l) {
  CommState s;
  ASSERT_TRUE(l.Os().GetCommState(l.h, s));
  s.BaudRate = 19200;
  s.StopBits = kTwoStopBits;
  ASSERT_TRUE(l.Os().SetCommState(l.h, s));
  CommState back;
  ASSERT_TRUE(l.Os().GetCommState(l.h, back));
  EXPECT_EQ(back, s);
}

void StateNotTakenIsRefused(Line& l) {
  CommState s;
  ASSERT_TRUE(l.Os().GetCommState(l.h, s));
  const CommState before = s;
  s.Parity = 3;  // mark
  s.fParity = true;
  EXPECT_FALSE(l.Os().SetCommState(l.h, s));
  CommState back;
  ASSERT_TRUE(l.Os().GetCommState(l.h, back));
  EXPECT_EQ(back, before) << "the state before stays in force";
}

const Case kCases[] = {
    {"ReadFile returns the bytes already waiting", 0, ReadAllWaitingBytes},
    {"ReadFile on a silent line ends at multiplier x n + constant", 0, SilentLineEndsAtTheTotal},
    {"ReadFile ends when the gap after a byte exceeds the interval", 0,
     GapEndsTheReadAfterAByte},
    {"ReadFile with MAXDWORD interval and zero totals never waits", 0, ImmediateReadNeverWaits},
    {"ReadFile with MAXDWORD interval and multiplier returns on any byte", 0,
     FirstByteReadReturnsOnAnyByte},
    {"WriteFile returns when the bytes have left the port", kWireTime,
     WriteReturnsWhenTheBytesHaveLeft},
    {"WriteFile time-out reports the bytes that left", kHold, WriteTimeOutReportsWhatLeft},
    {"EV_TXEMPTY comes when every byte is on the wire", 0, TxEmptyAfterTheWrite},
    {"WaitCommEvent for EV_TXEMPTY is bounded", kHold, TxEmptyWaitIsBounded},
    {"WaitCommEvent for EV_RXCHAR is bounded", 0, RxCharWaitIsBounded},
    {"ClearCommError reports a line error once", kLineErrors, ErrorWordReportsOnce},
    {"abort on error fails reads until ClearCommError", kLineErrors,
     AbortOnErrorStopsReadsUntilCleared},
    {"PurgeComm drops the received bytes", 0, PurgeDropsReceivedBytes},
    {"GetCommModemStatus reports the modem lines as MS_ bits", kModemLines, ModemStatusBits},
    {"a device that has gone fails ReadFile and WriteFile", kUnplug, GoneDeviceFailsAtOnce},
    {"SetCommState reads back as set", 0, StateReadsBackAsSet},
    {"SetCommState refuses what the device did not take", kPickyDevice, StateNotTakenIsRefused},
};

}  // namespace

void RunContract(const char* backend, unsigned carries,
                 const std::function<std::unique_ptr<Line>(unsigned needs)>& make) {
  int run = 0;
  std::string notCarried;
  for (const Case& c : kCases) {
    if ((c.needs & carries) != c.needs) {
      notCarried += std::string(notCarried.empty() ? "" : "; ") + c.name;
      continue;
    }
    SCOPED_TRACE(std::string(backend) + ": " + c.name);
    std::unique_ptr<Line> line = make(c.needs);
    ASSERT_NE(line->Open(), kNoHandle);
    c.run(*line);
    ++run;
  }
  std::printf("serial contract, %s: %d of %zu cases run; not carried: %s\n", backend, run,
              std::size(kCases), notCarried.empty() ? "none" : notCarried.c_str());
}

}  // namespace vkt::contract
