#include "protocol/frame.h"

#include <cstring>

namespace vkt {

std::uint16_t FrameChecksum(const std::uint8_t* bytes, std::size_t n) {
  std::uint16_t sum = 0;
  for (std::size_t i = 0; i < n; ++i) sum = static_cast<std::uint16_t>(sum + bytes[i]);
  return static_cast<std::uint16_t>(~sum);
}

ResultCode BuildFrame(int station, int command, std::uint8_t* buffer, std::int32_t& length,
                      const std::uint8_t* data) {
  if (length > kMaxFrameData) return kTooMuchData;
  if (length + kFrameOverhead > kMaxFrameBytes) return kFrameTooLong;
  if (length < 0) return kTooMuchData;
  const int n = length;
  buffer[0] = kStartByte;
  buffer[1] = static_cast<std::uint8_t>(station);
  buffer[2] = static_cast<std::uint8_t>(n);
  buffer[3] = static_cast<std::uint8_t>(command);
  if (n > 0) std::memmove(buffer + 4, data, static_cast<std::size_t>(n));
  const std::uint16_t sum = FrameChecksum(buffer + 1, static_cast<std::size_t>(n) + 3);
  buffer[4 + n] = static_cast<std::uint8_t>(sum & 0xFF);
  buffer[5 + n] = static_cast<std::uint8_t>(sum >> 8);
  length = n + kFrameOverhead;
  return kOk;
}

ResultCode CheckResponseLength(std::uint8_t dataLength) {
  return dataLength > kMaxFrameData ? kTooMuchData : kOk;
}

ResultCode StatusResult(std::uint8_t status) {
  if (status == 0) return kOk;
  if (status >= 0x80 && status <= 0x9F) return kControllerError;
  return status;
}

ResultCode CheckResponse(const std::uint8_t* body) {
  const std::size_t n = body[1];
  // Rule 1 again: a body is never read past the longest frame, whoever calls.
  if (n > static_cast<std::size_t>(kMaxFrameData)) return kTooMuchData;
  const std::uint16_t expected = FrameChecksum(body, n + 3);
  const std::uint16_t received =
      static_cast<std::uint16_t>(body[3 + n] | (body[4 + n] << 8));
  if (expected != received) return kChecksumMismatch;
  return StatusResult(body[2]);
}

}  // namespace vkt
