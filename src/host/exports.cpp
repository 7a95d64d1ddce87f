// The twelve exported functions. Each checks its arguments, calls one operation of the host
// interface and returns its answer; nothing thrown inside the library crosses this file.

// Everything else in the library is hidden; the drv* functions are its interface.
#pragma GCC visibility push(default)
#include "vktjx.h"
#pragma GCC visibility pop

#include "host/driver_instance.h"
#include "host/host_constants.h"
#include "host/host_platform.h"
#include "host/tag_access.h"

using namespace vkt::host;

extern "C" {

int16_t VKTJX_CALL drvStartComm(uint16_t p1, uint16_t p2, uint16_t p3, uint16_t p4) {
  try {
    return StartDriver(p1, p2, p3, p4);
  } catch (...) {
    return -1;
  }
}

int16_t VKTJX_CALL drvStopComm(uint16_t p1, uint16_t p2, uint16_t p3, uint16_t p4) {
  try {
    return StopDriver(p1, p2, p3, p4);
  } catch (...) {
    return -1;
  }
}

int32_t VKTJX_CALL drvGetCaps(void) { return kCapabilities; }

const char* VKTJX_CALL drvGetDriverName(void) { return kDriverName; }

HVALUE VKTJX_CALL drvSetSettingsHandle(HVALUE handle) { return SetSettingsHandle(handle); }

int16_t VKTJX_CALL drvDriverDialog(int32_t) {
  try {
    ShowDriverDialog(kDriverName, kDialogText);
  } catch (...) {
  }
  return 1;
}

int16_t VKTJX_CALL drvReadValue(const HostTag* tag, HVALUE value) {
  if (tag == nullptr) return -1;
  try {
    return ReadSingle(*tag, value, false);
  } catch (...) {
    return -1;
  }
}

int16_t VKTJX_CALL drvReadBlock(const HostTag* tag, HVALUE value) {
  if (tag == nullptr) return -1;
  try {
    return ReadBlock(*tag, value);
  } catch (...) {
    return -1;
  }
}

int16_t VKTJX_CALL drvReadBlockElement(const HostTag* tag, HVALUE value) {
  if (tag == nullptr) return -1;
  try {
    return ReadSingle(*tag, value, true);
  } catch (...) {
    return -1;
  }
}

int16_t VKTJX_CALL drvWriteValue(const HostTag* tag, HVALUE value) {
  if (tag == nullptr) return -1;
  try {
    return WriteSingle(*tag, value, false);
  } catch (...) {
    return -1;
  }
}

int16_t VKTJX_CALL drvWriteBlock(const HostTag* tag, HVALUE value) {
  if (tag == nullptr) return -1;
  try {
    return WriteBlock(*tag, value);
  } catch (...) {
    return -1;
  }
}

int16_t VKTJX_CALL drvWriteBlockElement(const HostTag* tag, HVALUE value) {
  if (tag == nullptr) return -1;
  try {
    return WriteSingle(*tag, value, true);
  } catch (...) {
    return -1;
  }
}

}  // extern "C"
