// CValue: one host value handle for the duration of one export call. It takes a reference on
// construction and drops it on destruction, on every path out of the export. Getters answer
// false when the value library cannot supply the value; the caller then uses 0.
#pragma once

#include <cstdint>

#include "et32b.h"

namespace vkt::host {

// Array element type codes of the value library.
inline constexpr std::uint16_t kArrayOfBytes = 130;
inline constexpr std::uint16_t kArrayOfWords = 131;
inline constexpr std::uint16_t kArrayOfFloats = 135;

class CValue {
 public:
  explicit CValue(HVALUE handle);
  ~CValue();
  CValue(const CValue&) = delete;
  CValue& operator=(const CValue&) = delete;

  void SetU8(std::uint8_t v);
  void SetI16(std::int16_t v);
  void SetI32(std::int32_t v);
  void SetR32(float v);
  void Dim(std::uint16_t type, std::uint16_t count);

  // Selects element i for the element calls that follow.
  CValue& At(std::uint16_t i) {
    index_ = i;
    return *this;
  }
  void SetAtU8(std::uint8_t v);
  void SetAtI16(std::int16_t v);
  void SetAtR32(float v);

  bool GetU8(std::uint8_t& v) const;
  bool GetI16(std::int16_t& v) const;
  bool GetR32(float& v) const;
  bool GetAtU8(std::uint8_t& v) const;
  bool GetAtI16(std::int16_t& v) const;
  bool GetAtR32(float& v) const;

 private:
  HVALUE handle_;
  std::uint16_t index_ = 0;
};

}  // namespace vkt::host
