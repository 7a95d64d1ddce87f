#include "settings/driver_settings.h"

#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "settings/ini_file.h"

namespace vkt {

namespace {

// Reads every key into `record`, each with its default. Returns kTextTooLong when a text
// value did not fit its field (that field is left empty), else 0; reading always goes on.
class KeyReader {
 public:
  KeyReader(const TIniFile& ini, TDriverSettings& record) : Ini_(ini), Record_(record) {}

  ResultCode ReadAll() {
    auto& s = Record_;
    Int8(kPortSection, "pcpsPort", 1, s.pcpsPort);
    Int(kPortSection, "pcpsBaud", 9600, s.pcpsBaud);
    Int8(kPortSection, "pcpsParity", 0, s.pcpsParity);
    Int8(kPortSection, "pcpsStopBits", 1, s.pcpsStopBits);
    Int8(kPortSection, "pcpsDataBits", 8, s.pcpsDataBits);
    Int(kPortSection, "pcpsFailFramesToReset", 20, s.pcpsFailFramesToReset);
    Int(kPortSection, "pcpsVktRespTmo", 500, s.pcpsVktRespTmo);
    Int(kPortSection, "pcpsVktConexTmo", 200, s.pcpsVktConexTmo);
    Int(kPortSection, "pcpsVktComRetry", 3, s.pcpsVktComRetry);
    Int(kPortSection, "pcpsVktConnectionRetry", 1, s.pcpsVktConnectionRetry);
    Int(kPortSection, "pcpsShortModemTmo", 500, s.pcpsShortModemTmo);
    Int(kPortSection, "pcpsModemFastResponse", 2000, s.pcpsModemFastResponse);
    Int(kPortSection, "pcpsModemConnectTmo", 45000, s.pcpsModemConnectTmo);
    Int(kPortSection, "pcpsModemDiscTmo", 5000, s.pcpsModemDiscTmo);
    Bool(kPortSection, "pcpsAutoConnect", s.pcpsAutoConnect);
    Bool(kPortSection, "pcpsRS485Suport", s.pcpsRS485Suport);
    Int(kPortSection, "pcpsRS485ExtraBytes", 1, s.pcpsRS485ExtraBytes);
    Int(kPortSection, "pcpsRS485RemRtsOffTime", 0, s.pcpsRS485RemRtsOffTime);
    Int(kPortSection, "pcpsRS485RTSExtTime", 0, s.pcpsRS485RTSExtTime);
    Bool(kPortSection, "pcpsDataRadioSuport", s.pcpsDataRadioSuport);
    Int(kPortSection, "pcpsRadioExtraBytes", 0, s.pcpsRadioExtraBytes);
    Int(kPortSection, "pcpsRadioRemCarrierOffTime", 20, s.pcpsRadioRemCarrierOffTime);
    Int(kPortSection, "pcpsRadioRTSExtTime", 20, s.pcpsRadioRTSExtTime);
    Bool(kPortSection, "pcpsModemSuport", s.pcpsModemSuport);
    Int8(kPortSection, "pcpsModemPort", 0, s.pcpsModemPort);
    Text(kPortSection, "pcpsPhone", "", s.pcpsPhone);
    Bool(kServerSection, "M_USE_VKT_SERVER", s.M_USE_VKT_SERVER);
    Text(kServerSection, "M_VKT_SERVER_CLASS", "", s.M_VKT_SERVER_CLASS);
    Text(kServerSection, "M_VKT_SERVER_NAME", "", s.M_VKT_SERVER_NAME);
    // A server file beyond the skip length is ignored outright; up to it, too long fails.
    if (Ini_.ReadString(kServerSection, "M_VKT_SERVER_FILE", "").size() <=
        static_cast<std::size_t>(kServerFileSkipLength))
      Text(kServerSection, "M_VKT_SERVER_FILE", "", s.M_VKT_SERVER_FILE);
    Text(kServerSection, "M_SERVER_HOST_NAME", "", s.M_SERVER_HOST_NAME);
    Text(kServerSection, "M_SERVER_IPADD", "", s.M_SERVER_IPADD);
    Int(kServerSection, "M_SERVER_PORT", -1, s.M_SERVER_PORT);
    Int(kServerSection, "M_SERVER_TMO", 5000, s.M_SERVER_TMO);
    Text(kPortSection, "pcpsModemCheckString", "AT", s.pcpsModemCheckString);
    Text(kPortSection, "pcpsModemResetString", "ATZ", s.pcpsModemResetString);
    Text(kPortSection, "pcpsModemInitString", "ATV0 E0 F1 H0r", s.pcpsModemInitString);
    Text(kPortSection, "pcpsModemDialString", "ATD", s.pcpsModemDialString);
    Text(kPortSection, "pcpsModemExitString", "+++", s.pcpsModemExitString);
    Text(kPortSection, "pcpsModemHangupString", "ATH0", s.pcpsModemHangupString);
    Text(kPortSection, "pcpsModemAnswerString", "ATA", s.pcpsModemAnswerString);
    return Result_;
  }

