#include "host/driver_instance.h"

#include <cstdlib>
#include <new>
#include <string>

#include "serial/capture_platform.h"
#include "serial/capture_recorder.h"

#include "host/driver_log.h"
#include "host/error_registers.h"
#include "host/host_constants.h"

namespace vkt::host {

namespace {

TVktComPort* driverPort = nullptr;
HVALUE settingsHandle = 0;

// The line capture of the current start, when VKTJX_CAPTURE asked for one.
serial::CaptureRecorder* captureRecorder = nullptr;
serial::CapturePlatform* capturePlatform = nullptr;

constexpr std::uint64_t kDefaultCaptureMb = 64;

// The capture file of the last start: a later start of the same process with the same file adds
// to it (a section per start) instead of wiping what the earlier starts recorded.
std::string lastCapturePath;

void StopCapture() {
  delete capturePlatform;
  capturePlatform = nullptr;
  delete captureRecorder;  // writes what is left and closes the file
  captureRecorder = nullptr;
}

// The seam the driver object is to use: the system's, or the capture in front of it. A capture
// that cannot start is logged and the start goes on without it.
serial::CommPlatform* StartCapture() {
  const char* path = std::getenv("VKTJX_CAPTURE");
  if (path == nullptr || *path == '\0') return nullptr;
  std::uint64_t maxMb = kDefaultCaptureMb;
  if (const char* mb = std::getenv("VKTJX_CAPTURE_MAX_MB"); mb != nullptr && *mb != '\0') {
    char* end = nullptr;
    const unsigned long long v = std::strtoull(mb, &end, 10);
    if (end != mb && *end == '\0' && v > 0) maxMb = v;
  }
  captureRecorder = new (std::nothrow) serial::CaptureRecorder();
  std::string error;
  if (captureRecorder == nullptr ||
      !captureRecorder->Start(path, "VktJX serial line", maxMb * 1024 * 1024, error,
                              lastCapturePath == path)) {
    if (logEnabled()) logPrint("line capture off: %s\n", error.empty() ? path : error.c_str());
    StopCapture();
    return nullptr;
  }
  capturePlatform =
      new (std::nothrow) serial::CapturePlatform(serial::SystemPlatform(), *captureRecorder);
  if (capturePlatform == nullptr) {
    StopCapture();
    return nullptr;
  }
  lastCapturePath = path;
  if (logEnabled()) logPrint("line capture to %s\n", path);
  return capturePlatform;
}

void DestroyDriverPort() {
  if (driverPort == nullptr) return;
  TVktComPort* port = driverPort;
  driverPort = nullptr;
  port->CloseLink();
  delete port;
  StopCapture();
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
  serial::CommPlatform* platform = StartCapture();
  driverPort = new (std::nothrow) TVktComPort(nullptr, platform);
  if (driverPort == nullptr) {
    StopCapture();
    return -1;
  }
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
