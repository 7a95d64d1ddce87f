#include "report.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace vktsim {

std::int64_t NowUs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

void Report::Trace(const char* format, ...) const {
  if (!trace_) return;
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  const std::int64_t t = NowUs() - startUs_;
  std::fprintf(stderr, "[%6lld.%03lld] %s\n", static_cast<long long>(t / 1000000),
               static_cast<long long>((t / 1000) % 1000), text);
}

void Report::TraceBytes(const char* direction, const char* text, const std::uint8_t* bytes,
                        std::size_t n) const {
  if (!trace_) return;
  // Up to 260 bytes shown in full; a frame is never longer.
  char hex[3 * 260 + 8];
  std::size_t used = 0;
  for (std::size_t i = 0; i < n && i < 260; ++i)
    used += static_cast<std::size_t>(
        std::snprintf(hex + used, sizeof hex - used, i == 0 ? "%02X" : " %02X", bytes[i]));
  if (n > 260) std::snprintf(hex + used, sizeof hex - used, " ...");
  hex[sizeof hex - 1] = '\0';
  Trace("%s %s | %s", direction, text, n == 0 ? "(none)" : hex);
}

void Report::PrintCounters() const {
  const Counters& c = counters;
  static const struct {
    int command;
    const char* name;
  } kCommands[] = {{0x90, "read bits"},   {0x91, "read words"},  {0x92, "read floats"},
                   {0x94, "write bits"},  {0x95, "write words"}, {0x96, "write floats"}};
  std::uint64_t total = 0, known = 0;
  for (int i = 0; i < 256; ++i) total += c.requestsByCommand[i];
  std::fprintf(stderr, "vktsim: requests %llu, responses %llu\n",
               static_cast<unsigned long long>(total), static_cast<unsigned long long>(c.responses));
  for (const auto& cmd : kCommands) {
    known += c.requestsByCommand[cmd.command];
    std::fprintf(stderr, "vktsim:   0x%02X %-12s %llu\n", cmd.command, cmd.name,
                 static_cast<unsigned long long>(c.requestsByCommand[cmd.command]));
  }
  std::fprintf(stderr, "vktsim:   other commands    %llu\n",
               static_cast<unsigned long long>(total - known));
  for (int s = 1; s <= 255; ++s)
    if (c.requestsByStation[s] != 0)
      std::fprintf(stderr, "vktsim:   station %3d       %llu\n", s,
                   static_cast<unsigned long long>(c.requestsByStation[s]));
  std::fprintf(stderr,
               "vktsim: ignored: unserved station %llu, bad checksum %llu, bad length %llu, "
               "incomplete %llu, bytes skipped %llu\n",
               static_cast<unsigned long long>(c.unservedStation),
               static_cast<unsigned long long>(c.badChecksum),
               static_cast<unsigned long long>(c.badLength),
               static_cast<unsigned long long>(c.incomplete),
               static_cast<unsigned long long>(c.skippedBytes));
  std::fprintf(stderr, "vktsim: faults:");
  for (int k = 0; k < kFaultKinds; ++k)
    std::fprintf(stderr, " %s %llu", FaultName(static_cast<FaultKind>(k)),
                 static_cast<unsigned long long>(c.faults[k]));
  std::fprintf(stderr, "\n");
  if (c.modemCommands != 0 || c.modemDials != 0)
    std::fprintf(stderr,
                 "vktsim: modem: command lines %llu, dials %llu, connects %llu, escapes %llu, "
                 "hang-ups %llu\n",
                 static_cast<unsigned long long>(c.modemCommands),
                 static_cast<unsigned long long>(c.modemDials),
                 static_cast<unsigned long long>(c.modemConnects),
                 static_cast<unsigned long long>(c.modemEscapes),
                 static_cast<unsigned long long>(c.modemHangUps));
  if (c.outputDropped != 0)
    std::fprintf(stderr, "vktsim: output bytes dropped (queue full or line closed) %llu\n",
                 static_cast<unsigned long long>(c.outputDropped));
}

}  // namespace vktsim
