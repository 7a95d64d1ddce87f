// The system's serial platform as the tag-exports target sees it: whichever fake line the
// target installed for the input it runs. The driver object made by drvStartComm takes it.
#pragma once

#include "fake_platform.h"

namespace vkt::fuzz {

// Installs `fake` as the platform the next driver object is made on; null uninstalls it.
void SetSystemPlatform(test::FakePlatform* fake);

}  // namespace vkt::fuzz
