// The driver log: an optional text file of time-stamped entries, switched on by a log-on code
// in the fourth start parameter. Each entry is flushed to disk before logPrint returns.
#pragma once

#include <cstdint>

namespace vkt::host {

enum LogMode : std::int32_t { kLogOff = 0, kLogNew = 1, kLogAppendMode = 2 };

// Longest entry, time stamp included; longer entries are cut.
inline constexpr int kMaxEntryChars = 1023;

// Every start sets the mode; a non-zero mode also sets the enabled flag, which then stays set
// for as long as the library is loaded.
void setLogMode(std::int32_t mode);
std::int32_t logMode();
bool logEnabled();

// Opens the file as the mode asks (new file or append); with mode 0 it only recomputes whether
// output is active. 1 when no file is wanted or the file opened, else 0.
int logOpen();
// Writes one entry: time stamp, the formatted text, a line end. Nothing while no file is open.
void logPrint(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
void logClose();

// "DD/MM/YYYY hh:mm:ss.mmm " into `out` (at least 25 characters); the length written.
int formatTimeStamp(char* out, int size, std::uint32_t day, std::uint32_t month,
                    std::uint32_t year, std::uint32_t hour, std::uint32_t minute,
                    std::uint32_t second, std::uint32_t millisecond);

}  // namespace vkt::host
