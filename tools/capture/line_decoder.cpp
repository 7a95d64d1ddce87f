#include "line_decoder.h"

#include <cstdio>
#include <cstring>
#include <deque>

#include "protocol/frame.h"

namespace vkt::capture {

namespace {

struct Stream {
  std::deque<std::uint8_t> bytes;
};

bool IsText(const std::vector<std::uint8_t>& bytes) {
  if (bytes.empty()) return false;
  for (std::uint8_t b : bytes)
    if (!(b == '\r' || b == '\n' || (b >= 32 && b < 127))) return false;
  return true;
}

class Decoder {
 public:
  explicit Decoder(LineDecode& out) : out_(out) {}

  void Record(std::size_t index, const serial::CaptureRecord& r) {
    const bool data = r.event == serial::kEventSent || r.event == serial::kEventReceived;
    if (!data) {
      LineItem item = Base(index, r);
      if (!r.comment.empty()) {
        item.kind = r.event == serial::kEventStatus ? ItemKind::kNote : ItemKind::kLineEvent;
        item.text = r.comment;
      } else if (r.event == serial::kEventStatus) {
        item.kind = ItemKind::kLines;
      } else {
        item.kind = ItemKind::kLineEvent;
        item.text = serial::LineEventName(r.event);
      }
      out_.items.push_back(item);
      return;
    }
    if (r.data.empty()) return;
    const bool master = (r.event == serial::kEventSent) == out_.masterSends;
    Stream& s = master ? master_ : station_;
    if (master && s.bytes.empty() && r.data[0] != kStartByte && IsText(r.data)) {
      modemCommandMode_ = true;
      Text(index, r, master);
      return;
    }
    if (master && s.bytes.empty() && r.data[0] == kStartByte) {
      modemCommandMode_ = false;
      if (!station_.bytes.empty()) {
        LineItem item = Base(index, r);
        item.kind = ItemKind::kIncomplete;
        item.fromMaster = false;
        item.bytes.assign(station_.bytes.begin(), station_.bytes.end());
        station_.bytes.clear();
        out_.items.push_back(item);
      }
    }
    if (!master && modemCommandMode_) {
      Text(index, r, master);
      return;
    }
    s.bytes.insert(s.bytes.end(), r.data.begin(), r.data.end());
    Scan(index, r, master, s);
  }

 private:
  LineItem Base(std::size_t index, const serial::CaptureRecord& r) const {
    LineItem item;
    item.timeUs = r.timeUs;
    item.record = index;
    item.event = r.event;
    item.lines = r.lines;
    return item;
  }

  void Text(std::size_t index, const serial::CaptureRecord& r, bool master) {
    // Replies come a byte at a time: they join the text item before them up to its line end.
    if (!out_.items.empty()) {
      LineItem& last = out_.items.back();
      if (last.kind == ItemKind::kText && last.fromMaster == master && !last.text.empty() &&
          last.text.back() != '\r' && last.text.back() != '\n') {
        last.text.append(r.data.begin(), r.data.end());
        last.bytes.insert(last.bytes.end(), r.data.begin(), r.data.end());
        last.timeUs = r.timeUs;
        last.record = index;
        return;
      }
    }
    LineItem item = Base(index, r);
    item.kind = ItemKind::kText;
    item.fromMaster = master;
    item.bytes = r.data;
    item.text.assign(r.data.begin(), r.data.end());
    out_.items.push_back(item);
  }

