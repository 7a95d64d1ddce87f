#include "host/cvalue.h"

namespace vkt::host {

CValue::CValue(HVALUE handle) : handle_(handle) { hvUse(handle_); }

CValue::~CValue() { hvRelease(handle_); }

void CValue::SetU8(std::uint8_t v) { hvSetU8(handle_, v); }
void CValue::SetI16(std::int16_t v) { hvSetI16(handle_, v); }
void CValue::SetI32(std::int32_t v) { hvSetI32(handle_, v); }
void CValue::SetR32(float v) { hvSetR32(handle_, v); }
void CValue::Dim(std::uint16_t type, std::uint16_t count) { hvDim(handle_, type, count); }

void CValue::SetAtU8(std::uint8_t v) { hvSetAtU8(handle_, index_, v); }
void CValue::SetAtI16(std::int16_t v) { hvSetAtI16(handle_, index_, v); }
void CValue::SetAtR32(float v) { hvSetAtR32(handle_, index_, v); }

bool CValue::GetU8(std::uint8_t& v) const { return hvGetU8(handle_, &v) != 0; }
bool CValue::GetI16(std::int16_t& v) const { return hvGetI16(handle_, &v) != 0; }
bool CValue::GetR32(float& v) const { return hvGetR32(handle_, &v) != 0; }
bool CValue::GetAtU8(std::uint8_t& v) const { return hvGetAtU8(handle_, index_, &v) != 0; }
bool CValue::GetAtI16(std::int16_t& v) const { return hvGetAtI16(handle_, index_, &v) != 0; }
bool CValue::GetAtR32(float& v) const { return hvGetAtR32(handle_, index_, &v) != 0; }

namespace {

bool NonZero(float v) { return v == v && v != 0.0f; }

}  // namespace

bool CValue::IsSetBit() const {
  switch (hvType(handle_)) {
    case kScalarU8: {
      std::uint8_t v = 0;
      return hvGetU8(handle_, &v) != 0 && v != 0;
    }
    case kScalarI16: {
      std::int16_t v = 0;
      return hvGetI16(handle_, &v) != 0 && v != 0;
    }
    case kScalarI32: {
      std::int32_t v = 0;
      return hvGetI32(handle_, &v) != 0 && v != 0;
    }
    case kScalarR32: {
      float v = 0.0f;
      return hvGetR32(handle_, &v) != 0 && NonZero(v);
    }
    default:
      return false;
  }
}

bool CValue::IsSetBitAt() const {
  switch (hvType(handle_)) {
    case kArrayOfBytes: {
      std::uint8_t v = 0;
      return hvGetAtU8(handle_, index_, &v) != 0 && v != 0;
    }
    case kArrayOfWords: {
      std::int16_t v = 0;
      return hvGetAtI16(handle_, index_, &v) != 0 && v != 0;
    }
    case kArrayOfFloats: {
      float v = 0.0f;
      return hvGetAtR32(handle_, index_, &v) != 0 && NonZero(v);
    }
    default:
      return false;
  }
}

}  // namespace vkt::host
