#include "hints.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/result_codes.h"
#include "settings/ini_file.h"

namespace vkthost {

namespace {

constexpr const char* kSettingsName = "VktJX.Cfg";

bool IsSettingsCode(std::int32_t code) {
  switch (code) {
    case vkt::kBadPort: case vkt::kBadBaud: case vkt::kBadParity: case vkt::kBadStopBits:
    case vkt::kBadDataBits: case vkt::kBadModemPort: case vkt::kTextTooLong:
    case vkt::kNoServerPort: case vkt::kNoServerClass: case vkt::kNoServerName:
    case vkt::kBadExtraBytes: case vkt::kBadRtsExtTime: case vkt::kBadRemOffTime:
    case vkt::kNoPortSection: case vkt::kBadFailFramesToReset: case vkt::kNoPhoneNumber:
    case vkt::kEmptyModemCommand:
      return true;
    default:
      return false;
  }
}

// Why the device cannot be opened, as the system says it, with what usually helps.
std::string WhyDeviceFails(const std::string& device) {
  const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd >= 0) {
    close(fd);
    return "it opens now; it may have been busy or unplugged during the start";
  }
  const int e = errno;
  std::string why = device + ": " + std::strerror(e);
  if (e == ENOENT)
    why += "; plug the adapter in, or map the port with --port COMn=DEVICE "
           "(ls /dev/serial/by-id)";
  else if (e == EACCES)
    why += "; add the user to the dialout group (sudo usermod -aG dialout $USER, then log in "
           "again)";
  else if (e == EBUSY)
    why += "; another program holds the port";
  return why;
}

}  // namespace

std::string DescribePort(const std::string& dir, int* comNumber, std::string* device) {
  const vkt::TIniFile ini(dir + "/" + kSettingsName);
  const bool modem = ini.ReadBool("PC_PORT_SESSION", "pcpsModemSuport", false);
  // The port keys are 8-bit fields: only the low byte counts.
  const int port = static_cast<std::int8_t>(
      ini.ReadInteger("PC_PORT_SESSION", modem ? "pcpsModemPort" : "pcpsPort", modem ? 0 : 1) &
      0xFF);
  const std::string var = "VKTJX_COM" + std::to_string(port);
  const char* mapped = std::getenv(var.c_str());
  std::string path;
  std::string from;
  if (mapped != nullptr && *mapped != '\0') {
    path = mapped;
    from = var;
  } else {
    path = "/dev/ttyS" + std::to_string(port - 1);
    from = "default; set " + var + " or --port COM" + std::to_string(port) + "=DEVICE";
  }
  if (comNumber) *comNumber = port;
  if (device) *device = path;
  return "COM" + std::to_string(port) + " = " + path + " (" + from + ")";
}

std::string DescribeFailure(std::int32_t code, const FailureContext& context) {
  std::string text = std::to_string(code) + ": " + vkt::ResultMessage(code);
  std::string hint;
  const std::string settingsPath = context.dir + "/" + kSettingsName;
  const std::string station =
      context.station >= 0 ? "station " + std::to_string(context.station) : "the station";

  if (code == vkt::kNoSettingsFile) {
    text += ": no " + std::string(kSettingsName) + " in " + context.dir;
    hint = "copy examples/VktJX.Cfg there and set pcpsPort, or pass --dir DIR";
  } else if (IsSettingsCode(code)) {
    text += ": in " + settingsPath;
    hint = "correct the key and start again; the README lists every key with its limits";
  } else if (code == vkt::kPortNotOpen) {
    std::string device;
    const std::string port = DescribePort(context.dir, nullptr, &device);
    text += ": " + port;
    hint = WhyDeviceFails(device);
  } else if (code == vkt::kNoAnswer) {
    text += ": " + station + " sent nothing back";
    hint = "check the station number, the wiring (RS-485: A/B swapped?), pcpsBaud and "
           "pcpsParity against the station, and pcpsVktRespTmo";
  } else if (code == vkt::kIncompleteFrame || code == vkt::kChecksumMismatch ||
             code == vkt::kNoStartByte || code == vkt::kFramingError ||
             code == vkt::kParityError || code == vkt::kShortResponse) {
    hint = "noise or a framing mismatch: check pcpsBaud, pcpsParity, pcpsStopBits and "
           "pcpsDataBits against the station; on a USB adapter set its latency_timer to 1 ms";
  } else if (code == vkt::kBadStation) {
    hint = "stations are numbered 1 to 255";
  } else if (code == vkt::kTooMuchData) {
    hint = "one block holds at most 1000 bits, 500 words or 250 floats";
  } else if (code == vkt::kBadDataKind) {
    hint = "this operation takes bit, word or float (the error registers can only be read)";
  } else if (code == vkt::kLinkNotReady) {
    hint = "the start failed (see its code), or the line is a modem (pcpsModemSuport=1)";
  } else if (code == vkt::kModemNotConnected) {
    hint = "the modem has no call: set pcpsAutoConnect=1 and pcpsPhone";
  } else if (code == vkt::kControllerError) {
    hint = station + " refused the request: check the address range and the kind";
  } else if (code == vkt::kNoCts) {
    hint = "the radio did not raise CTS: check its RTS/CTS wiring and power";
  } else if ((code >= 1 && code <= 127) || (code >= 160 && code <= 255)) {
    text += " " + std::to_string(code);
    hint = station + " answered with its own status byte; see the station's manual";
  }
  if (!hint.empty()) text += "\n  hint: " + hint;
  return text;
}

}  // namespace vkthost