 private:
  void Int(const char* section, const char* key, std::int32_t fallback, std::int32_t& field) {
    field = Ini_.ReadInteger(section, key, fallback);
  }
  // The 8-bit fields keep the low 8 bits of the number read.
  void Int8(const char* section, const char* key, std::int32_t fallback, std::int8_t& field) {
    const auto low = static_cast<std::uint8_t>(
        static_cast<std::uint32_t>(Ini_.ReadInteger(section, key, fallback)) & 0xFFu);
    field = static_cast<std::int8_t>(low);
  }
  void Bool(const char* section, const char* key, bool& field) {
    field = Ini_.ReadBool(section, key, false);
  }
  template <std::size_t N>
  void Text(const char* section, const char* key, const char* fallback, char (&field)[N]) {
    const std::string value = Ini_.ReadString(section, key, fallback);
    if (value.size() > N - 1) {
      field[0] = '\0';
      Result_ = kTextTooLong;
      return;
    }
    std::memcpy(field, value.c_str(), value.size() + 1);
  }

  const TIniFile& Ini_;
  TDriverSettings& Record_;
  ResultCode Result_ = kOk;
};

bool IsAcceptedBaud(std::int32_t baud) {
  static constexpr std::int32_t kSpeeds[] = {300,   1200,  2400,  4800,  9600,
                                             19200, 38400, 57600, 115200};
  for (std::int32_t speed : kSpeeds)
    if (baud == speed) return true;
  return false;
}

bool InRange(std::int32_t v, std::int32_t lo, std::int32_t hi) { return v >= lo && v <= hi; }

bool Empty(const char* text) { return text[0] == '\0'; }

}  // namespace

ResultCode LoadSettings(const char* fileName, TDriverSettings& record) {
  if (fileName == nullptr || fileName[0] == '\0') return kNoSettingsFile;
  std::error_code ec;
  const std::filesystem::path path = std::filesystem::absolute(fileName, ec);
  // Only a regular file counts: a directory or a device is no settings file.
  if (ec || !std::filesystem::is_regular_file(path, ec) || ec) return kNoSettingsFile;

  record = TDriverSettings{};
  ResultCode result = kOk;
  {
    const TIniFile ini(path.string());
    result = KeyReader(ini, record).ReadAll();
    if (!ini.SectionHasKeys(kPortSection)) result = kNoPortSection;
  }
  if (result == kOk) result = ValidateSettings(record);
  return result;
}

ResultCode ValidateSettings(const TDriverSettings& s) {
  if (!InRange(s.pcpsPort, 1, 8)) return kBadPort;
  if (!IsAcceptedBaud(s.pcpsBaud)) return kBadBaud;
  if (!InRange(s.pcpsParity, 0, 4)) return kBadParity;
  if (s.pcpsStopBits != 1 && s.pcpsStopBits != 2) return kBadStopBits;
  if (!InRange(s.pcpsDataBits, 5, 8)) return kBadDataBits;
  if (s.pcpsModemSuport && !InRange(s.pcpsModemPort, 1, 8)) return kBadModemPort;
  if (s.pcpsModemSuport && s.pcpsAutoConnect && Empty(s.pcpsPhone)) return kNoPhoneNumber;
  if (!InRange(s.pcpsRadioExtraBytes, 0, 10) || !InRange(s.pcpsRS485ExtraBytes, 0, 10))
    return kBadExtraBytes;
  if (!InRange(s.pcpsRadioRTSExtTime, 0, 200) || !InRange(s.pcpsRS485RTSExtTime, 0, 200))
    return kBadRtsExtTime;
  if (!InRange(s.pcpsRadioRemCarrierOffTime, 0, 200) ||
      !InRange(s.pcpsRS485RemRtsOffTime, 0, 200))
    return kBadRemOffTime;
  if (s.pcpsFailFramesToReset < 5) return kBadFailFramesToReset;
  if (s.M_USE_VKT_SERVER) {
    if (s.M_SERVER_PORT == -1) return kNoServerPort;
    if (!Empty(s.M_VKT_SERVER_FILE)) {
      if (Empty(s.M_VKT_SERVER_CLASS)) return kNoServerClass;
      if (Empty(s.M_VKT_SERVER_NAME)) return kNoServerName;
    }
  }
  if (s.pcpsModemSuport) {
    const char* strings[] = {s.pcpsModemCheckString, s.pcpsModemResetString,
                             s.pcpsModemInitString,  s.pcpsModemDialString,
                             s.pcpsModemExitString,  s.pcpsModemHangupString,
                             s.pcpsModemAnswerString};
    for (const char* text : strings)
      if (Empty(text)) return kEmptyModemCommand;
  }
  return kOk;
}

TDriverSettings DefaultSettings() {
  TDriverSettings record{};
  const TIniFile empty;
  KeyReader(empty, record).ReadAll();
  return record;
}

}  // namespace vkt
