#include "host/driver_instance.h"

#include <new>

#include "host/driver_log.h"
#include "host/error_registers.h"
#include "host/host_constants.h"

namespace vkt::host {

namespace {

TVktComPort* driverPort = nullptr;
HVALUE settingsHandle = 0;

void DestroyDriverPort() {
  if (driverPort == nullptr) return;
  TVktComPort* port = driverPort;
  driverPort = nullptr;
  port->CloseLink();
  delete port;
}

std::int32_t LogModeOf(std::uint16_t p4) {
  if (p4 == kLogAppend) return kLogAppendMode;
  if (p4 == kLogNewFile) return kLogNew;
  return kLogOff;
}

}  // namespace

std::int16_t StartDriver(std::uint16_t p1, std::uint16_t p2, std::uint16_t p3,
                         std::uint16_t p4) {
  clearError(kOpAny);
  clearError(kOpRead);
  clearError(kOpWrite);
  clearError(kOpStart);
  setLogMode(LogModeOf(p4));
  if (logEnabled()) {
    logOpen();
    logPrint("%s", kDriverName);
    logPrint("\ndrvStartComm(%u,%u,%u,%u)\n", p1, p2, p3, p4);
  }
  // A second start without a stop releases the first object's port before the new object
  // claims it.
  DestroyDriverPort();
  driverPort = new (std::nothrow) TVktComPort(nullptr);
  if (driverPort == nullptr) return -1;
  const ResultCode code = driverPort->OpenLink(kSettingsFile);
  if (code == kOk) return 1;
  setError(kOpStart, code);
  return -1;
}

std::int16_t StopDriver(std::uint16_t p1, std::uint16_t p2, std::uint16_t p3,
                        std::uint16_t p4) {
  if (logEnabled()) logPrint("drvStopComm(%u,%u,%u,%u)\n", p1, p2, p3, p4);
  DestroyDriverPort();
  logClose();
  return 1;
}

TVktComPort* DriverPort() { return driverPort; }

HVALUE SetSettingsHandle(HVALUE handle) {
  settingsHandle = handle;
  return settingsHandle;
}

}  // namespace vkt::host
