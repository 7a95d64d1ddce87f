// The one driver object and its lifecycle: created and opened by a start, closed and destroyed
// by a stop. All tag traffic goes through it.
#pragma once

#include <cstdint>

#include "et32b.h"
#include "protocol/vkt_com_port.h"

namespace vkt::host {

// 1 when the link opened, else -1 with the open's code in registers 1 and 0.
std::int16_t StartDriver(std::uint16_t p1, std::uint16_t p2, std::uint16_t p3, std::uint16_t p4);
// Closes and destroys the driver object if there is one and ends the log; always 1.
std::int16_t StopDriver(std::uint16_t p1, std::uint16_t p2, std::uint16_t p3, std::uint16_t p4);

// The driver object, or null before the first start and after a stop.
TVktComPort* DriverPort();

// The host's settings handle: kept, handed back, never used.
HVALUE SetSettingsHandle(HVALUE handle);

}  // namespace vkt::host
