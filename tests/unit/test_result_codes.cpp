// The message table: every named code has its own text, the table is ordered, and the values
// that pass through from controllers and modems have messages too.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "common/result_codes.h"

namespace vkt {
namespace {

constexpr ResultCode kNamed[] = {
    kOk, kBadPort, kBadBaud, kBadParity, kBadStopBits, kBadDataBits, kBadModemPort,
    kModemModeOff, kPortNotOpen, kTooMuchData, kBadDataKind, kNoSettingsFile, kTextTooLong,
    kNoServerPort, kNoServerClass, kNoServerName, kPlatformUnsupported, kLineErrorQueryFailed,
    kBadModemCommand, kNoPortHandle, kRxOverflow, kTxFull, kReadTimeout, kNoCts, kBadStation,
    kBadExtraBytes, kBadRtsExtTime, kBadRemOffTime, kNoPortSection, kBadFailFramesToReset,
    kNoPhoneNumber, kModemBusy, kModemNotConnected, kEmptyDialNumber, kEmptyModemCommand,
    kFrameTooLong, kShortResponse, kOverrun, kFramingError, kParityError, kNoAnswer,
    kIncompleteFrame, kChecksumMismatch, kNoStartByte, kControllerError, kReadFailed,
    kWriteFailed, kWriteIncomplete, kDeviceIoError, kLinkNotReady, kModemAnswerNotNumber,
    kModemOk, kModemConnect, kModemOtherText, kUnhandledKind,
};

const std::string kUnknown = ResultMessage(99999);
const std::string kController = ResultMessage(1);

TEST(ResultCodes, NamedCodesHaveDistinctOwnMessages) {
  std::set<std::string> seen;
  for (ResultCode code : kNamed) {
    const std::string msg = ResultMessage(code);
    EXPECT_FALSE(msg.empty()) << code;
    EXPECT_NE(msg, kUnknown) << code;
    EXPECT_NE(msg, kController) << code;
    EXPECT_TRUE(seen.insert(msg).second) << code << " shares \"" << msg << "\"";
  }
}

TEST(ResultCodes, PassThroughValuesHaveMessages) {
  // Controller status values: 1..127 and 160..255.
  for (ResultCode code : {1, 5, 32, 127, 160, 255}) EXPECT_EQ(ResultMessage(code), kController);
  // 128..159 never pass through (they become the controller-error code).
  for (ResultCode code : {128, 0x85, 159, 256, -2, 16000, 16204})
    EXPECT_EQ(ResultMessage(code), kUnknown) << code;
  // Every modem answer number has its own message.
  std::set<std::string> modem;
  for (ResultCode code = 16149; code <= 16159; ++code) {
    EXPECT_NE(ResultMessage(code), kUnknown) << code;
    modem.insert(ResultMessage(code));
  }
  EXPECT_EQ(modem.size(), 11u);
  EXPECT_NE(std::string(ResultMessage(kUnhandledKind)), kUnknown);
}

TEST(ResultCodes, TableIsAscendingAndMatchesMessages) {
  int count = 0;
  const ResultCodeInfo* table = ResultCodeTable(&count);
  ASSERT_NE(table, nullptr);
  ASSERT_GT(count, 0);
  for (int i = 0; i < count; ++i) {
    if (i > 0) {
      EXPECT_LT(table[i - 1].code, table[i].code) << "row " << i;
    }
    EXPECT_STREQ(ResultMessage(table[i].code), table[i].message);
  }
  std::set<ResultCode> listed;
  for (int i = 0; i < count; ++i) listed.insert(table[i].code);
  for (ResultCode code : kNamed) EXPECT_TRUE(listed.count(code)) << code;
  EXPECT_EQ(ResultCodeTable(nullptr), table);
}

}  // namespace
}  // namespace vkt
