// The host interface on Windows: log path from VKTJX_LOG or "c:/VKTJX.log", GetLocalTime, a
// modal message box, and the library entry routine.
#include <windows.h>

#include <cstdlib>

#include "host/host_platform.h"

namespace vkt::host {

const char* LogFilePath() {
  const char* env = std::getenv("VKTJX_LOG");
  return (env != nullptr && *env != '\0') ? env : "c:/VKTJX.log";
}

LocalTime CurrentLocalTime() {
  SYSTEMTIME t{};
  GetLocalTime(&t);
  return LocalTime{t.wDay, t.wMonth, t.wYear, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
}

void ShowDriverDialog(const char* caption, const char* text) {
  MessageBoxA(nullptr, text, caption, MB_OK | MB_ICONINFORMATION);
}

}  // namespace vkt::host

// Load, unload and thread notifications need no work: the driver object lives from start to
// stop, not from load to unload.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
