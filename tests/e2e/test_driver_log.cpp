// The driver log as a host finds it on disk: the lines a start writes, the entry of each export,
// new file against append, and the starts that must not touch a file.
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <regex>

#include "e2e_support.h"

namespace e2e {
namespace {

const std::regex kStamp(R"(^(\d\d)/(\d\d)/(\d{4}) ([01]\d|2[0-3]):[0-5]\d:[0-5]\d\.\d{3} )");
constexpr std::size_t kStampLength = 24;

std::string Today() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[16];
  std::strftime(text, sizeof text, "%d/%m/%Y", &local);
  return text;
}

// The log's lines with each time stamp checked and replaced by "@"; lines that follow an
// embedded line break carry none.
std::vector<std::string> Entries(const std::string& path) {
  const std::string before = Today();
  std::vector<std::string> out;
  for (const std::string& line : Lines(Slurp(path))) {
    std::smatch m;
    if (std::regex_search(line, m, kStamp)) {
      EXPECT_EQ(m.length(0), static_cast<long>(kStampLength));
      const std::string date = line.substr(0, 10);
      EXPECT_TRUE(date == before || date == Today()) << line;
      out.push_back("@" + line.substr(kStampLength));
    } else {
      out.push_back(line);
    }
  }
  return out;
}

using Strings = std::vector<std::string>;

Strings kStartLines(std::uint16_t p1, std::uint16_t p2, std::uint16_t p3, std::uint16_t p4) {
  return {std::string("@") + kDriverName, "@",
          "drvStartComm(" + std::to_string(p1) + "," + std::to_string(p2) + "," +
              std::to_string(p3) + "," + std::to_string(p4) + ")",
          ""};
}

Strings Join(Strings a, const Strings& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class Log : public Line {
 protected:
  std::string LogFile() const { return dir.File("VKTJX.log"); }
};

TEST_F(Log, AStartBeginsANewFileWithFourLines) {
  dir.Write("VKTJX.log", "old contents\n");
  Begin({}, VKTJX_LOG_NEW_FILE);
  const std::string text = Slurp(LogFile());
  EXPECT_EQ(Entries(LogFile()), kStartLines(0, 0, 0, 4721));
  // The second line is the time stamp alone, its trailing blank included.
  EXPECT_EQ(Lines(text).at(1).size(), kStampLength);
  drvStopComm(1, 2, 3, 65535);
  EXPECT_EQ(Entries(LogFile()), Join(kStartLines(0, 0, 0, 4721), {"@drvStopComm(1,2,3,65535)", ""}));
  const std::string closed = Slurp(LogFile());
  EXPECT_EQ(closed.substr(closed.size() - 2), "\n\n");
}

TEST_F(Log, EachExportWritesItsEntryAndFailuresFollowIt) {
  Begin({"--stations", "1,7"}, VKTJX_LOG_NEW_FILE);
  HostValue v;
  HostTag t = Tag(7, 1, 16, 3);
  t.offset = 4;
  t.size = 9;
  EXPECT_EQ(drvReadValue(&t, v.h()), 1);
  EXPECT_EQ(drvReadBlock(&t, v.h()), 1);
  EXPECT_EQ(drvReadBlockElement(&t, v.h()), 1);
  EXPECT_EQ(drvWriteValue(&t, v.h()), 1);
  EXPECT_EQ(drvWriteBlockElement(&t, v.h()), 1);
  HostTag bad = Tag(-2, 2, 65535, 0);
  EXPECT_EQ(drvReadValue(&bad, v.h()), -1);
  bad.kind = 5;
  EXPECT_EQ(drvWriteValue(&bad, v.h()), -1);
  bad.address = 2;
  EXPECT_EQ(drvReadValue(&bad, v.h()), 1);  // a register read: no failure entry

  HostValue bits, words, floats;
  hvDim(bits.h(), 130, 3);
  hvSetAtU8(bits.h(), 1, 2);
  hvSetAtU8(bits.h(), 2, 255);
  hvDim(words.h(), 131, 2);
  hvSetAtI16(words.h(), 0, -5);
  hvSetAtI16(words.h(), 1, 7);
  hvDim(floats.h(), 135, 2);
  hvSetAtR32(floats.h(), 0, 1.5f);
  hvSetAtR32(floats.h(), 1, -0.25f);
  HostTag block = Tag(1, 0, 30, 0, 0, 3);
  EXPECT_EQ(drvWriteBlock(&block, bits.h()), 1);
  block.kind = 1;
  block.writeCount = 3;  // one element more than the value holds: sent as 0
  EXPECT_EQ(drvWriteBlock(&block, words.h()), 1);
  block.kind = 2;
  block.writeCount = 2;
  EXPECT_EQ(drvWriteBlock(&block, floats.h()), 1);
  block.kind = 3;
  EXPECT_EQ(drvWriteBlock(&block, floats.h()), -1);
  drvStopComm(0, 0, 0, 0);

  const Strings expected = Join(kStartLines(0, 0, 0, 4721), {
      "@drvReadValue(7,1,16,3)",
      "@drvReadBlock(7,1,16,3, offset: 4, size: 9)",
      "@drvReadBlockElement(7,1,16,3, offset: 4, size: 9)",
      "@drvWriteValue(7,1,16,3)",
      "@drvWriteBlockElement(7,1,16,3, offset: 4, size: 9)",
      "@drvReadValue(-2,2,65535,0)",
      "@PLC Error(type= 2, code= 16043)",
      "@drvWriteValue(-2,5,65535,0)",
      "@PLC Error(type= 3, code= 16012)",
      "@drvReadValue(-2,5,2,0)",
      "@drvWriteBlock(1,0,30,0, offset: 0, size: 0)",
      "@v[0] = 0",
      "@v[1] = 2",
      "@v[2] = 255",
      "@drvWriteBlock(1,1,30,0, offset: 0, size: 0)",
      "@v[0] = -5",
      "@v[1] = 7",
      "@v[2] = 0",
      "@drvWriteBlock(1,2,30,0, offset: 0, size: 0)",
      "@v[0] = 1.500000",
      "@v[1] = -0.250000",
      "@drvWriteBlock(1,3,30,0, offset: 0, size: 0)",
      "@PLC Error(type= 3, code= 16012)",
      "@drvStopComm(0,0,0,0)",
      "",
  });
  EXPECT_EQ(Entries(LogFile()), expected);
}

TEST_F(Log, AFailedStartLogsItsCodeAfterTheStartLines) {
  std::filesystem::remove(dir.File("VktJX.Cfg"));
  EXPECT_EQ(drvStartComm(9, 8, 7, VKTJX_LOG_APPEND), -1);
  EXPECT_EQ(Entries(LogFile()),
            Join(kStartLines(9, 8, 7, 6358), {"@PLC Error(type= 1, code= 16013)"}));
}

struct TwoCycles {
  const char* name;
  std::uint16_t code;
  bool keepsFirst;
};

TEST_F(Log, NewFileKeepsOnlyTheLastCycleAppendKeepsBoth) {
  ASSERT_TRUE(sim.Start(dir.path(), {}));
  for (const TwoCycles& c : {TwoCycles{"new file", VKTJX_LOG_NEW_FILE, false},
                             TwoCycles{"append", VKTJX_LOG_APPEND, true}}) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(LogFile());
    Strings cycles[2];
    for (std::uint16_t address : {11, 22}) {
      ASSERT_EQ(drvStartComm(0, 0, 0, c.code), 1);
      HostValue v;
      const HostTag t = Tag(1, 1, address);
      ASSERT_EQ(drvReadValue(&t, v.h()), 1);
      ASSERT_EQ(drvStopComm(0, 0, 0, 0), 1);
      cycles[address == 22] =
          Join(kStartLines(0, 0, 0, c.code),
               {"@drvReadValue(1,1," + std::to_string(address) + ",1)", "@drvStopComm(0,0,0,0)", ""});
    }
    EXPECT_EQ(Entries(LogFile()), c.keepsFirst ? Join(cycles[0], cycles[1]) : cycles[1]);
  }
}

TEST_F(Log, OtherStartCodesTouchNoFile) {
  ASSERT_TRUE(sim.Start(dir.path(), {}));
  const std::string named = dir.File("named.log");
  for (std::uint16_t p4 : {0, 1, 4720, 4722, 6357, 6359, 65535}) {
    for (bool viaVariable : {false, true}) {
      if (viaVariable) setenv("VKTJX_LOG", named.c_str(), 1);
      ASSERT_EQ(drvStartComm(0, 0, 0, p4), 1);
      ASSERT_EQ(drvStopComm(0, 0, 0, 0), 1);
      unsetenv("VKTJX_LOG");
    }
    EXPECT_FALSE(Exists(LogFile())) << p4;
    EXPECT_FALSE(Exists(named)) << p4;
  }
}

// Once a start has switched the log on it stays on, but a start with no log-on code opens no
// file, so nothing of its cycle is written.
TEST_F(Log, AStartWithoutALogCodeAfterALoggedCycleWritesNothing) {
  Begin({}, VKTJX_LOG_APPEND);
  drvStopComm(0, 0, 0, 0);
  const std::string first = Slurp(LogFile());
  ASSERT_EQ(drvStartComm(0, 0, 0, 0), 1);
  HostValue v;
  const HostTag t = Tag(1, 5, 9);
  EXPECT_EQ(drvWriteValue(&t, v.h()), -1);
  drvStopComm(0, 0, 0, 0);
  EXPECT_EQ(Slurp(LogFile()), first);
}

TEST_F(Log, TheVariableNamesTheFileAndAnUnwritablePathIsNoFailure) {
  ASSERT_TRUE(sim.Start(dir.path(), {}));
  const std::string named = dir.File("driver.log");
  setenv("VKTJX_LOG", named.c_str(), 1);
  ASSERT_EQ(drvStartComm(0, 0, 0, VKTJX_LOG_NEW_FILE), 1);
  drvStopComm(0, 0, 0, 0);
  EXPECT_EQ(Entries(named), Join(kStartLines(0, 0, 0, 4721), {"@drvStopComm(0,0,0,0)", ""}));
  EXPECT_FALSE(Exists(LogFile()));

  setenv("VKTJX_LOG", dir.File("no/such/dir/driver.log").c_str(), 1);
  EXPECT_EQ(drvStartComm(0, 0, 0, VKTJX_LOG_NEW_FILE), 1);
  HostValue v;
  const HostTag t = Tag(1, 1, 0);
  EXPECT_EQ(drvReadValue(&t, v.h()), 1);
  EXPECT_EQ(drvStopComm(0, 0, 0, 0), 1);
  unsetenv("VKTJX_LOG");
}

}  // namespace
}  // namespace e2e
