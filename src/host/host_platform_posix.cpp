// The host interface on POSIX systems: log path from VKTJX_LOG or the current directory, local
// time from the real-time clock, the dialog as one line on standard error.
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "host/host_platform.h"

namespace vkt::host {

const char* LogFilePath() {
  const char* env = std::getenv("VKTJX_LOG");
  // A relative name is resolved against the current directory when the file is opened.
  return (env != nullptr && *env != '\0') ? env : "VKTJX.log";
}

LocalTime CurrentLocalTime() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  std::tm local{};
  const std::time_t seconds = now.tv_sec;
  localtime_r(&seconds, &local);
  return LocalTime{static_cast<std::uint32_t>(local.tm_mday),
                   static_cast<std::uint32_t>(local.tm_mon + 1),
                   static_cast<std::uint32_t>(local.tm_year + 1900),
                   static_cast<std::uint32_t>(local.tm_hour),
                   static_cast<std::uint32_t>(local.tm_min),
                   static_cast<std::uint32_t>(local.tm_sec),
                   static_cast<std::uint32_t>(now.tv_nsec / 1000000)};
}

void ShowDriverDialog(const char* caption, const char* text) {
  std::fprintf(stderr, "%s: %s\n", caption, text);
  std::fflush(stderr);
}

}  // namespace vkt::host
