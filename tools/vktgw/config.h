// The gateway's configuration: one TOML file per serial line. Reading it collects every
// problem with its place in the file, so one run of --check-config shows them all.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vktgw {

// Data kinds as the driver numbers them.
enum class Kind : std::uint16_t { kBit = 0, kWord = 1, kFloat = 2 };

const char* KindName(Kind kind);
// "bit", "word", "float"; false for anything else.
bool KindFromName(const std::string& name, Kind& kind);
// Elements one block read or write may carry: the driver's 1000-byte transfer buffer.
std::uint16_t MaxElements(Kind kind);

struct PollGroup {
  std::string name;
  int station = 0;
  Kind kind = Kind::kWord;
  std::uint16_t address = 0;
  std::uint16_t count = 1;
  std::int64_t intervalMs = 1000;
  double deadband = 0;           // 0: every change
  std::int64_t maxSilenceMs = 0;  // 0: no republish of an unchanged value
};

struct DemotionPolicy {
  int afterFailures = 3;
  std::int64_t periodMs = 10000;
  std::int64_t maxPeriodMs = 300000;
};

struct GatewayConfig {
  std::string dir;      // settings directory, absolute
  int portNumber = 0;   // 0: no port override; else COMn
  std::string portDevice;

  std::string host = "127.0.0.1";
  int port = 1883;
  std::string clientId;
  std::string prefix;
  int qos = 1;
  // mqtts://: TLS with the broker checked against caFile, and a client certificate when
  // certFile and keyFile are given. Paths are absolute once read.
  bool tls = false;
  std::string caFile;
  std::string certFile;
  std::string keyFile;
  std::string username;  // empty: no user name sent
  std::string password;  // the first line of [mqtt] password_file; never logged

  DemotionPolicy demotion;
  std::vector<PollGroup> polls;

  // [metrics] listen: where GET /metrics is served; empty: no metrics server.
  std::string metricsHost;
  int metricsPort = 0;

  // [backlog]: where messages wait while the broker cannot be reached, absolute; empty: no
  // backlog (they are not kept, only the last retained state goes out on reconnection).
  std::string backlogDir;
  std::int64_t backlogMaxMb = 64;
};

struct ConfigProblem {
  int line = 0;    // 1-based; 0 when the problem has no place (a missing table)
  int column = 0;
  std::string message;
};

// Parses `text`; `baseDir` resolves a relative [line] dir. Returns true when there is no problem.
bool ParseConfig(const std::string& text, const std::string& baseDir, GatewayConfig& config,
                 std::vector<ConfigProblem>& problems);

// Reads the file at `path`; a file that cannot be read is one problem at line 0.
bool LoadConfig(const std::string& path, GatewayConfig& config,
                std::vector<ConfigProblem>& problems);

// "FILE:LINE:COLUMN: message" (or "FILE: message" without a place).
std::string FormatProblem(const std::string& path, const ConfigProblem& p);

}  // namespace vktgw
