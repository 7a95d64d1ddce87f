// Command line of the station simulator: what line it serves, which stations, which faults.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace vktsim {

// The faults the simulator can put into its responses, in the order they are applied.
enum class FaultKind {
  kSilence,    // no response at all
  kStatus,     // the status byte replaced by a chosen value, no data
  kShort,      // one data byte fewer than asked for
  kLong,       // one data byte more than asked for
  kChecksum,   // a wrong checksum
  kTruncate,   // the frame stops part-way
  kStray,      // bytes other than the start byte before the frame
  kDelay,      // the response held back for a time
};
inline constexpr int kFaultKinds = 8;

const char* FaultName(FaultKind kind);

struct FaultSpec {
  FaultKind kind = FaultKind::kSilence;
  int argument = 0;  // status value, delay in ms, or stray byte count (0: 1 to 3 at random)
  double probability = 0.0;
};

struct Options {
  std::string device;  // empty: create a pseudo-terminal
  std::string link;    // symlink to the pseudo-terminal's slave side
  int baud = 9600;
  char parity = 'N';   // N, O, E, M, S
  int dataBits = 8;
  int stopHalfBits = 2;  // stop bits in halves: 2, 3 or 4
  bool pace = false;
  std::array<bool, 256> stations{};  // index 1..255
  bool pattern = false;
  // Words that go up by one after every read of them: {station, address}.
  std::vector<std::array<int, 2>> counters;
  std::vector<FaultSpec> faults;
  std::uint32_t seed = 1;
  bool trace = false;
  int gapMs = 50;
  int replyDelayMs = 0;
  bool modem = false;
  bool modemWords = false;
  bool modemBusy = false;
  int modemConnectDelayMs = 500;
  std::string memoryFile;
  std::string initFile;
  std::string captureFile;  // record the line as pcapng
  std::string replayFile;   // answer from a recorded capture

  // Microseconds one character occupies on the wire with this framing at this speed.
  double ByteTimeUs() const;
};

enum class ParseOutcome { kRun, kHelp, kError };

// Fills `options` from argv. On kError `error` says what was wrong.
ParseOutcome ParseOptions(int argc, char** argv, Options& options, std::string& error);

// "1,2,7-9" or "all" into the station table.
bool ParseStations(const std::string& text, std::array<bool, 256>& stations);

// "NAME[=ARG]:PROBABILITY", e.g. "status=0x85:0.02".
bool ParseFault(const std::string& text, FaultSpec& fault, std::string& error);

const char* HelpText();

}  // namespace vktsim
