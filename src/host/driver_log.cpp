#include "host/driver_log.h"

#include <cstdarg>
#include <cstdio>

#include "host/host_platform.h"

namespace vkt::host {

namespace {

std::int32_t mode = kLogOff;
bool enabled = false;
std::FILE* file = nullptr;
bool outputActive = false;
char entry[kMaxEntryChars + 1];

}  // namespace

void setLogMode(std::int32_t newMode) {
  mode = newMode;
  if (mode != kLogOff) enabled = true;
}

std::int32_t logMode() { return mode; }

bool logEnabled() { return enabled; }

int logOpen() {
  if (mode == kLogOff) {
    outputActive = file != nullptr;
    return 1;
  }
  // A start that follows a start without a stop opens the file afresh in its own mode.
  if (file != nullptr) {
    std::fclose(file);
    file = nullptr;
  }
  file = std::fopen(LogFilePath(), mode == kLogNew ? "w" : "a");
  outputActive = file != nullptr;
  return outputActive ? 1 : 0;
}

int formatTimeStamp(char* out, int size, std::uint32_t day, std::uint32_t month,
                    std::uint32_t year, std::uint32_t hour, std::uint32_t minute,
                    std::uint32_t second, std::uint32_t millisecond) {
  const int n = std::snprintf(out, static_cast<std::size_t>(size),
                              "%02u/%02u/%04u %02u:%02u:%02u.%03u ", day, month, year, hour,
                              minute, second, millisecond);
  if (n < 0) return 0;
  return n < size ? n : size - 1;
}

void logPrint(const char* format, ...) {
  if (!outputActive) return;
  const LocalTime t = CurrentLocalTime();
  // The stamp is written first and the caller's text formatted after it, so the stamp is never
  // read as part of a format; snprintf cuts an over-long entry at the buffer's end.
  int length = formatTimeStamp(entry, sizeof entry, t.day, t.month, t.year, t.hour, t.minute,
                               t.second, t.millisecond);
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(entry + length, sizeof entry - static_cast<std::size_t>(length),
                               format, args);
  va_end(args);
  if (n > 0) length += n;
  if (length > kMaxEntryChars) length = kMaxEntryChars;
  if (length == 0 || mode == kLogOff || file == nullptr) return;
  std::fwrite(entry, 1, static_cast<std::size_t>(length), file);
  std::fputc('\n', file);
  std::fflush(file);
}

void logClose() {
  if (file != nullptr) {
    std::fclose(file);
    file = nullptr;
  }
  outputActive = false;
}

}  // namespace vkt::host
