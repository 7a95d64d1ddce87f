// Fixed texts and numbers of the host interface.
#pragma once

#include <cstdint>

#include "vktjx.h"

namespace vkt::host {

// Driver name and version: the answer of drvGetDriverName, the first entry of a new log and
// the caption of the driver dialog.
inline constexpr char kDriverName[] = "Marvessa ver 2.0.0 (Apr  6 2005 09:13:43)";
inline constexpr char kDialogText[] = "Option not implemented on this driver!";
inline constexpr char kSettingsFile[] = "VktJX.Cfg";
inline constexpr std::int32_t kCapabilities = 63;

// Fourth start parameter: log to a new file, or append to the log file.
inline constexpr std::uint16_t kLogNewFile = VKTJX_LOG_NEW_FILE;
inline constexpr std::uint16_t kLogAppend = VKTJX_LOG_APPEND;

}  // namespace vkt::host
