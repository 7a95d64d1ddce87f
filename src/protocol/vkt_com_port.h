// TVktComPort: the driver object. Keeps the link state and offers the six typed read/write
// services; each splits a run of elements into frames and sends them through the link layer.
#pragma once

#include <cstdint>

#include "protocol/vkt_link_layer.h"

namespace vkt {

// Data kinds of the services and their element sizes.
enum DataKind : std::int32_t { kKindBits = 0, kKindWords = 1, kKindFloats = 2 };

// Link states.
inline constexpr std::int32_t kLinkCreated = 0;
inline constexpr std::int32_t kLinkClosed = 1;
inline constexpr std::int32_t kLinkFailed = 2;
inline constexpr std::int32_t kLinkModem = 3;
inline constexpr std::int32_t kLinkReady = 4;

class TVktComPort : public TVktLinkLayer {
 public:
  explicit TVktComPort(TComponent* owner, serial::CommPlatform* platform = nullptr);
  ~TVktComPort() override;

  ResultCode OpenLink(const char* settingsFile);
  ResultCode CloseLink();

  // Buffers hold `count` elements packed little-endian as on the wire: one byte per bit,
  // two per word, four per float. `flag` is 0 from every host call.
  ResultCode ReadBits(std::int32_t station, std::int32_t address, std::int32_t flag, void* buffer,
                      std::int32_t count);
  ResultCode ReadWords(std::int32_t station, std::int32_t address, std::int32_t flag, void* buffer,
                       std::int32_t count);
  ResultCode ReadFloats(std::int32_t station, std::int32_t address, std::int32_t flag,
                        void* buffer, std::int32_t count);
  ResultCode WriteBits(std::int32_t station, std::int32_t address, std::int32_t flag,
                       const void* buffer, std::int32_t count);
  ResultCode WriteWords(std::int32_t station, std::int32_t address, std::int32_t flag,
                        const void* buffer, std::int32_t count);
  ResultCode WriteFloats(std::int32_t station, std::int32_t address, std::int32_t flag,
                         const void* buffer, std::int32_t count);

  // The link state as the requests see it: in modem mode it follows the modem connection.
  std::int32_t LinkState() const;

  ResultCode Transfer(std::int32_t station, std::int32_t kind, std::int32_t flag, bool write,
                      std::uint8_t* buffer, std::int32_t count, std::int32_t address);
  ResultCode ReadChunk(std::int32_t station, std::int32_t kind, std::int32_t flag,
                       std::int32_t byteCount, std::uint8_t* buffer, std::int32_t elementCount,
                       std::int32_t address);
  ResultCode WriteChunk(std::int32_t station, std::int32_t kind, std::int32_t flag,
                        std::int32_t byteCount, const std::uint8_t* buffer,
                        std::int32_t elementCount, std::int32_t address);
  ResultCode StationRequest(std::int32_t station, std::int32_t command, std::int32_t capacity,
                            std::uint8_t* response, std::int32_t& length,
                            const std::uint8_t* data);

 private:
  std::int32_t LinkState_ = kLinkCreated;
  // Request data of one write chunk: address, count and up to 249 value bytes.
  std::uint8_t WriteScratch_[3 + 249] = {};
  // Where a write's reply data would go when a non-zero flag allows some.
  std::uint8_t WriteReply_[kMaxFrameData] = {};
};

}  // namespace vkt
