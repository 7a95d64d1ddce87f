// A response frame as a station sends it: start byte, station, data length, status, data,
// checksum low byte then high byte. For the tests that put a station's answers on a line.
#pragma once

#include <cstdint>
#include <vector>

namespace vkt::test {

std::vector<std::uint8_t> ResponseFrame(int station, int status,
                                        const std::vector<std::uint8_t>& data);

}  // namespace vkt::test
