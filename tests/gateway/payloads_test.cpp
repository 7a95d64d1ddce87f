// Write topics and payloads as they may come from the broker, and the JSON the gateway sends.
#include <gtest/gtest.h>

#include <chrono>

#include "payloads.h"

namespace vktgw {
namespace {

TEST(GatewayPayloads, WriteTopics) {
  struct Case {
    const char* rest;
    std::int32_t code;
    int station;
    Kind kind;
    int address;
  };
  const Case cases[] = {
      {"7/word/100/set", 0, 7, Kind::kWord, 100},
      {"255/bit/65535/set", 0, 255, Kind::kBit, 65535},
      {"1/float/0/set", 0, 1, Kind::kFloat, 0},
      {"0/word/1/set", 16043, 0, Kind::kWord, 0},
      {"256/word/1/set", 16043, 0, Kind::kWord, 0},
      {"7/dword/1/set", 16012, 0, Kind::kWord, 0},
      {"7/word/65536/set", kMalformedWrite, 0, Kind::kWord, 0},
      {"7/word/-1/set", kMalformedWrite, 0, Kind::kWord, 0},
      {"x/word/1/set", kMalformedWrite, 0, Kind::kWord, 0},
      {"7/word/1/get", kMalformedWrite, 0, Kind::kWord, 0},
      {"7/word/1/2/set", kMalformedWrite, 0, Kind::kWord, 0},
      {"7/word//set", kMalformedWrite, 0, Kind::kWord, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rest);
    WriteTarget t;
    std::int32_t code = -5;
    EXPECT_EQ(ParseWriteTopic(c.rest, t, code), c.code == 0);
    EXPECT_EQ(code, c.code);
    if (c.code == 0) {
      EXPECT_EQ(t.station, c.station);
      EXPECT_EQ(t.kind, c.kind);
      EXPECT_EQ(t.address, c.address);
    }
  }
}

TEST(GatewayPayloads, WritePayloads) {
  struct Case {
    Kind kind;
    std::uint16_t address;
    const char* payload;
    std::int32_t code;
    std::vector<double> values;
  };
  const Case cases[] = {
      {Kind::kWord, 0, "42", 0, {42}},
      {Kind::kWord, 0, "-32768", 0, {-32768}},
      {Kind::kWord, 0, "[1, 2, 3]", 0, {1, 2, 3}},
      {Kind::kWord, 0, R"({"value": 5})", 0, {5}},
      {Kind::kWord, 0, R"({"value": [5, 6]})", 0, {5, 6}},
      {Kind::kFloat, 0, "1.25", 0, {1.25}},
      {Kind::kBit, 0, "[true, 0, 1, false]", 0, {1, 0, 1, 0}},
      {Kind::kWord, 0, "32768", kMalformedWrite, {}},
      {Kind::kWord, 0, "1.5", kMalformedWrite, {}},
      {Kind::kWord, 0, "true", kMalformedWrite, {}},
      {Kind::kBit, 0, "2", kMalformedWrite, {}},
      {Kind::kFloat, 0, "1e39", kMalformedWrite, {}},
      {Kind::kWord, 0, "", kMalformedWrite, {}},
      {Kind::kWord, 0, "abc", kMalformedWrite, {}},
      {Kind::kWord, 0, "\"5\"", kMalformedWrite, {}},
      {Kind::kWord, 0, "[]", kMalformedWrite, {}},
      {Kind::kWord, 0, "[1, \"2\"]", kMalformedWrite, {}},
      {Kind::kWord, 0, "[[1]]", kMalformedWrite, {}},
      {Kind::kWord, 0, R"({"value": 5, "extra": 1})", kMalformedWrite, {}},
      {Kind::kWord, 0, R"({"val": 5})", kMalformedWrite, {}},
      {Kind::kWord, 0, R"({"value": {"value": 5}})", kMalformedWrite, {}},
      {Kind::kWord, 0, "null", kMalformedWrite, {}},
      {Kind::kWord, 65535, "[1, 2]", kMalformedWrite, {}},  // runs past the last address
      {Kind::kWord, 65535, "[1]", 0, {1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.payload);
    std::vector<double> values;
    std::int32_t code = -5;
    EXPECT_EQ(ParseWritePayload(c.kind, c.address, c.payload, values, code), c.code == 0);
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(values, c.values);
  }
}

TEST(GatewayPayloads, ArrayLongerThanOneBlockIsTooMuchData) {
  std::string words = "[0";
  for (int i = 1; i < 501; ++i) words += ",0";
  words += "]";
  std::vector<double> values;
  std::int32_t code = 0;
  EXPECT_FALSE(ParseWritePayload(Kind::kWord, 0, words, values, code));
  EXPECT_EQ(code, 16011);
  EXPECT_TRUE(ParseWritePayload(Kind::kBit, 0, words, values, code));  // 501 bits fit
}

TEST(GatewayPayloads, PublishedJson) {
  EXPECT_EQ(ValuePayload(Kind::kFloat, true, 0.1f, true, "T", 0),
            R"({"value":0.1,"quality":"good","ts":"T","code":0})");
  EXPECT_EQ(ValuePayload(Kind::kWord, true, -7, false, "T", 16105),
            R"({"value":-7,"quality":"bad","ts":"T","code":16105})");
  EXPECT_EQ(ValuePayload(Kind::kWord, false, 0, false, "T", 16105),
            R"({"value":null,"quality":"bad","ts":"T","code":16105})");
  EXPECT_EQ(ResultPayload(0), R"({"ok":true})");
  EXPECT_EQ(ResultPayload(kMalformedWrite).find(R"({"code":17001,"message":"malformed write)"), 0u);
  EXPECT_EQ(GatewayStatusPayload(false, ""), R"({"online":false})");
  EXPECT_EQ(IsoTime(std::chrono::system_clock::time_point(std::chrono::milliseconds(1709647629045))),
            "2024-03-05T14:07:09.045Z");
  // late: a value keeps its own time stamp, a status gets the time it was made
  EXPECT_EQ(LatePayload(R"({"value":1,"ts":"T"})", ""), R"({"value":1,"ts":"T","late":true})");
  EXPECT_EQ(LatePayload(R"({"state":"online"})", "T"), R"({"state":"online","ts":"T","late":true})");
}

}  // namespace
}  // namespace vktgw
