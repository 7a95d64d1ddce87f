// CValue: one host value handle for the duration of one export call. It takes a reference on
// construction and drops it on destruction, on every path out of the export. Getters answer
// false when the value library cannot supply the value; the caller then uses 0.
#pragma once

#include <cstdint>

#include "et32b.h"

namespace vkt::host {

// Type codes of the value library: scalars and array elements.
inline constexpr std::uint16_t kScalarU8 = HV_TYPE_U8;
inline constexpr std::uint16_t kScalarI16 = HV_TYPE_I16;
inline constexpr std::uint16_t kScalarI32 = HV_TYPE_I32;
inline constexpr std::uint16_t kScalarR32 = HV_TYPE_R32;
inline constexpr std::uint16_t kArrayOfBytes = HV_TYPE_ARRAY_U8;
inline constexpr std::uint16_t kArrayOfWords = HV_TYPE_ARRAY_I16;
inline constexpr std::uint16_t kArrayOfFloats = HV_TYPE_ARRAY_R32;

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

  // A bit as the host meant it: any non-zero value in the value's own type is a set bit (a
  // U8 conversion would turn I16 256, I32 65536 or R32 0.5 into 0). A NaN counts as 0, as the
  // library converts it; a value the library cannot supply is a clear bit.
  bool IsSetBit() const;
  bool IsSetBitAt() const;

 private:
  HVALUE handle_;
  std::uint16_t index_ = 0;
};

}  // namespace vkt::host
