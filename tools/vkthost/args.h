// Command line of vkthost: global options, then one or more commands joined by "then".
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "driver.h"

namespace vkthost {

struct Options {
  std::string driver;  // empty: looked for next to the executable
  std::string dir;     // empty: the current directory
  std::vector<std::pair<int, std::string>> ports;  // COMn mapped to a device for this run
  std::uint16_t logCode = 0;                       // p4 of the start: 0, kLogNewFile, kLogAppend
  std::string capture;                             // line capture file for this run (VKTJX_CAPTURE)
  std::string sim;                                 // demo: the simulator (empty: next to vkthost)
  bool help = false;
};

enum class Verb { kRead, kWrite, kPoll, kCodes, kDemo, kDecode };

struct Command {
  Verb verb = Verb::kCodes;
  std::int16_t station = 0;
  Kind kind = kWord;
  std::uint16_t address = 0;
  bool hasCount = false;     // read: a block read of `count` elements instead of one value
  std::uint16_t count = 1;
  std::vector<std::int32_t> ints;  // write: bit and word values
  std::vector<float> floats;       // write: float values
  int intervalMs = 1000;           // poll
  long times = 0;                  // poll: 0 = until interrupted
  bool markdown = false;           // codes
  std::string file;                // decode: the capture
  bool json = false;               // decode: one JSON object a line
};

// Parses argv[1..]; false with `error` set for any bad argument.
bool ParseArgs(int argc, char** argv, Options& options, std::vector<Command>& commands,
               std::string& error);

const char* Usage();
const char* KindName(Kind kind);
bool NeedsDriver(const std::vector<Command>& commands);

}  // namespace vkthost
