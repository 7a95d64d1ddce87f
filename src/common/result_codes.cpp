#include "common/result_codes.h"

namespace vkt {
namespace {

constexpr ResultCodeInfo kTable[] = {
    {kUnhandledKind, "data kind not handled by this read"},
    {kOk, "success"},
    {kBadPort, "settings: pcpsPort outside 1..8"},
    {kBadBaud, "settings: pcpsBaud not one of 300, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200"},
    {kBadParity, "settings: pcpsParity outside 0..4"},
    {kBadStopBits, "settings: pcpsStopBits outside 1..2"},
    {kBadDataBits, "settings: pcpsDataBits outside 5..8"},
    {kBadModemPort, "settings: modem mode on and pcpsModemPort outside 1..8"},
    {kModemModeOff, "modem operation while modem mode is off"},
    {kPortNotOpen, "the serial port is not open"},
    {kTooMuchData, "too much data for one frame, chunk or block"},
    {kBadDataKind, "data kind other than 0 (bits), 1 (words), 2 (floats)"},
    {kNoSettingsFile, "settings file not found"},
    {kTextTooLong, "settings: a text setting is longer than its limit"},
    {kNoServerPort, "settings: M_USE_VKT_SERVER on and M_SERVER_PORT not set"},
    {kNoServerClass, "settings: M_VKT_SERVER_FILE given and M_VKT_SERVER_CLASS empty"},
    {kNoServerName, "settings: M_VKT_SERVER_FILE given and M_VKT_SERVER_NAME empty"},
    {kPlatformUnsupported, "operating-system platform query failed or platform not supported"},
    {kLineErrorQueryFailed, "reading the line error state after a short read failed"},
    {kBadModemCommand, "unknown modem command selector"},
    {kNoPortHandle, "read or write without an open port handle"},
    {kRxOverflow, "receive buffer overflow on the line"},
    {kTxFull, "transmit buffer full on the line"},
    {kReadTimeout, "read time-out: fewer bytes than asked arrived in time"},
    {kNoCts, "data radio: CTS did not come on within 200 ms of RTS"},
    {kBadStation, "station address outside 1..255"},
    {kBadExtraBytes, "settings: pcpsRS485ExtraBytes or pcpsRadioExtraBytes outside 0..10"},
    {kBadRtsExtTime, "settings: pcpsRS485RTSExtTime or pcpsRadioRTSExtTime outside 0..200"},
    {kBadRemOffTime, "settings: pcpsRS485RemRtsOffTime or pcpsRadioRemCarrierOffTime outside 0..200"},
    {kNoPortSection, "settings: no PC_PORT_SESSION section, or the section holds no key"},
    {kBadFailFramesToReset, "settings: pcpsFailFramesToReset below 5"},
    {kNoPhoneNumber, "settings: modem auto-connect on and pcpsPhone empty"},
    {kModemBusy, "a modem command while another is in progress"},
    {kModemNotConnected, "modem mode and the modem is not connected"},
    {kEmptyDialNumber, "dialling with an empty number, or one that begins with CR"},
    {kEmptyModemCommand, "settings: modem mode on and a modem command string is empty"},
    {kFrameTooLong, "frame too long, or response carries more data than expected"},
    {kShortResponse, "response carries fewer data bytes than requested"},
    {kOverrun, "overrun error on the line"},
    {kFramingError, "framing error on the line"},
    {kParityError, "parity error on the line"},
    {kNoAnswer, "no answer: nothing arrived within the response time-out"},
    {kIncompleteFrame, "incomplete frame: the response stopped short"},
    {kChecksumMismatch, "checksum mismatch in the response"},
    {kNoStartByte, "no start byte among the first three bytes received"},
    {kControllerError, "the controller reported an error (status 0x80..0x9F)"},
    {kReadFailed, "the system read call failed"},
    {kWriteFailed, "the system write call failed"},
    {kWriteIncomplete, "write incomplete: fewer bytes written, or transmit-empty event missing"},
    {kDeviceIoError, "device I/O error on the line"},
    {kModemAnswerNotNumber, "modem answer looked numeric but is not a whole number"},
    {kModemOk, "modem answered OK (0)"},
    {kModemConnect, "modem answered CONNECT (1)"},
    {16152, "modem answered RING (2)"},
    {16153, "modem answered NO CARRIER (3)"},
    {kModemOtherText, "modem answered ERROR (4) or an unrecognised text"},
    {16155, "modem answered 5"},
    {16156, "modem answered NO DIALTONE (6)"},
    {16157, "modem answered BUSY (7)"},
    {16158, "modem answered NO ANSWER (8)"},
    {16159, "modem answered 9"},
    {kLinkNotReady, "the link is not ready for requests"},
};

}  // namespace

const ResultCodeInfo* ResultCodeTable(int* count) {
  if (count) *count = static_cast<int>(sizeof kTable / sizeof kTable[0]);
  return kTable;
}

const char* ResultMessage(ResultCode code) {
  for (const ResultCodeInfo& row : kTable)
    if (row.code == code) return row.message;
  // A status byte that is neither 0 nor 0x80..0x9F is the controller's own value.
  if ((code >= 1 && code <= 127) || (code >= 160 && code <= 255))
    return "controller status value";
  return "unknown result code";
}

}  // namespace vkt
