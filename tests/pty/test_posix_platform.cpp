// The POSIX backend on real pseudo-terminals: device naming, exclusive use, the raw byte path and
// the emulated time-outs. Timings are checked only loosely: the machine is shared.
#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "serial/asc_drv.h"
#include "serial/comm_platform.h"

namespace {

using namespace vkt::serial;
using Clock = std::chrono::steady_clock;

long ElapsedMs(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// A pty pair with COM1 mapped to its device end for the duration of a test.
class PtyPort : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[256] = {};
    ASSERT_EQ(openpty(&master_, &slave_, name, nullptr, nullptr), 0);
    path_ = name;
    // Keep the device end open so the line never reports a hang-up between opens.
    setenv("VKTJX_COM1", path_.c_str(), 1);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  }
  void TearDown() override {
    if (h_ != kNoHandle) os_.CloseHandle(h_);
    unsetenv("VKTJX_COM1");
    close(master_);
    close(slave_);
  }

  CommHandle Open() {
    h_ = os_.CreateFile("COM1");
    return h_;
  }

  // Everything the driver side has sent so far, read at the other end of the line.
  std::vector<std::uint8_t> Drain(std::size_t expected) {
    std::vector<std::uint8_t> got;
    const auto start = Clock::now();
    while (got.size() < expected && ElapsedMs(start) < 2000) {
      std::uint8_t buf[512];
      const ssize_t n = read(master_, buf, sizeof buf);
      if (n > 0) got.insert(got.end(), buf, buf + n);
      else usleep(1000);
    }
    return got;
  }

  void SetReadTimeouts(std::uint32_t interval, std::uint32_t multiplier, std::uint32_t constant) {
    CommTimeouts t;
    t.ReadIntervalTimeout = interval;
    t.ReadTotalTimeoutMultiplier = multiplier;
    t.ReadTotalTimeoutConstant = constant;
    ASSERT_TRUE(os_.SetCommTimeouts(h_, t));
  }

