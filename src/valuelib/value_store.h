// The values behind ET32B handles: a table from handle number to value, so that a handle is
// only ever looked up and a stale or invented one finds nothing.
#pragma once

#include <atomic>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "et32b.h"

namespace et32b {

// Type codes as the host sees them. An array's element type is its code less 128.
inline constexpr std::uint16_t kEmpty = HV_TYPE_EMPTY;
inline constexpr std::uint16_t kU8 = HV_TYPE_U8;
inline constexpr std::uint16_t kI16 = HV_TYPE_I16;
inline constexpr std::uint16_t kI32 = HV_TYPE_I32;
inline constexpr std::uint16_t kR32 = HV_TYPE_R32;
inline constexpr std::uint16_t kArrayU8 = HV_TYPE_ARRAY_U8;
inline constexpr std::uint16_t kArrayI16 = HV_TYPE_ARRAY_I16;
inline constexpr std::uint16_t kArrayR32 = HV_TYPE_ARRAY_R32;

// One held number in its own type. Every type the library holds (U8, I16, I32, R32) is
// exactly representable as a double, so the double plus the type code is lossless.
struct Number {
  std::uint16_t type;  // kU8, kI16, kI32 or kR32
  double value;
};

// Converts a number already held in `from`'s type to the type To: like a C cast, except that
// a float that does not fit an integer type saturates and NaN becomes 0.
template <class To>
To ConvertNumber(const Number& from);

// Stores `v` as an element or scalar of type `type` (kU8, kI16, kI32, kR32).
template <class From>
double StoreAs(std::uint16_t type, From v);

struct Value {
  std::uint32_t references = 1;
  std::uint16_t type = kEmpty;
  std::vector<double> items;  // one for a scalar, n for an array, none when empty
};

// A lock that needs no threading runtime: the 32-bit Windows toolchain has no std::mutex, and
// the sections it guards are a table look-up and a few stores.
class SpinLock {
 public:
  void lock() noexcept {
    while (flag_.test_and_set(std::memory_order_acquire)) {
    }
  }
  void unlock() noexcept { flag_.clear(std::memory_order_release); }

 private:
  std::atomic_flag flag_ = ATOMIC_FLAG_INIT;
};

class ScopedLock {
 public:
  explicit ScopedLock(SpinLock& lock) noexcept : lock_(lock) { lock_.lock(); }
  ~ScopedLock() { lock_.unlock(); }
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;

 private:
  SpinLock& lock_;
};

class ValueStore {
 public:
  // A new empty value with one reference; 0 when the table cannot grow.
  std::uint32_t Create() noexcept;
  bool AddReference(std::uint32_t handle) noexcept;
  bool DropReference(std::uint32_t handle) noexcept;

  bool Dim(std::uint32_t handle, std::uint16_t arrayType, std::uint16_t count) noexcept;

  template <class T>
  bool SetScalar(std::uint32_t handle, std::uint16_t type, T v) noexcept;
  template <class T>
  bool GetScalar(std::uint32_t handle, T* out) noexcept;
  template <class T>
  bool SetElement(std::uint32_t handle, std::uint16_t index, T v) noexcept;
  template <class T>
  bool GetElement(std::uint32_t handle, std::uint16_t index, T* out) noexcept;

  std::uint16_t Type(std::uint32_t handle) noexcept;
  std::uint16_t Count(std::uint32_t handle) noexcept;

 private:
  Value* Find(std::uint32_t handle) noexcept;

  SpinLock lock_;
  std::unordered_map<std::uint32_t, Value> values_;
  // Handles count upwards and are not handed out again until the counter wraps, so a freed
  // handle stays dead for a long time instead of aliasing the next value.
  std::uint32_t lastHandle_ = 0;
};

// The one store behind the exported functions.
ValueStore& TheStore() noexcept;

}  // namespace et32b
