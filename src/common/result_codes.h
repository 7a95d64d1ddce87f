// Result codes: the driver's whole error vocabulary. 0 is success; every failure has a
// named constant here and one message in result_codes.cpp.
#pragma once

#include <cstdint>

namespace vkt {

using ResultCode = std::int32_t;

inline constexpr ResultCode kOk = 0;

// Settings file and validation.
inline constexpr ResultCode kBadPort = 16001;
inline constexpr ResultCode kBadBaud = 16002;
inline constexpr ResultCode kBadParity = 16003;
inline constexpr ResultCode kBadStopBits = 16004;
inline constexpr ResultCode kBadDataBits = 16005;
inline constexpr ResultCode kBadModemPort = 16006;
inline constexpr ResultCode kModemModeOff = 16009;
inline constexpr ResultCode kPortNotOpen = 16010;
inline constexpr ResultCode kTooMuchData = 16011;
inline constexpr ResultCode kBadDataKind = 16012;
inline constexpr ResultCode kNoSettingsFile = 16013;
inline constexpr ResultCode kTextTooLong = 16015;
inline constexpr ResultCode kNoServerPort = 16018;
inline constexpr ResultCode kNoServerClass = 16019;
inline constexpr ResultCode kNoServerName = 16020;
inline constexpr ResultCode kPlatformUnsupported = 16021;
inline constexpr ResultCode kLineErrorQueryFailed = 16032;
inline constexpr ResultCode kBadModemCommand = 16033;
inline constexpr ResultCode kNoPortHandle = 16035;
inline constexpr ResultCode kRxOverflow = 16036;
inline constexpr ResultCode kTxFull = 16037;
inline constexpr ResultCode kReadTimeout = 16038;
inline constexpr ResultCode kNoCts = 16040;
inline constexpr ResultCode kBadStation = 16043;
inline constexpr ResultCode kBadExtraBytes = 16053;
inline constexpr ResultCode kBadRtsExtTime = 16054;
inline constexpr ResultCode kBadRemOffTime = 16055;
inline constexpr ResultCode kNoPortSection = 16061;
inline constexpr ResultCode kBadFailFramesToReset = 16064;
inline constexpr ResultCode kNoPhoneNumber = 16073;
inline constexpr ResultCode kModemBusy = 16079;
inline constexpr ResultCode kModemNotConnected = 16080;
inline constexpr ResultCode kEmptyDialNumber = 16081;
inline constexpr ResultCode kEmptyModemCommand = 16082;
inline constexpr ResultCode kFrameTooLong = 16100;
inline constexpr ResultCode kShortResponse = 16101;
inline constexpr ResultCode kOverrun = 16102;
inline constexpr ResultCode kFramingError = 16103;
inline constexpr ResultCode kParityError = 16104;
inline constexpr ResultCode kNoAnswer = 16105;
inline constexpr ResultCode kIncompleteFrame = 16106;
inline constexpr ResultCode kChecksumMismatch = 16107;
inline constexpr ResultCode kNoStartByte = 16108;
inline constexpr ResultCode kControllerError = 16109;
inline constexpr ResultCode kReadFailed = 16112;
inline constexpr ResultCode kWriteFailed = 16113;
inline constexpr ResultCode kWriteIncomplete = 16114;
inline constexpr ResultCode kDeviceIoError = 16115;
inline constexpr ResultCode kLinkNotReady = 16203;

// A modem's numeric answer n is reported as kModemAnswerBase + n.
inline constexpr ResultCode kModemAnswerBase = 16150;
inline constexpr ResultCode kModemAnswerNotNumber = 16149;
inline constexpr ResultCode kModemOk = 16150;
inline constexpr ResultCode kModemConnect = 16151;
inline constexpr ResultCode kModemOtherText = 16154;

// Stored by the host interface's single reads for a data kind they do not handle.
inline constexpr ResultCode kUnhandledKind = -1;

// The message of any code, including the controller's own status values and the modem's
// numeric answers. Never null; unknown codes get a generic text.
const char* ResultMessage(ResultCode code);

// One row per named code, in ascending order, for listings (host tool, documentation).
struct ResultCodeInfo {
  ResultCode code;
  const char* message;
};
const ResultCodeInfo* ResultCodeTable(int* count);

}  // namespace vkt
