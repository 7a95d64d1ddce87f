// What the host interface needs from the operating system: the log file's path, the local time
// and the driver dialog. One source file per system fills it in; CMake picks the file.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vkt::host {

struct LocalTime {
  std::uint32_t day, month, year, hour, minute, second, millisecond;
};

// The path of the driver log, worked out afresh on each call (the environment and the current
// directory may have changed since the last start). Never null.
const char* LogFilePath();
LocalTime CurrentLocalTime();
// Shows `text` with the driver name as caption and returns once the user has seen it.
void ShowDriverDialog(const char* caption, const char* text);

}  // namespace vkt::host
