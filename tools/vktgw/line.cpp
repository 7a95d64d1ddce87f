#include "line.h"

#include "common/result_codes.h"

namespace vktgw {

namespace {

std::uint16_t ArrayType(Kind kind) {
  return kind == Kind::kBit ? vkthost::kArrayU8
         : kind == Kind::kWord ? vkthost::kArrayI16
                               : vkthost::kArrayR32;
}

}  // namespace

bool IsLineCode(std::int32_t code) {
  return code == vkt::kLinkNotReady || code == vkt::kPortNotOpen || code == vkt::kNoPortHandle ||
         code == vkt::kModemNotConnected;
}

std::int32_t DriverLine::Start() {
  started_ = true;
  if (api_.drvStartComm(0, 0, 0, 0) == 1) return 0;
  const std::int32_t code = Register(vkthost::kRegStart);
  return code != 0 ? code : vkt::kLinkNotReady;
}

void DriverLine::Stop() {
  if (started_) api_.drvStopComm(0, 0, 0, 0);
  started_ = false;
}

std::int32_t DriverLine::Register(std::uint16_t index) {
  vkthost::HostTag tag{};
  tag.kind = vkthost::kReg;
  tag.address = index;
  tag.count = 1;
  vkthost::Value v(api_);
  std::int32_t code = 0;
  if (api_.drvReadValue(&tag, v.handle()) != 1 || api_.hvGetI32(v.handle(), &code) == 0)
    return -1;
  return code;
}

std::int32_t DriverLine::Read(int station, Kind kind, std::uint16_t address, std::uint16_t count,
                              std::vector<double>& values) {
  values.clear();
  vkthost::HostTag tag{};
  tag.station = static_cast<std::int16_t>(station);
  tag.kind = static_cast<std::uint16_t>(kind);
  tag.address = address;
  tag.count = count;
  tag.size = count;
  vkthost::Value v(api_);
  const vkthost::HValue h = v.handle();
  if (api_.drvReadBlock(&tag, h) != 1) {
    const std::int32_t code = Register(vkthost::kRegRead);
    return code != 0 ? code : -1;
  }
  if (api_.hvType(h) != ArrayType(kind) || api_.hvCount(h) != count) return -1;
  for (std::uint16_t i = 0; i < count; ++i) {
    if (kind == Kind::kFloat) {
      float f = 0;
      api_.hvGetAtR32(h, i, &f);
      values.push_back(f);
    } else {
      std::int16_t w = 0;
      api_.hvGetAtI16(h, i, &w);
      values.push_back(kind == Kind::kBit ? (w != 0 ? 1 : 0) : w);
    }
  }
  return 0;
}

std::int32_t DriverLine::Write(int station, Kind kind, std::uint16_t address,
                               const std::vector<double>& values) {
  vkthost::HostTag tag{};
  tag.station = static_cast<std::int16_t>(station);
  tag.kind = static_cast<std::uint16_t>(kind);
  tag.address = address;
  tag.count = 1;
  vkthost::Value v(api_);
  const vkthost::HValue h = v.handle();
  const auto n = static_cast<std::uint16_t>(values.size());
  std::int16_t rc = 0;
  if (n == 1) {
    if (kind == Kind::kBit) api_.hvSetU8(h, values[0] != 0 ? 1 : 0);
    else if (kind == Kind::kWord) api_.hvSetI16(h, static_cast<std::int16_t>(values[0]));
    else api_.hvSetR32(h, static_cast<float>(values[0]));
    rc = api_.drvWriteValue(&tag, h);
  } else {
    api_.hvDim(h, ArrayType(kind), n);
    for (std::uint16_t i = 0; i < n; ++i) {
      if (kind == Kind::kBit) api_.hvSetAtU8(h, i, values[i] != 0 ? 1 : 0);
      else if (kind == Kind::kWord) api_.hvSetAtI16(h, i, static_cast<std::int16_t>(values[i]));
      else api_.hvSetAtR32(h, i, static_cast<float>(values[i]));
    }
    tag.writeCount = n;
    tag.size = n;
    rc = api_.drvWriteBlock(&tag, h);
  }
  if (rc == 1) return 0;
  const std::int32_t code = Register(vkthost::kRegWrite);
  return code != 0 ? code : -1;
}

}  // namespace vktgw
