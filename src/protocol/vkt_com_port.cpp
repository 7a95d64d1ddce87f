#include "protocol/vkt_com_port.h"

#include <cstring>

namespace vkt {

namespace {

constexpr std::int32_t kChunkBytes = 249;
constexpr std::uint8_t kElementSize[3] = {1, 2, 4};
constexpr std::uint8_t kReadCommand[3] = {kCmdReadBits, kCmdReadWords, kCmdReadFloats};
constexpr std::uint8_t kWriteCommand[3] = {kCmdWriteBits, kCmdWriteWords, kCmdWriteFloats};
// A bit write of 249 values would need 252 data bytes, one more than a frame carries.
constexpr std::int32_t kBitWriteChunk = 248;

bool ValidKind(std::int32_t kind) { return kind >= kKindBits && kind <= kKindFloats; }

}  // namespace

TVktComPort::TVktComPort(TComponent* owner, serial::CommPlatform* platform)
    : TVktLinkLayer(owner, platform) {}

TVktComPort::~TVktComPort() = default;

ResultCode TVktComPort::OpenLink(const char* settingsFile) {
  const ResultCode code = Open(settingsFile);
  if (code == kOk)
    LinkState_ = ModemMode() ? kLinkModem : kLinkReady;
  else
    LinkState_ = kLinkFailed;
  return code;
}

ResultCode TVktComPort::CloseLink() {
  Close();
  LinkState_ = kLinkClosed;
  return kOk;
}

std::int32_t TVktComPort::LinkState() const {
  if (LinkState_ == kLinkModem && ModemState() == msConnected) return kLinkReady;
  return LinkState_;
}

ResultCode TVktComPort::StationRequest(std::int32_t station, std::int32_t command,
                                       std::int32_t capacity, std::uint8_t* response,
                                       std::int32_t& length, const std::uint8_t* data) {
  if (station < 1 || station > 255) return kBadStation;
  // A port that a reset could not reopen is tried again before the link state is judged: in
  // modem mode the reopen dials again.
  if (ReopenPending() && !RetryReopen()) return kPortNotOpen;
  const std::int32_t state = LinkState();
  // In modem mode the link waits for the connection; say so instead of "not ready".
  if (state == kLinkModem) return kModemNotConnected;
  if (state <= kLinkModem) return kLinkNotReady;
  return Request(station, command, capacity, response, length, data);
}

ResultCode TVktComPort::ReadChunk(std::int32_t station, std::int32_t kind, std::int32_t flag,
                                  std::int32_t byteCount, std::uint8_t* buffer,
                                  std::int32_t elementCount, std::int32_t address) {
  if (byteCount == 0 || elementCount == 0) return kOk;
  if (!ValidKind(kind)) return kBadDataKind;
  // Counts are checked before they are multiplied, so no product can overflow.
  if (elementCount < 0 || elementCount > kChunkBytes || byteCount < 0 || byteCount > kChunkBytes)
    return kTooMuchData;
  const std::int32_t bytes = elementCount * kElementSize[kind];
  if (bytes > kChunkBytes) return kTooMuchData;
  const std::uint8_t request[3] = {static_cast<std::uint8_t>(address & 0xFF),
                                   static_cast<std::uint8_t>((address >> 8) & 0xFF),
                                   static_cast<std::uint8_t>(elementCount)};
  std::int32_t length = 3;
  const ResultCode code =
      StationRequest(station, kReadCommand[kind], byteCount, buffer, length, request);
  if (code != kOk) return code;
  if (flag == 0 && length != byteCount) return kShortResponse;
  return kOk;
}

ResultCode TVktComPort::WriteChunk(std::int32_t station, std::int32_t kind, std::int32_t flag,
                                   std::int32_t byteCount, const std::uint8_t* buffer,
                                   std::int32_t elementCount, std::int32_t address) {
  if (byteCount == 0 || elementCount == 0) return kOk;
  if (!ValidKind(kind)) return kBadDataKind;
  if (elementCount < 0 || elementCount > kChunkBytes || byteCount < 0 || byteCount > kChunkBytes)
    return kTooMuchData;
  const std::int32_t bytes = elementCount * kElementSize[kind];
  if (bytes <= 0 || bytes > kChunkBytes) return kTooMuchData;
  // Request data: address, count, values; held in the object so a request allocates nothing.
  WriteScratch_[0] = static_cast<std::uint8_t>(address & 0xFF);
  WriteScratch_[1] = static_cast<std::uint8_t>((address >> 8) & 0xFF);
  WriteScratch_[2] = static_cast<std::uint8_t>(elementCount);
  std::memcpy(WriteScratch_ + 3, buffer, static_cast<std::size_t>(byteCount));
  std::int32_t length = byteCount + 3;
  // Every host call passes flag 0, so a reply carrying data is refused by the link layer.
  const std::int32_t capacity = flag < 0 ? 0 : (flag > kMaxFrameData ? kMaxFrameData : flag);
  const ResultCode code =
      StationRequest(station, kWriteCommand[kind], capacity, WriteReply_, length, WriteScratch_);
  if (code != kOk) return code;
  if (length != 0) return kShortResponse;
  return kOk;
}

ResultCode TVktComPort::Transfer(std::int32_t station, std::int32_t kind, std::int32_t flag,
                                 bool write, std::uint8_t* buffer, std::int32_t count,
                                 std::int32_t address) {
  if (count == 0) return kOk;
  if (!ValidKind(kind)) return kBadDataKind;
  if (count < 0) return kTooMuchData;
  const std::int32_t size = kElementSize[kind];
  std::int32_t perChunk = kChunkBytes / size;
  if (write && kind == kKindBits) perChunk = kBitWriteChunk;
  while (count > 0) {
    const std::int32_t n = count < perChunk ? count : perChunk;
    const ResultCode code =
        write ? WriteChunk(station, kind, flag, n * size, buffer, n, address)
              : ReadChunk(station, kind, flag, n * size, buffer, n, address);
    if (code != kOk) return code;
    buffer += n * size;
    // Only the low 16 bits go on the wire; advancing in unsigned arithmetic lets an address
    // near the top of the integer range wrap instead of overflowing.
    address = static_cast<std::int32_t>(static_cast<std::uint32_t>(address) +
                                        static_cast<std::uint32_t>(n));
    count -= n;
  }
  return kOk;
}

ResultCode TVktComPort::ReadBits(std::int32_t station, std::int32_t address, std::int32_t flag,
                                 void* buffer, std::int32_t count) {
  return Transfer(station, kKindBits, flag, false, static_cast<std::uint8_t*>(buffer), count,
                  address);
}
ResultCode TVktComPort::ReadWords(std::int32_t station, std::int32_t address, std::int32_t flag,
                                  void* buffer, std::int32_t count) {
  return Transfer(station, kKindWords, flag, false, static_cast<std::uint8_t*>(buffer), count,
                  address);
}
ResultCode TVktComPort::ReadFloats(std::int32_t station, std::int32_t address,
                                   std::int32_t flag, void* buffer, std::int32_t count) {
  return Transfer(station, kKindFloats, flag, false, static_cast<std::uint8_t*>(buffer), count,
                  address);
}
ResultCode TVktComPort::WriteBits(std::int32_t station, std::int32_t address, std::int32_t flag,
                                  const void* buffer, std::int32_t count) {
  return Transfer(station, kKindBits, flag, true,
                  const_cast<std::uint8_t*>(static_cast<const std::uint8_t*>(buffer)), count,
                  address);
}
ResultCode TVktComPort::WriteWords(std::int32_t station, std::int32_t address,
                                   std::int32_t flag, const void* buffer, std::int32_t count) {
  return Transfer(station, kKindWords, flag, true,
                  const_cast<std::uint8_t*>(static_cast<const std::uint8_t*>(buffer)), count,
                  address);
}
ResultCode TVktComPort::WriteFloats(std::int32_t station, std::int32_t address,
                                    std::int32_t flag, const void* buffer, std::int32_t count) {
  return Transfer(station, kKindFloats, flag, true,
                  const_cast<std::uint8_t*>(static_cast<const std::uint8_t*>(buffer)), count,
                  address);
}

}  // namespace vkt
