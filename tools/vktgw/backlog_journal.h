// The backlog on disk: the messages that wait for the broker, in a directory of append-only
// segment files. Each record is framed by its length and a CRC32 and carries a sequence
// number that only grows, across restarts too. A file "delivered" holds the last sequence the
// broker acknowledged, replaced whole (write, rename), so a restart resumes after it.
//
// Crash safety: what was written survives a killed process at once; Sync() makes it survive
// a power cut. At Open a record whose frame or CRC does not hold ends its segment: it and
// everything after it in that file are cut off, never read as data.
//
// Not thread-safe: one thread owns a journal.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vktgw {

struct JournalRecord {
  std::uint64_t seq = 0;
  bool retain = false;
  std::string topic;
  std::string payload;
};

class BacklogJournal {
 public:
  BacklogJournal() = default;
  ~BacklogJournal();
  BacklogJournal(const BacklogJournal&) = delete;
  BacklogJournal& operator=(const BacklogJournal&) = delete;

  // Opens `dir` (made if missing) holding at most `maxBytes` of segments. False with `error`
  // when the directory cannot be used. What was cut off is told in `repairs`, one line each.
  bool Open(const std::string& dir, std::uint64_t maxBytes, std::string& error,
            std::vector<std::string>& repairs);

  // Appends one record with the next sequence number. When the journal would grow past its
  // size, the oldest segments go first and their undelivered records are counted as dropped.
  // False with `error` on a write fault.
  bool Append(const std::string& topic, const std::string& payload, bool retain,
              std::string& error);

  // Makes every record appended so far, and the delivered position, survive a power cut.
  bool Sync(std::string& error);

  // Up to `max` records with a sequence above `after`, in order.
  bool ReadAfter(std::uint64_t after, std::size_t max, std::vector<JournalRecord>& out,
                 std::string& error);

  // Everything up to `seq` reached the broker: the position is written (and made durable
  // when `durable`), then segments wholly delivered are removed.
  bool Acknowledge(std::uint64_t seq, bool durable, std::string& error);

  std::uint64_t delivered() const { return delivered_; }
  std::uint64_t lastSeq() const { return nextSeq_ - 1; }
  // Records not yet delivered.
  std::uint64_t pending() const;
  std::uint64_t dropped() const { return dropped_; }
  std::uint64_t bytes() const;

 private:
  struct Segment {
    std::string path;
    std::uint64_t firstSeq = 0;  // records firstSeq..lastSeq, without a gap; 0: none yet
    std::uint64_t lastSeq = 0;
    std::uint64_t bytes = 0;
  };

  bool Recover(Segment& s, std::vector<std::string>& repairs, std::string& error);
  bool StartSegment(std::string& error);
  void DropOldest();
  bool WriteDelivered(bool durable, std::string& error);
  std::uint64_t RecordsAbove(const Segment& s, std::uint64_t seq) const;

  std::string dir_;
  std::uint64_t maxBytes_ = 0;
  std::uint64_t segmentBytes_ = 0;
  std::vector<Segment> segments_;  // oldest first; the last one takes appends
  int fd_ = -1;                    // the last segment, open for appending
  bool unsynced_ = false;
  bool dirUnsynced_ = false;
  bool deliveredUnsynced_ = false;
  std::uint64_t nextSeq_ = 1;
  std::uint64_t delivered_ = 0;
  std::uint64_t dropped_ = 0;
  // Where the last ReadAfter stopped, so that reading on costs no rescan.
  std::uint64_t cursorSeq_ = 0;
  std::uint64_t cursorSegmentFirst_ = 0;
  std::uint64_t cursorOffset_ = 0;
  bool cursorValid_ = false;
};

}  // namespace vktgw
