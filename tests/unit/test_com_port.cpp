// The driver object on the fake line: the six services split runs into frames at the right
// addresses and move the right bytes, check what comes back, and go through the link state.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "fake_platform.h"
#include "protocol/frame.h"
#include "protocol/vkt_com_port.h"
#include "response_frame.h"

namespace vkt {
namespace {

using test::Bytes;
using test::FakePlatform;

constexpr int kSize[3] = {1, 2, 4};

// The byte a station holds at byte `i` of element `address` of `kind` before any write.
std::uint8_t Preset(int kind, int address, int i) {
  return static_cast<std::uint8_t>(address * 31 + i * 7 + kind * 5 + 1);
}

Bytes Frame(int station, int status, const Bytes& data) {
  return test::ResponseFrame(station, status, data);
}

// A request as the station saw it.
struct Seen {
  int station, command, address, count;
  Bytes values;
};

// Writes a settings file and removes it again at the end of the test.
class SettingsFile {
 public:
  explicit SettingsFile(const std::string& keys) {
    static int n = 0;
    path_ = testing::TempDir() + "vkt_com_port_" + std::to_string(getpid()) + "_" +
            std::to_string(++n) + ".cfg";
    std::ofstream(path_) << "[PC_PORT_SESSION]\npcpsPort=1\n" << keys;
  }
  ~SettingsFile() { std::remove(path_.c_str()); }
  const char* path() const { return path_.c_str(); }

 private:
  std::string path_;
};

// Station 1..255 on COM1, answering from its memory; `reply` may change each answer.
class ComPortLine : public testing::Test {
 protected:
  ComPortLine() {
    fake.SetResponder([this](FakePlatform& f, const Bytes& w) { OnWrite(f, w); });
  }

  void OnWrite(FakePlatform& f, const Bytes& w) {
    if (w.empty() || w[0] != kStartByte) {  // a modem command line
      const std::string line(w.begin(), w.end());
      const auto it = modemReplies.find(line);
      if (it != modemReplies.end()) f.PushAfterWrite(10, Bytes(it->second.begin(), it->second.end()));
      return;
    }
    Seen s{w[1], w[3], w[4] | (w[5] << 8), w[6], Bytes(w.begin() + 7, w.end() - 2)};
    seen.push_back(s);
    if (silentFrom > 0 && static_cast<int>(seen.size()) >= silentFrom) return;
    const int kind = s.command & 0x03;
    Bytes data;
    if (s.command <= kCmdReadFloats) {
      for (int e = 0; e < s.count; ++e)
        for (int i = 0; i < kSize[kind]; ++i) data.push_back(At(kind, (s.address + e) & 0xFFFF, i));
    } else {
      for (std::size_t b = 0; b < s.values.size(); ++b) {
        const int e = static_cast<int>(b) / kSize[kind];
        memory[{kind, (s.address + e) & 0xFFFF, static_cast<int>(b) % kSize[kind]}] = s.values[b];
      }
    }
    int status = 0;
    if (reply) reply(status, data);
    f.PushAfterWrite(5, Frame(s.station, status, data));
  }

  std::uint8_t At(int kind, int address, int i) const {
    const auto it = memory.find({kind, address, i});
    return it != memory.end() ? it->second : Preset(kind, address, i);
  }

  void OpenReady() {
    ASSERT_EQ(port.OpenLink(file.path()), kOk);
    ASSERT_EQ(port.LinkState(), kLinkReady);
  }

  ResultCode Service(int kind, bool write, int station, std::int32_t address,
                     std::uint8_t* buffer, std::int32_t count) {
    switch (kind * 2 + (write ? 1 : 0)) {
      case 0: return port.ReadBits(station, address, 0, buffer, count);
      case 1: return port.WriteBits(station, address, 0, buffer, count);
      case 2: return port.ReadWords(station, address, 0, buffer, count);
      case 3: return port.WriteWords(station, address, 0, buffer, count);
      case 4: return port.ReadFloats(station, address, 0, buffer, count);
      default: return port.WriteFloats(station, address, 0, buffer, count);
    }
  }

