// The serial line as the gateway reaches it: the driver library's exports, one request at a
// time, each answered with 0 or the driver's result code from its error registers.
#pragma once

#include <cstdint>
#include <vector>

#include "config.h"
#include "driver.h"

namespace vktgw {

// Codes that say the line itself is down rather than one station.
bool IsLineCode(std::int32_t code);

class DriverLine {
 public:
  explicit DriverLine(const vkthost::DriverApi& api) : api_(api) {}

  // drvStartComm in the current directory, which holds the settings file; 0 or the code.
  std::int32_t Start();
  void Stop();
  bool started() const { return started_; }

  // `count` elements from `address` into `values` (bits as 0 or 1).
  std::int32_t Read(int station, Kind kind, std::uint16_t address, std::uint16_t count,
                    std::vector<double>& values);
  // One element (drvWriteValue) or consecutive ones (drvWriteBlock).
  std::int32_t Write(int station, Kind kind, std::uint16_t address,
                     const std::vector<double>& values);

 private:
  std::int32_t Register(std::uint16_t index);

  const vkthost::DriverApi& api_;
  bool started_ = false;
};

}  // namespace vktgw
