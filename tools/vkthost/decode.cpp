#include "decode.h"

#include <cmath>
#include <ctime>
#include <map>
#include <nlohmann/json.hpp>
#include <vector>

#include "line_decoder.h"

namespace vkthost {

namespace {

using vkt::capture::ItemKind;
using vkt::capture::LineDecode;
using vkt::capture::LineItem;

struct StationSummary {
  long requests = 0, answered = 0, timeouts = 0, badChecksums = 0;
  double totalMs = 0, maxMs = 0;
};

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  std::string out;
  char b[4];
  for (std::uint8_t v : bytes) {
    std::snprintf(b, sizeof b, out.empty() ? "%02x" : " %02x", v);
    out += b;
  }
  return out;
}

std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\r') out += "\\r";
    else if (c == '\n') out += "\\n";
    else if (c == '"') out += "\\\"";
    else out += c;
  }
  return out + "\"";
}

std::string WallTime(std::uint64_t us) {
  const std::time_t seconds = static_cast<std::time_t>(us / 1000000);
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%06u UTC", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                static_cast<unsigned>(us % 1000000));
  return text;
}

const char* ItemName(const LineItem& item) {
  switch (item.kind) {
    case ItemKind::kFrame: return item.request ? "request" : "response";
    case ItemKind::kStray: return "stray";
    case ItemKind::kFill: return "fill";
    case ItemKind::kText: return "modem";
    case ItemKind::kIncomplete: return "incomplete";
    case ItemKind::kNote: return "note";
    case ItemKind::kLineEvent: return "line_event";
    case ItemKind::kLines: return "lines";
  }
  return "?";
}

std::string LineNames(std::uint8_t lines) {
  static const struct {
    std::uint8_t bit;
    const char* name;
  } kLines[] = {{vkt::serial::kLineRts, "RTS"}, {vkt::serial::kLineCts, "CTS"},
                {vkt::serial::kLineDtr, "DTR"}, {vkt::serial::kLineDsr, "DSR"},
                {vkt::serial::kLineDcd, "DCD"}, {vkt::serial::kLineRing, "RING"}};
  std::string out;
  for (const auto& l : kLines)
    if (lines & l.bit) out += out.empty() ? l.name : std::string(" ") + l.name;
  return out.empty() ? "all off" : out;
}

nlohmann::json JsonNumber(const std::string& text) {
  if (text.find_first_of("ni") != std::string::npos) return nullptr;  // nan, inf
  if (text.find_first_of(".e") != std::string::npos) return std::stod(text);
  return std::stoll(text);
}

// The station a frame counts for: a response counts for the station it was asked of.
int StationOf(const LineDecode& d, const LineItem& frame) {
  if (!frame.request && frame.pair >= 0) return d.items[static_cast<std::size_t>(frame.pair)].station();
  return frame.station();
}

void PrintText(const LineDecode& d, const LineItem& item, std::FILE* out) {
  const double t = static_cast<double>(item.timeUs - d.firstUs) / 1e6;
  const char* dir = item.fromMaster ? ">" : "<";
  switch (item.kind) {
    case ItemKind::kFrame: {
      const auto& b = item.bytes;
      std::string text = "station " + std::to_string(item.station()) + "  ";
      if (item.request) {
        const char* name = vkt::capture::CommandName(item.codeByte());
        char command[32];
        std::snprintf(command, sizeof command, "command 0x%02X", item.codeByte());
        text += *name ? name : command;
        if (b[2] >= 3)
          text += "  address " + std::to_string(b[4] | b[5] << 8) + "  count " + std::to_string(b[6]);
      } else {
        text += vkt::capture::StatusText(item.codeByte());
      }
      const auto values = vkt::capture::FrameValues(d, item);
      if (!values.empty()) {
        text += "  values";
        for (const std::string& v : values) text += " " + v;
      } else if (!item.request && b[2] > 0) {
        text += "  data " + Hex(std::vector<std::uint8_t>(b.begin() + 4, b.end() - 2));
      }
      text += item.checksumGood ? "  checksum good" : "  checksum BAD";
      if (item.request && item.pair < 0) text += "  no response";
      if (!item.request) {
        if (item.pair < 0) {
          text += "  no request";
        } else {
          char ms[32];
          std::snprintf(ms, sizeof ms, "  %.3f ms", static_cast<double>(item.responseUs) / 1000);
          text += ms;
        }
      }
      std::fprintf(out, "%11.6f  %s  %s\n", t, dir, text.c_str());
      break;
    }
    case ItemKind::kStray:
      std::fprintf(out, "%11.6f  %s  stray bytes %s\n", t, dir, Hex(item.bytes).c_str());
      break;
    case ItemKind::kFill:
      break;  // the fill after each request on a keyed line: no news
    case ItemKind::kText:
      std::fprintf(out, "%11.6f  %s  modem %s\n", t, dir, Quoted(item.text).c_str());
      break;
    case ItemKind::kIncomplete:
      std::fprintf(out, "%11.6f  %s  frame stopped short: %s\n", t, dir, Hex(item.bytes).c_str());
      break;
    case ItemKind::kNote:
      std::fprintf(out, "%11.6f  -  %s\n", t, item.text.c_str());
      break;
    case ItemKind::kLineEvent:
      std::fprintf(out, "%11.6f  !  %s\n", t, item.text.c_str());
      break;
    case ItemKind::kLines:
      std::fprintf(out, "%11.6f  -  lines %s\n", t, LineNames(item.lines).c_str());
      break;
  }
}

