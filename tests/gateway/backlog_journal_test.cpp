// The backlog's files: what a restart finds after a clean stop, a torn write, a flipped bit or
// a full disk budget.
#include "backlog_journal.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace vktgw {
namespace {

namespace fs = std::filesystem;

class JournalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string t = ::testing::TempDir() + "vktgw_journal_XXXXXX";
    ASSERT_NE(mkdtemp(t.data()), nullptr);
    dir_ = t;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  // Opens `j` on the test's directory; fails the test on an error.
  void Open(BacklogJournal& j, std::uint64_t maxBytes = 1 << 20) {
    std::string error;
    repairs_.clear();
    ASSERT_TRUE(j.Open(dir_, maxBytes, error, repairs_)) << error;
  }
  void Append(BacklogJournal& j, int n, const std::string& payload = "{\"value\":1}") {
    std::string error;
    for (int i = 0; i < n; ++i)
      ASSERT_TRUE(j.Append("gw/1/word/" + std::to_string(i), payload, i % 2 == 0, error)) << error;
  }
  std::vector<JournalRecord> ReadAll(BacklogJournal& j, std::uint64_t after = 0) {
    std::vector<JournalRecord> all, batch;
    std::string error;
    do {
      EXPECT_TRUE(j.ReadAfter(after, 7, batch, error)) << error;
      for (JournalRecord& r : batch) all.push_back(std::move(r));
      if (!all.empty()) after = all.back().seq;
    } while (!batch.empty());
    return all;
  }
  std::vector<std::string> Segments() {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir_))
      if (e.path().extension() == ".seg") out.push_back(e.path().string());
    std::sort(out.begin(), out.end());
    return out;
  }

  std::string dir_;
  std::vector<std::string> repairs_;
};

// Reading goes by chunks of a segment; a message longer than a chunk is still read back whole,
// and the one after it too.
TEST_F(JournalTest, AMessageLongerThanAReadChunkIsReadBackWhole) {
  BacklogJournal j;
  Open(j, 8 << 20);
  const std::string big = "{\"text\":\"" + std::string(300 * 1024, 'x') + "\"}";
  Append(j, 1, big);
  Append(j, 1);
  const std::vector<JournalRecord> r = ReadAll(j);
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].payload, big);
  EXPECT_EQ(r[1].payload, "{\"value\":1}");
}

TEST_F(JournalTest, RecordsSurviveReopenInOrderAndSequencesGoOn) {
  {
    BacklogJournal j;
    Open(j);
    Append(j, 3);
    std::string error;
    ASSERT_TRUE(j.Sync(error)) << error;
  }
  BacklogJournal j;
  Open(j);
  EXPECT_TRUE(repairs_.empty());
  EXPECT_EQ(j.lastSeq(), 3u);
  EXPECT_EQ(j.pending(), 3u);
  std::vector<JournalRecord> r = ReadAll(j);
  ASSERT_EQ(r.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(r[i].seq, static_cast<std::uint64_t>(i + 1));
    EXPECT_EQ(r[i].topic, "gw/1/word/" + std::to_string(i));
    EXPECT_EQ(r[i].payload, "{\"value\":1}");
    EXPECT_EQ(r[i].retain, i % 2 == 0);
  }
  Append(j, 1);
  r = ReadAll(j, 3);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].seq, 4u);
}

// Small segments and reads in batches of 7, interleaved with appends: every record once.
TEST_F(JournalTest, ReadsAcrossSegmentsWhileAppending) {
  BacklogJournal j;
  Open(j, 16 * 1024);  // segments of 1 KiB
  std::uint64_t after = 0, expected = 1;
  for (int round = 0; round < 20; ++round) {
    Append(j, 9, std::string(40, 'x'));
    std::vector<JournalRecord> batch;
    std::string error;
    ASSERT_TRUE(j.ReadAfter(after, 7, batch, error)) << error;
    for (const JournalRecord& r : batch) EXPECT_EQ(r.seq, expected++);
    if (!batch.empty()) after = batch.back().seq;
  }
  for (const JournalRecord& r : ReadAll(j, after)) EXPECT_EQ(r.seq, expected++);
  EXPECT_EQ(expected, 181u);
  EXPECT_GT(Segments().size(), 5u);
}

