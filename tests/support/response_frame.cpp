#include "response_frame.h"

#include "protocol/frame.h"

namespace vkt::test {

std::vector<std::uint8_t> ResponseFrame(int station, int status,
                                        const std::vector<std::uint8_t>& data) {
  std::vector<std::uint8_t> frame;
  frame.reserve(data.size() + 6);
  frame.push_back(kStartByte);
  frame.push_back(static_cast<std::uint8_t>(station));
  frame.push_back(static_cast<std::uint8_t>(data.size()));
  frame.push_back(static_cast<std::uint8_t>(status));
  frame.insert(frame.end(), data.begin(), data.end());
  const std::uint16_t sum = FrameChecksum(frame.data() + 1, frame.size() - 1);
  frame.push_back(static_cast<std::uint8_t>(sum & 0xFF));
  frame.push_back(static_cast<std::uint8_t>(sum >> 8));
  return frame;
}

}  // namespace vkt::test
