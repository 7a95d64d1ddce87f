// vkt_portcheck: opens one COM port through the serial line driver and tells what it found.
//
//   vkt_portcheck COMn [--send TEXT]
//
// Prints the driver's Active, Platform and InitError for COM1 to COM8. With --send, also writes
// TEXT, waits for the transmitter to empty and shows whatever comes back within half a second
// (a loop-back plug returns TEXT). Exit status: 0 port active (and TEXT sent), 1 port not active
// or the transfer failed, 2 bad arguments.
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/result_codes.h"
#include "serial/asc_drv.h"
#include "serial/comm_platform.h"

namespace {

// "COM1" to "COM8", letters in any case; 0 for anything else.
int ParsePortName(const char* text) {
  if (std::strlen(text) != 4) return 0;
  const char c = text[0], o = text[1], m = text[2], digit = text[3];
  if ((c != 'C' && c != 'c') || (o != 'O' && o != 'o') || (m != 'M' && m != 'm')) return 0;
  if (digit < '1' || digit > '8') return 0;
  return digit - '0';
}

int Usage() {
  std::fprintf(stderr, "usage: vkt_portcheck COMn [--send TEXT]   (n = 1..8)\n");
  return 2;
}

int SendAndListen(vkt::TAscDrv& drv, const std::string& text) {
  std::int32_t count = static_cast<std::int32_t>(text.size());
  const vkt::ResultCode written = drv.WriteBytes(text.data(), count);
  std::printf("Write=%d (%s) Bytes=%d\n", static_cast<int>(written), vkt::ResultMessage(written),
              static_cast<int>(count));
  if (written != vkt::kOk) return 1;

  std::uint32_t mask = vkt::serial::EV_TXEMPTY;
  drv.WaitLineEvent(mask);
  std::printf("TxEmpty=%d\n", (mask & vkt::serial::EV_TXEMPTY) ? 1 : 0);

  drv.SetTimeouts(500, -1);
  unsigned char reply[256];
  const std::size_t wanted = text.size() < sizeof reply ? text.size() : sizeof reply;
  std::int32_t got = static_cast<std::int32_t>(wanted);
  const vkt::ResultCode read = drv.ReadBytes(reply, got);
  std::printf("Read=%d (%s) Bytes=%d:", static_cast<int>(read), vkt::ResultMessage(read),
              static_cast<int>(got));
  for (std::int32_t i = 0; i < got; ++i) std::printf(" %02X", reply[i]);
  std::printf("\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 4) return Usage();
  const int port = ParsePortName(argv[1]);
  if (port == 0) return Usage();
  if (argc == 4 && std::strcmp(argv[2], "--send") != 0) return Usage();

  vkt::TAscDrv drv(nullptr);
  drv.SetPortNumber(port);
  drv.SetActive(true);
  std::printf("Port=COM%d Active=%d Platform=%d InitError=%d\n", port, drv.Active() ? 1 : 0,
              static_cast<int>(drv.Platform()), static_cast<int>(drv.InitError()));
  if (!drv.Active()) return 1;

  int status = 0;
  if (argc == 4) status = SendAndListen(drv, argv[3]);
  drv.SetActive(false);
  return status;
}
