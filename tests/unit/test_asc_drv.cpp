// The serial line driver on the fake line: platform detection, open and close with the port's
// own state put back, line state and time-outs from the settings, the setters' re-open, timed
// reads and writes with their codes, and the RTS/DTR/event operations.
#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "serial/asc_drv.h"

namespace vkt {
namespace {

using namespace serial;
using test::Bytes;
using test::FakePlatform;

// A driver that counts the calls that reach its virtual open and close.
class CountingDrv : public TAscDrv {
 public:
  using TAscDrv::TAscDrv;
  void OpenPort() override {
    ++opens;
    TAscDrv::OpenPort();
  }
  void ClosePort() override {
    ++closes;
    TAscDrv::ClosePort();
  }
  ~CountingDrv() override { CountingDrv::ClosePort(); }
  int opens = 0;
  int closes = 0;
};

class AscDrv : public testing::Test {
 protected:
  // Builds the driver once the fake is arranged (the platform is found at construction).
  CountingDrv& Make() {
    drv = std::make_unique<CountingDrv>(nullptr, &fake);
    return *drv;
  }
  CountingDrv& Opened() {
    Make().SetActive(true);
    EXPECT_TRUE(drv->Active());
    fake.ClearCalls();
    drv->opens = drv->closes = 0;
    return *drv;
  }
  std::string LastSetTimeouts() const {
    auto calls = fake.Calls("SetCommTimeouts");
    return calls.empty() ? "" : calls.back().detail;
  }

