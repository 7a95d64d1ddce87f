#include "serial/capture_pcapng.h"

#include <cerrno>
#include <cstring>

namespace vkt::serial {

namespace {

constexpr std::uint32_t kSectionHeader = 0x0A0D0D0A;
constexpr std::uint32_t kInterfaceDescription = 1;
constexpr std::uint32_t kEnhancedPacket = 6;
constexpr std::uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr std::uint16_t kOptEnd = 0;
constexpr std::uint16_t kOptComment = 1;
constexpr std::uint16_t kOptIfName = 2;
constexpr std::uint16_t kOptShbUserAppl = 4;
constexpr std::uint16_t kOptIfTsResol = 9;

void Put16(std::vector<std::uint8_t>& b, std::uint16_t v) {
  b.push_back(static_cast<std::uint8_t>(v));
  b.push_back(static_cast<std::uint8_t>(v >> 8));
}
void Put32(std::vector<std::uint8_t>& b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void PutBig32(std::vector<std::uint8_t>& b, std::uint32_t v) {
  for (int i = 3; i >= 0; --i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void Pad(std::vector<std::uint8_t>& b) {
  while (b.size() % 4 != 0) b.push_back(0);
}
void PutOption(std::vector<std::uint8_t>& b, std::uint16_t code, const void* value,
               std::size_t length) {
  Put16(b, code);
  Put16(b, static_cast<std::uint16_t>(length));
  const auto* p = static_cast<const std::uint8_t*>(value);
  b.insert(b.end(), p, p + length);
  Pad(b);
}
// Starts a block: type and a length that FinishBlock fills in.
void BeginBlock(std::vector<std::uint8_t>& b, std::uint32_t type) {
  b.clear();
  Put32(b, type);
  Put32(b, 0);
}
void FinishBlock(std::vector<std::uint8_t>& b) {
  Pad(b);
  const std::uint32_t total = static_cast<std::uint32_t>(b.size() + 4);
  Put32(b, total);
  for (int i = 0; i < 4; ++i) b[4 + i] = static_cast<std::uint8_t>(total >> (8 * i));
}

std::uint32_t Get32(const std::uint8_t* p, bool swap) {
  const std::uint32_t v = static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
                          static_cast<std::uint32_t>(p[2]) << 16 |
                          static_cast<std::uint32_t>(p[3]) << 24;
  if (!swap) return v;
  return (v >> 24) | ((v >> 8) & 0xFF00) | ((v << 8) & 0xFF0000) | (v << 24);
}
std::uint16_t Get16(const std::uint8_t* p, bool swap) {
  const std::uint16_t v = static_cast<std::uint16_t>(p[0] | p[1] << 8);
  return swap ? static_cast<std::uint16_t>(v >> 8 | v << 8) : v;
}

}  // namespace

const char* LineEventName(std::uint8_t event) {
  switch (event) {
    case kEventStatus: return "status";
    case kEventSent: return "sent";
    case kEventReceived: return "received";
    case kEventDataLost: return "records lost";
    case kEventFramingError: return "framing error";
    case kEventParityError: return "parity error";
    case kEventBreak: return "break";
    case kEventOverflow: return "overflow";
  }
  return "event";
}

PcapngWriter::~PcapngWriter() { Close(); }

bool PcapngWriter::Open(const std::string& path, const std::string& interfaceName,
                        std::uint64_t maxBytes, std::string& error, bool append) {
  Close();
  path_ = path;
  interfaceName_ = interfaceName;
  maxBytes_ = maxBytes;
  rollovers_ = 0;
  block_.reserve(1024);
  if (!Begin(append)) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

bool PcapngWriter::Begin(bool append) {
  file_ = std::fopen(path_.c_str(), append ? "ab" : "wb");
  if (file_ == nullptr) return false;
  size_ = 0;
  if (append && std::fseek(file_, 0, SEEK_END) == 0) {
    const long at = std::ftell(file_);
    if (at > 0) size_ = static_cast<std::uint64_t>(at);
  }
  BeginBlock(block_, kSectionHeader);
  Put32(block_, kByteOrderMagic);
  Put16(block_, 1);
  Put16(block_, 0);
  Put32(block_, 0xFFFFFFFF);  // section length unknown
  Put32(block_, 0xFFFFFFFF);
  static const char kApplication[] = "vktjx line capture";
  PutOption(block_, kOptShbUserAppl, kApplication, sizeof kApplication - 1);
  PutOption(block_, kOptEnd, nullptr, 0);
  FinishBlock(block_);
  std::vector<std::uint8_t> idb;
  BeginBlock(idb, kInterfaceDescription);
  Put16(idb, kLinkTypeRtacSerial);
  Put16(idb, 0);
  Put32(idb, 0);  // no snap length
  PutOption(idb, kOptIfName, interfaceName_.data(), interfaceName_.size());
  const std::uint8_t microseconds = 6;
  PutOption(idb, kOptIfTsResol, &microseconds, 1);
  PutOption(idb, kOptEnd, nullptr, 0);
  FinishBlock(idb);
  block_.insert(block_.end(), idb.begin(), idb.end());
  if (std::fwrite(block_.data(), 1, block_.size(), file_) != block_.size()) {
    Close();
    return false;
  }
  size_ += block_.size();
  return true;
}

bool PcapngWriter::Write(std::uint64_t timeUs, std::uint8_t event, std::uint8_t lines,
                         const std::uint8_t* data, std::size_t length, const char* comment,
                         std::size_t commentLength) {
  if (file_ == nullptr) return false;
  const std::uint32_t captured = static_cast<std::uint32_t>(kRecordHeaderBytes + length);
  BeginBlock(block_, kEnhancedPacket);
  Put32(block_, 0);  // interface
  Put32(block_, static_cast<std::uint32_t>(timeUs >> 32));
  Put32(block_, static_cast<std::uint32_t>(timeUs));
  Put32(block_, captured);
  Put32(block_, captured);
  PutBig32(block_, static_cast<std::uint32_t>(timeUs / 1000000));
  PutBig32(block_, static_cast<std::uint32_t>(timeUs % 1000000));
  block_.push_back(event);
  block_.push_back(lines);
  Put16(block_, 0);  // footer
  if (length > 0) block_.insert(block_.end(), data, data + length);
  Pad(block_);
  if (commentLength > 0) {
    PutOption(block_, kOptComment, comment, commentLength);
    PutOption(block_, kOptEnd, nullptr, 0);
  }
  FinishBlock(block_);
  if (maxBytes_ > 0 && size_ + block_.size() > maxBytes_) {
    std::fclose(file_);
    file_ = nullptr;
    const std::string old = path_ + ".1";
    std::remove(old.c_str());
    std::rename(path_.c_str(), old.c_str());
    // Begin reuses the block buffer for the headers; the packet is built again after it.
    std::vector<std::uint8_t> packet;
    packet.swap(block_);
    const bool begun = Begin(false);
    block_.swap(packet);
    if (!begun) return false;
    ++rollovers_;
  }
  if (std::fwrite(block_.data(), 1, block_.size(), file_) != block_.size()) {
    Close();
    return false;
  }
  size_ += block_.size();
  return true;
}

void PcapngWriter::Flush() {
  if (file_ != nullptr) std::fflush(file_);
}

void PcapngWriter::Close() {
  if (file_ == nullptr) return;
  std::fclose(file_);
  file_ = nullptr;
}

bool ReadCapture(const std::string& path, std::vector<CaptureRecord>& records,
                 std::string& error) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  std::vector<std::uint8_t> bytes;
  std::uint8_t chunk[65536];
  std::size_t n = 0;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
  std::fclose(f);

  std::size_t pos = 0;
  bool swap = false;
  bool sawSection = false;
  std::vector<std::uint8_t> resolution;  // per interface: 6 (us) or 9 (ns) etc.
  std::vector<bool> ours;
  while (pos + 12 <= bytes.size()) {
    const std::uint8_t* b = bytes.data() + pos;
    if (Get32(b, false) == kSectionHeader) {
      const std::uint32_t magic = Get32(b + 8, false);
      if (magic == kByteOrderMagic) swap = false;
      else if (magic == 0x4D3C2B1A) swap = true;
      else break;
      sawSection = true;
      resolution.clear();
      ours.clear();
    } else if (!sawSection) {
      break;
    }
    const std::uint32_t type = Get32(b, swap);
    const std::uint32_t length = Get32(b + 4, swap);
    if (length < 12 || length % 4 != 0 || pos + length > bytes.size()) {
      error = path + ": damaged block at offset " + std::to_string(pos);
      return false;
    }
    const std::uint8_t* body = b + 8;
    const std::size_t bodyLength = length - 12;
    if (type == kInterfaceDescription && bodyLength >= 8) {
      std::uint8_t resol = 6;
      for (std::size_t o = 8; o + 4 <= bodyLength;) {
        const std::uint16_t code = Get16(body + o, swap);
        const std::uint16_t len = Get16(body + o + 2, swap);
        if (code == kOptEnd) break;
        if (code == kOptIfTsResol && len >= 1) resol = body[o + 4];
        o += 4 + ((len + 3u) & ~3u);
      }
      resolution.push_back(resol);
      ours.push_back(Get16(body, swap) == kLinkTypeRtacSerial);
      if (!ours.back()) {
        error = path + ": interface of link type " + std::to_string(Get16(body, swap)) +
                ", not a serial line capture";
        return false;
      }
    } else if (type == kEnhancedPacket && bodyLength >= 20) {
      const std::uint32_t interface = Get32(body, swap);
      if (interface >= resolution.size()) {
        error = path + ": packet of an undeclared interface";
        return false;
      }
      std::uint64_t ticks = static_cast<std::uint64_t>(Get32(body + 4, swap)) << 32 |
                            Get32(body + 8, swap);
      const std::uint8_t resol = resolution[interface];
      if (resol & 0x80) {
        // a power of two per second: rare, converted exactly enough for line events
        ticks = static_cast<std::uint64_t>(static_cast<double>(ticks) * 1e6 /
                                           static_cast<double>(1ull << (resol & 0x7F)));
      } else {
        for (int i = resol; i > 6; --i) ticks /= 10;
        for (int i = resol; i < 6; ++i) ticks *= 10;
      }
      const std::uint32_t captured = Get32(body + 12, swap);
      if (20 + static_cast<std::size_t>(captured) > bodyLength) {
        error = path + ": damaged packet at offset " + std::to_string(pos);
        return false;
      }
      CaptureRecord r;
      r.timeUs = ticks;
      if (captured >= kRecordHeaderBytes) {
        r.event = body[20 + 8];
        r.lines = body[20 + 9];
        r.data.assign(body + 20 + kRecordHeaderBytes, body + 20 + captured);
      }
      for (std::size_t o = 20 + ((captured + 3u) & ~3u); o + 4 <= bodyLength;) {
        const std::uint16_t code = Get16(body + o, swap);
        const std::uint16_t len = Get16(body + o + 2, swap);
        if (code == kOptEnd || o + 4 + len > bodyLength) break;
        if (code == kOptComment) {
          if (!r.comment.empty()) r.comment += "; ";
          r.comment.append(reinterpret_cast<const char*>(body + o + 4), len);
        }
        o += 4 + ((len + 3u) & ~3u);
      }
      records.push_back(std::move(r));
    }
    pos += length;
  }
  if (!sawSection) {
    error = path + " is not a pcapng file";
    return false;
  }
  return true;
}

}  // namespace vkt::serial
