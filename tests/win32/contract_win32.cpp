// The serial contract against the Win32 backend, run under Wine: the backend opens one COM port,
// and the remote end of its line is a second COM port, opened here with plain Windows calls.
// scripts/wine-test.sh maps the two to the ends of a linked pseudo-terminal pair, which carries
// bytes but no wire time, line errors or modem lines; a pulled device cannot be shown either.
//
//   vkt_contract_win32 --port COM3 --remote COM4
#include "serial_contract.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include <windows.h>

namespace vkt::contract {
namespace {

std::string gPort = "COM3";
std::string gRemote = "COM4";

class Win32Line final : public Line {
 public:
  Win32Line() {
    remote_ = ::CreateFileA(gRemote.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            OPEN_EXISTING, 0, nullptr);
    if (remote_ == INVALID_HANDLE_VALUE) {
      ADD_FAILURE() << "the remote end " << gRemote << " does not open: " << ::GetLastError();
      return;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ::GetCommState(remote_, &dcb);
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    ::SetCommState(remote_, &dcb);
    // Reads of the remote end return what is there at once.
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = MAXDWORD;
    ::SetCommTimeouts(remote_, &t);
    ::PurgeComm(remote_, PURGE_RXCLEAR | PURGE_TXCLEAR);
  }
  ~Win32Line() override {
    if (h != kNoHandle) Os().CloseHandle(h);
    if (remote_ != INVALID_HANDLE_VALUE) ::CloseHandle(remote_);
  }
  const char* PortName() override { return gPort.c_str(); }
  CommPlatform& Os() override { return SystemPlatform(); }
  std::int64_t NowMs() override { return NowUs() / 1000; }
  // The performance counter: the tick count moves in steps of up to 16 ms.
  static std::int64_t NowUs() {
    LARGE_INTEGER now, rate;
    ::QueryPerformanceCounter(&now);
    ::QueryPerformanceFrequency(&rate);
    return now.QuadPart / rate.QuadPart * 1000000 +
           now.QuadPart % rate.QuadPart * 1000000 / rate.QuadPart;
  }
  void Send(const Bytes& bytes) override {
    DWORD put = 0;
    if (!::WriteFile(remote_, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr) ||
        put != bytes.size())
      ADD_FAILURE() << "the remote end took " << put << " of " << bytes.size() << " bytes";
  }
  void SendDamaged(std::uint8_t, LineFaultKind) override {}
  // The pair relays through a process of its own: give it time on a loaded machine.
  void Settle() override { ::Sleep(150); }
  Bytes Received() override {
    std::uint8_t buf[512];
    for (DWORD n = 0; ::ReadFile(remote_, buf, sizeof buf, &n, nullptr) && n > 0;)
      got_.insert(got_.end(), buf, buf + n);
    return got_;
  }
  void Hold() override {}
  void SetModemLines(bool, bool, bool, bool) override {}
  void Unplug() override {}

 private:
  HANDLE remote_ = INVALID_HANDLE_VALUE;
  Bytes got_;
};

TEST(SerialContract, Win32UnderWine) {
  RunContract("Win32 under Wine", 0, [](unsigned) { return std::make_unique<Win32Line>(); });
}

// Beyond the common cases, what only the Win32 backend has to do: a synchronous WriteFile
// returns once its bytes are in the UART, and the port's output count is 0 from then on while
// the UART's FIFO still sends up to 17 characters. EV_TXEMPTY must wait their wire time, or RTS
// on a radio line drops under the frame's last bytes.
TEST(SerialContract, Win32TxEmptyWaitsForTheUartFifo) {
  Win32Line l;
  ASSERT_NE(l.Open(), kNoHandle);
  l.Timeouts(0, 0, 0, 0, 5000);
  ASSERT_TRUE(l.Os().SetCommMask(l.h, EV_TXEMPTY));
  const Bytes frame(20, 0x55);
  const std::int64_t start = Win32Line::NowUs();
  std::uint32_t written = 0;
  ASSERT_TRUE(l.Os().WriteFile(l.h, frame.data(), 20, written));
  std::uint32_t events = 0;
  ASSERT_TRUE(l.Os().WaitCommEvent(l.h, events, 2000));
  EXPECT_EQ(events, EV_TXEMPTY);
  // 17 characters of 10 bits at 9600 bit/s.
  EXPECT_GE(Win32Line::NowUs() - start, 17 * 10 * 1000000 / 9600);
}

}  // namespace
}  // namespace vkt::contract

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--port") == 0)
      vkt::contract::gPort = argv[++i];
    else if (std::strcmp(argv[i], "--remote") == 0)
      vkt::contract::gRemote = argv[++i];
  }
  return RUN_ALL_TESTS();
}
