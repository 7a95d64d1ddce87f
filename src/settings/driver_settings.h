// TDriverSettings: every setting of the driver, one field per key of the settings file and
// named as its key. A plain value: cleared to zeros, copied whole, owning nothing.
#pragma once

#include <cstdint>

#include "common/result_codes.h"

namespace vkt {

// Longest accepted text of each text key; the fields hold one more byte for the NUL.
inline constexpr int kPhoneLimit = 30;
inline constexpr int kServerClassLimit = 20;
inline constexpr int kServerNameLimit = 60;
inline constexpr int kServerFileLimit = 60;
inline constexpr int kServerHostNameLimit = 80;
inline constexpr int kServerIpAddLimit = 30;
inline constexpr int kModemStringLimit = 10;
inline constexpr int kModemInitStringLimit = 30;

// A server file longer than this is skipped without error; between its field's limit and
// this length it fails the load like any other too-long text.
inline constexpr int kServerFileSkipLength = 250;

// Section names of the settings file.
inline constexpr const char kPortSection[] = "PC_PORT_SESSION";
inline constexpr const char kServerSection[] = "PC_SERVER_SESSION";

// The settings file that the driver reads at every start, in the current directory.
inline constexpr const char kSettingsFileName[] = "VktJX.Cfg";

struct TDriverSettings {
  std::int32_t pcpsFailFramesToReset = 0;
  std::int32_t pcpsVktConnectionRetry = 0;
  std::int32_t pcpsVktConexTmo = 0;
  std::int32_t pcpsVktComRetry = 0;
  std::int32_t pcpsVktRespTmo = 0;
  std::int32_t pcpsShortModemTmo = 0;
  std::int32_t pcpsModemFastResponse = 0;
  std::int32_t pcpsModemConnectTmo = 0;
  std::int32_t pcpsModemDiscTmo = 0;
  std::int32_t M_SERVER_TMO = 0;
  std::int8_t pcpsPort = 0;
  std::int32_t pcpsBaud = 0;
  std::int8_t pcpsParity = 0;
  std::int8_t pcpsStopBits = 0;
  std::int8_t pcpsDataBits = 0;
  bool pcpsRS485Suport = false;
  std::int32_t pcpsRS485ExtraBytes = 0;
  std::int32_t pcpsRS485RemRtsOffTime = 0;
  std::int32_t pcpsRS485RTSExtTime = 0;
  bool pcpsDataRadioSuport = false;
  std::int32_t pcpsRadioExtraBytes = 0;
  std::int32_t pcpsRadioRemCarrierOffTime = 0;
  std::int32_t pcpsRadioRTSExtTime = 0;
  bool pcpsModemSuport = false;
  std::int8_t pcpsModemPort = 0;
  char pcpsPhone[kPhoneLimit + 1] = {};
  bool pcpsAutoConnect = false;
  bool M_USE_VKT_SERVER = false;
  char M_VKT_SERVER_CLASS[kServerClassLimit + 1] = {};
  char M_VKT_SERVER_NAME[kServerNameLimit + 1] = {};
  char M_VKT_SERVER_FILE[kServerFileLimit + 1] = {};
  char M_SERVER_HOST_NAME[kServerHostNameLimit + 1] = {};
  char M_SERVER_IPADD[kServerIpAddLimit + 1] = {};
  std::int32_t M_SERVER_PORT = 0;
  char pcpsModemCheckString[kModemStringLimit + 1] = {};
  char pcpsModemResetString[kModemStringLimit + 1] = {};
  char pcpsModemInitString[kModemInitStringLimit + 1] = {};
  char pcpsModemDialString[kModemStringLimit + 1] = {};
  char pcpsModemExitString[kModemStringLimit + 1] = {};
  char pcpsModemHangupString[kModemStringLimit + 1] = {};
  char pcpsModemAnswerString[kModemStringLimit + 1] = {};

  bool operator==(const TDriverSettings&) const = default;
};

// Reads the settings file `fileName` (relative names against the current directory) into
// `record` and validates it. 0 on success; kNoSettingsFile with `record` untouched when no
// such file exists; kTextTooLong or kNoPortSection with `record` filled but not validated;
// otherwise the code of ValidateSettings. A value that is not a number never fails the load:
// it yields the key's default.
ResultCode LoadSettings(const char* fileName, TDriverSettings& record);

// The range and consistency rules of a loaded record, in a fixed order: 0 when all hold,
// else the code of the first that fails. Reads nothing but `record`.
ResultCode ValidateSettings(const TDriverSettings& record);

// The record a settings file yields whose port section holds no key that changes anything:
// every field at its key's default.
TDriverSettings DefaultSettings();

}  // namespace vkt
