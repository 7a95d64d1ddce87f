// The serial contract run on Linux: against the fake line of the unit tests, the POSIX backend
// on the scripted kernel and the POSIX backend on a real pseudo-terminal (which has no wire
// time, no line errors and no modem lines). The Win32 backend runs it under Wine.
#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "fake_platform.h"
#include "scripted_kernel.h"
#include "serial_contract.h"

namespace vkt::contract {
namespace {

// ---- The fake line, in its faithful mode ----------------------------------------------------

class FakeLine final : public Line {
 public:
  FakeLine() {
    fake.SetAbortOnError(true);
    fake.SetWriteTakesWireTime(true);
    fake.SetTxEmpty(test::TxEmpty::AfterWireTime);
  }
  CommPlatform& Os() override { return fake; }
  std::int64_t NowMs() override { return static_cast<std::int64_t>(fake.Now()); }
  void Send(const Bytes& bytes) override { fake.PushNow(bytes); }
  void SendDamaged(std::uint8_t byte, LineFaultKind fault) override {
    fake.ScheduleAt(test::From::Now, 0, {byte}, fault == kFramingFault ? CE_FRAME : CE_RXPARITY);
  }
  void Settle() override { fake.Advance(20); }
  Bytes Received() override { return fake.Written(); }
  void Hold() override {
    fake.SetTxEmpty(test::TxEmpty::Never);
    fake.SetWriteAccepts(0);
  }
  void SetModemLines(bool cts, bool dsr, bool ring, bool dcd) override {
    fake.SetModemStatus((cts ? MS_CTS_ON : 0) | (dsr ? MS_DSR_ON : 0) |
                        (ring ? MS_RING_ON : 0) | (dcd ? MS_RLSD_ON : 0));
  }
  void Unplug() override { fake.Unplug(1); }

  test::FakePlatform fake;
};

// ---- The POSIX backend on the scripted kernel -------------------------------------------------

class KernelLine final : public Line {
 public:
  explicit KernelLine(bool picky = false) {
    test::ScriptedDevice model;
    model.keepsCmspar = !picky;
    dev = kernel.AddDevice("/dev/ttyS0", model);
    setenv("VKTJX_COM1", "/dev/ttyS0", 1);
  }
  ~KernelLine() override {
    if (h != kNoHandle) os->CloseHandle(h);
    unsetenv("VKTJX_COM1");
  }
  CommPlatform& Os() override { return *os; }
  std::int64_t NowMs() override { return kernel.NowUs() / 1000; }
  void Send(const Bytes& bytes) override { kernel.Send(*dev, bytes); }
  void SendDamaged(std::uint8_t byte, LineFaultKind fault) override {
    kernel.Send(*dev, {byte}, 0,
                fault == kFramingFault ? test::LineFault::Framing : test::LineFault::Parity);
  }
  void Settle() override { kernel.AdvanceUs(20000); }
  Bytes Received() override { return dev->wire; }
  void Hold() override { kernel.Hold(*dev, true); }
  void SetModemLines(bool cts, bool dsr, bool ring, bool dcd) override {
    dev->modemBits = (cts ? TIOCM_CTS : 0) | (dsr ? TIOCM_DSR : 0) | (ring ? TIOCM_RNG : 0) |
                     (dcd ? TIOCM_CAR : 0);
  }
  void Unplug() override { kernel.Unplug("/dev/ttyS0"); }

  test::ScriptedKernel kernel;
  std::unique_ptr<CommPlatform> os = kernel.MakePlatform();
  std::shared_ptr<test::ScriptedDevice> dev;
};

// ---- The POSIX backend on a pseudo-terminal ---------------------------------------------------

class PtyLine final : public Line {
 public:
  PtyLine() {
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) return;
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    setenv("VKTJX_COM1", name, 1);
  }
  ~PtyLine() override {
    if (h != kNoHandle) Os().CloseHandle(h);
    unsetenv("VKTJX_COM1");
    if (master >= 0) close(master);
    if (slave >= 0) close(slave);
  }
  CommPlatform& Os() override { return SystemPlatform(); }
  std::int64_t NowMs() override {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
  void Send(const Bytes& bytes) override {
    if (write(master, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
      ADD_FAILURE() << "the pty took fewer bytes";
  }
  void SendDamaged(std::uint8_t, LineFaultKind) override {}
  void Settle() override { usleep(20000); }
  Bytes Received() override {
    std::uint8_t buf[512];
    for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;) got.insert(got.end(), buf, buf + n);
    return got;
  }
  void Hold() override {}
  void SetModemLines(bool, bool, bool, bool) override {}
  void Unplug() override {
    // Both ends but the driver's go: the device has hung up.
    close(master);
    close(slave);
    master = slave = -1;
  }

  int master = -1;
  int slave = -1;
  Bytes got;
};

TEST(SerialContract, FakePlatform) {
  RunContract("fake platform", kWireTime | kHold | kLineErrors | kModemLines | kUnplug,
              [](unsigned) { return std::make_unique<FakeLine>(); });
}

TEST(SerialContract, PosixOnScriptedKernel) {
  RunContract("POSIX on the scripted kernel",
              kWireTime | kHold | kLineErrors | kModemLines | kUnplug | kPickyDevice,
              [](unsigned needs) { return std::make_unique<KernelLine>(needs & kPickyDevice); });
}

TEST(SerialContract, PosixOnPseudoTerminal) {
  RunContract("POSIX on a pseudo-terminal", kUnplug,
              [](unsigned) { return std::make_unique<PtyLine>(); });
}

}  // namespace
}  // namespace vkt::contract
