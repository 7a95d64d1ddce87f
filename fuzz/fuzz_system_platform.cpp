// Stands in for the operating-system backend of the serial seam in the tag-exports target, so
// that the exports run against the fake line with its virtual clock.
#include "fuzz_system_platform.h"

#include "fuzz_line.h"

namespace vkt::fuzz {

namespace {
test::FakePlatform* installed = nullptr;
}  // namespace

void SetSystemPlatform(test::FakePlatform* fake) { installed = fake; }

}  // namespace vkt::fuzz

namespace vkt::serial {

CommPlatform& SystemPlatform() {
  if (vkt::fuzz::installed == nullptr) vkt::fuzz::Broken("a driver object was made with no line");
  return *vkt::fuzz::installed;
}

}  // namespace vkt::serial
