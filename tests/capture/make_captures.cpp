// Writes the scenario captures into a directory: make_captures DIR [NAME...]
#include <cstdio>
#include <string>

#include "scenarios.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: make_captures DIR [NAME...]\n");
    return 2;
  }
  std::vector<std::string> names;
  for (int i = 2; i < argc; ++i) names.push_back(argv[i]);
  if (names.empty()) names = vkt::test::CaptureScenarios();
  for (const std::string& name : names) {
    std::string error;
    if (!vkt::test::MakeScenarioCapture(name, std::string(argv[1]) + "/" + name + ".pcapng", error)) {
      std::fprintf(stderr, "make_captures: %s: %s\n", name.c_str(), error.c_str());
      return 1;
    }
  }
  return 0;
}