  FakePlatform fake;
  std::unique_ptr<CountingDrv> drv;
};

// ---- Platform detection --------------------------------------------------------------------

struct PlatformCase {
  const char* name;
  bool fail156;
  bool fail148;
  std::uint32_t platformId;
  std::int32_t platform;
  ResultCode initError;
  std::vector<std::uint32_t> sizesAsked;
};
void PrintTo(const PlatformCase& c, std::ostream* os) { *os << c.name; }

class AscDrvPlatform : public AscDrv, public testing::WithParamInterface<PlatformCase> {};

TEST_P(AscDrvPlatform, DetectsFamilyAndRefusesUnsupported) {
  const PlatformCase& c = GetParam();
  fake.SetVersionFailsFor(156, c.fail156);
  fake.SetVersionFailsFor(148, c.fail148);
  fake.SetPlatformId(c.platformId);
  TAscDrv& d = Make();
  EXPECT_EQ(d.Platform(), c.platform);
  EXPECT_EQ(d.InitError(), c.initError);
  std::vector<std::uint32_t> sizes;
  for (const auto& call : fake.Calls("GetVersionEx")) sizes.push_back(call.value);
  EXPECT_EQ(sizes, c.sizesAsked);

  d.SetActive(true);
  EXPECT_EQ(d.Active(), c.initError == kOk);
  if (c.initError != kOk) {
    EXPECT_EQ(fake.CallCount("CreateFile"), 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, AscDrvPlatform,
    testing::Values(
        PlatformCase{"Nt", false, false, 2, 1, kOk, {156}},
        PlatformCase{"Win9x", false, false, 1, 2, kOk, {156}},
        PlatformCase{"Win32s", false, false, 0, 3, kPlatformUnsupported, {156}},
        PlatformCase{"OtherId", false, false, 3, 4, kOk, {156}},
        PlatformCase{"RetryWithShortStruct", true, false, 1, 2, kOk, {156, 148}},
        PlatformCase{"QueryFails", true, true, 2, 0, kPlatformUnsupported, {156, 148}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Open: port numbers, exclusivity, line state, time-outs --------------------------------

TEST_F(AscDrv, OnlyPortsOneToEightAreOpened) {
  fake.SetPortPresent(9, true);
  fake.SetPortPresent(0, true);
  TAscDrv& d = Make();
  for (int port : {0, 9, -1, 256}) {
    SCOPED_TRACE(port);
    d.SetPortNumber(port);
    d.SetActive(true);
    EXPECT_FALSE(d.Active());
    EXPECT_EQ(d.PortHandle(), kNoHandle);
  }
  EXPECT_EQ(fake.CallCount("CreateFile"), 0u);

  for (int port = 1; port <= 8; ++port) {
    d.SetPortNumber(port);
    d.SetActive(true);
    ASSERT_TRUE(d.Active()) << port;
    EXPECT_EQ(fake.Calls("CreateFile").back().detail, "COM" + std::to_string(port));
    EXPECT_TRUE(fake.IsOpen(port));
    d.SetActive(false);
    EXPECT_FALSE(fake.IsOpen(port));
  }
}

TEST_F(AscDrv, PortHeldElsewhereOrAbsentStaysClosed) {
  fake.SetPortBusy(1, true);
  fake.SetPortPresent(2, false);
  TAscDrv& d = Make();
  d.SetActive(true);
  EXPECT_FALSE(d.Active());
  d.SetPortNumber(2);
  d.SetActive(true);
  EXPECT_FALSE(d.Active());

  // Two drivers on one port: the second is refused while the first holds it.
  d.SetPortNumber(3);
  d.SetActive(true);
  ASSERT_TRUE(d.Active());
  TAscDrv other(nullptr, &fake);
  other.SetPortNumber(3);
  other.SetActive(true);
  EXPECT_FALSE(other.Active());
}

struct MultiplierCase {
  const char* name;
  std::int32_t baud, dataBits, parity, stopBits;
  std::uint32_t perByte;
};
void PrintTo(const MultiplierCase& c, std::ostream* os) { *os << c.name; }

class AscDrvMultiplier : public AscDrv, public testing::WithParamInterface<MultiplierCase> {};

TEST_P(AscDrvMultiplier, TimeoutsFollowCharacterTime) {
  const MultiplierCase& c = GetParam();
  TAscDrv& d = Make();
  d.SetBaudRate(c.baud);
  d.SetDataBits(c.dataBits);
  d.SetParity(c.parity);
  d.SetStopBits(c.stopBits);
  d.SetActive(true);
  ASSERT_TRUE(d.Active());
  const CommTimeouts t = fake.DeviceTimeouts(1);
  EXPECT_EQ(t.ReadIntervalTimeout, 100u);
  EXPECT_EQ(t.ReadTotalTimeoutMultiplier, c.perByte);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 150u);
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, c.perByte);
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 150u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, AscDrvMultiplier,
    testing::Values(MultiplierCase{"B9600_8N1", 9600, 8, 0, 1, 2},
                    MultiplierCase{"B19200_8N1", 19200, 8, 0, 1, 1},
                    MultiplierCase{"B115200_8N1", 115200, 8, 0, 1, 0},
                    MultiplierCase{"B1200_8E1", 1200, 8, 2, 1, 20},
                    // Stop bits 0 still means two on the line but counts none in the time.
                    MultiplierCase{"B1200_8N0", 1200, 8, 0, 0, 17}),
    [](const auto& info) { return std::string(info.param.name); });

struct RtsCase {
  const char* name;
  std::uint32_t platformId;  // 1 gives Platform 2
  bool rs485, modem;
  std::uint8_t rtsControl;
};
void PrintTo(const RtsCase& c, std::ostream* os) { *os << c.name; }

class AscDrvRts : public AscDrv, public testing::WithParamInterface<RtsCase> {};

TEST_P(AscDrvRts, WorkStateRtsControl) {
  const RtsCase& c = GetParam();
  fake.SetPlatformId(c.platformId);
  TAscDrv& d = Make();
  d.SetRs485Mode(c.rs485);
  d.SetModemMode(c.modem);
  d.SetActive(true);
  ASSERT_TRUE(d.Active());
  const CommState s = fake.DeviceState(1);
  EXPECT_EQ(s.fRtsControl, c.rtsControl);
  EXPECT_EQ(s.fOutxCtsFlow, c.modem);
  EXPECT_EQ(s.fDsrSensitivity, c.modem);
  EXPECT_EQ(d.WorkState(), s);
}

INSTANTIATE_TEST_SUITE_P(
    Table, AscDrvRts,
    testing::Values(RtsCase{"NtDirect", 2, false, false, kRtsControlDisable},
                    RtsCase{"NtRs485", 2, true, false, kRtsControlToggle},
                    RtsCase{"NtModem", 2, false, true, kRtsControlEnable},
                    RtsCase{"NtRs485AndModem", 2, true, true, kRtsControlToggle},
                    RtsCase{"OtherRs485", 5, true, false, kRtsControlToggle},
                    RtsCase{"Win9xDirect", 1, false, false, kRtsControlDisable},
                    RtsCase{"Win9xRs485", 1, true, false, kRtsControlDisable},
                    RtsCase{"Win9xModem", 1, false, true, kRtsControlEnable},
                    RtsCase{"Win9xRs485AndModem", 1, true, true, kRtsControlEnable}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AscDrv, WorkStateFieldsFromSettingsOthersKept) {
  CommState before = fake.DeviceState(1);
  before.fOutX = true;
  before.fInX = true;
  before.fNull = true;
  before.fErrorChar = true;
  before.fOutxDsrFlow = true;
  before.fDtrControl = kDtrControlDisable;
  fake.SetDeviceState(before);
  TAscDrv& d = Make();
  d.SetBaudRate(19200);
  d.SetDataBits(7);
  d.SetParity(1);
  d.SetStopBits(2);
  d.SetActive(true);
  ASSERT_TRUE(d.Active());
  const CommState s = fake.DeviceState(1);
  EXPECT_EQ(s.BaudRate, 19200u);
  EXPECT_EQ(s.ByteSize, 7);
  EXPECT_EQ(s.Parity, 1);
  EXPECT_EQ(s.StopBits, kTwoStopBits);
  EXPECT_TRUE(s.fBinary);
  EXPECT_TRUE(s.fParity);
  EXPECT_TRUE(s.fAbortOnError);
  EXPECT_EQ(s.fDtrControl, kDtrControlEnable);
  EXPECT_FALSE(s.fOutX || s.fInX || s.fNull || s.fErrorChar || s.fOutxDsrFlow);
  EXPECT_EQ(fake.DeviceMask(1), EV_RXCHAR | EV_TXEMPTY | EV_CTS | EV_ERR);
  // Stop bits 0 is two stop bits too; no parity clears the parity check.
  d.SetStopBits(0);
  d.SetParity(0);
  EXPECT_EQ(fake.DeviceState(1).StopBits, kTwoStopBits);
  EXPECT_FALSE(fake.DeviceState(1).fParity);
}

// ---- Close: the port's own state put back --------------------------------------------------

struct RestoreCase {
  const char* name;
  std::uint32_t platformId;
  std::uint8_t rtsRestored;
};
void PrintTo(const RestoreCase& c, std::ostream* os) { *os << c.name; }

class AscDrvRestore : public AscDrv, public testing::WithParamInterface<RestoreCase> {};

TEST_P(AscDrvRestore, CloseWritesBackWhatOpenFound) {
  fake.SetPlatformId(GetParam().platformId);
  CommState original = fake.DeviceState(1);
  original.fRtsControl = kRtsControlHandshake;
  fake.SetDeviceState(original);
  const CommTimeouts originalTimeouts = fake.DeviceTimeouts(1);
  fake.SetDeviceMask(EV_CTS);

  TAscDrv& d = Make();
  d.SetRs485Mode(true);
  d.SetActive(true);
  ASSERT_TRUE(d.Active());
  CommState expected = original;
  expected.fRtsControl = GetParam().rtsRestored;
  EXPECT_EQ(d.SavedState(), expected);
  EXPECT_EQ(d.SavedTimeouts(), originalTimeouts);
  EXPECT_EQ(d.SavedEventMask(), EV_CTS);
  EXPECT_NE(fake.DeviceTimeouts(1), originalTimeouts);

  d.SetActive(false);
  EXPECT_FALSE(d.Active());
  EXPECT_EQ(d.PortHandle(), kNoHandle);
  EXPECT_FALSE(fake.IsOpen(1));
  EXPECT_EQ(fake.DeviceState(1), expected);
  EXPECT_EQ(fake.DeviceTimeouts(1), originalTimeouts);
  EXPECT_EQ(fake.DeviceMask(1), EV_CTS);
}

INSTANTIATE_TEST_SUITE_P(Table, AscDrvRestore,
                         testing::Values(RestoreCase{"Nt", 2, kRtsControlHandshake},
                                         RestoreCase{"Win9xDropsRts", 1, kRtsControlDisable}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(AscDrv, DestructionClosesAndRestores) {
  const CommState original = fake.DeviceState(1);
  {
    TAscDrv d(nullptr, &fake);
    d.SetActive(true);
    ASSERT_TRUE(fake.IsOpen(1));
  }
  EXPECT_FALSE(fake.IsOpen(1));
  EXPECT_EQ(fake.DeviceState(1), original);
}

TEST_F(AscDrv, FailingPropertiesQueryStillSavesState) {
  fake.FailAlways("GetCommProperties");
  const CommState original = fake.DeviceState(1);
  const CommTimeouts originalTimeouts = fake.DeviceTimeouts(1);
  TAscDrv& d = Make();
  d.SetActive(true);
  ASSERT_TRUE(d.Active());
  EXPECT_EQ(d.SavedState(), original);
  EXPECT_EQ(d.SavedTimeouts(), originalTimeouts);
  d.SetActive(false);
  // Not a zeroed state: what the port had before.
  EXPECT_EQ(fake.DeviceState(1), original);
  EXPECT_EQ(fake.DeviceTimeouts(1), originalTimeouts);
}

TEST_F(AscDrv, MissingCapabilityReleasesPort) {
  const std::uint32_t all = PCF_RTSCTS | PCF_TOTALTIMEOUTS | PCF_INTTIMEOUTS;
  for (CommProperties props : {CommProperties{0, all}, CommProperties{SP_SERIALCOMM, all & ~PCF_RTSCTS},
                               CommProperties{SP_SERIALCOMM, all & ~PCF_INTTIMEOUTS},
                               CommProperties{SP_SERIALCOMM, all & ~PCF_TOTALTIMEOUTS}}) {
    fake.SetCommProperties(props);
    TAscDrv d(nullptr, &fake);
    d.SetActive(true);
    EXPECT_FALSE(d.Active());
    EXPECT_EQ(d.PortHandle(), kNoHandle);
    EXPECT_EQ(fake.OpenHandleCount(), 0);
  }
}

// A failing step during acquisition or configuration leaves no port held, and the next open
// starts afresh and succeeds.
struct OpenFailCase {
  const char* name;
  const char* call;
  int nth;
};
void PrintTo(const OpenFailCase& c, std::ostream* os) { *os << c.name; }

class AscDrvOpenFail : public AscDrv, public testing::WithParamInterface<OpenFailCase> {};

TEST_P(AscDrvOpenFail, ReleasesHandleAndLaterOpenWorks) {
  const CommState original = fake.DeviceState(1);
  TAscDrv& d = Make();
  fake.FailNth(GetParam().call, GetParam().nth);
  d.SetActive(true);
  EXPECT_FALSE(d.Active());
  EXPECT_EQ(d.PortHandle(), kNoHandle);
  EXPECT_FALSE(fake.IsOpen(1));
  EXPECT_EQ(fake.DeviceState(1), original);

  d.SetActive(true);
  EXPECT_TRUE(d.Active());
  EXPECT_TRUE(fake.IsOpen(1));
}

INSTANTIATE_TEST_SUITE_P(
    Table, AscDrvOpenFail,
    testing::Values(OpenFailCase{"SavedStateRead", "GetCommState", 1},
                    OpenFailCase{"SavedTimeoutsRead", "GetCommTimeouts", 1},
                    OpenFailCase{"Purge", "PurgeComm", 1},
                    OpenFailCase{"WorkStateRead", "GetCommState", 2},
                    OpenFailCase{"WorkStateApply", "SetCommState", 1},
                    OpenFailCase{"TimeoutsRead", "GetCommTimeouts", 2},
                    OpenFailCase{"TimeoutsApply", "SetCommTimeouts", 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AscDrv, UnusableRateNeverConfigured) {
  TAscDrv& d = Make();
  for (std::int32_t baud : {0, -9600}) {
    d.SetBaudRate(baud);
    d.SetActive(true);
    EXPECT_FALSE(d.Active()) << baud;
    EXPECT_FALSE(fake.IsOpen(1));
    EXPECT_EQ(d.CharacterTime(), 0.0f);
  }
  // Absurd framing gives a saturated, not an undefined, multiplier.
  d.SetBaudRate(1);
  d.SetDataBits(INT_MAX);
  d.SetActive(true);
  ASSERT_TRUE(d.Active());
  EXPECT_EQ(fake.DeviceTimeouts(1).ReadTotalTimeoutMultiplier, 0xFFFFFFFFu);
}

// ---- Setters, SetActive, ResetPort ---------------------------------------------------------

struct SetterCase {
  const char* name;
  void (*setNew)(TAscDrv&);
  void (*setSame)(TAscDrv&);
};
void PrintTo(const SetterCase& c, std::ostream* os) { *os << c.name; }

class AscDrvSetter : public AscDrv, public testing::WithParamInterface<SetterCase> {};

TEST_P(AscDrvSetter, NewValueReopensThroughVirtualSlots) {
  CountingDrv& d = Opened();
  GetParam().setSame(d);
  EXPECT_EQ(d.opens + d.closes, 0);
  EXPECT_EQ(fake.CallCount("CreateFile"), 0u);

  GetParam().setNew(d);
  EXPECT_EQ(d.closes, 1);
  EXPECT_EQ(d.opens, 1);
  EXPECT_TRUE(d.Active());
  EXPECT_EQ(fake.CallCount("CloseHandle"), 1u);
  EXPECT_EQ(fake.CallCount("CreateFile"), 1u);
}

TEST_P(AscDrvSetter, WhileClosedOnlyStores) {
  CountingDrv& d = Make();
  GetParam().setNew(d);
  EXPECT_EQ(d.opens + d.closes, 0);
  EXPECT_FALSE(d.Active());
  EXPECT_EQ(fake.CallCount("CreateFile"), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, AscDrvSetter,
    testing::Values(
        SetterCase{"PortNumber", [](TAscDrv& d) { d.SetPortNumber(2); },
                   [](TAscDrv& d) { d.SetPortNumber(1); }},
        SetterCase{"BaudRate", [](TAscDrv& d) { d.SetBaudRate(19200); },
                   [](TAscDrv& d) { d.SetBaudRate(9600); }},
        SetterCase{"DataBits", [](TAscDrv& d) { d.SetDataBits(7); },
                   [](TAscDrv& d) { d.SetDataBits(8); }},
        SetterCase{"Parity", [](TAscDrv& d) { d.SetParity(2); },
                   [](TAscDrv& d) { d.SetParity(0); }},
        SetterCase{"StopBits", [](TAscDrv& d) { d.SetStopBits(2); },
                   [](TAscDrv& d) { d.SetStopBits(1); }},
        SetterCase{"RadioMode", [](TAscDrv& d) { d.SetRadioMode(true); },
                   [](TAscDrv& d) { d.SetRadioMode(false); }},
        SetterCase{"Rs485Mode", [](TAscDrv& d) { d.SetRs485Mode(true); },
                   [](TAscDrv& d) { d.SetRs485Mode(false); }},
        SetterCase{"ModemMode", [](TAscDrv& d) { d.SetModemMode(true); },
                   [](TAscDrv& d) { d.SetModemMode(false); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AscDrv, SetterTakesEffectOnThePort) {
  TAscDrv& d = Opened();
  d.SetBaudRate(1200);
  EXPECT_EQ(fake.DeviceState(1).BaudRate, 1200u);
  d.SetPortNumber(4);
  EXPECT_FALSE(fake.IsOpen(1));
  EXPECT_TRUE(fake.IsOpen(4));
}

TEST_F(AscDrv, ActiveAndResetGuards) {
  CountingDrv& d = Make();
  d.ResetPort();  // not active: nothing
  EXPECT_EQ(d.opens + d.closes, 0);
  d.SetActive(false);
  EXPECT_EQ(d.closes, 0);

  d.SetActive(true);
  d.OpenPort();  // already active: no second acquisition
  EXPECT_EQ(fake.CallCount("CreateFile"), 1u);
  d.SetActive(true);
  EXPECT_EQ(d.opens, 2);  // the direct call above plus the first SetActive

  fake.ClearCalls();
  d.opens = d.closes = 0;
  d.ResetPort();
  EXPECT_EQ(d.closes, 1);
  EXPECT_EQ(d.opens, 1);
  EXPECT_TRUE(d.Active());
  EXPECT_EQ(fake.CallCount("CreateFile"), 1u);
}

// ---- Reads ---------------------------------------------------------------------------------

TEST_F(AscDrv, NoPortReadsAndWritesRefused) {
  TAscDrv& d = Make();
  fake.ClearCalls();
  std::uint8_t buf[4] = {};
  std::int32_t count = 4;
  EXPECT_EQ(d.ReadBytes(buf, count), kNoPortHandle);
  EXPECT_EQ(count, 4);
  EXPECT_EQ(d.WriteBytes(buf, count), kNoPortHandle);
  EXPECT_EQ(count, 4);
  // The other operations are silent no-ops without a port.
  d.SetTimeouts(5, -1);
  d.PurgeLine();
  d.SetRts(true);
  std::uint32_t status = 0x1234, mask = EV_TXEMPTY;
  d.GetModemStatus(status);
  d.WaitLineEvent(mask);
  EXPECT_EQ(status, 0x1234u);
  EXPECT_EQ(mask, EV_TXEMPTY);
  EXPECT_EQ(fake.CallNames().size(), 0u);
}

TEST_F(AscDrv, NullBufferRefusedWithoutTouchingPort) {
  TAscDrv& d = Opened();
  std::int32_t count = 3;
  EXPECT_EQ(d.ReadBytes(nullptr, count), kReadFailed);
  EXPECT_EQ(d.WriteBytes(nullptr, count), kWriteFailed);
  EXPECT_EQ(count, 3);
  EXPECT_EQ(fake.CallCount("ReadFile") + fake.CallCount("WriteFile"), 0u);
}

TEST_F(AscDrv, ReadGetsBytesAndTimesOutShort) {
  TAscDrv& d = Opened();
  std::uint8_t buf[8] = {};
  fake.PushAfter(3, {0x5A, 0x01, 0x02});
  std::int32_t count = 3;
  EXPECT_EQ(d.ReadBytes(buf, count), kOk);
  EXPECT_EQ(count, 3);
  EXPECT_EQ(Bytes(buf, buf + 3), (Bytes{0x5A, 0x01, 0x02}));
  EXPECT_EQ(fake.CallCount("ClearCommError"), 0u);

  // Two of four arrive: the interval after the last byte ends the read.
  fake.PushAfter(1, {0xAA, 0xBB});
  count = 4;
  const auto start = fake.Now();
  EXPECT_EQ(d.ReadBytes(buf, count), kReadTimeout);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(buf[1], 0xBB);
  EXPECT_GE(fake.Now() - start, 100u);
  EXPECT_LE(fake.Now() - start, 200u);

  // Nothing at all: the total time-out, constant plus per-byte part, runs out.
  d.SetTimeouts(500, -1);
  count = 4;
  const auto start2 = fake.Now();
  EXPECT_EQ(d.ReadBytes(buf, count), kReadTimeout);
  EXPECT_EQ(count, 0);
  EXPECT_GE(fake.Now() - start2, 500u);
  EXPECT_LE(fake.Now() - start2, 520u);
}

TEST_F(AscDrv, ReadEndsAtGapLongerThanInterval) {
  TAscDrv& d = Opened();
  d.SetTimeouts(1000, -1);
  std::uint8_t buf[3];
  struct Row {
    std::uint32_t gapMs;
    std::int32_t got;
    ResultCode code;
  };
  // Bytes 80 ms apart keep the read going; 150 ms apart exceed the 100 ms interval.
  for (const Row& row : {Row{80, 3, kOk}, Row{150, 1, kReadTimeout}}) {
    SCOPED_TRACE(row.gapMs);
    fake.ClearIncoming();
    fake.ScheduleAt(test::From::Now, 10, {1, 2, 3}, 0, row.gapMs);
    std::int32_t count = 3;
    EXPECT_EQ(d.ReadBytes(buf, count), row.code);
    EXPECT_EQ(count, row.got);
  }
}

TEST_F(AscDrv, CtsFollowsRtsAfterDelay) {
  TAscDrv& d = Opened();
  fake.SetCtsFollowsRts(20);
  std::uint32_t status = 0;
  d.SetRts(true);
  d.GetModemStatus(status);
  EXPECT_EQ(status & MS_CTS_ON, 0u);
  fake.Advance(20);
  d.GetModemStatus(status);
  EXPECT_EQ(status & MS_CTS_ON, MS_CTS_ON);
  d.SetRts(false);
  d.GetModemStatus(status);
  EXPECT_EQ(status & MS_CTS_ON, 0u);
}

TEST_F(AscDrv, ReadFailurePurgesAndKeepsCount) {
  TAscDrv& d = Opened();
  std::uint8_t buf[2];
  fake.PushNow({1, 2, 3});
  fake.FailNext("ReadFile");
  std::int32_t count = 2;
  EXPECT_EQ(d.ReadBytes(buf, count), kReadFailed);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(fake.CallCount("ClearCommError"), 1u);
  ASSERT_EQ(fake.Calls("PurgeComm").size(), 1u);
  EXPECT_EQ(fake.Calls("PurgeComm")[0].value, PURGE_ALL);
  EXPECT_EQ(fake.PendingBytes(), 0u);

  fake.FailNext("ClearCommError");
  count = 2;
  EXPECT_EQ(d.ReadBytes(buf, count), kLineErrorQueryFailed);
  EXPECT_EQ(count, 2);
}

struct ErrorWordCase {
  const char* name;
  std::uint32_t errors;
  ResultCode code;
};
void PrintTo(const ErrorWordCase& c, std::ostream* os) { *os << c.name; }

class AscDrvErrorWord : public AscDrv, public testing::WithParamInterface<ErrorWordCase> {};

TEST_P(AscDrvErrorWord, ShortReadCodeByPriority) {
  TAscDrv& d = Opened();
  // The error comes with the bytes that make the read short.
  fake.ScheduleAt(test::From::Now, 2, {0x11, 0x22}, GetParam().errors);
  std::uint8_t buf[4];
  std::int32_t count = 4;
  EXPECT_EQ(d.ReadBytes(buf, count), GetParam().code);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(fake.PendingErrors(), 0u);  // cleared by the short read
}

INSTANTIATE_TEST_SUITE_P(
    Table, AscDrvErrorWord,
    testing::Values(ErrorWordCase{"None", 0, kReadTimeout},
                    ErrorWordCase{"BreakOnly", CE_BREAK, kReadTimeout},
                    ErrorWordCase{"Ioe", CE_IOE, kDeviceIoError},
                    ErrorWordCase{"Frame", CE_FRAME, kFramingError},
                    ErrorWordCase{"Overrun", CE_OVERRUN, kOverrun},
                    ErrorWordCase{"RxOver", CE_RXOVER, kRxOverflow},
                    ErrorWordCase{"Parity", CE_RXPARITY, kParityError},
                    ErrorWordCase{"TxFull", CE_TXFULL, kTxFull},
                    ErrorWordCase{"FrameAndParity", CE_FRAME | CE_RXPARITY, kParityError},
                    ErrorWordCase{"OverrunAndRxOver", CE_OVERRUN | CE_RXOVER, kRxOverflow},
                    ErrorWordCase{"IoeAndFrame", CE_IOE | CE_FRAME, kFramingError},
                    ErrorWordCase{"FrameAndOverrun", CE_FRAME | CE_OVERRUN, kOverrun},
                    ErrorWordCase{"ParityAndRxOver", CE_RXPARITY | CE_RXOVER, kParityError},
                    ErrorWordCase{"ParityAndTxFull", CE_RXPARITY | CE_TXFULL, kTxFull},
                    ErrorWordCase{"AllBits",
                                  CE_IOE | CE_FRAME | CE_OVERRUN | CE_RXOVER | CE_RXPARITY |
                                      CE_TXFULL | CE_BREAK,
                                  kTxFull}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AscDrv, FullReadIgnoresErrorWord) {
  TAscDrv& d = Opened();
  fake.ScheduleAt(test::From::Now, 0, {1, 2}, CE_FRAME);
  std::uint8_t buf[2];
  std::int32_t count = 2;
  EXPECT_EQ(d.ReadBytes(buf, count), kOk);
  EXPECT_EQ(fake.CallCount("ClearCommError"), 0u);
}

TEST_F(AscDrv, SetTimeoutsChangesOnlyConstants) {
  TAscDrv& d = Opened();
  const CommTimeouts opened = fake.DeviceTimeouts(1);
  d.SetTimeouts(-1, -1);
  EXPECT_EQ(fake.DeviceTimeouts(1), opened);
  EXPECT_EQ(fake.CallCount("SetCommTimeouts"), 1u);

  d.SetTimeouts(5, -1);
  CommTimeouts expected = opened;
  expected.ReadTotalTimeoutConstant = 5;
  EXPECT_EQ(fake.DeviceTimeouts(1), expected);
  d.SetTimeouts(-1, 40);
  expected.WriteTotalTimeoutConstant = 40;
  EXPECT_EQ(fake.DeviceTimeouts(1), expected);

  fake.FailNext("GetCommTimeouts");
  d.SetTimeouts(77, 77);
  EXPECT_EQ(fake.DeviceTimeouts(1), expected);
  EXPECT_EQ(fake.CallCount("SetCommTimeouts"), 3u);
}

TEST_F(AscDrv, WaitQuietConsumesAByte) {
  TAscDrv& d = Opened();
  fake.PushAfter(2, {0x41});
  fake.PushAfter(50, {0x42});
  EXPECT_EQ(d.WaitQuiet(5), -1);
  EXPECT_EQ(fake.Calls("SetCommTimeouts").back().value, 5u);
  // The first byte is gone; the second is still to come.
  std::uint8_t b = 0;
  std::int32_t one = 1;
  d.SetTimeouts(100, -1);
  EXPECT_EQ(d.ReadBytes(&b, one), kOk);
  EXPECT_EQ(b, 0x42);

  const auto start = fake.Now();
  EXPECT_EQ(d.WaitQuiet(5), 0);
  EXPECT_GE(fake.Now() - start, 5u);
  EXPECT_LE(fake.Now() - start, 20u);

  // A line error is not a quiet line.
  fake.RaiseError(CE_FRAME);
  EXPECT_EQ(d.WaitQuiet(5), -1);
}

// ---- Writes --------------------------------------------------------------------------------

TEST_F(AscDrv, WriteMovesBytesAndReportsShortWrite) {
  TAscDrv& d = Opened();
  const std::uint8_t frame[] = {0x5A, 0x05, 0x00, 0x00, 0xFA, 0xFF};
  std::int32_t count = 6;
  EXPECT_EQ(d.WriteBytes(frame, count), kOk);
  EXPECT_EQ(count, 6);
  EXPECT_EQ(fake.Written(), Bytes(frame, frame + 6));

  count = 0;
  EXPECT_EQ(d.WriteBytes(frame, count), kOk);
  EXPECT_EQ(fake.CallCount("WriteFile"), 1u);

  fake.SetWriteAccepts(4);
  count = 6;
  EXPECT_EQ(d.WriteBytes(frame, count), kWriteIncomplete);
  EXPECT_EQ(count, 4);
}

struct WriteFailCase {
  const char* name;
  std::uint32_t platformId;
  bool rs485, radio;
  bool rtsDropped;
};
void PrintTo(const WriteFailCase& c, std::ostream* os) { *os << c.name; }

class AscDrvWriteFail : public AscDrv, public testing::WithParamInterface<WriteFailCase> {};

TEST_P(AscDrvWriteFail, PurgesAndDropsRtsWhereDriverKeysIt) {
  const WriteFailCase& c = GetParam();
  fake.SetPlatformId(c.platformId);
  Make();
  drv->SetRs485Mode(c.rs485);
  drv->SetRadioMode(c.radio);
  drv->SetActive(true);
  ASSERT_TRUE(drv->Active());
  drv->SetRts(true);
  fake.ClearCalls();
  fake.FailNext("WriteFile");
  const std::uint8_t bytes[] = {1, 2, 3};
  std::int32_t count = 3;
  EXPECT_EQ(drv->WriteBytes(bytes, count), kWriteFailed);
  EXPECT_EQ(count, 3);
  EXPECT_EQ(fake.CallCount("PurgeComm"), 1u);
  EXPECT_EQ(fake.Rts(), !c.rtsDropped);
  EXPECT_EQ(fake.CallCount("EscapeCommFunction"), c.rtsDropped ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, AscDrvWriteFail,
    testing::Values(WriteFailCase{"Win9xRs485", 1, true, false, true},
                    WriteFailCase{"Win9xRadio", 1, false, true, true},
                    WriteFailCase{"Win9xDirect", 1, false, false, false},
                    WriteFailCase{"NtRs485", 2, true, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Purge, line control, events -----------------------------------------------------------

TEST_F(AscDrv, PurgeLineAfterBreakReappliesWorkState) {
  TAscDrv& d = Opened();
  fake.PushNow({1, 2, 3});
  d.PurgeLine();
  EXPECT_EQ(fake.CallNames(), (std::vector<std::string>{"ClearCommError", "PurgeComm"}));
  EXPECT_EQ(fake.Calls("PurgeComm")[0].value, PURGE_ALL);
  EXPECT_EQ(fake.PendingBytes(), 0u);

  // Something disturbed the line state; the break makes the driver put its own back.
  CommState disturbed = fake.DeviceState(1);
  disturbed.BaudRate = 300;
  fake.SetDeviceState(disturbed);
  fake.RaiseBreak();
  fake.ClearCalls();
  d.PurgeLine();
  EXPECT_EQ(fake.CallNames(),
            (std::vector<std::string>{"ClearCommError", "SetCommState", "PurgeComm"}));
  EXPECT_EQ(fake.DeviceState(1), d.WorkState());
  EXPECT_EQ(fake.PendingErrors(), 0u);
}

TEST_F(AscDrv, RtsDtrAndModemStatus) {
  TAscDrv& d = Opened();
  d.SetRts(true);
  d.SetDtr(false);
  d.SetDtr(true);
  d.SetRts(false);
  d.EscapeFunction(SETRTS);
  std::vector<std::uint32_t> codes;
  for (const auto& c : fake.Calls("EscapeCommFunction")) codes.push_back(c.value);
  EXPECT_EQ(codes, (std::vector<std::uint32_t>{SETRTS, CLRDTR, SETDTR, CLRRTS, SETRTS}));
  EXPECT_TRUE(fake.Rts());
  EXPECT_TRUE(fake.Dtr());

  fake.SetModemStatus(MS_CTS_ON | MS_RLSD_ON);
  std::uint32_t status = 0;
  d.GetModemStatus(status);
  EXPECT_EQ(status, MS_CTS_ON | MS_RLSD_ON);
  fake.FailNext("GetCommModemStatus");
  status = 0xABCD;
  d.GetModemStatus(status);
  EXPECT_EQ(status, 0xABCDu);
}

TEST_F(AscDrv, WaitLineEventReportsOrRunsToItsBound) {
  TAscDrv& d = Opened();
  const std::uint8_t bytes[10] = {};
  std::int32_t count = 10;
  ASSERT_EQ(d.WriteBytes(bytes, count), kOk);

  std::uint32_t mask = EV_TXEMPTY;
  d.WaitLineEvent(mask);
  EXPECT_EQ(mask, EV_TXEMPTY);
  EXPECT_EQ(fake.DeviceMask(1), EV_TXEMPTY);  // the mask given stays set

  // The event never comes: the wait ends at its bound (twice the wire time plus a second)
  // and reports no events.
  fake.SetTxEmpty(test::TxEmpty::Never);
  mask = EV_TXEMPTY;
  const auto start = fake.Now();
  d.WaitLineEvent(mask);
  EXPECT_EQ(mask, 0u);
  EXPECT_GE(fake.Now() - start, 1000u);
  EXPECT_LE(fake.Now() - start, 1100u);

  fake.FailNext("SetCommMask");
  mask = EV_TXEMPTY;
  d.WaitLineEvent(mask);
  EXPECT_EQ(mask, EV_TXEMPTY);
  EXPECT_EQ(fake.CallCount("WaitCommEvent"), 2u);
}

}  // namespace
}  // namespace vkt
