// The driver log's entry layout on a fixed clock: the time stamp's fields and widths, and the
// cut of an entry that would not fit its buffer. The log is linked with a stand-in for the
// operating system so the time is known.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "host/driver_log.h"
#include "host/host_platform.h"

namespace vkt::host {

namespace {
std::string logPath;
LocalTime clockNow{};
}  // namespace

const char* LogFilePath() { return logPath.c_str(); }
LocalTime CurrentLocalTime() { return clockNow; }
void ShowDriverDialog(const char*, const char*) {}

namespace {

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class LogFile : public testing::Test {
 protected:
  void SetUp() override {
    logPath = testing::TempDir() + "vkt_log_format_" + std::to_string(::getpid()) + ".log";
    setLogMode(kLogNew);
    ASSERT_EQ(logOpen(), 1);
  }
  void TearDown() override {
    logClose();
    std::remove(logPath.c_str());
  }
};

TEST_F(LogFile, StampsDayFirstWithMillisecondsAndOneBlank) {
  struct Case {
    LocalTime at;
    const char* stamp;
  } cases[] = {
      {{5, 3, 2024, 14, 7, 9, 45}, "05/03/2024 14:07:09.045 "},
      {{31, 12, 1999, 23, 59, 59, 999}, "31/12/1999 23:59:59.999 "},
      {{1, 1, 2000, 0, 0, 0, 0}, "01/01/2000 00:00:00.000 "},
  };
  std::string expected;
  for (const Case& c : cases) {
    clockNow = c.at;
    logPrint("entry %d", 7);
    expected += std::string(c.stamp) + "entry 7\n";
  }
  EXPECT_EQ(Slurp(logPath), expected);
}

TEST_F(LogFile, AnOverlongEntryIsCutAt1023Characters) {
  clockNow = {5, 3, 2024, 14, 7, 9, 45};
  const std::string longText(3000, 'x');
  logPrint("%s", longText.c_str());
  logPrint("%s", "next");
  const std::string text = Slurp(logPath);
  const std::size_t end = text.find('\n');
  ASSERT_NE(end, std::string::npos);
  EXPECT_EQ(end, 1023u);
  EXPECT_EQ(text.substr(0, 24), "05/03/2024 14:07:09.045 ");
  EXPECT_EQ(text.substr(end + 1), "05/03/2024 14:07:09.045 next\n");
}

TEST_F(LogFile, AStampIsNeverReadAsAFormat) {
  clockNow = {5, 3, 2024, 14, 7, 9, 45};
  logPrint("%s%%d", "100");
  EXPECT_EQ(Slurp(logPath), "05/03/2024 14:07:09.045 100%d\n");
}

TEST_F(LogFile, NothingIsWrittenOnceClosed) {
  logClose();
  logPrint("late");
  EXPECT_EQ(Slurp(logPath), "");
}

}  // namespace
}  // namespace vkt::host
