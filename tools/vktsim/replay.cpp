#include "replay.h"

#include <cstdio>

#include "line_decoder.h"
#include "serial/capture_pcapng.h"

namespace vktsim {

bool Replay::Load(const std::string& path, std::string& error) {
  std::vector<vkt::serial::CaptureRecord> records;
  if (!vkt::serial::ReadCapture(path, records, error)) return false;
  const vkt::capture::LineDecode decode = vkt::capture::DecodeLine(records);
  const std::uint8_t stationEvent =
      decode.masterSends ? vkt::serial::kEventReceived : vkt::serial::kEventSent;
  const std::uint8_t masterEvent =
      decode.masterSends ? vkt::serial::kEventSent : vkt::serial::kEventReceived;
  for (const vkt::capture::LineItem& item : decode.items) {
    if (item.kind != vkt::capture::ItemKind::kFrame || !item.request) continue;
    // The answer: what the stations sent after the request, up to the master's next bytes.
    Recorded answer;
    for (std::size_t r = item.record + 1; r < records.size(); ++r) {
      const vkt::serial::CaptureRecord& record = records[r];
      if (record.event == masterEvent && !record.data.empty()) break;
      if (record.event != stationEvent || record.data.empty()) continue;
      answer.push_back({static_cast<std::int64_t>(record.timeUs - item.timeUs), record.data});
    }
    answers_[item.bytes].push_back(std::move(answer));
    ++requests_;
  }
  if (requests_ == 0) {
    error = path + " holds no request frames to replay";
    return false;
  }
  return true;
}

void Replay::Answer(const std::uint8_t* frame, std::size_t length, std::int64_t nowUs, Line& line) {
  const std::vector<std::uint8_t> key(frame, frame + length);
  const auto it = answers_.find(key);
  if (it == answers_.end() || it->second.empty()) {
    std::string hex;
    char b[4];
    for (std::size_t i = 0; i < length; ++i) {
      std::snprintf(b, sizeof b, i == 0 ? "%02x" : " %02x", frame[i]);
      hex += b;
    }
    std::fprintf(stderr, "vktsim: replay: request %s is not in the capture%s: no answer\n",
                 hex.c_str(), it == answers_.end() ? "" : " that many times");
    return;
  }
  const Recorded answer = std::move(it->second.front());
  it->second.pop_front();
  for (const Segment& s : answer)
    line.Queue(s.bytes.data(), s.bytes.size(), nowUs + s.offsetUs);
}

}  // namespace vktsim
