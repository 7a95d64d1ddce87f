// One contract for the serial seam: what a Windows serial port does, as a table of cases that
// every backend the driver can sit on is run against. A backend names what its line can be made
// to do beyond carrying bytes; a case that needs more is listed as not carried in the output, by
// name, never skipped silently.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "serial/comm_platform.h"

namespace vkt::contract {

using namespace serial;
using Bytes = std::vector<std::uint8_t>;

// What a backend's line can be made to do, beyond carrying bytes.
enum Need : unsigned {
  kWireTime = 1u << 0,     // the output takes its time on the wire
  kHold = 1u << 1,         // the transmitter can be held (CTS flow), so nothing leaves
  kLineErrors = 1u << 2,   // a received byte can carry a framing or parity error
  kModemLines = 1u << 3,   // the remote end sets CTS, DSR, RING and DCD
  kUnplug = 1u << 4,       // the device can go away while open
  kPickyDevice = 1u << 5,  // a device that does not take mark or space parity
};

enum LineFaultKind { kFramingFault, kParityFault };

// A backend with the remote end of its line.
class Line {
 public:
  virtual ~Line() = default;
  virtual CommPlatform& Os() = 0;
  // Time as the backend sees it, in ms (virtual or real).
  virtual std::int64_t NowMs() = 0;
  // The remote end sends `bytes`; they are in the port's input once Settle has run.
  virtual void Send(const Bytes& bytes) = 0;
  virtual void SendDamaged(std::uint8_t byte, LineFaultKind fault) = 0;
  virtual void Settle() = 0;
  // What has reached the remote end so far.
  virtual Bytes Received() = 0;
  virtual void Hold() = 0;
  virtual void SetModemLines(bool cts, bool dsr, bool ring, bool dcd) = 0;
  virtual void Unplug() = 0;
  // Wire time of `n` characters at 9600 8N1, in ms.
  static double WireMs(std::size_t n) { return static_cast<double>(n) * 10.0 / 9.6; }

  // The port the backend opens.
  virtual const char* PortName() { return "COM1"; }

  // Opens the port at 9600 8N1 with abort-on-error, as the driver configures it.
  CommHandle Open() {
    h = Os().CreateFile(PortName());
    if (h == kNoHandle) return h;
    CommState s;
    Os().GetCommState(h, s);
    s.BaudRate = 9600;
    s.ByteSize = 8;
    s.Parity = 0;
    s.StopBits = kOneStopBit;
    s.fBinary = true;
    s.fParity = false;
    s.fOutxCtsFlow = false;
    s.fDtrControl = kDtrControlEnable;
    s.fRtsControl = kRtsControlEnable;
    s.fAbortOnError = true;
    if (!Os().SetCommState(h, s)) return kNoHandle;
    return h;
  }
  void Timeouts(std::uint32_t interval, std::uint32_t multiplier, std::uint32_t constant,
                std::uint32_t writeMultiplier = 0, std::uint32_t writeConstant = 0);

  CommHandle h = kNoHandle;
};

// Runs every case the backend can carry, each on a fresh line from `make` (given what the case
// needs), and prints the count and the names of the cases it cannot carry.
void RunContract(const char* backend, unsigned carries,
                 const std::function<std::unique_ptr<Line>(unsigned needs)>& make);

}  // namespace vkt::contract
