// The gateway's configuration reader under arbitrary file contents.
//
// Checked besides memory and undefined behaviour: a file is accepted exactly when no problem
// is reported; every problem has a message and a place that is either none (line 0) or a
// real line and column; an accepted file yields groups whose fields are in their ranges.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "config.h"
#include "fuzz_line.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  vktgw::GatewayConfig config;
  std::vector<vktgw::ConfigProblem> problems;
  const bool ok = vktgw::ParseConfig(text, "/etc/vktgw", config, problems);
  FUZZ_CHECK(ok == problems.empty());
  for (const vktgw::ConfigProblem& p : problems) {
    FUZZ_CHECK(!p.message.empty());
    FUZZ_CHECK((p.line == 0 && p.column == 0) || (p.line >= 1 && p.column >= 1));
  }
  if (!ok) return 0;
  FUZZ_CHECK(!config.polls.empty());
  FUZZ_CHECK(!config.prefix.empty() && !config.clientId.empty());
  FUZZ_CHECK(config.demotion.periodMs <= config.demotion.maxPeriodMs);
  for (const vktgw::PollGroup& g : config.polls) {
    FUZZ_CHECK(g.station >= 1 && g.station <= 255);
    FUZZ_CHECK(g.count >= 1 && g.count <= vktgw::MaxElements(g.kind));
    FUZZ_CHECK(g.address + g.count <= 65536);
    FUZZ_CHECK(g.intervalMs >= 1 && g.deadband >= 0 && g.maxSilenceMs >= 0);
  }
  return 0;
}
