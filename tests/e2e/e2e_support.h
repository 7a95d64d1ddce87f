// What the end-to-end tests share: a station simulator on a pseudo-terminal mapped to COM1, a
// scratch working directory holding VktJX.Cfg, host values and tags. The tests reach the driver
// only through vktjx.h and et32b.h, as a host does.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "et32b.h"
#include "vktjx.h"

namespace e2e {

// Result codes as the host reads them back from the error registers.
enum Code : std::int32_t {
  kUnhandledKind = -1,
  kTooMuchData = 16011,
  kBadDataKind = 16012,
  kNoSettingsFile = 16013,
  kBadStation = 16043,
  kNoAnswer = 16105,
  kLinkNotReady = 16203,
};

inline constexpr char kDriverName[] = "Marvessa ver 2.0.0 (Apr  6 2005 09:13:43)";

std::string Slurp(const std::string& path);
bool Exists(const std::string& path);
std::vector<std::string> Lines(const std::string& text);

// vktsim with its trace on; COM1 (VKTJX_COM1) is its pseudo-terminal while it runs.
class Simulator {
 public:
  Simulator() = default;
  ~Simulator() { Stop(); }
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Starts it with `args` plus --trace and --memory-file; false when it did not come up.
  bool Start(const std::string& dir, std::vector<std::string> args);
  void Stop();
  // Request and response frames so far, decoded (stops the simulator).
  std::string Trace();
  // Elements written by requests, one "STATION KIND ADDRESS VALUE" line each (stops it).
  std::string Memory();

 private:
  pid_t pid_ = -1;
  std::string trace_, memory_;
};

// A fresh directory as the current one, with a settings file; removed again afterwards.
class WorkDir {
 public:
  WorkDir();
  ~WorkDir();
  WorkDir(const WorkDir&) = delete;
  WorkDir& operator=(const WorkDir&) = delete;

  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  void Write(const std::string& name, const std::string& text) const;
  // COM1 at 115200 bit/s, a short response time-out, plus `keys`.
  void WriteSettings(const std::string& keys = "") const;

 private:
  std::string path_, previous_;
};

// One host value for the length of a test.
class HostValue {
 public:
  HostValue() : h_(hvNew()) {}
  ~HostValue() { hvRelease(h_); }
  HostValue(const HostValue&) = delete;
  HostValue& operator=(const HostValue&) = delete;
  HVALUE h() const { return h_; }

 private:
  HVALUE h_;
};

HostTag Tag(std::int16_t station, std::uint16_t kind, std::uint16_t address,
            std::uint16_t count = 1, std::uint16_t offset = 0, std::uint16_t writeCount = 0);

// The four error registers, read as the host reads them: kind-5 tags.
std::vector<std::int32_t> Registers();

// A started driver on a simulator: the usual frame of a test that talks to stations.
class Line : public testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Starts the simulator with `args` and the driver with p4 `logCode`; asserts both came up.
  void Begin(const std::vector<std::string>& args, std::uint16_t logCode = 0);

  WorkDir dir;
  Simulator sim;
};

}  // namespace e2e
