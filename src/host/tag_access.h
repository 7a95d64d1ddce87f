// Tag access: each read or write export turns one host tag into one typed service call on the
// driver object, converts between the host's values and the controller's data kinds, and keeps
// the outcome in the error registers.
#pragma once

#include <cstdint>

#include "et32b.h"
#include "vktjx.h"

namespace vkt::host {

// Data kinds of the host's tags; the last reads the error registers.
inline constexpr std::uint16_t kKindBit = VKTJX_KIND_BIT;
inline constexpr std::uint16_t kKindWord = VKTJX_KIND_WORD;
inline constexpr std::uint16_t kKindFloat = VKTJX_KIND_FLOAT;
inline constexpr std::uint16_t kKindErrorRegister = VKTJX_KIND_ERROR_REGISTER;

// Block limits: the elements of one block fit the 1000-byte transfer buffer.
inline constexpr std::int32_t kTransferBufferBytes = 1000;

// One element at `address` (drvReadValue) or `address` + `offset` (drvReadBlockElement).
std::int16_t ReadSingle(const HostTag& tag, HVALUE value, bool element);
std::int16_t ReadBlock(const HostTag& tag, HVALUE value);
// One element at `address` (drvWriteValue) or `address` + `offset` (drvWriteBlockElement).
std::int16_t WriteSingle(const HostTag& tag, HVALUE value, bool element);
std::int16_t WriteBlock(const HostTag& tag, HVALUE value);

}  // namespace vkt::host
