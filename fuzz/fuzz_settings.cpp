// The settings loader under arbitrary file contents: the reader itself, and the whole load with
// its limits and validation, from a real file.
//
// Checked besides memory and undefined behaviour: the load ends in one of the codes a load can
// give; every text field is NUL-terminated inside its array; a record accepted by the load passes
// validation on its own; no value the reader hands out is longer than its limit.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unistd.h>

#include "fuzz_line.h"
#include "settings/driver_settings.h"
#include "settings/ini_file.h"

namespace {

const std::string& FilePath() {
  static const std::string path =
      "/tmp/vkt-fuzz-settings-" + std::to_string(::getpid()) + ".cfg";
  // Registered once the path exists, so it runs before the path is destroyed.
  static const bool removedAtExit = std::atexit([] { std::remove(FilePath().c_str()); }) == 0;
  (void)removedAtExit;
  return path;
}

template <std::size_t N>
void CheckText(const char (&field)[N]) {
  FUZZ_CHECK(std::memchr(field, '\0', N) != nullptr);
}

bool IsLoadCode(vkt::ResultCode rc) {
  switch (rc) {
    case vkt::kOk: case vkt::kTextTooLong: case vkt::kNoPortSection: case vkt::kBadPort:
    case vkt::kBadBaud: case vkt::kBadParity: case vkt::kBadStopBits: case vkt::kBadDataBits:
    case vkt::kBadModemPort: case vkt::kNoPhoneNumber: case vkt::kBadExtraBytes:
    case vkt::kBadRtsExtTime: case vkt::kBadRemOffTime: case vkt::kBadFailFramesToReset:
    case vkt::kNoServerPort: case vkt::kNoServerClass: case vkt::kNoServerName:
    case vkt::kEmptyModemCommand:
      return true;
    default:
      return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  vkt::TIniFile ini;
  ini.Parse(text);
  for (const char* key : {"pcpsPort", "pcpsPhone", "pcpsModemInitString", "M_VKT_SERVER_FILE"}) {
    FUZZ_CHECK(ini.ReadString("PC_PORT_SESSION", key, "").size() <= vkt::TIniFile::kMaxValueLength);
    FUZZ_CHECK(ini.ReadString("pc_server_session", key, "").size() <= vkt::TIniFile::kMaxValueLength);
  }

  std::FILE* f = std::fopen(FilePath().c_str(), "wb");
  if (f == nullptr) vkt::fuzz::Broken("cannot write the settings file");
  if (size != 0 && std::fwrite(data, 1, size, f) != size) vkt::fuzz::Broken("short write");
  std::fclose(f);

  vkt::TDriverSettings record;
  const vkt::ResultCode rc = vkt::LoadSettings(FilePath().c_str(), record);
  vkt::fuzz::Trace("load", rc);
  FUZZ_CHECK(IsLoadCode(rc));
  CheckText(record.pcpsPhone);
  CheckText(record.M_VKT_SERVER_CLASS);
  CheckText(record.M_VKT_SERVER_NAME);
  CheckText(record.M_VKT_SERVER_FILE);
  CheckText(record.M_SERVER_HOST_NAME);
  CheckText(record.M_SERVER_IPADD);
  CheckText(record.pcpsModemCheckString);
  CheckText(record.pcpsModemResetString);
  CheckText(record.pcpsModemInitString);
  CheckText(record.pcpsModemDialString);
  CheckText(record.pcpsModemExitString);
  CheckText(record.pcpsModemHangupString);
  CheckText(record.pcpsModemAnswerString);
  if (rc == vkt::kOk) FUZZ_CHECK(vkt::ValidateSettings(record) == vkt::kOk);
  // The section test decides before anything else can fail the load.
  if (!ini.SectionHasKeys("PC_PORT_SESSION")) FUZZ_CHECK(rc == vkt::kNoPortSection);
  return 0;
}