// The damage a power cut or a bad sector leaves in the last segment: the record it hits and
// what follows in that file are cut off at the next start, the records before it stay, and
// the journal goes on appending as if the cut records had never been.
TEST_F(JournalTest, DamagedTailIsCutOffAndAppendingGoesOn) {
  struct Case {
    const char* name;
    void (*damage)(const std::string& path, std::uintmax_t size, std::uintmax_t recordSize);
    std::uint64_t kept;  // of 5 records
  };
  const Case cases[] = {
      {"torn last record",
       [](const std::string& p, std::uintmax_t size, std::uintmax_t) { fs::resize_file(p, size - 3); }, 4},
      {"half a header",
       [](const std::string& p, std::uintmax_t size, std::uintmax_t rec) { fs::resize_file(p, size - rec + 5); }, 4},
      {"flipped byte in the last payload",
       [](const std::string& p, std::uintmax_t size, std::uintmax_t) {
         std::fstream f(p, std::ios::in | std::ios::out | std::ios::binary);
         f.seekp(static_cast<std::streamoff>(size - 2));
         f.put('#');
       }, 4},
      {"flipped length of the third record",
       [](const std::string& p, std::uintmax_t, std::uintmax_t rec) {
         std::fstream f(p, std::ios::in | std::ios::out | std::ios::binary);
         f.seekp(static_cast<std::streamoff>(2 * rec + 1));
         f.put('\x7f');
       }, 2},
      {"garbage after the last record",
       [](const std::string& p, std::uintmax_t, std::uintmax_t) {
         std::ofstream(p, std::ios::app | std::ios::binary) << std::string("\x20\0\0\0junk", 8);
       }, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const std::string& s : Segments()) fs::remove(s);
    fs::remove(dir_ + "/delivered");
    {
      BacklogJournal j;
      Open(j);
      Append(j, 5, "{\"value\":12345}");
    }
    ASSERT_EQ(Segments().size(), 1u);
    const std::string seg = Segments()[0];
    const std::uintmax_t size = fs::file_size(seg);
    c.damage(seg, size, size / 5);
    {
      BacklogJournal j;
      Open(j);
      EXPECT_EQ(repairs_.size(), 1u);
      EXPECT_EQ(j.lastSeq(), c.kept);
      std::vector<JournalRecord> r = ReadAll(j);
      ASSERT_EQ(r.size(), c.kept);
      for (const JournalRecord& x : r) EXPECT_EQ(x.payload, "{\"value\":12345}");
      Append(j, 2);
    }
    BacklogJournal j;
    Open(j);
    EXPECT_TRUE(repairs_.empty()) << repairs_[0];
    const std::vector<JournalRecord> r = ReadAll(j);
    ASSERT_EQ(r.size(), c.kept + 2);
    EXPECT_EQ(r.back().seq, c.kept + 2);
  }
}

TEST_F(JournalTest, FullJournalDropsTheOldestAndCountsThem) {
  BacklogJournal j;
  const std::uint64_t max = 16 * 512;
  Open(j, max);
  Append(j, 200, std::string(60, 'v'));
  EXPECT_LE(j.bytes(), max);
  EXPECT_GT(j.dropped(), 0u);
  EXPECT_EQ(j.dropped() + j.pending(), 200u);
  const std::vector<JournalRecord> r = ReadAll(j);
  ASSERT_EQ(r.size(), j.pending());
  EXPECT_EQ(r.back().seq, 200u);
  EXPECT_EQ(r.front().seq, 200u - r.size() + 1);  // the newest, without a gap
}

TEST_F(JournalTest, DeliveredPositionSurvivesReopen) {
  {
    BacklogJournal j;
    Open(j, 16 * 256);
    Append(j, 40, std::string(30, 'p'));
    std::string error;
    ASSERT_TRUE(j.Acknowledge(33, false, error)) << error;
    EXPECT_EQ(j.pending(), 7u);
  }
  {
    BacklogJournal j;
    Open(j, 16 * 256);
    EXPECT_EQ(j.delivered(), 33u);
    const std::vector<JournalRecord> r = ReadAll(j, j.delivered());
    ASSERT_EQ(r.size(), 7u);
    EXPECT_EQ(r.front().seq, 34u);
    std::string error;
    ASSERT_TRUE(j.Acknowledge(40, true, error)) << error;
    EXPECT_TRUE(Segments().empty());  // wholly delivered segments are removed
  }
  {
    BacklogJournal j;
    Open(j);
    EXPECT_EQ(j.pending(), 0u);
    Append(j, 1);
    EXPECT_EQ(ReadAll(j, 40).at(0).seq, 41u) << "a delivered sequence number is never used again";
  }
  // a damaged position sends again what is kept rather than lose it
  std::ofstream(dir_ + "/delivered", std::ios::binary | std::ios::trunc) << "garbage";
  BacklogJournal j;
  Open(j);
  EXPECT_EQ(repairs_.size(), 1u);
  EXPECT_EQ(j.delivered(), 0u);
  EXPECT_EQ(ReadAll(j).size(), 1u);
}

TEST_F(JournalTest, UnusableDirectoryIsAnError) {
  std::ofstream(dir_ + "/file") << "x";
  BacklogJournal j;
  std::string error;
  EXPECT_FALSE(j.Open(dir_ + "/file", 1 << 20, error, repairs_));
  EXPECT_NE(error.find(dir_ + "/file"), std::string::npos) << error;
}

}  // namespace
}  // namespace vktgw
