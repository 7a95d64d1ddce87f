// TVktLinkLayer: one request turned into one validated response over the serial line. Flushes
// stale input, keys RS-485 and radio lines around the transmission, reads the answer phase by
// phase with its own time-outs, retries what a retry can cure and resets the port after a run
// of failed transactions. Also opens and closes the whole link from the settings file.
#pragma once

#include <cstdint>

#include "protocol/frame.h"
#include "modem/asc_modem_drv.h"

namespace vkt {

class TVktLinkLayer : public TAscModemDrv {
 public:
  explicit TVktLinkLayer(TComponent* owner, serial::CommPlatform* platform = nullptr);
  ~TVktLinkLayer() override;

  ResultCode Open(const char* settingsFile);
  ResultCode Close();

  // `length`: request data bytes on entry, response data bytes copied into `response` on
  // success. `capacity` is what `response` can take.
  ResultCode Request(std::int32_t station, std::int32_t command, std::int32_t capacity,
                     std::uint8_t* response, std::int32_t& length, const std::uint8_t* data);
  // One transaction for the frame already in the transmit buffer; `length` is the frame length
  // on entry and the response data length on success.
  ResultCode Exchange(std::uint8_t* frame, std::int32_t& length, std::int32_t capacity,
                      std::uint8_t* response);
  ResultCode TransmitFrame(std::uint8_t* frame, std::int32_t length);
  // On success (and on a controller status) `data` points into the receive buffer.
  ResultCode ReceiveFrame(std::int32_t firstTimeout, const std::uint8_t*& data,
                          std::int32_t& length);

  std::int32_t ResetCountdown() const { return ResetCountdown_; }

  // Most input bytes one flush reads before the attempt goes on regardless.
  static constexpr int kMaxFlushReads = 512;

 private:
  void Flush();

  // A whole request frame plus the fill bytes of both turn-around modes.
  std::uint8_t TxBuffer_[kMaxFrameBytes + 20] = {};
  // Header, up to 252 data bytes and the checksum of a response.
  std::uint8_t RxBuffer_[kMaxFrameBytes] = {};
  std::int32_t ResetCountdown_ = 20;
};

}  // namespace vkt
