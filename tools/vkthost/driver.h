// The driver library as a host sees it: loaded at run time, reached only through its twelve
// exports, with values passed through handles of the value library the driver itself uses.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "driver_exports.h"
#include "vktjx.h"

namespace vkthost {

using HValue = HVALUE;
using ::HostTag;

// Data kinds of a tag. kReg reads the driver's error registers.
enum Kind : std::uint16_t {
  kBit = VKTJX_KIND_BIT,
  kWord = VKTJX_KIND_WORD,
  kFloat = VKTJX_KIND_FLOAT,
  kReg = VKTJX_KIND_ERROR_REGISTER
};

// Element type codes of the value library.
inline constexpr std::uint16_t kArrayU8 = HV_TYPE_ARRAY_U8;
inline constexpr std::uint16_t kArrayI16 = HV_TYPE_ARRAY_I16;
inline constexpr std::uint16_t kArrayR32 = HV_TYPE_ARRAY_R32;

// Start parameter p4 that switches the driver log on.
inline constexpr std::uint16_t kLogNewFile = VKTJX_LOG_NEW_FILE;
inline constexpr std::uint16_t kLogAppend = VKTJX_LOG_APPEND;

// Error register indexes.
inline constexpr std::uint16_t kRegLast = VKTJX_REGISTER_ANY;
inline constexpr std::uint16_t kRegStart = VKTJX_REGISTER_START;
inline constexpr std::uint16_t kRegRead = VKTJX_REGISTER_READ;
inline constexpr std::uint16_t kRegWrite = VKTJX_REGISTER_WRITE;

// Loads the driver library at `path` and resolves every function; the value library is the
// one the driver was linked with, so handles made here are the ones the driver sees.
// On failure `error` says what is missing.
bool LoadDriver(const std::string& path, DriverApi& api, std::string& error);

// Where the driver library is looked for when no --driver is given, in order: next to the
// executable, in the installed library directory, in the build tree it was built in.
std::vector<std::string> DriverCandidates(const std::string& exeDir);

// The directory holding the running executable.
std::string ExecutableDir();

// One value handle for the life of the object.
class Value {
 public:
  explicit Value(const DriverApi& api) : api_(api), h_(api.hvNew()) {}
  ~Value() {
    if (h_ != 0) api_.hvRelease(h_);
  }
  Value(const Value&) = delete;
  Value& operator=(const Value&) = delete;
  HValue handle() const { return h_; }
  bool valid() const { return h_ != 0; }

 private:
  const DriverApi& api_;
  HValue h_;
};

}  // namespace vkthost
