// vkthost demo: the driver against the station simulator on a pseudo-terminal, start to stop,
// with every step checked. Touches no real line.
#pragma once

#include <string>

#include "args.h"
#include "driver.h"

namespace vkthost {

// 0 when every step behaved as expected, 1 otherwise.
int RunDemo(const DriverApi& api, const Options& options, const std::string& exeDir);

}  // namespace vkthost
