#include "value_store.h"

#include <cmath>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>

namespace et32b {

template <class To>
To ConvertNumber(const Number& from) {
  if constexpr (std::is_floating_point_v<To>) {
    return static_cast<To>(from.value);
  } else if (from.type == kR32) {
    constexpr To lo = std::numeric_limits<To>::min();
    constexpr To hi = std::numeric_limits<To>::max();
    if (std::isnan(from.value)) return 0;
    if (from.value <= static_cast<double>(lo)) return lo;
    if (from.value >= static_cast<double>(hi)) return hi;
    return static_cast<To>(from.value);  // truncates towards zero, in range here
  } else {
    // Integer to integer: through the widest type, then the modular narrowing of a C cast.
    return static_cast<To>(static_cast<std::int64_t>(from.value));
  }
}

template <class From>
double StoreAs(std::uint16_t type, From v) {
  const Number given{std::is_floating_point_v<From> ? kR32 : kI32, static_cast<double>(v)};
  switch (type) {
    case kU8: return ConvertNumber<std::uint8_t>(given);
    case kI16: return ConvertNumber<std::int16_t>(given);
    case kI32: return ConvertNumber<std::int32_t>(given);
    default: return ConvertNumber<float>(given);
  }
}

namespace {

bool IsArrayType(std::uint16_t type) {
  return type == kArrayU8 || type == kArrayI16 || type == kArrayR32;
}

std::uint16_t ElementType(std::uint16_t arrayType) {
  return static_cast<std::uint16_t>(arrayType - 128);
}

}  // namespace

Value* ValueStore::Find(std::uint32_t handle) noexcept {
  if (handle == 0) return nullptr;
  auto it = values_.find(handle);
  return it == values_.end() ? nullptr : &it->second;
}

std::uint32_t ValueStore::Create() noexcept {
  ScopedLock guard(lock_);
  if (values_.size() >= std::numeric_limits<std::uint32_t>::max() - 1) return 0;
  std::uint32_t handle = lastHandle_;
  do {
    ++handle;  // skips 0 on wrap-around, and handles still in use
  } while (handle == 0 || values_.count(handle) != 0);
  try {
    values_.emplace(handle, Value{});
  } catch (...) {
    return 0;
  }
  lastHandle_ = handle;
  return handle;
}

bool ValueStore::AddReference(std::uint32_t handle) noexcept {
  ScopedLock guard(lock_);
  Value* value = Find(handle);
  // A count that would wrap would later free a value that still has holders.
  if (value == nullptr || value->references == std::numeric_limits<std::uint32_t>::max()) {
    return false;
  }
  ++value->references;
  return true;
}

bool ValueStore::DropReference(std::uint32_t handle) noexcept {
  std::vector<double> freed;  // released outside the lock
  ScopedLock guard(lock_);
  Value* value = Find(handle);
  if (value == nullptr) return false;
  if (--value->references == 0) {
    freed.swap(value->items);
    values_.erase(handle);
  }
  return true;
}

bool ValueStore::Dim(std::uint32_t handle, std::uint16_t arrayType, std::uint16_t count) noexcept {
  if (!IsArrayType(arrayType)) return false;
  std::vector<double> items;
  try {
    items.assign(count, 0.0);  // allocated before the lock; the value is untouched on failure
  } catch (...) {
    return false;
  }
  ScopedLock guard(lock_);
  Value* value = Find(handle);
  if (value == nullptr) return false;
  value->type = arrayType;
  value->items.swap(items);
  return true;
}

template <class T>
bool ValueStore::SetScalar(std::uint32_t handle, std::uint16_t type, T v) noexcept {
  ScopedLock guard(lock_);
  Value* value = Find(handle);
  if (value == nullptr) return false;
  try {
    value->items.assign(1, StoreAs(type, v));
  } catch (...) {
    return false;
  }
  value->type = type;
  return true;
}

template <class T>
bool ValueStore::GetScalar(std::uint32_t handle, T* out) noexcept {
  if (out == nullptr) return false;
  ScopedLock guard(lock_);
  Value* value = Find(handle);
  if (value == nullptr || value->type == kEmpty || IsArrayType(value->type)) return false;
  *out = ConvertNumber<T>(Number{value->type, value->items[0]});
  return true;
}

template <class T>
bool ValueStore::SetElement(std::uint32_t handle, std::uint16_t index, T v) noexcept {
  ScopedLock guard(lock_);
  Value* value = Find(handle);
  if (value == nullptr || !IsArrayType(value->type) || index >= value->items.size()) return false;
  value->items[index] = StoreAs(ElementType(value->type), v);
  return true;
}

template <class T>
bool ValueStore::GetElement(std::uint32_t handle, std::uint16_t index, T* out) noexcept {
  if (out == nullptr) return false;
  ScopedLock guard(lock_);
  Value* value = Find(handle);
  if (value == nullptr || !IsArrayType(value->type) || index >= value->items.size()) return false;
  *out = ConvertNumber<T>(Number{ElementType(value->type), value->items[index]});
  return true;
}

std::uint16_t ValueStore::Type(std::uint32_t handle) noexcept {
  ScopedLock guard(lock_);
  Value* value = Find(handle);
  return value == nullptr ? kEmpty : value->type;
}

std::uint16_t ValueStore::Count(std::uint32_t handle) noexcept {
  ScopedLock guard(lock_);
  Value* value = Find(handle);
  return value == nullptr ? 0 : static_cast<std::uint16_t>(value->items.size());
}

ValueStore& TheStore() noexcept {
  static ValueStore store;
  return store;
}

template bool ValueStore::SetScalar<std::uint8_t>(std::uint32_t, std::uint16_t, std::uint8_t) noexcept;
template bool ValueStore::SetScalar<std::int16_t>(std::uint32_t, std::uint16_t, std::int16_t) noexcept;
template bool ValueStore::SetScalar<std::int32_t>(std::uint32_t, std::uint16_t, std::int32_t) noexcept;
template bool ValueStore::SetScalar<float>(std::uint32_t, std::uint16_t, float) noexcept;
template bool ValueStore::GetScalar<std::uint8_t>(std::uint32_t, std::uint8_t*) noexcept;
template bool ValueStore::GetScalar<std::int16_t>(std::uint32_t, std::int16_t*) noexcept;
template bool ValueStore::GetScalar<std::int32_t>(std::uint32_t, std::int32_t*) noexcept;
template bool ValueStore::GetScalar<float>(std::uint32_t, float*) noexcept;
template bool ValueStore::SetElement<std::uint8_t>(std::uint32_t, std::uint16_t, std::uint8_t) noexcept;
template bool ValueStore::SetElement<std::int16_t>(std::uint32_t, std::uint16_t, std::int16_t) noexcept;
template bool ValueStore::SetElement<float>(std::uint32_t, std::uint16_t, float) noexcept;
template bool ValueStore::GetElement<std::uint8_t>(std::uint32_t, std::uint16_t, std::uint8_t*) noexcept;
template bool ValueStore::GetElement<std::int16_t>(std::uint32_t, std::uint16_t, std::int16_t*) noexcept;
template bool ValueStore::GetElement<float>(std::uint32_t, std::uint16_t, float*) noexcept;

}  // namespace et32b