  SettingsFile file{""};
  std::map<std::string, std::string> modemReplies;
  std::map<std::tuple<int, int, int>, std::uint8_t> memory;
  std::vector<Seen> seen;
  int silentFrom = 0;  // 1-based request from which the station stays silent; 0 never
  std::function<void(int& status, Bytes& data)> reply;
  FakePlatform fake;
  TVktComPort port{nullptr, &fake};
};

// ---- Chunking -----------------------------------------------------------------------------

struct ChunkCase {
  const char* name;
  int kind;
  bool write;
  std::int32_t address;
  std::int32_t count;
  std::vector<std::pair<int, int>> frames;  // address on the wire, element count
};
void PrintTo(const ChunkCase& c, std::ostream* os) { *os << c.name; }

class Chunking : public ComPortLine, public testing::WithParamInterface<ChunkCase> {};

TEST_P(Chunking, FramesCarryTheRunInOrder) {
  const ChunkCase& c = GetParam();
  OpenReady();
  const int size = kSize[c.kind];
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(c.count * size) + 8, 0xEE);
  if (c.write)
    for (std::size_t i = 0; i < buffer.size() - 8; ++i) buffer[i] = static_cast<std::uint8_t>(i * 13 + 3);
  const std::vector<std::uint8_t> before = buffer;

  ASSERT_EQ(Service(c.kind, c.write, 7, c.address, buffer.data(), c.count), kOk);

