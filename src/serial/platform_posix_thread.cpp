// The capture's writer thread on POSIX: a pthread.
#include <pthread.h>
#include <time.h>

#include "serial/capture_thread.h"

namespace vkt::serial {

struct CaptureThreadEntry {
  static void* Run(void* self) {
    auto* t = static_cast<CaptureThread*>(self);
    t->body_(t->context_);
    return nullptr;
  }
};

CaptureThread::~CaptureThread() { Join(); }

bool CaptureThread::Start(Body body, void* context) {
  if (handle_ != 0) return false;
  body_ = body;
  context_ = context;
  pthread_t thread{};
  if (pthread_create(&thread, nullptr, &CaptureThreadEntry::Run, this) != 0) return false;
  handle_ = static_cast<std::uintptr_t>(thread);
  return true;
}

void CaptureThread::Join() {
  if (handle_ == 0) return;
  pthread_join(static_cast<pthread_t>(handle_), nullptr);
  handle_ = 0;
}

void CaptureThread::Pause(std::uint32_t ms) {
  timespec t{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&t, &t) != 0) {
  }
}

}  // namespace vkt::serial
