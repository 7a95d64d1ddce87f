// What a failure means to the person at the keyboard: the code, its message and, where the
// code alone does not say what to do, a detail and a hint.
#pragma once

#include <cstdint>
#include <string>

namespace vkthost {

struct FailureContext {
  std::string dir;        // absolute settings directory
  int station = -1;       // station of the request, -1 for none
  const char* kindName = nullptr;
};

// "16013: settings file not found: no VktJX.Cfg in /some/dir", then, when one helps, a
// second line "  hint: ...".
std::string DescribeFailure(std::int32_t code, const FailureContext& context);

// The serial device the settings in `dir` select: "COM1 = /dev/pts/3 (VKTJX_COM1)".
std::string DescribePort(const std::string& dir, int* comNumber = nullptr,
                         std::string* device = nullptr);

}  // namespace vkthost
