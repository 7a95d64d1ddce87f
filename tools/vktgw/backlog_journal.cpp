#include "backlog_journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace vktgw {

namespace {

// A record: length of the body (4 bytes), CRC32 of the body (4), then the body: sequence (8),
// flags (1, bit 0 retain), topic length (2), topic, payload. All numbers little-endian.
constexpr std::size_t kHeader = 8;
constexpr std::size_t kBodyFixed = 11;
constexpr std::uint32_t kMaxBody = 1u << 20;  // a length above this is a broken frame
constexpr const char* kSuffix = ".seg";
constexpr const char* kDelivered = "delivered";
// Reading goes by chunks of a segment, so a large journal is never read at once.
constexpr std::size_t kReadChunk = 256 * 1024;

void Put(std::string& out, std::uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

std::uint64_t Get(const unsigned char* p, int bytes) {
  std::uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

std::uint32_t Crc(const void* data, std::size_t n) {
  return static_cast<std::uint32_t>(
      crc32(0L, static_cast<const Bytef*>(data), static_cast<uInt>(n)));
}

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

// The outcome of looking at the bytes at one place of a segment.
enum class Frame { kGood, kIncomplete, kBroken };

// One record at `p` (`n` bytes available); `size` is the record's size when good.
Frame Parse(const unsigned char* p, std::size_t n, JournalRecord& r, std::size_t& size) {
  if (n < kHeader) return Frame::kIncomplete;
  const std::uint32_t len = static_cast<std::uint32_t>(Get(p, 4));
  if (len < kBodyFixed || len > kMaxBody) return Frame::kBroken;
  if (n < kHeader + len) return Frame::kIncomplete;
  const unsigned char* b = p + kHeader;
  if (Crc(b, len) != static_cast<std::uint32_t>(Get(p + 4, 4))) return Frame::kBroken;
  const std::size_t topicLen = static_cast<std::size_t>(Get(b + 9, 2));
  if (kBodyFixed + topicLen > len) return Frame::kBroken;
  r.seq = Get(b, 8);
  r.retain = (b[8] & 1) != 0;
  r.topic.assign(reinterpret_cast<const char*>(b + kBodyFixed), topicLen);
  r.payload.assign(reinterpret_cast<const char*>(b + kBodyFixed + topicLen),
                   len - kBodyFixed - topicLen);
  size = kHeader + len;
  return Frame::kGood;
}

bool WriteAll(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool ReadFileBytes(const std::string& path, std::uint64_t offset, std::size_t max,
                   std::string& out) {
  out.clear();
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  out.resize(max);
  std::size_t got = 0;
  while (got < max) {
    const ssize_t n = pread(fd, out.data() + got, max - got, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      close(fd);
      return false;
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  close(fd);
  out.resize(got);
  return true;
}

bool SyncDir(const std::string& dir) {
  const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = fsync(fd) == 0;
  close(fd);
  return ok;
}

}  // namespace

BacklogJournal::~BacklogJournal() {
  if (fd_ >= 0) close(fd_);
}

std::uint64_t BacklogJournal::RecordsAbove(const Segment& s, std::uint64_t seq) const {
  if (s.lastSeq == 0 || seq >= s.lastSeq) return 0;
  return seq < s.firstSeq ? s.lastSeq - s.firstSeq + 1 : s.lastSeq - seq;
}

std::uint64_t BacklogJournal::pending() const {
  std::uint64_t n = 0;
  for (const Segment& s : segments_) n += RecordsAbove(s, delivered_);
  return n;
}

std::uint64_t BacklogJournal::bytes() const {
  std::uint64_t n = 0;
  for (const Segment& s : segments_) n += s.bytes;
  return n;
}

bool BacklogJournal::Recover(Segment& s, std::vector<std::string>& repairs, std::string& error) {
  std::string data;
  std::error_code ec;
  const std::uintmax_t size = std::filesystem::file_size(s.path, ec);
  if (ec || !ReadFileBytes(s.path, 0, static_cast<std::size_t>(size), data)) {
    error = s.path + ": " + (ec ? ec.message() : std::strerror(errno));
    return false;
  }
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
  std::size_t at = 0;
  const char* why = nullptr;
  while (at < data.size()) {
    JournalRecord r;
    std::size_t size = 0;
    const Frame f = Parse(p + at, data.size() - at, r, size);
    if (f != Frame::kGood) {
      why = f == Frame::kIncomplete ? "a torn record" : "a record that fails its check";
      break;
    }
    if (s.lastSeq != 0 && r.seq != s.lastSeq + 1) {
      why = "a record out of sequence";
      break;
    }
    if (s.firstSeq == 0) s.firstSeq = r.seq;
    s.lastSeq = r.seq;
    at += size;
  }
  s.bytes = at;
  if (why != nullptr) {
    repairs.push_back(s.path + ": " + why + " at byte " + std::to_string(at) + "; " +
                      std::to_string(data.size() - at) + " bytes cut off");
    if (truncate(s.path.c_str(), static_cast<off_t>(at)) != 0) {
      error = Errno(s.path);
      return false;
    }
  }
  return true;
}

bool BacklogJournal::Open(const std::string& dir, std::uint64_t maxBytes, std::string& error,
                          std::vector<std::string>& repairs) {
  dir_ = dir;
  maxBytes_ = maxBytes;
  segmentBytes_ = std::max<std::uint64_t>(maxBytes / 16, 1);
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec || !std::filesystem::is_directory(dir, ec)) {
    error = dir + ": " + (ec ? ec.message() : "not a directory");
    return false;
  }
  std::string delivered;
  if (ReadFileBytes(dir + "/" + kDelivered, 0, 64, delivered) && !delivered.empty()) {
    const auto* p = reinterpret_cast<const unsigned char*>(delivered.data());
    if (delivered.size() == 12 && Crc(p, 8) == static_cast<std::uint32_t>(Get(p + 8, 4)))
      delivered_ = Get(p, 8);
    else
      repairs.push_back(dir + "/" + kDelivered + " is damaged; every record kept is sent again");
  }
  std::vector<std::string> names;
  for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.size() == 20 + std::strlen(kSuffix) && name.compare(20, std::string::npos, kSuffix) == 0 &&
        name.find_first_not_of("0123456789") == 20)
      names.push_back(name);
  }
  if (ec) {
    error = dir + ": " + ec.message();
    return false;
  }
  std::sort(names.begin(), names.end());
  std::uint64_t last = delivered_;
  for (const std::string& name : names) {
    Segment s;
    s.path = dir + "/" + name;
    if (!Recover(s, repairs, error)) return false;
    // a segment may only follow on from the one before: an older file is never read as new
    if (s.lastSeq != 0 && s.firstSeq <= last && !segments_.empty()) {
      repairs.push_back(s.path + ": records repeat earlier sequence numbers; removed");
      s.lastSeq = 0;
    }
    if (s.lastSeq == 0 || s.lastSeq <= delivered_) {
      std::filesystem::remove(s.path, ec);
      continue;
    }
    last = std::max(last, s.lastSeq);
    segments_.push_back(s);
  }
  nextSeq_ = last + 1;
  return true;
}

bool BacklogJournal::StartSegment(std::string& error) {
  if (fd_ >= 0) {
    if (unsynced_ && fdatasync(fd_) != 0) {
      error = Errno(segments_.back().path);
      return false;
    }
    unsynced_ = false;
    close(fd_);
    fd_ = -1;
  }
  char name[32];
  std::snprintf(name, sizeof name, "%020llu%s", static_cast<unsigned long long>(nextSeq_), kSuffix);
  Segment s;
  s.path = dir_ + "/" + name;
  fd_ = open(s.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
  if (fd_ < 0) {
    error = Errno(s.path);
    return false;
  }
  segments_.push_back(s);
  dirUnsynced_ = true;
  return true;
}

void BacklogJournal::DropOldest() {
  const Segment& s = segments_.front();
  dropped_ += RecordsAbove(s, delivered_);
  std::error_code ec;
  std::filesystem::remove(s.path, ec);
  segments_.erase(segments_.begin());
  dirUnsynced_ = true;
  cursorValid_ = false;
}

bool BacklogJournal::Append(const std::string& topic, const std::string& payload, bool retain,
                            std::string& error) {
  std::string frame;
  frame.reserve(kHeader + kBodyFixed + topic.size() + payload.size());
  frame.resize(kHeader);
  Put(frame, nextSeq_, 8);
  Put(frame, retain ? 1 : 0, 1);
  Put(frame, std::min<std::size_t>(topic.size(), 0xFFFF), 2);
  frame.append(topic, 0, 0xFFFF);
  frame += payload;
  const std::size_t body = frame.size() - kHeader;
  if (body > kMaxBody) {
    error = "a message of " + std::to_string(body) + " bytes is too large for the backlog";
    return false;
  }
  std::string head;
  Put(head, body, 4);
  Put(head, Crc(frame.data() + kHeader, body), 4);
  frame.replace(0, kHeader, head);

  if (fd_ < 0 || (segments_.back().bytes > 0 && segments_.back().bytes + frame.size() > segmentBytes_))
    if (!StartSegment(error)) return false;
  while (segments_.size() > 1 && bytes() + frame.size() > maxBytes_) DropOldest();
  Segment& s = segments_.back();
  if (!WriteAll(fd_, frame)) {
    error = Errno(s.path);
    // a half-written record would end the segment at the next start: take it back
    if (ftruncate(fd_, static_cast<off_t>(s.bytes)) != 0) {
      close(fd_);
      fd_ = -1;
    }
    return false;
  }
  if (s.firstSeq == 0) s.firstSeq = nextSeq_;
  s.lastSeq = nextSeq_;
  s.bytes += frame.size();
  ++nextSeq_;
  unsynced_ = true;
  return true;
}

bool BacklogJournal::WriteDelivered(bool durable, std::string& error) {
  std::string data;
  Put(data, delivered_, 8);
  Put(data, Crc(data.data(), 8), 4);
  const std::string path = dir_ + "/" + kDelivered;
  const std::string tmp = path + ".tmp";
  const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = Errno(tmp);
    return false;
  }
  const bool ok = WriteAll(fd, data) && (!durable || fdatasync(fd) == 0);
  close(fd);
  if (!ok || rename(tmp.c_str(), path.c_str()) != 0 || (durable && !SyncDir(dir_))) {
    error = Errno(path);
    return false;
  }
  deliveredUnsynced_ = !durable;
  return true;
}

bool BacklogJournal::Sync(std::string& error) {
  if (fd_ >= 0 && unsynced_) {
    if (fdatasync(fd_) != 0) {
      error = Errno(segments_.back().path);
      return false;
    }
    unsynced_ = false;
  }
  if (deliveredUnsynced_ && !WriteDelivered(true, error)) return false;
  if (dirUnsynced_) {
    if (!SyncDir(dir_)) {
      error = Errno(dir_);
      return false;
    }
    dirUnsynced_ = false;
  }
  return true;
}

bool BacklogJournal::Acknowledge(std::uint64_t seq, bool durable, std::string& error) {
  if (seq <= delivered_) return true;
  delivered_ = std::min(seq, lastSeq());
  if (!WriteDelivered(durable, error)) return false;
  while (!segments_.empty() && segments_.front().lastSeq <= delivered_) {
    if (segments_.size() == 1 && fd_ >= 0) {
      close(fd_);
      fd_ = -1;
      unsynced_ = false;
    }
    std::error_code ec;
    std::filesystem::remove(segments_.front().path, ec);
    segments_.erase(segments_.begin());
    dirUnsynced_ = true;
    cursorValid_ = false;
  }
  return true;
}

bool BacklogJournal::ReadAfter(std::uint64_t after, std::size_t max,
                               std::vector<JournalRecord>& out, std::string& error) {
  out.clear();
  std::size_t si = 0;
  std::uint64_t offset = 0;
  if (cursorValid_ && cursorSeq_ == after) {
    while (si < segments_.size() && segments_[si].firstSeq != cursorSegmentFirst_) ++si;
    offset = si < segments_.size() ? cursorOffset_ : 0;
    if (si == segments_.size()) si = 0;
  }
  if (offset == 0)
    while (si < segments_.size() && segments_[si].lastSeq <= after) ++si;
  std::string data;
  while (si < segments_.size() && out.size() < max) {
    const Segment& s = segments_[si];
    if (offset >= s.bytes) {
      ++si;
      offset = 0;
      continue;
    }
    const std::uint64_t left = s.bytes - offset;
    std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, kReadChunk));
    if (!ReadFileBytes(s.path, offset, want, data) || data.size() != want) {
      error = Errno(s.path);
      return false;
    }
    // A record longer than a chunk (up to kMaxBody) is read whole.
    if (data.size() >= kHeader) {
      const std::uint64_t first = kHeader + Get(reinterpret_cast<const unsigned char*>(data.data()), 4);
      if (first > want && first <= left) {
        want = static_cast<std::size_t>(first);
        if (!ReadFileBytes(s.path, offset, want, data) || data.size() != want) {
          error = Errno(s.path);
          return false;
        }
      }
    }
    const auto* p = reinterpret_cast<const unsigned char*>(data.data());
    std::size_t at = 0;
    while (at < data.size() && out.size() < max) {
      JournalRecord r;
      std::size_t size = 0;
      const Frame f = Parse(p + at, data.size() - at, r, size);
      if (f == Frame::kIncomplete && at > 0) break;  // the next chunk begins with it
      if (f != Frame::kGood) {
        error = s.path + ": a damaged record at byte " + std::to_string(offset + at);
        return false;
      }
      at += size;
      if (r.seq > after) out.push_back(std::move(r));
    }
    offset += at;
  }
  if (si == segments_.size() && !segments_.empty()) {  // at the end: appends come here
    --si;
    offset = segments_[si].bytes;
  }
  if (!out.empty() && si < segments_.size()) {
    cursorValid_ = true;
    cursorSeq_ = out.back().seq;
    cursorSegmentFirst_ = segments_[si].firstSeq;
    cursorOffset_ = offset;
  }
  return true;
}

}  // namespace vktgw
