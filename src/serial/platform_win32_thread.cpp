// The capture's writer thread on Windows: CreateThread.
#include <windows.h>

#include "serial/capture_thread.h"

namespace vkt::serial {

struct CaptureThreadEntry {
  static DWORD WINAPI Run(LPVOID self) {
    auto* t = static_cast<CaptureThread*>(self);
    t->body_(t->context_);
    return 0;
  }
};

CaptureThread::~CaptureThread() { Join(); }

bool CaptureThread::Start(Body body, void* context) {
  if (handle_ != 0) return false;
  body_ = body;
  context_ = context;
  HANDLE thread = ::CreateThread(nullptr, 0, &CaptureThreadEntry::Run, this, 0, nullptr);
  if (thread == nullptr) return false;
  handle_ = reinterpret_cast<std::uintptr_t>(thread);
  return true;
}

void CaptureThread::Join() {
  if (handle_ == 0) return;
  HANDLE thread = reinterpret_cast<HANDLE>(handle_);
  ::WaitForSingleObject(thread, INFINITE);
  ::CloseHandle(thread);
  handle_ = 0;
}

void CaptureThread::Pause(std::uint32_t ms) { ::Sleep(ms); }

}  // namespace vkt::serial
