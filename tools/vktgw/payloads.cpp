#include "payloads.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>

#include <nlohmann/json.hpp>

#include "common/result_codes.h"

namespace vktgw {

using nlohmann::json;

std::string CodeMessage(std::int32_t code) {
  if (code == kMalformedWrite) return kMalformedWriteMessage;
  return vkt::ResultMessage(code);
}

std::string IsoTime(std::chrono::system_clock::time_point t) {
  using namespace std::chrono;
  const auto ms = duration_cast<milliseconds>(t.time_since_epoch()).count();
  const std::time_t secs = static_cast<std::time_t>(ms / 1000);
  std::tm tm{};
  gmtime_r(&secs, &tm);
  char b[64];
  std::snprintf(b, sizeof b, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                static_cast<int>(ms % 1000));
  return b;
}

std::string GatewayStatusPayload(bool online, const std::string& since) {
  json j = {{"online", online}};
  if (!since.empty()) j["since"] = since;
  return j.dump();
}

std::string StationStatusPayload(const char* state, std::int32_t code, const std::string& since,
                                 const StationCounters& c) {
  json j = {{"state", state},       {"code", code},         {"message", CodeMessage(code)},
            {"since", since},       {"requests", c.requests}, {"failures", c.failures},
            {"overruns", c.overruns}};
  return j.dump();
}

std::string ValuePayload(Kind kind, bool hasValue, double value, bool good, const std::string& ts,
                         std::int32_t code) {
  std::string v = "null";
  if (hasValue && std::isfinite(value)) {
    char b[64];
    std::to_chars_result r;
    if (kind == Kind::kFloat)
      r = std::to_chars(b, b + sizeof b, static_cast<float>(value));
    else
      r = std::to_chars(b, b + sizeof b, static_cast<long long>(value));
    v.assign(b, r.ptr);
  }
  return "{\"value\":" + v + ",\"quality\":\"" + (good ? "good" : "bad") + "\",\"ts\":\"" + ts +
         "\",\"code\":" + std::to_string(code) + "}";
}

std::string ResultPayload(std::int32_t code) {
  if (code == 0) return R"({"ok":true})";
  return json{{"ok", false}, {"code", code}, {"message", CodeMessage(code)}}.dump();
}

std::string LatePayload(const std::string& payload, const std::string& ts) {
  if (payload.size() < 2 || payload.back() != '}') return payload;
  std::string out = payload.substr(0, payload.size() - 1);
  if (out.size() > 1) out += ',';
  if (!ts.empty()) out += "\"ts\":\"" + ts + "\",";
  return out + "\"late\":true}";
}

namespace {

// A whole decimal number within [lo, hi], digits only.
bool Decimal(const std::string& s, long lo, long hi, long& out) {
  if (s.empty() || s.size() > 6 || s.find_first_not_of("0123456789") != std::string::npos)
    return false;
  const long v = std::stol(s);
  if (v < lo || v > hi) return false;
  out = v;
  return true;
}

bool Element(Kind kind, const json& j, double& out) {
  if (kind == Kind::kBit && j.is_boolean()) {
    out = j.get<bool>() ? 1 : 0;
    return true;
  }
  if (!j.is_number()) return false;
  const double v = j.get<double>();
  switch (kind) {
    case Kind::kBit:
      if (v != 0 && v != 1) return false;
      break;
    case Kind::kWord:
      if (!(v >= -32768 && v <= 32767) || v != std::floor(v)) return false;
      break;
    case Kind::kFloat:
      if (!std::isfinite(v) || std::fabs(v) > std::numeric_limits<float>::max()) return false;
      break;
  }
  out = v;
  return true;
}

}  // namespace

bool ParseWriteTopic(const std::string& rest, WriteTarget& target, std::int32_t& code) {
  code = kMalformedWrite;
  const std::string suffix = "/set";
  if (rest.size() <= suffix.size() || rest.compare(rest.size() - suffix.size(), suffix.size(), suffix) != 0)
    return false;
  const std::string body = rest.substr(0, rest.size() - suffix.size());
  const std::size_t a = body.find('/');
  const std::size_t b = a == std::string::npos ? a : body.find('/', a + 1);
  if (b == std::string::npos || body.find('/', b + 1) != std::string::npos) return false;
  long station = 0, address = 0;
  if (!Decimal(body.substr(0, a), 0, 999999, station)) return false;
  if (station < 1 || station > 255) {
    code = vkt::kBadStation;
    return false;
  }
  if (!KindFromName(body.substr(a + 1, b - a - 1), target.kind)) {
    code = vkt::kBadDataKind;
    return false;
  }
  if (!Decimal(body.substr(b + 1), 0, 65535, address)) return false;
  target.station = static_cast<int>(station);
  target.address = static_cast<std::uint16_t>(address);
  code = 0;
  return true;
}

bool ParseWritePayload(Kind kind, std::uint16_t address, const std::string& payload,
                       std::vector<double>& values, std::int32_t& code) {
  values.clear();
  code = kMalformedWrite;
  json j = json::parse(payload, nullptr, false);
  if (j.is_discarded()) return false;
  if (j.is_object()) {
    if (j.size() != 1 || !j.contains("value")) return false;
    j = json(j["value"]);
  }
  if (j.is_array()) {
    if (j.empty()) return false;
    if (j.size() > MaxElements(kind)) {
      code = vkt::kTooMuchData;
      return false;
    }
    if (address + j.size() > 65536) return false;
    for (const json& e : j) {
      double v = 0;
      if (!Element(kind, e, v)) {
        values.clear();
        return false;
      }
      values.push_back(v);
    }
  } else {
    double v = 0;
    if (!Element(kind, j, v)) return false;
    values.push_back(v);
  }
  code = 0;
  return true;
}

}  // namespace vktgw
