// vkthost decode: a line capture as text, one line a frame or event, with a summary per station.
#pragma once

#include <cstdio>
#include <string>

namespace vkthost {

// Prints the capture at `path` to `out`; as one JSON object a line when `json`. 0, or 1 when
// the file cannot be read (the reason on stderr).
int RunDecode(const std::string& path, bool json, std::FILE* out);

}  // namespace vkthost
