// What a line capture shows, frame by frame: the bytes of each direction joined across records
// into VKT frames, stray and fill bytes, modem text, notes and line events, each response paired
// with the request before it. Shared by `vkthost decode` and `vktsim --replay`.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "serial/capture_pcapng.h"

namespace vkt::capture {

enum class ItemKind {
  kFrame,       // a whole frame (request or response)
  kStray,       // bytes outside a frame
  kFill,        // 0xFF bytes after a request
  kText,        // modem command or reply
  kIncomplete,  // the start of a frame that stopped short
  kNote,        // a comment of the capture (open, line settings, time-out, ...)
  kLineEvent,   // framing or parity error, break, overflow, records lost
  kLines,       // a change of the control lines
};

struct LineItem {
  ItemKind kind = ItemKind::kNote;
  std::uint64_t timeUs = 0;   // of the record that completed it
  std::size_t record = 0;     // index of that record
  bool fromMaster = false;    // sent by the master (the driver) rather than a station
  std::vector<std::uint8_t> bytes;
  std::string text;           // notes and modem text
  std::uint8_t event = 0;     // record event type
  std::uint8_t lines = 0;

  // Frames only.
  bool request = false;
  bool checksumGood = false;
  int pair = -1;               // index of the matching response or request item, -1 none
  std::int64_t responseUs = -1;  // responses: time since their request

  int station() const { return bytes.size() > 1 ? bytes[1] : 0; }
  int codeByte() const { return bytes.size() > 3 ? bytes[3] : 0; }  // command or status
};

struct LineDecode {
  std::vector<LineItem> items;
  bool masterSends = true;  // the capture was taken at the master (driver) end
  std::uint64_t firstUs = 0;
};

LineDecode DecodeLine(const std::vector<serial::CaptureRecord>& records);

// "read words" etc.; empty for an unknown command.
const char* CommandName(int command);
// "success", "controller error", "controller error value N".
std::string StatusText(int status);
// The values a frame carries, as text: the written values of a write request, the read values of
// a successful response (its request says the kind). Empty when there are none.
std::vector<std::string> FrameValues(const LineDecode& decode, const LineItem& frame);

}  // namespace vkt::capture