  CommPlatform& os_ = SystemPlatform();
  CommHandle h_ = kNoHandle;
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

TEST(PosixPortNames, OnlyCom1ToCom8OnExistingTtysOpen) {
  CommPlatform& os = SystemPlatform();
  for (const char* name : {"COM0", "COM9", "COM10", "LPT1", "COM", ""})
    EXPECT_EQ(os.CreateFile(name), kNoHandle) << name;
  EXPECT_EQ(os.CreateFile(nullptr), kNoHandle);

  setenv("VKTJX_COM3", "/nonexistent/tty", 1);
  EXPECT_EQ(os.CreateFile("COM3"), kNoHandle);
  // A regular file is not a serial line.
  char file[] = "/tmp/vkt-notatty-XXXXXX";
  const int fd = mkstemp(file);
  ASSERT_GE(fd, 0);
  setenv("VKTJX_COM3", file, 1);
  EXPECT_EQ(os.CreateFile("COM3"), kNoHandle);
  close(fd);
  unlink(file);
  unsetenv("VKTJX_COM3");
}

TEST_F(PtyPort, IsExclusiveAndReopensAfterClose) {
  ASSERT_NE(Open(), kNoHandle);
  EXPECT_EQ(os_.CreateFile("COM1"), kNoHandle) << "a second open of a held port must be refused";
  EXPECT_TRUE(os_.CloseHandle(h_));
  EXPECT_FALSE(os_.CloseHandle(h_)) << "a closed handle is gone";
  h_ = kNoHandle;
  ASSERT_NE(Open(), kNoHandle);
  // The lower-case and device-prefixed spellings name the same port, which is held now.
  EXPECT_EQ(os_.CreateFile("com1"), kNoHandle);
  EXPECT_EQ(os_.CreateFile("\\\\.\\COM1"), kNoHandle);
}

TEST_F(PtyPort, EveryByteValuePassesUnchangedBothWays) {
  ASSERT_NE(Open(), kNoHandle);
  std::vector<std::uint8_t> all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<std::uint8_t>(i);

  std::uint32_t written = 0;
  ASSERT_TRUE(os_.WriteFile(h_, all.data(), 256, written));
  EXPECT_EQ(written, 256u);
  EXPECT_EQ(Drain(256), all);

  ASSERT_EQ(write(master_, all.data(), all.size()), 256);
  SetReadTimeouts(100, 0, 1000);
  std::vector<std::uint8_t> back(256);
  std::uint32_t read = 0;
  ASSERT_TRUE(os_.ReadFile(h_, back.data(), 256, read));
  EXPECT_EQ(read, 256u);
  EXPECT_EQ(back, all);
}

TEST_F(PtyPort, SilentLineEndsAtTheTotalTimeout) {
  ASSERT_NE(Open(), kNoHandle);
  SetReadTimeouts(0, 0, 60);
  std::uint8_t buf[8];
  std::uint32_t read = 99;
  const auto start = Clock::now();
  ASSERT_TRUE(os_.ReadFile(h_, buf, sizeof buf, read));
  const long ms = ElapsedMs(start);
  EXPECT_EQ(read, 0u);
  EXPECT_GE(ms, 55);
  EXPECT_LT(ms, 3000);
}

TEST_F(PtyPort, GapAfterTheFirstBytesEndsTheReadEarly) {
  ASSERT_NE(Open(), kNoHandle);
  SetReadTimeouts(30, 0, 5000);
  const std::uint8_t part[3] = {0x02, 0x01, 0x03};
  ASSERT_EQ(write(master_, part, 3), 3);
  std::uint8_t buf[10];
  std::uint32_t read = 0;
  const auto start = Clock::now();
  ASSERT_TRUE(os_.ReadFile(h_, buf, sizeof buf, read));
  EXPECT_EQ(read, 3u);
  EXPECT_LT(ElapsedMs(start), 4000) << "the interval limit, not the total, must end this read";
}

TEST_F(PtyPort, ImmediateReadReturnsWhatIsWaiting) {
  ASSERT_NE(Open(), kNoHandle);
  SetReadTimeouts(0xFFFFFFFFu, 0, 0);
  std::uint8_t buf[16];
  std::uint32_t read = 99;
  ASSERT_TRUE(os_.ReadFile(h_, buf, sizeof buf, read));
  EXPECT_EQ(read, 0u);
  ASSERT_EQ(write(master_, "ab", 2), 2);
  usleep(20000);
  ASSERT_TRUE(os_.ReadFile(h_, buf, sizeof buf, read));
  EXPECT_EQ(read, 2u);
}

TEST_F(PtyPort, LineStateReadsBackAsSetAndBadStatesAreRefused) {
  ASSERT_NE(Open(), kNoHandle);
  CommState s;
  ASSERT_TRUE(os_.GetCommState(h_, s));
  EXPECT_FALSE(s.fOutX || s.fInX) << "the line is raw from the open: no XON/XOFF";
  s.BaudRate = 19200;
  s.ByteSize = 7;
  s.Parity = 2;
  s.StopBits = kTwoStopBits;
  s.fRtsControl = kRtsControlToggle;
  ASSERT_TRUE(os_.SetCommState(h_, s));
  CommState back;
  ASSERT_TRUE(os_.GetCommState(h_, back));
  EXPECT_EQ(back, s);

  // An unusual speed goes through the any-speed path.
  s.BaudRate = 31250;
  EXPECT_TRUE(os_.SetCommState(h_, s));

  for (auto mutate : {+[](CommState& c) { c.ByteSize = 9; }, +[](CommState& c) { c.BaudRate = 0; },
                      +[](CommState& c) { c.Parity = 5; }, +[](CommState& c) { c.StopBits = 3; }}) {
    CommState bad = back;
    mutate(bad);
    EXPECT_FALSE(os_.SetCommState(h_, bad));
  }
  ASSERT_TRUE(os_.GetCommState(h_, s));
  EXPECT_EQ(s.BaudRate, 31250u) << "a refused state leaves the last one in force";

  // Toggle keying on a pty (no RS-485 mode, no modem lines) still carries the bytes.
  std::uint32_t written = 0;
  ASSERT_TRUE(os_.WriteFile(h_, "xyz", 3, written));
  EXPECT_EQ(written, 3u);
  EXPECT_EQ(Drain(3), (std::vector<std::uint8_t>{'x', 'y', 'z'}));
}

TEST_F(PtyPort, TransmitEmptyWaitAndPurge) {
  ASSERT_NE(Open(), kNoHandle);
  ASSERT_TRUE(os_.SetCommMask(h_, EV_TXEMPTY));
  std::uint32_t mask = 0;
  ASSERT_TRUE(os_.GetCommMask(h_, mask));
  EXPECT_EQ(mask, EV_TXEMPTY);
  std::uint32_t events = 0;
  ASSERT_TRUE(os_.WaitCommEvent(h_, events, 1000));
  EXPECT_EQ(events, EV_TXEMPTY);

  ASSERT_EQ(write(master_, "stale", 5), 5);
  usleep(20000);
  ASSERT_TRUE(os_.PurgeComm(h_, PURGE_ALL));
  SetReadTimeouts(0, 0, 30);
  std::uint8_t buf[8];
  std::uint32_t read = 99;
  ASSERT_TRUE(os_.ReadFile(h_, buf, sizeof buf, read));
  EXPECT_EQ(read, 0u) << "purged bytes must not be read";

  std::uint32_t errors = 99;
  EXPECT_TRUE(os_.ClearCommError(h_, errors));
  EXPECT_EQ(errors, 0u);
}

TEST(PosixPlatform, ReportsTheNtFamilyAndAMonotonicTick) {
  CommPlatform& os = SystemPlatform();
  std::uint32_t id = 0;
  EXPECT_TRUE(os.GetVersionEx(156, id));
  EXPECT_EQ(id, 2u);
  EXPECT_TRUE(os.GetVersionEx(148, id));
  EXPECT_FALSE(os.GetVersionEx(12, id));
  const std::uint32_t t0 = os.GetTickCount();
  os.Sleep(20);
  const std::uint32_t t1 = os.GetTickCount();
  EXPECT_GE(t1 - t0, 19u);
  EXPECT_FALSE(os.CloseHandle(0xDEADu)) << "an unknown handle is refused";
  std::uint32_t status = 0;
  EXPECT_FALSE(os.GetCommModemStatus(0xDEADu, status));
}

}  // namespace

