// The error registers: the outcome (0 or a failure code) of the last operation of each type,
// readable by the host as tags of kind 5.
#pragma once

#include <cstdint>

#include "common/result_codes.h"
#include "vktjx.h"

namespace vkt::host {

// The operation types, each the index of its register.
enum OperationType : std::int32_t {
  kOpAny = VKTJX_REGISTER_ANY,
  kOpStart = VKTJX_REGISTER_START,
  kOpRead = VKTJX_REGISTER_READ,
  kOpWrite = VKTJX_REGISTER_WRITE
};
inline constexpr std::int32_t kRegisterCount = VKTJX_REGISTER_COUNT;

// Sets register 0, then the type's register, to 0.
void clearError(std::int32_t type);
// Logs the failure entry when the log is on, then stores the code in the type's register and
// in register 0.
void setError(std::int32_t type, ResultCode code);
// The register `index` (0 to 3); false for an index without a register.
bool readErrorRegister(std::int64_t index, std::int32_t& code);

}  // namespace vkt::host
