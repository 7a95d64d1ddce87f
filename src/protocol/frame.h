// VKT frame codec: request frames and the acceptance rules for responses. Knows bytes only.
//
// Frame: 0x5A, station, n, command-or-status, n data bytes, checksum (low, high).
// Checksum: one's complement of the 16-bit sum of every byte after the start byte up to the
// last data byte.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/result_codes.h"

namespace vkt {

inline constexpr std::uint8_t kStartByte = 0x5A;
inline constexpr int kMaxFrameData = 252;   // data bytes a frame may announce
inline constexpr int kMaxFrameBytes = 257;  // whole request, or response after the start byte
inline constexpr int kFrameOverhead = 6;    // start, station, length, command, checksum x2

enum VktCommand : std::uint8_t {
  kCmdReadBits = 0x90,
  kCmdReadWords = 0x91,
  kCmdReadFloats = 0x92,
  kCmdWriteBits = 0x94,
  kCmdWriteWords = 0x95,
  kCmdWriteFloats = 0x96,
};

// One's complement of the 16-bit wrap-around sum of `n` bytes.
std::uint16_t FrameChecksum(const std::uint8_t* bytes, std::size_t n);

// Builds a request frame into `buffer`. `length` is the data byte count on entry and the frame
// byte count on success. 16011 above 252 data bytes, 16100 when the frame would exceed 257.
ResultCode BuildFrame(int station, int command, std::uint8_t* buffer, std::int32_t& length,
                      const std::uint8_t* data);

// Response rule 1: a data length above 252 is refused before any data is read.
ResultCode CheckResponseLength(std::uint8_t dataLength);

// Response rules 2 and 4 on the bytes after the start byte: `body` holds station, length,
// status, the data and the two checksum bytes (length + 5 bytes). 16107 on a checksum
// mismatch; otherwise the status: 0, 16109 for 0x80..0x9F, or the status value itself.
ResultCode CheckResponse(const std::uint8_t* body);

// The result a status byte stands for.
ResultCode StatusResult(std::uint8_t status);

}  // namespace vkt
