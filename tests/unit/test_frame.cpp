// The VKT frame codec: the worked frames byte for byte, the size limits of a request, and the
// acceptance rules of a response (length, checksum, status).
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/frame.h"
#include "response_frame.h"

namespace vkt {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Built(int station, int command, const Bytes& data, ResultCode expected = kOk) {
  std::uint8_t buffer[kMaxFrameBytes + 8] = {};
  std::int32_t length = static_cast<std::int32_t>(data.size());
  EXPECT_EQ(BuildFrame(station, command, buffer, length, data.data()), expected);
  if (expected != kOk) return {};
  return Bytes(buffer, buffer + length);
}

// A response with a correct checksum: start byte, station, length, status, data, checksum.
Bytes Response(std::uint8_t station, std::uint8_t status, const Bytes& data) {
  return test::ResponseFrame(station, status, data);
}

TEST(Frame, WorkedRequestsByteForByte) {
  EXPECT_EQ(Built(1, kCmdReadWords, {0x10, 0x00, 0x02}),
            (Bytes{0x5A, 0x01, 0x03, 0x91, 0x10, 0x00, 0x02, 0x58, 0xFF}));
  EXPECT_EQ(Built(5, kCmdWriteWords, {0x10, 0x00, 0x01, 0x34, 0x12}),
            (Bytes{0x5A, 0x05, 0x05, 0x95, 0x10, 0x00, 0x01, 0x34, 0x12, 0x09, 0xFF}));
  // Only the low bytes of station and command go out.
  EXPECT_EQ(Built(0x101, 0x191, {0x10, 0x00, 0x02}), Built(1, 0x91, {0x10, 0x00, 0x02}));
}

TEST(Frame, WorkedResponsesPass) {
  const Bytes words = {0x5A, 0x01, 0x04, 0x00, 0x34, 0x12, 0xCD, 0xAB, 0x3C, 0xFE};
  const Bytes empty = {0x5A, 0x05, 0x00, 0x00, 0xFA, 0xFF};
  for (const Bytes& r : {words, empty}) {
    EXPECT_EQ(CheckResponseLength(r[2]), kOk);
    EXPECT_EQ(CheckResponse(r.data() + 1), kOk);
  }
  EXPECT_EQ(Response(1, 0, {0x34, 0x12, 0xCD, 0xAB}), words);
  EXPECT_EQ(Response(5, 0, {}), empty);
}

TEST(Frame, ChecksumWrapsInSixteenBits) {
  // 300 bytes of 0xFF sum to 0x12AD4, which wraps to 0x2AD4.
  const Bytes ff(300, 0xFF);
  EXPECT_EQ(FrameChecksum(ff.data(), ff.size()), static_cast<std::uint16_t>(~0x2AD4));
  EXPECT_EQ(FrameChecksum(nullptr, 0), 0xFFFF);
}

struct LengthCase {
  const char* name;
  std::int32_t dataBytes;
  ResultCode code;
};
void PrintTo(const LengthCase& c, std::ostream* os) { *os << c.name; }

class FrameLength : public testing::TestWithParam<LengthCase> {};

TEST_P(FrameLength, RequestSizeLimits) {
  const LengthCase& c = GetParam();
  std::uint8_t buffer[kMaxFrameBytes + 8] = {};
  Bytes data(c.dataBytes > 0 ? static_cast<std::size_t>(c.dataBytes) : 0, 0x33);
  std::int32_t length = c.dataBytes;
  EXPECT_EQ(BuildFrame(7, kCmdWriteBits, buffer, length, data.data()), c.code);
  if (c.code == kOk) {
    EXPECT_EQ(length, c.dataBytes + 6);
    EXPECT_EQ(buffer[2], c.dataBytes);
    EXPECT_EQ(CheckResponse(buffer + 1), StatusResult(kCmdWriteBits));
  } else {
    EXPECT_EQ(length, c.dataBytes);  // unchanged on refusal
  }
}

INSTANTIATE_TEST_SUITE_P(Table, FrameLength,
                         testing::Values(LengthCase{"Empty", 0, kOk},
                                         LengthCase{"Largest251", 251, kOk},
                                         LengthCase{"Exactly252", 252, kFrameTooLong},
                                         LengthCase{"Over253", 253, kTooMuchData},
                                         LengthCase{"Far1000", 1000, kTooMuchData},
                                         LengthCase{"Negative", -1, kTooMuchData}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Frame, LargestRequestIs257Bytes) {
  const Bytes data(251, 0xA5);
  const Bytes frame = Built(255, kCmdWriteBits, data);
  ASSERT_EQ(frame.size(), 257u);
  EXPECT_EQ(frame[2], 251);
  EXPECT_EQ(Bytes(frame.begin() + 4, frame.end() - 2), data);
}

TEST(Frame, ResponseLengthRule) {
  EXPECT_EQ(CheckResponseLength(0), kOk);
  EXPECT_EQ(CheckResponseLength(252), kOk);
  EXPECT_EQ(CheckResponseLength(253), kTooMuchData);
  EXPECT_EQ(CheckResponseLength(255), kTooMuchData);
  // The body check refuses such a length too, rather than read past the frame.
  std::uint8_t body[8] = {1, 253, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(CheckResponse(body), kTooMuchData);
}

TEST(Frame, ResponseLongestBodyAccepted) {
  const Bytes r = Response(3, 0, Bytes(252, 0x7E));
  EXPECT_EQ(r.size() - 1, 257u);
  EXPECT_EQ(CheckResponse(r.data() + 1), kOk);
}

struct StatusCase {
  const char* name;
  std::uint8_t status;
  ResultCode code;
};
void PrintTo(const StatusCase& c, std::ostream* os) { *os << c.name; }

class FrameStatus : public testing::TestWithParam<StatusCase> {};

TEST_P(FrameStatus, StatusByteGivesResult) {
  const Bytes r = Response(9, GetParam().status, {0x01, 0x02});
  EXPECT_EQ(CheckResponse(r.data() + 1), GetParam().code);
  EXPECT_EQ(StatusResult(GetParam().status), GetParam().code);
}

INSTANTIATE_TEST_SUITE_P(Table, FrameStatus,
                         testing::Values(StatusCase{"Success", 0x00, kOk},
                                         StatusCase{"Own05", 0x05, 5},
                                         StatusCase{"Own20", 0x20, 32},
                                         StatusCase{"Own7F", 0x7F, 127},
                                         StatusCase{"Error80", 0x80, kControllerError},
                                         StatusCase{"Error85", 0x85, kControllerError},
                                         StatusCase{"Error9F", 0x9F, kControllerError},
                                         StatusCase{"OwnA0", 0xA0, 160},
                                         StatusCase{"OwnFF", 0xFF, 255}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Frame, ChecksumMismatchBeatsStatus) {
  // One bit changed in station, status, data or either checksum byte.
  for (std::size_t flip : {1u, 3u, 4u, 5u, 6u, 7u}) {
    Bytes r = Response(4, 0x85, {0x10, 0x20});
    r[flip] ^= 0x01;
    EXPECT_EQ(CheckResponse(r.data() + 1), kChecksumMismatch) << flip;
  }
  // A changed length byte points the check at other bytes: still refused.
  Bytes r = Response(4, 0, {0x10, 0x20, 0x30});
  r[2] = 2;
  EXPECT_EQ(CheckResponse(r.data() + 1), kChecksumMismatch);
}

TEST(Frame, OtherStationAcceptedWithGoodChecksum) {
  // Requests went to station 1; the station byte of the answer is not compared.
  const Bytes r = Response(200, 0, {0xAA});
  EXPECT_EQ(CheckResponse(r.data() + 1), kOk);
}

}  // namespace
}  // namespace vkt