  void Scan(std::size_t index, const serial::CaptureRecord& r, bool master, Stream& s) {
    while (!s.bytes.empty()) {
      std::size_t skip = 0;
      while (skip < s.bytes.size() && s.bytes[skip] != kStartByte) ++skip;
      if (skip > 0) {
        LineItem item = Base(index, r);
        item.fromMaster = master;
        item.bytes.assign(s.bytes.begin(), s.bytes.begin() + static_cast<std::ptrdiff_t>(skip));
        bool fill = master;
        for (std::uint8_t b : item.bytes) fill = fill && b == 0xFF;
        item.kind = fill ? ItemKind::kFill : ItemKind::kStray;
        s.bytes.erase(s.bytes.begin(), s.bytes.begin() + static_cast<std::ptrdiff_t>(skip));
        out_.items.push_back(item);
      }
      if (s.bytes.size() < 3) return;
      const std::size_t length = s.bytes[2];
      if (length > 252) {
        LineItem item = Base(index, r);
        item.kind = ItemKind::kStray;
        item.fromMaster = master;
        item.bytes = {s.bytes.front()};
        s.bytes.pop_front();
        out_.items.push_back(item);
        continue;
      }
      if (s.bytes.size() < length + 6) return;
      LineItem item = Base(index, r);
      item.kind = ItemKind::kFrame;
      item.fromMaster = master;
      item.request = master;
      item.bytes.assign(s.bytes.begin(), s.bytes.begin() + static_cast<std::ptrdiff_t>(length + 6));
      s.bytes.erase(s.bytes.begin(), s.bytes.begin() + static_cast<std::ptrdiff_t>(length + 6));
      const std::uint16_t sum = FrameChecksum(item.bytes.data() + 1, length + 3);
      item.checksumGood = (sum & 0xFF) == item.bytes[length + 4] && (sum >> 8) == item.bytes[length + 5];
      const int self = static_cast<int>(out_.items.size());
      if (master) {
        outstanding_ = self;
      } else if (outstanding_ >= 0) {
        LineItem& req = out_.items[static_cast<std::size_t>(outstanding_)];
        req.pair = self;
        item.pair = outstanding_;
        item.responseUs = static_cast<std::int64_t>(item.timeUs - req.timeUs);
        outstanding_ = -1;
      }
      out_.items.push_back(item);
    }
  }

  LineDecode& out_;
  Stream master_, station_;
  bool modemCommandMode_ = false;
  int outstanding_ = -1;
};

}  // namespace

LineDecode DecodeLine(const std::vector<serial::CaptureRecord>& records) {
  LineDecode out;
  // The master speaks first: the direction of the first bytes tells which end was captured.
  for (const serial::CaptureRecord& r : records)
    if ((r.event == serial::kEventSent || r.event == serial::kEventReceived) && !r.data.empty()) {
      out.masterSends = r.event == serial::kEventSent;
      break;
    }
  if (!records.empty()) out.firstUs = records.front().timeUs;
  Decoder decoder(out);
  for (std::size_t i = 0; i < records.size(); ++i) decoder.Record(i, records[i]);
  return out;
}

const char* CommandName(int command) {
  switch (command) {
    case kCmdReadBits: return "read bits";
    case kCmdReadWords: return "read words";
    case kCmdReadFloats: return "read floats";
    case kCmdWriteBits: return "write bits";
    case kCmdWriteWords: return "write words";
    case kCmdWriteFloats: return "write floats";
  }
  return "";
}

std::string StatusText(int status) {
  if (status == 0) return "success";
  if (status >= 0x80 && status <= 0x9F) return "controller error";
  return "controller error value " + std::to_string(status);
}

namespace {

void AppendValues(std::vector<std::string>& out, const std::uint8_t* p, std::size_t n, int kind) {
  static const std::size_t kSize[3] = {1, 2, 4};
  for (std::size_t at = 0; at + kSize[kind] <= n; at += kSize[kind]) {
    char text[32];
    if (kind == 0) {
      std::snprintf(text, sizeof text, "%d", p[at] != 0 ? 1 : 0);
    } else if (kind == 1) {
      std::snprintf(text, sizeof text, "%d", static_cast<std::int16_t>(p[at] | p[at + 1] << 8));
    } else {
      const std::uint32_t raw = static_cast<std::uint32_t>(p[at]) | static_cast<std::uint32_t>(p[at + 1]) << 8 |
                                static_cast<std::uint32_t>(p[at + 2]) << 16 |
                                static_cast<std::uint32_t>(p[at + 3]) << 24;
      float v = 0;
      std::memcpy(&v, &raw, 4);
      std::snprintf(text, sizeof text, "%.9g", static_cast<double>(v));
    }
    out.push_back(text);
  }
}

}  // namespace

std::vector<std::string> FrameValues(const LineDecode& decode, const LineItem& frame) {
  std::vector<std::string> out;
  if (frame.kind != ItemKind::kFrame) return out;
  const std::size_t length = frame.bytes[2];
  if (frame.request) {
    const int command = frame.codeByte();
    if (command >= kCmdWriteBits && command <= kCmdWriteFloats && length > 3)
      AppendValues(out, frame.bytes.data() + 7, length - 3, command - kCmdWriteBits);
    return out;
  }
  if (frame.pair < 0 || frame.codeByte() != 0 || length == 0) return out;
  const int command = decode.items[static_cast<std::size_t>(frame.pair)].codeByte();
  if (command >= kCmdReadBits && command <= kCmdReadFloats)
    AppendValues(out, frame.bytes.data() + 4, length, command - kCmdReadBits);
  return out;
}

}  // namespace vkt::capture
