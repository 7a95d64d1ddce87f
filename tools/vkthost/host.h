// One run of the driver as a host drives it: start, tag reads and writes, stop.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "args.h"
#include "driver.h"
#include "hints.h"

namespace vkthost {

// The outcome of one read: the values, one double per element (exact for every kind).
struct ReadResult {
  bool ok = false;
  std::int32_t code = 0;
  std::vector<double> values;
  double ms = 0;        // time the driver call took
  std::string problem;  // set when the driver answered 1 but the value is not what was asked
};

// Ctrl-C: the first one ends a poll (and the run) after the current request, a second one
// ends the process at once.
void InstallInterruptHandler();
bool Interrupted();

class Host {
 public:
  Host(const DriverApi& api, std::string dir) : api_(api), dir_(std::move(dir)) {}

  // drvStartComm with p4 = logCode; on failure prints the code from error register 1.
  bool Start(std::uint16_t logCode);
  void Stop();

  // One value (drvReadValue) or a block (drvReadBlock); registers read one by one.
  ReadResult Read(const Command& c);
  // One value (drvWriteValue) or a block (drvWriteBlock); 0 or the code.
  std::int32_t Write(const Command& c);

  std::int32_t Register(std::uint16_t index);

  // The commands, each printed; the exit status: 0, or 1 when one failed.
  int Run(const Command& c);

  const std::string& dir() const { return dir_; }
  const DriverApi& api() const { return api_; }
  void PrintFailure(const char* what, std::int32_t code, const Command* c) const;

 private:
  int RunRead(const Command& c);
  int RunWrite(const Command& c);
  int RunPoll(const Command& c);

  const DriverApi& api_;
  std::string dir_;
  bool started_ = false;
};

// "station 7 word 100" / "error register 2"
std::string TagText(const Command& c);
// A value as the user typed it: bits and words as integers, floats in their shortest form.
std::string FormatValue(Kind kind, double v);
// Values ten to a line, each line led by the address of its first value.
void PrintValues(std::FILE* out, Kind kind, std::uint16_t address,
                 const std::vector<double>& values, const char* indent);
// Every result code with its message, plain or as a Markdown table.
void PrintCodes(std::FILE* out, bool markdown);

}  // namespace vkthost
