#include "host/error_registers.h"

#include "host/driver_log.h"

namespace vkt::host {

namespace {

std::int32_t errorRegisters[kRegisterCount] = {};

bool HasRegister(std::int64_t index) { return index >= 0 && index < kRegisterCount; }

}  // namespace

void clearError(std::int32_t type) {
  errorRegisters[kOpAny] = kOk;
  if (HasRegister(type)) errorRegisters[type] = kOk;
}

void setError(std::int32_t type, ResultCode code) {
  if (logEnabled()) logPrint("PLC Error(type= %d, code= %d)", type, code);
  if (HasRegister(type)) errorRegisters[type] = code;
  errorRegisters[kOpAny] = code;
}

bool readErrorRegister(std::int64_t index, std::int32_t& code) {
  if (!HasRegister(index)) return false;
  code = errorRegisters[index];
  return true;
}

}  // namespace vkt::host
