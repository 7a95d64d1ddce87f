// Line captures made on the fake line with a virtual clock, so every byte and every time stamp
// in them is the same on each run: the fixtures of the capture, dissector and decode tests.
#pragma once

#include <string>
#include <vector>

namespace vkt::test {

// The scenarios, by name: "worked", "block", "silent", "checksum", "stray", "modem".
const std::vector<std::string>& CaptureScenarios();

// Runs one scenario through the driver object and writes its capture to `path`.
bool MakeScenarioCapture(const std::string& name, const std::string& path, std::string& error);

}  // namespace vkt::test
