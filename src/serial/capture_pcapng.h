// Line captures on disk: pcapng files of one interface with link type 250 (RTAC serial), in
// which every packet is one line event: a 12-byte record header (time stamp, event type, the
// control lines) followed by the bytes that crossed the line, and an optional comment.
//
// Block layout written (all little-endian, each block padded to 4 bytes):
//   Section Header Block  0x0A0D0D0A, byte-order magic 0x1A2B3C4D, version 1.0, length -1,
//                         shb_userappl
//   Interface Description 1, link type 250, snap length 0 (none), if_name, if_tsresol 6 (us)
//   Enhanced Packet       6 per record, interface 0, time in microseconds, opt_comment
// The record header inside each packet is big-endian: seconds (4), microseconds (4), event
// type (1), control lines (1), footer (2, zero).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace vkt::serial {

inline constexpr std::uint16_t kLinkTypeRtacSerial = 250;
inline constexpr std::size_t kRecordHeaderBytes = 12;

// Event types of the record header.
enum LineEvent : std::uint8_t {
  kEventStatus = 0x00,       // a change of the control lines, or a note (open, time-out, ...)
  kEventSent = 0x01,         // bytes handed to the line
  kEventReceived = 0x02,     // bytes taken from the line
  kEventDataLost = 0x05,     // records the capture had to drop
  kEventFramingError = 0x07,
  kEventParityError = 0x08,
  kEventBreak = 0x09,
  kEventOverflow = 0x0A,
};

// Control-line bits of the record header.
inline constexpr std::uint8_t kLineCts = 0x01;
inline constexpr std::uint8_t kLineDcd = 0x02;
inline constexpr std::uint8_t kLineDsr = 0x04;
inline constexpr std::uint8_t kLineRts = 0x08;
inline constexpr std::uint8_t kLineDtr = 0x10;
inline constexpr std::uint8_t kLineRing = 0x20;

// Name of an event type for text output ("sent", "received", ...).
const char* LineEventName(std::uint8_t event);

// Appends a capture to a file, bounded in size: once the next block would take the file past
// `maxBytes`, the file is renamed to "<path>.1" (replacing an older one) and a new one begun.
class PcapngWriter {
 public:
  PcapngWriter() = default;
  ~PcapngWriter();
  PcapngWriter(const PcapngWriter&) = delete;
  PcapngWriter& operator=(const PcapngWriter&) = delete;

  // Creates (truncates) the file, or with `append` adds to it, and writes a section and
  // interface block: a file appended to holds one section per open, which pcapng readers take
  // as one capture. `interfaceName` names the line ("COM1", "vktsim"). maxBytes 0: unbounded.
  bool Open(const std::string& path, const std::string& interfaceName, std::uint64_t maxBytes,
            std::string& error, bool append = false);
  bool IsOpen() const { return file_ != nullptr; }
  // One record; false once the file failed (it is then closed).
  bool Write(std::uint64_t timeUs, std::uint8_t event, std::uint8_t lines,
             const std::uint8_t* data, std::size_t length, const char* comment,
             std::size_t commentLength);
  void Flush();
  void Close();
  // Files begun after the first because of the size bound.
  int Rollovers() const { return rollovers_; }

 private:
  bool Begin(bool append);

  std::FILE* file_ = nullptr;
  std::string path_;
  std::string interfaceName_;
  std::uint64_t maxBytes_ = 0;
  std::uint64_t size_ = 0;
  int rollovers_ = 0;
  std::vector<std::uint8_t> block_;
};

// One record read back from a capture.
struct CaptureRecord {
  std::uint64_t timeUs = 0;  // microseconds since 1970
  std::uint8_t event = 0;
  std::uint8_t lines = 0;
  std::vector<std::uint8_t> data;
  std::string comment;  // empty when none
};

// Reads every packet of a link-type-250 capture. Blocks of other types are skipped; a file
// that is not pcapng, or an interface of another link type, is an error.
bool ReadCapture(const std::string& path, std::vector<CaptureRecord>& records,
                 std::string& error);

}  // namespace vkt::serial
