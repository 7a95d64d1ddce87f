// The JSON the gateway publishes and the write requests it takes. Everything that arrives
// from the broker is untrusted: the write parsers accept exactly the documented forms.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "config.h"

namespace vktgw {

// The gateway's own answer to a write whose topic or payload it cannot use. It lies outside
// the driver's codes so that a consumer can tell it never reached the line.
inline constexpr std::int32_t kMalformedWrite = 17001;
inline constexpr const char* kMalformedWriteMessage =
    "malformed write: the payload must be a number, an array of numbers or {\"value\": ...} "
    "fitting the kind";

// The message for any code the gateway reports: the driver's table, or the gateway's own.
std::string CodeMessage(std::int32_t code);

// ISO 8601 in UTC with milliseconds: "2026-12-10T19:47:12.123Z".
std::string IsoTime(std::chrono::system_clock::time_point t);

std::string GatewayStatusPayload(bool online, const std::string& since);

struct StationCounters {
  std::uint64_t requests = 0;
  std::uint64_t failures = 0;
  std::uint64_t overruns = 0;
};

std::string StationStatusPayload(const char* state, std::int32_t code, const std::string& since,
                                 const StationCounters& counters);

// One element: {"value": V, "quality": "good"|"bad", "ts": "...", "code": N}; V is null when
// no value was ever read. Floats are written in their shortest form that reads back the same.
std::string ValuePayload(Kind kind, bool hasValue, double value, bool good, const std::string& ts,
                         std::int32_t code);

std::string ResultPayload(std::int32_t code);

// A value or status payload as the backlog delivers it after the broker was away: with
// "late": true, and "ts" (when `ts` is given) for one that carries no time stamp of its own.
std::string LatePayload(const std::string& payload, const std::string& ts);

// A write topic "<prefix>/<station>/<kind>/<address>/set".
struct WriteTarget {
  int station = 0;
  Kind kind = Kind::kWord;
  std::uint16_t address = 0;
};

// Parses the part after "<prefix>/". False with `code` set when the topic names no element
// the driver can write (16043 for a station outside 1..255, 16012 for an unknown kind,
// kMalformedWrite otherwise).
bool ParseWriteTopic(const std::string& rest, WriteTarget& target, std::int32_t& code);

// Parses a write payload for `kind`: a number, a JSON array of numbers for consecutive
// elements, or an object {"value": number or array}. Bits take 0, 1, true or false; words
// whole numbers from -32768 to 32767; floats any finite number a float can hold. False with
// `code` (16011 when the array is longer than one block, else kMalformedWrite).
bool ParseWritePayload(Kind kind, std::uint16_t address, const std::string& payload,
                       std::vector<double>& values, std::int32_t& code);

}  // namespace vktgw
