#include "station_server.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "protocol/frame.h"

namespace vktsim {

namespace {

constexpr int kStrayRoom = 16;

const char* CommandName(int command) {
  switch (command) {
    case vkt::kCmdReadBits: return "read bits";
    case vkt::kCmdReadWords: return "read words";
    case vkt::kCmdReadFloats: return "read floats";
    case vkt::kCmdWriteBits: return "write bits";
    case vkt::kCmdWriteWords: return "write words";
    case vkt::kCmdWriteFloats: return "write floats";
    default: return "unknown command";
  }
}

}  // namespace

StationServer::StationServer(const Options& options, StationMemory& memory, Line& line,
                             Report& report)
    : options_(options),
      memory_(memory),
      line_(line),
      report_(report),
      faults_(options.faults),
      random_(options.seed) {
  std::stable_sort(faults_.begin(), faults_.end(), [](const FaultSpec& a, const FaultSpec& b) {
    return static_cast<int>(a.kind) < static_cast<int>(b.kind);
  });
  // A gap shorter than a few characters would cut frames on a slow real line.
  gapUs_ = std::max<std::int64_t>(static_cast<std::int64_t>(options.gapMs) * 1000,
                                  static_cast<std::int64_t>(4 * options.ByteTimeUs()));
}

void StationServer::Receive(std::uint8_t byte, std::int64_t nowUs) {
  if (pendingLength_ > 0 && nowUs - lastByteUs_ >= gapUs_) Parse(true);
  pending_[pendingLength_++] = byte;
  lastByteUs_ = nowUs;
  Parse(false);
}

void StationServer::Poll(std::int64_t nowUs) {
  if (pendingLength_ > 0 && nowUs - lastByteUs_ >= gapUs_) Parse(true);
}

std::int64_t StationServer::NextDueUs() const {
  return pendingLength_ > 0 ? lastByteUs_ + gapUs_ : -1;
}

void StationServer::Drop(int n) {
  std::memmove(pending_, pending_ + n, static_cast<std::size_t>(pendingLength_ - n));
  pendingLength_ -= n;
}

void StationServer::Parse(bool gapPassed) {
  while (pendingLength_ > 0) {
    int skip = 0;
    while (skip < pendingLength_ && pending_[skip] != vkt::kStartByte) ++skip;
    if (skip > 0) {
      report_.counters.skippedBytes += static_cast<std::uint64_t>(skip);
      Drop(skip);
      continue;
    }
    if (pendingLength_ >= 3 && pending_[2] > vkt::kMaxFrameData) {
      ++report_.counters.badLength;
      report_.TraceBytes("<-", "dropped: data length above 252", pending_, 3);
      Drop(1);  // hunt again from the byte after this start byte
      continue;
    }
    const int total = pendingLength_ >= 3 ? pending_[2] + vkt::kFrameOverhead : 0;
    if (pendingLength_ < 3 || pendingLength_ < total) {
      if (!gapPassed) return;
      ++report_.counters.incomplete;
      report_.TraceBytes("<-", "dropped: frame stopped short", pending_,
                         static_cast<std::size_t>(pendingLength_));
      Drop(1);
      continue;
    }
    const int n = pending_[2];
    const std::uint16_t sum = vkt::FrameChecksum(pending_ + 1, static_cast<std::size_t>(n) + 3);
    const std::uint16_t received =
        static_cast<std::uint16_t>(pending_[4 + n] | (pending_[5 + n] << 8));
    if (sum != received) {
      ++report_.counters.badChecksum;
      report_.TraceBytes("<-", "dropped: bad checksum", pending_, static_cast<std::size_t>(total));
      Drop(1);
      continue;
    }
    Serve(pending_, lastByteUs_);
    Drop(total);
  }
}

void StationServer::Serve(const std::uint8_t* frame, std::int64_t nowUs) {
  const int station = frame[1];
  const int n = frame[2];
  const int command = frame[3];
  const std::uint8_t* d = frame + 4;
  const std::size_t frameLength = static_cast<std::size_t>(n) + vkt::kFrameOverhead;
  char text[160];
  if (replay_ != nullptr) {
    ++report_.counters.requestsByCommand[command];
    ++report_.counters.requestsByStation[station];
    report_.TraceBytes("<-", "replayed", frame, frameLength);
    replay_->Answer(frame, frameLength, nowUs, line_);
    return;
  }
  if (!memory_.Serves(station)) {
    ++report_.counters.unservedStation;
    std::snprintf(text, sizeof text, "station %d not served: no answer", station);
    report_.TraceBytes("<-", text, frame, frameLength);
    return;
  }
  ++report_.counters.requestsByCommand[command];
  ++report_.counters.requestsByStation[station];
  const int address = n >= 2 ? d[0] | (d[1] << 8) : 0;
  const int count = n >= 3 ? d[2] : 0;
  if (report_.tracing()) {
    if (n >= 3)
      std::snprintf(text, sizeof text, "station %d 0x%02X %s address 0x%04X count %d", station,
                    command, CommandName(command), address, count);
    else
      std::snprintf(text, sizeof text, "station %d 0x%02X %s, %d data bytes", station, command,
                    CommandName(command), n);
    report_.TraceBytes("<-", text, frame, frameLength);
  }

  const bool isRead = command >= vkt::kCmdReadBits && command <= vkt::kCmdReadFloats;
  const bool isWrite = command >= vkt::kCmdWriteBits && command <= vkt::kCmdWriteFloats;
  if (!isRead && !isWrite) {
    Respond(station, kStatusUnknownCommand, 0, nowUs);
    return;
  }
  const DataKind kind = static_cast<DataKind>(command & 0x03);
  const int size = kElementSize[kind];
  if (isRead) {
    if (n != 3) {
      Respond(station, kStatusBadLength, 0, nowUs);
      return;
    }
    if (count * size > vkt::kMaxFrameData) {
      Respond(station, kStatusCountTooLarge, 0, nowUs);
      return;
    }
    memory_.Read(station, kind, address, count, data_);
    if (kind == kWords) {
      for (const auto& [s, a] : options_.counters) {
        if (s != station || ((a - address) & 0xFFFF) >= count) continue;
        std::uint8_t w[2];
        memory_.Read(station, kWords, a, 1, w);
        const int v = (w[0] | (w[1] << 8)) + 1;
        w[0] = static_cast<std::uint8_t>(v & 0xFF);
        w[1] = static_cast<std::uint8_t>((v >> 8) & 0xFF);
        memory_.Write(station, kWords, a, 1, w);
      }
    }
    Respond(station, kStatusOk, count * size, nowUs);
    return;
  }
  if (n < 3 || n - 3 != count * size) {
    Respond(station, kStatusBadLength, 0, nowUs);
    return;
  }
  memory_.Write(station, kind, address, count, d + 3);
  Respond(station, kStatusOk, 0, nowUs);
}

bool StationServer::Draw(double probability) {
  const double u = static_cast<double>(random_()) / 4294967296.0;
  return u < probability;
}

void StationServer::Respond(int station, std::uint8_t status, int dataLength,
                            std::int64_t nowUs) {
  char applied[160] = "";
  auto note = [&](const char* what) {
    const std::size_t used = std::strlen(applied);
    std::snprintf(applied + used, sizeof applied - used, "%s%s", used ? ", " : "", what);
  };
  bool statusReplaced = false, checksum = false, truncate = false, stray = false;
  int strayCount = 0;
  std::int64_t delayUs = static_cast<std::int64_t>(options_.replyDelayMs) * 1000;
  char buffer[48];
  for (const FaultSpec& f : faults_) {
    if (!Draw(f.probability)) continue;
    switch (f.kind) {
      case FaultKind::kSilence:
        ++report_.counters.faults[static_cast<int>(f.kind)];
        std::snprintf(buffer, sizeof buffer, "station %d: fault silence, no answer", station);
        report_.Trace("-> %s", buffer);
        return;
      case FaultKind::kStatus:
        if (statusReplaced) continue;
        statusReplaced = true;
        status = static_cast<std::uint8_t>(f.argument);
        dataLength = 0;
        std::snprintf(buffer, sizeof buffer, "status=0x%02X", f.argument);
        note(buffer);
        break;
      case FaultKind::kShort:
        if (dataLength == 0) continue;
        --dataLength;
        note("short");
        break;
      case FaultKind::kLong:
        if (dataLength >= vkt::kMaxFrameData) continue;
        data_[dataLength++] = 0;
        note("long");
        break;
      case FaultKind::kChecksum:
        if (checksum) continue;
        checksum = true;
        note("checksum");
        break;
      case FaultKind::kTruncate:
        if (truncate) continue;
        truncate = true;
        note("truncate");
        break;
      case FaultKind::kStray:
        if (stray) continue;
        stray = true;
        strayCount = f.argument > 0 ? f.argument : 1 + static_cast<int>(random_() % 3);
        std::snprintf(buffer, sizeof buffer, "stray=%d", strayCount);
        note(buffer);
        break;
      case FaultKind::kDelay:
        delayUs += static_cast<std::int64_t>(f.argument) * 1000;
        std::snprintf(buffer, sizeof buffer, "delay=%d", f.argument);
        note(buffer);
        break;
    }
    ++report_.counters.faults[static_cast<int>(f.kind)];
  }

  std::uint8_t* frame = out_ + kStrayRoom;
  std::int32_t length = dataLength;
  if (vkt::BuildFrame(station, status, frame, length, data_) != vkt::kOk) {
    // The frame builder stops at the largest request (251 data bytes); a response may carry
    // one byte more, laid out the same way.
    frame[0] = vkt::kStartByte;
    frame[1] = static_cast<std::uint8_t>(station);
    frame[2] = static_cast<std::uint8_t>(dataLength);
    frame[3] = status;
    std::memcpy(frame + 4, data_, static_cast<std::size_t>(dataLength));
    const std::uint16_t sum = vkt::FrameChecksum(frame + 1, static_cast<std::size_t>(dataLength) + 3);
    frame[4 + dataLength] = static_cast<std::uint8_t>(sum & 0xFF);
    frame[5 + dataLength] = static_cast<std::uint8_t>(sum >> 8);
    length = dataLength + vkt::kFrameOverhead;
  }
  if (checksum) frame[length - 1] ^= 0xFF;
  if (truncate) length = 1 + static_cast<std::int32_t>(random_() % static_cast<unsigned>(length - 1));
  for (int i = 1; i <= strayCount; ++i) {
    std::uint8_t b = static_cast<std::uint8_t>(random_());
    if (b == vkt::kStartByte) b = 0x00;
    frame[-i] = b;
  }
  ++report_.counters.responses;
  if (report_.tracing()) {
    char text[256];
    std::snprintf(text, sizeof text, "station %d status 0x%02X, %d data bytes%s%s%s", station,
                  status, dataLength, applied[0] ? " [fault " : "", applied,
                  applied[0] ? "]" : "");
    report_.TraceBytes("->", text, frame - strayCount,
                       static_cast<std::size_t>(length + strayCount));
  }
  line_.Queue(frame - strayCount, static_cast<std::size_t>(length + strayCount), nowUs + delayUs);
}

}  // namespace vktsim