  ASSERT_EQ(seen.size(), c.frames.size());
  const int command = (c.write ? 0x94 : 0x90) + c.kind;
  std::size_t offset = 0;
  for (std::size_t f = 0; f < c.frames.size(); ++f) {
    SCOPED_TRACE("frame " + std::to_string(f));
    EXPECT_EQ(seen[f].station, 7);
    EXPECT_EQ(seen[f].command, command);
    EXPECT_EQ(seen[f].address, c.frames[f].first);
    EXPECT_EQ(seen[f].count, c.frames[f].second);
    const std::size_t bytes = static_cast<std::size_t>(c.frames[f].second * size);
    if (c.write) {
      EXPECT_EQ(seen[f].values, Bytes(before.begin() + offset, before.begin() + offset + bytes));
    } else {
      for (std::size_t b = 0; b < bytes; ++b)
        ASSERT_EQ(buffer[offset + b],
                  Preset(c.kind, (c.frames[f].first + static_cast<int>(b) / size) & 0xFFFF,
                         static_cast<int>(b) % size))
            << "byte " << offset + b;
    }
    offset += bytes;
  }
  // Nothing is written past the run.
  EXPECT_EQ(Bytes(buffer.end() - 8, buffer.end()), Bytes(8, 0xEE));
}

INSTANTIATE_TEST_SUITE_P(
    ComPort, Chunking,
    testing::Values(
        ChunkCase{"ThreeHundredWords", 1, false, 1000, 300, {{1000, 124}, {1124, 124}, {1248, 52}}},
        ChunkCase{"SixtyTwoFloats", 2, false, 0, 62, {{0, 62}}},
        ChunkCase{"SixtyThreeFloats", 2, false, 0, 63, {{0, 62}, {62, 1}}},
        ChunkCase{"BitReadsOf249", 0, false, 5, 250, {{5, 249}, {254, 1}}},
        ChunkCase{"BitWritesOf248", 0, true, 5, 300, {{5, 248}, {253, 52}}},
        ChunkCase{"BitWriteOf249", 0, true, 0, 249, {{0, 248}, {248, 1}}},
        ChunkCase{"WordWrites", 1, true, 10, 300, {{10, 124}, {134, 124}, {258, 52}}},
        ChunkCase{"FloatWrites", 2, true, 10, 63, {{10, 62}, {72, 1}}},
        ChunkCase{"AddressWrapsInTheRun", 1, false, 65500, 200, {{65500, 124}, {88, 76}}},
        ChunkCase{"AddressAbove65535", 1, false, 70000, 2, {{4464, 2}}},
        ChunkCase{"AddressNearTheIntegerLimit", 1, false, 0x7FFFFFF0, 200,
                  {{0xFFF0, 124}, {0x006C, 76}}}),
    [](const testing::TestParamInfo<ChunkCase>& info) { return info.param.name; });

TEST_F(ComPortLine, WrittenValuesReadBack) {
  OpenReady();
  std::uint8_t values[300];
  for (int i = 0; i < 300; ++i) values[i] = (i % 3) ? 0xFF : 0x00;
  ASSERT_EQ(port.WriteBits(3, 100, 0, values, 300), kOk);
  std::uint8_t back[300] = {};
  ASSERT_EQ(port.ReadBits(3, 100, 0, back, 300), kOk);
  EXPECT_EQ(Bytes(back, back + 300), Bytes(values, values + 300));
}

TEST_F(ComPortLine, CountZeroSucceedsWithoutAnyCheckOrTraffic) {
  std::uint8_t buffer[4] = {};
  for (int kind = 0; kind < 3; ++kind)
    for (bool write : {false, true}) {
      EXPECT_EQ(Service(kind, write, 0, 0, buffer, 0), kOk);  // closed link, bad station
      EXPECT_EQ(Service(kind, write, 1, 0, buffer, 0), kOk);
    }
  EXPECT_EQ(fake.Writes().size(), 0u);
}

TEST_F(ComPortLine, StationOutsideTheRangeIsRefusedWithoutTraffic) {
  std::uint8_t buffer[8] = {};
  EXPECT_EQ(port.ReadWords(0, 0, 0, buffer, 1), kBadStation);  // checked before the link
  OpenReady();
  EXPECT_EQ(port.ReadWords(0, 0, 0, buffer, 1), kBadStation);
  EXPECT_EQ(port.WriteWords(256, 0, 0, buffer, 1), kBadStation);
  EXPECT_EQ(port.ReadFloats(-1, 0, 0, buffer, 1), kBadStation);
  EXPECT_EQ(port.ReadBits(255, 0, 0, buffer, 1), kOk);
  EXPECT_EQ(fake.Writes().size(), 1u);
}

TEST_F(ComPortLine, ChunkLevelRefusals) {
  OpenReady();
  std::uint8_t buffer[300] = {};
  EXPECT_EQ(port.ReadChunk(1, 3, 0, 2, buffer, 1, 0), kBadDataKind);
  EXPECT_EQ(port.WriteChunk(1, -1, 0, 2, buffer, 1, 0), kBadDataKind);
  EXPECT_EQ(port.ReadChunk(1, 1, 0, 250, buffer, 125, 0), kTooMuchData);
  EXPECT_EQ(port.WriteChunk(1, 2, 0, 252, buffer, 63, 0), kTooMuchData);
  EXPECT_EQ(port.ReadChunk(1, 1, 0, 4, buffer, -2, 0), kTooMuchData);
  EXPECT_EQ(port.WriteChunk(1, 1, 0, -4, buffer, 2, 0), kTooMuchData);
  // A bit write chunk of 249 values cannot be framed.
  EXPECT_EQ(port.WriteChunk(1, 0, 0, 249, buffer, 249, 0), kFrameTooLong);
  EXPECT_EQ(port.ReadWords(1, 0, 0, buffer, -1), kTooMuchData);
  EXPECT_EQ(fake.Writes().size(), 0u);
}

// ---- What comes back ----------------------------------------------------------------------

struct ReplyCase {
  const char* name;
  int kind;
  bool write;
  std::function<void(int& status, Bytes& data)> reply;
  ResultCode expected;
};
void PrintTo(const ReplyCase& c, std::ostream* os) { *os << c.name; }

class Replies : public ComPortLine, public testing::WithParamInterface<ReplyCase> {};

TEST_P(Replies, AreChecked) {
  const ReplyCase& c = GetParam();
  reply = c.reply;
  OpenReady();
  std::uint8_t buffer[16] = {};
  EXPECT_EQ(Service(c.kind, c.write, 1, 0, buffer, 2), c.expected);
  EXPECT_EQ(seen.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    ComPort, Replies,
    testing::Values(
        ReplyCase{"ShortRead", 1, false, [](int&, Bytes& d) { d.pop_back(); }, kShortResponse},
        ReplyCase{"LongRead", 2, false, [](int&, Bytes& d) { d.push_back(0); }, kFrameTooLong},
        ReplyCase{"WriteAnsweredWithData", 1, true, [](int&, Bytes& d) { d = {1}; },
                  kFrameTooLong},
        ReplyCase{"WriteAnsweredWithoutData", 0, true, nullptr, kOk},
        ReplyCase{"ControllerError", 1, false,
                  [](int& s, Bytes& d) {
                    s = 0x9F;
                    d.clear();
                  },
                  kControllerError},
        ReplyCase{"ControllerOwnStatus", 1, true, [](int& s, Bytes&) { s = 5; }, 5},
        ReplyCase{"StatusAboveTheErrorRange", 0, false,
                  [](int& s, Bytes& d) {
                    s = 0xA0;
                    d.clear();
                  },
                  0xA0}),
    [](const testing::TestParamInfo<ReplyCase>& info) { return info.param.name; });

TEST_F(ComPortLine, AFailureStopsTheRunAtItsChunk) {
  OpenReady();
  silentFrom = 2;
  std::uint8_t buffer[600];
  std::fill(std::begin(buffer), std::end(buffer), 0xEE);
  EXPECT_EQ(port.ReadWords(1, 0, 0, buffer, 300), kNoAnswer);
  EXPECT_EQ(seen.size(), 2u);  // no third chunk after the silent second
  EXPECT_EQ(buffer[0], Preset(1, 0, 0));
  EXPECT_EQ(buffer[247], Preset(1, 123, 1));
  EXPECT_EQ(buffer[248], 0xEE);
}

// ---- Link state ---------------------------------------------------------------------------

TEST_F(ComPortLine, LinkStateGatesEveryRequest) {
  std::uint8_t buffer[4] = {};
  EXPECT_EQ(port.LinkState(), kLinkCreated);
  EXPECT_EQ(port.ReadWords(1, 0, 0, buffer, 1), kLinkNotReady);

  EXPECT_EQ(port.OpenLink("/nonexistent/VktJX.Cfg"), kNoSettingsFile);
  EXPECT_EQ(port.LinkState(), kLinkFailed);
  EXPECT_EQ(port.WriteWords(1, 0, 0, buffer, 1), kLinkNotReady);

  EXPECT_EQ(port.OpenLink(file.path()), kOk);
  EXPECT_EQ(port.LinkState(), kLinkReady);
  EXPECT_EQ(port.ReadWords(1, 0, 0, buffer, 1), kOk);

  EXPECT_EQ(port.CloseLink(), kOk);
  EXPECT_EQ(port.LinkState(), kLinkClosed);
  EXPECT_FALSE(port.Active());
  EXPECT_EQ(port.ReadFloats(1, 0, 0, buffer, 1), kLinkNotReady);

  const SettingsFile invalid("pcpsBaud=1234\n");
  EXPECT_EQ(port.OpenLink(invalid.path()), kBadBaud);
  EXPECT_EQ(port.LinkState(), kLinkFailed);

  EXPECT_EQ(port.OpenLink(file.path()), kOk);
  EXPECT_EQ(port.ReadBits(1, 0, 0, buffer, 1), kOk);
  EXPECT_EQ(seen.size(), 2u);
}

TEST_F(ComPortLine, ReadyWithAPortThatWouldNotOpen) {
  fake.SetPortBusy(1, true);
  std::uint8_t buffer[4] = {};
  EXPECT_EQ(port.OpenLink(file.path()), kOk);
  EXPECT_EQ(port.LinkState(), kLinkReady);
  EXPECT_EQ(port.ReadWords(1, 0, 0, buffer, 1), kPortNotOpen);
}

TEST_F(ComPortLine, InModemModeTheLinkFollowsTheModem) {
  std::uint8_t buffer[4] = {};
  const SettingsFile noDial("pcpsModemSuport=1\npcpsModemPort=1\n");
  EXPECT_EQ(port.OpenLink(noDial.path()), kOk);
  EXPECT_EQ(port.LinkState(), kLinkModem);
  EXPECT_EQ(port.ReadWords(1, 0, 0, buffer, 1), kModemNotConnected);
  EXPECT_EQ(fake.Writes().size(), 0u);

  modemReplies["ATZ\r"] = "0\r";
  modemReplies["ATV0 E0 F1 H0r\r"] = "0\r";
  modemReplies["ATD 5551234\r"] = "1\r";
  modemReplies["+++\r"] = "0\r";
  modemReplies["ATH0\r"] = "0\r";
  const SettingsFile dial(
      "pcpsModemSuport=1\npcpsModemPort=1\npcpsAutoConnect=1\npcpsPhone=5551234\n");
  EXPECT_EQ(port.OpenLink(dial.path()), kOk);
  EXPECT_EQ(port.ModemState(), msConnected);
  EXPECT_EQ(port.LinkState(), kLinkReady);
  EXPECT_EQ(port.ReadWords(1, 0, 0, buffer, 1), kOk);
  EXPECT_EQ(seen.size(), 1u);

  // The call is lost: requests are refused again, saying why.
  port.SetModemState(msFailed);
  EXPECT_EQ(port.LinkState(), kLinkModem);
  EXPECT_EQ(port.ReadWords(1, 0, 0, buffer, 1), kModemNotConnected);
  EXPECT_EQ(seen.size(), 1u);

  port.SetModemState(msConnected);
  EXPECT_EQ(port.CloseLink(), kOk);
  EXPECT_EQ(port.LinkState(), kLinkClosed);
  EXPECT_EQ(port.ModemState(), msIdle);
  bool hungUp = false;
  for (const Bytes& w : fake.Writes()) hungUp = hungUp || std::string(w.begin(), w.end()) == "ATH0\r";
  EXPECT_TRUE(hungUp);
}

}  // namespace
}  // namespace vkt