nlohmann::json Json(const LineDecode& d, const LineItem& item) {
  nlohmann::json j;
  j["time"] = static_cast<double>(item.timeUs - d.firstUs) / 1e6;
  j["record"] = item.record + 1;
  j["item"] = ItemName(item);
  switch (item.kind) {
    case ItemKind::kFrame: {
      const auto& b = item.bytes;
      j["station"] = item.station();
      if (item.request) {
        j["command"] = item.codeByte();
        j["command_name"] = vkt::capture::CommandName(item.codeByte());
        if (b[2] >= 3) {
          j["address"] = b[4] | b[5] << 8;
          j["count"] = b[6];
        }
        j["answered"] = item.pair >= 0;
      } else {
        j["status"] = item.codeByte();
        j["status_text"] = vkt::capture::StatusText(item.codeByte());
        if (item.pair >= 0) {
          j["request_record"] = d.items[static_cast<std::size_t>(item.pair)].record + 1;
          j["response_ms"] = static_cast<double>(item.responseUs) / 1000;
        } else {
          j["request_record"] = nullptr;
        }
      }
      nlohmann::json values = nlohmann::json::array();
      for (const std::string& v : vkt::capture::FrameValues(d, item)) values.push_back(JsonNumber(v));
      if (!values.empty()) j["values"] = values;
      j["checksum"] = item.checksumGood ? "good" : "bad";
      j["bytes"] = Hex(item.bytes);
      break;
    }
    case ItemKind::kText:
    case ItemKind::kNote:
    case ItemKind::kLineEvent:
      j["text"] = item.text;
      break;
    case ItemKind::kLines:
      j["lines"] = LineNames(item.lines);
      break;
    default:
      j["bytes"] = Hex(item.bytes);
      break;
  }
  if (item.kind != ItemKind::kNote && item.kind != ItemKind::kLineEvent && item.kind != ItemKind::kLines)
    j["dir"] = item.fromMaster ? "to station" : "from station";
  return j;
}

}  // namespace

int RunDecode(const std::string& path, bool json, std::FILE* out) {
  std::vector<vkt::serial::CaptureRecord> records;
  std::string error;
  if (!vkt::serial::ReadCapture(path, records, error)) {
    std::fprintf(stderr, "vkthost: %s\n", error.c_str());
    return 1;
  }
  const LineDecode d = vkt::capture::DecodeLine(records);

  std::map<int, StationSummary> stations;
  for (const LineItem& item : d.items) {
    if (item.kind != ItemKind::kFrame) continue;
    StationSummary& s = stations[StationOf(d, item)];
    if (item.request) {
      ++s.requests;
      if (item.pair >= 0) ++s.answered;
      else ++s.timeouts;
    } else {
      if (!item.checksumGood) ++s.badChecksums;
      if (item.pair >= 0) {
        const double ms = static_cast<double>(item.responseUs) / 1000;
        s.totalMs += ms;
        s.maxMs = std::max(s.maxMs, ms);
      }
    }
  }

  if (json) {
    for (const LineItem& item : d.items) {
      if (item.kind == ItemKind::kFill) continue;
      std::fprintf(out, "%s\n", Json(d, item).dump().c_str());
    }
    for (const auto& [station, s] : stations) {
      nlohmann::json j;
      j["item"] = "summary";
      j["station"] = station;
      j["requests"] = s.requests;
      j["answered"] = s.answered;
      j["timeouts"] = s.timeouts;
      j["bad_checksums"] = s.badChecksums;
      if (s.answered > 0) {
        j["mean_ms"] = s.totalMs / static_cast<double>(s.answered);
        j["max_ms"] = s.maxMs;
      }
      std::fprintf(out, "%s\n", j.dump().c_str());
    }
    return 0;
  }

  std::fprintf(out, "%s: %zu records from %s, taken at the %s end\n", path.c_str(), records.size(),
               records.empty() ? "-" : WallTime(d.firstUs).c_str(),
               d.masterSends ? "driver" : "station");
  std::fprintf(out, "    seconds     (> to the station, < from it, - note, ! line event)\n");
  for (const LineItem& item : d.items) PrintText(d, item, out);
  std::fprintf(out, "\nstation  requests  answered  time-outs  bad checksums  mean ms   max ms\n");
  for (const auto& [station, s] : stations) {
    if (s.answered > 0)
      std::fprintf(out, "%7d  %8ld  %8ld  %9ld  %13ld  %7.3f  %7.3f\n", station, s.requests,
                   s.answered, s.timeouts, s.badChecksums, s.totalMs / static_cast<double>(s.answered),
                   s.maxMs);
    else
      std::fprintf(out, "%7d  %8ld  %8ld  %9ld  %13ld  %7s  %7s\n", station, s.requests, s.answered,
                   s.timeouts, s.badChecksums, "-", "-");
  }
  return 0;
}

}  // namespace vkthost
