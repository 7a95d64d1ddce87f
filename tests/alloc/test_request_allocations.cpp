// Requests allocate nothing once the driver object exists: every heap allocation of this
// program is counted, and a thousand requests after the first must add none. The line is an
// in-memory station that answers from fixed buffers, and then the real POSIX backend on the
// simulator's pseudo-terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <string>

#include "sim_launch.h"
#include "protocol/frame.h"
#include "protocol/vkt_com_port.h"
#include "serial/comm_platform.h"

namespace {
std::atomic<long> gAllocations{0};
}  // namespace

void* operator new(std::size_t n) {
  ++gAllocations;
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) {
  ++gAllocations;
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  ++gAllocations;
  return std::malloc(n == 0 ? 1 : n);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  ++gAllocations;
  return std::malloc(n == 0 ? 1 : n);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace vkt {
namespace {

using namespace serial;

// A line to one in-memory station, without a heap of its own: each request frame is answered
// at once from the station's words (word a holds a); every `silentEvery`-th request gets no
// answer and every `corruptEvery`-th a bad checksum, so the failure paths run too.
class StationLine : public CommPlatform {
 public:
  int silentEvery = 0;
  int corruptEvery = 0;

  CommHandle CreateFile(const char*) override { return 1; }
  bool CloseHandle(CommHandle) override { return true; }
  bool GetCommProperties(CommHandle, CommProperties& p) override {
    p.dwServiceMask = SP_SERIALCOMM;
    p.dwProvCapabilities = PCF_RTSCTS | PCF_TOTALTIMEOUTS | PCF_INTTIMEOUTS;
    return true;
  }
  bool GetCommState(CommHandle, CommState& s) override {
    s = State_;
    return true;
  }
  bool SetCommState(CommHandle, const CommState& s) override {
    State_ = s;
    return true;
  }
  bool GetCommTimeouts(CommHandle, CommTimeouts& t) override {
    t = Timeouts_;
    return true;
  }
  bool SetCommTimeouts(CommHandle, const CommTimeouts& t) override {
    Timeouts_ = t;
    return true;
  }
  bool GetCommMask(CommHandle, std::uint32_t& m) override {
    m = 0;
    return true;
  }
  bool SetCommMask(CommHandle, std::uint32_t) override { return true; }
  bool WaitCommEvent(CommHandle, std::uint32_t& events, std::uint32_t) override {
    events = EV_TXEMPTY;
    return true;
  }
  bool PurgeComm(CommHandle, std::uint32_t) override {
    Pending_ = Taken_ = 0;
    return true;
  }
  bool ClearCommError(CommHandle, std::uint32_t& errors) override {
    errors = 0;
    return true;
  }
  bool EscapeCommFunction(CommHandle, std::uint32_t) override { return true; }
  bool GetCommModemStatus(CommHandle, std::uint32_t& status) override {
    status = MS_CTS_ON;
    return true;
  }
  bool ReadFile(CommHandle, void* buffer, std::uint32_t count, std::uint32_t& read) override {
    read = 0;
    auto* out = static_cast<std::uint8_t*>(buffer);
    while (read < count && Taken_ < Pending_) out[read++] = Reply_[Taken_++];
    if (read < count) Tick_ += Timeouts_.ReadTotalTimeoutConstant;  // a time-out
    return true;
  }
  bool WriteFile(CommHandle, const void* buffer, std::uint32_t count,
                 std::uint32_t& written) override {
    written = count;
    const auto* frame = static_cast<const std::uint8_t*>(buffer);
    Pending_ = Taken_ = 0;
    ++Requests_;
    if (count < 6 || frame[0] != kStartByte) return true;
    if (silentEvery > 0 && Requests_ % silentEvery == 0) return true;
    const int command = frame[3];
    const int address = frame[4] | (frame[5] << 8);
    const int n = frame[6];
    std::int32_t length = 0;
    std::uint8_t data[kMaxFrameData];
    if (command >= kCmdReadBits && command <= kCmdReadFloats) {
      const int size = command == kCmdReadBits ? 1 : command == kCmdReadWords ? 2 : 4;
      for (int i = 0; i < n * size; ++i)
        data[i] = static_cast<std::uint8_t>((address + i / size) >> (8 * (i % size)));
      length = n * size;
    }
    BuildFrame(frame[1], 0, Reply_, length, data);
    if (corruptEvery > 0 && Requests_ % corruptEvery == 0) Reply_[length - 1] ^= 0xFF;
    Pending_ = static_cast<std::size_t>(length);
    return true;
  }
  bool GetVersionEx(std::uint32_t, std::uint32_t& id) override {
    id = 2;
    return true;
  }
  std::uint32_t GetTickCount() override { return Tick_; }
  void Sleep(std::uint32_t ms) override { Tick_ += ms; }
  void ProcessPendingMessages() override {}

  long Requests() const { return Requests_; }

 private:
  CommState State_{};
  CommTimeouts Timeouts_{};
  std::uint8_t Reply_[kMaxFrameBytes + 8] = {};
  std::size_t Pending_ = 0;
  std::size_t Taken_ = 0;
  std::uint32_t Tick_ = 0;
  long Requests_ = 0;
};

std::string SettingsFile(const char* text) {
  static int files = 0;
  const std::string path = ::testing::TempDir() + "vkt_alloc_" + std::to_string(getpid()) +
                           "_" + std::to_string(++files) + ".cfg";
  std::ofstream(path) << text;
  return path;
}

// One request of a service, round-robin over the six, at varying addresses and lengths.
ResultCode OneRequest(TVktComPort& port, int i, std::uint8_t* buffer) {
  const int count = 1 + (i * 37) % 300;
  const int address = (i * 101) % 60000;
  switch (i % 6) {
    case 0: return port.ReadBits(1, address, 0, buffer, count);
    case 1: return port.ReadWords(1, address, 0, buffer, count);
    case 2: return port.ReadFloats(1, address, 0, buffer, count);
    case 3: return port.WriteBits(1, address, 0, buffer, count);
    case 4: return port.WriteWords(1, address, 0, buffer, count);
    default: return port.WriteFloats(1, address, 0, buffer, count);
  }
}

TEST(RequestAllocations, AThousandRequestsAllocateNothing) {
  StationLine line;
  line.silentEvery = 7;
  line.corruptEvery = 5;
  TVktComPort port(nullptr, &line);
  const std::string settingsFile = SettingsFile("[PC_PORT_SESSION]\npcpsPort=1\n");
  const long atOpen = gAllocations.load();
  ASSERT_EQ(port.OpenLink(settingsFile.c_str()), kOk);
  // Reading the settings file allocates: proof that the counter sees this program's heap.
  EXPECT_GT(gAllocations.load(), atOpen);
  std::remove(settingsFile.c_str());
  ASSERT_TRUE(port.Active());
  static std::uint8_t buffer[300 * 4];

  // The first request of each service may set things up.
  for (int i = 0; i < 6; ++i) OneRequest(port, i, buffer);
  const long before = gAllocations.load();
  int ok = 0, failed = 0;
  for (int i = 0; i < 1000; ++i) (OneRequest(port, i, buffer) == kOk ? ok : failed)++;
  const long allocated = gAllocations.load() - before;

  EXPECT_EQ(allocated, 0);
  // Both the success and the failure paths (silence, bad checksum, retries) were taken.
  EXPECT_GT(ok, 100);
  EXPECT_GT(failed, 100);
  EXPECT_GT(line.Requests(), 1000);
}

#ifdef VKTSIM_PATH
// The real backend on a pseudo-terminal served by the simulator.
TEST(RequestAllocations, RequestsOverAPseudoTerminalAllocateNothing) {
  const vkt::test::LaunchedSimulator sim =
      vkt::test::LaunchSimulator(VKTSIM_PATH, {"--stations", "1", "--pattern"}, "/dev/null");
  ASSERT_GT(sim.pid, 0) << sim.failure;
  const pid_t pid = sim.pid;
  setenv("VKTJX_COM1", sim.device.c_str(), 1);

  const std::string settingsFile = SettingsFile("[PC_PORT_SESSION]\npcpsPort=1\npcpsBaud=115200\n");
  {
    TVktComPort port(nullptr);
    ASSERT_EQ(port.OpenLink(settingsFile.c_str()), kOk);
    ASSERT_TRUE(port.Active());
    static std::uint8_t buffer[300 * 4];
    for (int i = 0; i < 6; ++i) ASSERT_EQ(OneRequest(port, i, buffer), kOk) << i;
    const long before = gAllocations.load();
    int failed = 0;
    for (int i = 0; i < 200; ++i) failed += OneRequest(port, i, buffer) != kOk;
    const long allocated = gAllocations.load() - before;
    EXPECT_EQ(allocated, 0);
    EXPECT_EQ(failed, 0);
    port.CloseLink();
  }
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  std::remove(settingsFile.c_str());
  unsetenv("VKTJX_COM1");
}
#endif

}  // namespace
}  // namespace vkt
