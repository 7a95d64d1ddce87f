// Fixed texts and numbers of the host interface.
#pragma once

#include <cstdint>

namespace vkt::host {

// Driver name and version: the answer of drvGetDriverName, the first entry of a new log and
// the caption of the driver dialog.
inline constexpr char kDriverName[] = "Marvessa ver 2.0.0 (Apr  6 2005 09:13:43)";
inline constexpr char kDialogText[] = "Option not implemented on this driver!";
inline constexpr char kSettingsFile[] = "VktJX.Cfg";
inline constexpr std::int32_t kCapabilities = 63;

// Fourth start parameter: log to a new file, or append to the log file.
inline constexpr std::uint16_t kLogNewFile = 4721;
inline constexpr std::uint16_t kLogAppend = 6358;

}  // namespace vkt::host