namespace {

// The serial line driver on the system backend: a missing device leaves the port inactive, a real
// one opens on the configured line and carries bytes.
TEST(PosixLineDriver, OpensARealDeviceAndLeavesAMissingOneInactive) {
  using vkt::TAscDrv;
  setenv("VKTJX_COM4", "/nonexistent/ttyUSB9", 1);
  TAscDrv missing(nullptr);
  EXPECT_EQ(missing.Platform(), 1);
  missing.SetPortNumber(4);
  missing.OpenPort();
  EXPECT_FALSE(missing.Active());

  int master = -1, slave = -1;
  char name[256] = {};
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  setenv("VKTJX_COM4", name, 1);
  {
    TAscDrv drv(nullptr);
    drv.SetPortNumber(4);
    drv.SetBaudRate(19200);
    drv.OpenPort();
    ASSERT_TRUE(drv.Active());
    std::int32_t count = 3;
    EXPECT_EQ(drv.WriteBytes("\x02\x01\x00", count), 0);
    EXPECT_EQ(count, 3);
    std::uint8_t got[3] = {};
    usleep(20000);
    EXPECT_EQ(read(master, got, 3), 3);
    EXPECT_EQ(got[0], 0x02);
    EXPECT_EQ(got[2], 0x00);
    drv.ClosePort();
    EXPECT_FALSE(drv.Active());
  }
  unsetenv("VKTJX_COM4");
  close(master);
  close(slave);
}

}  // namespace
