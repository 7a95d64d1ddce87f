// The driver library as a host sees it: loaded at run time, reached only through its twelve
// exports, with values passed through handles of the value library the driver itself uses.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vkthost {

using HValue = std::uint32_t;

#pragma pack(push, 1)
struct HostTag {
  std::uint8_t reserved[4];
  std::uint16_t writeCount;
  std::uint16_t offset;
  std::uint16_t size;
  std::int16_t station;
  std::uint16_t kind;
  std::uint16_t address;
  std::uint16_t count;
};
#pragma pack(pop)
static_assert(sizeof(HostTag) == 18, "the tag record is 18 bytes");

// Data kinds of a tag. kReg reads the driver's error registers.
enum Kind : std::uint16_t { kBit = 0, kWord = 1, kFloat = 2, kReg = 5 };

// Element type codes of the value library.
inline constexpr std::uint16_t kArrayU8 = 130;
inline constexpr std::uint16_t kArrayI16 = 131;
inline constexpr std::uint16_t kArrayR32 = 135;

// Start parameter p4 that switches the driver log on.
inline constexpr std::uint16_t kLogNewFile = 4721;
inline constexpr std::uint16_t kLogAppend = 6358;

// Error register indexes.
inline constexpr std::uint16_t kRegLast = 0;
inline constexpr std::uint16_t kRegStart = 1;
inline constexpr std::uint16_t kRegRead = 2;
inline constexpr std::uint16_t kRegWrite = 3;

struct DriverApi {
  std::int16_t (*drvStartComm)(std::uint16_t, std::uint16_t, std::uint16_t, std::uint16_t);
  std::int16_t (*drvStopComm)(std::uint16_t, std::uint16_t, std::uint16_t, std::uint16_t);
  std::int32_t (*drvGetCaps)();
  const char* (*drvGetDriverName)();
  HValue (*drvSetSettingsHandle)(HValue);
  std::int16_t (*drvDriverDialog)(std::int32_t);
  std::int16_t (*drvReadValue)(const HostTag*, HValue);
  std::int16_t (*drvReadBlock)(const HostTag*, HValue);
  std::int16_t (*drvReadBlockElement)(const HostTag*, HValue);
  std::int16_t (*drvWriteValue)(const HostTag*, HValue);
  std::int16_t (*drvWriteBlock)(const HostTag*, HValue);
  std::int16_t (*drvWriteBlockElement)(const HostTag*, HValue);

  HValue (*hvNew)();
  std::int32_t (*hvRelease)(HValue);
  std::int32_t (*hvDim)(HValue, std::uint16_t, std::uint16_t);
  std::int32_t (*hvSetU8)(HValue, std::uint8_t);
  std::int32_t (*hvSetI16)(HValue, std::int16_t);
  std::int32_t (*hvSetR32)(HValue, float);
  std::int32_t (*hvGetI32)(HValue, std::int32_t*);
  std::int32_t (*hvGetR32)(HValue, float*);
  std::int32_t (*hvSetAtU8)(HValue, std::uint16_t, std::uint8_t);
  std::int32_t (*hvSetAtI16)(HValue, std::uint16_t, std::int16_t);
  std::int32_t (*hvSetAtR32)(HValue, std::uint16_t, float);
  std::int32_t (*hvGetAtI16)(HValue, std::uint16_t, std::int16_t*);
  std::int32_t (*hvGetAtR32)(HValue, std::uint16_t, float*);
  std::uint16_t (*hvType)(HValue);
  std::uint16_t (*hvCount)(HValue);
};

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
