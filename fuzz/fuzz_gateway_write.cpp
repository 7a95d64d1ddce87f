// The gateway's write topics and payloads, which come from anyone who may publish to the
// broker. The first input byte picks the kind and whether the rest is a topic or a payload.
//
// Checked besides memory and undefined behaviour: a rejection always carries a code and no
// values; an accepted payload holds 1 to one block of values, each one its kind can carry.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_line.h"
#include "payloads.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t selector = data[0];
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  std::int32_t code = 0;
  if (selector & 0x80) {
    vktgw::WriteTarget target;
    if (vktgw::ParseWriteTopic(text, target, code)) {
      FUZZ_CHECK(code == 0);
      FUZZ_CHECK(target.station >= 1 && target.station <= 255);
    } else {
      FUZZ_CHECK(code != 0);
    }
    return 0;
  }
  const auto kind = static_cast<vktgw::Kind>(selector % 3);
  const auto address = static_cast<std::uint16_t>(selector & 0x40 ? 65535 - (selector & 3) : 0);
  std::vector<double> values;
  if (!vktgw::ParseWritePayload(kind, address, text, values, code)) {
    FUZZ_CHECK(code != 0);
    FUZZ_CHECK(values.empty());
    return 0;
  }
  FUZZ_CHECK(code == 0);
  FUZZ_CHECK(!values.empty() && values.size() <= vktgw::MaxElements(kind));
  FUZZ_CHECK(address + values.size() <= 65536);
  for (double v : values) {
    FUZZ_CHECK(std::isfinite(v));
    if (kind == vktgw::Kind::kBit) FUZZ_CHECK(v == 0 || v == 1);
    if (kind == vktgw::Kind::kWord) FUZZ_CHECK(v >= -32768 && v <= 32767 && v == std::floor(v));
  }
  return 0;
}
