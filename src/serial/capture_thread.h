// The capture's writer thread: the one thread the library ever starts, and only while a line
// capture is on. One source file per system fills it in (platform_posix_thread.cpp,
// platform_win32_thread.cpp); CMake picks the file.
#pragma once

#include <cstdint>

namespace vkt::serial {

class CaptureThread {
 public:
  using Body = void (*)(void* context);

  CaptureThread() = default;
  ~CaptureThread();  // joins a thread still running
  CaptureThread(const CaptureThread&) = delete;
  CaptureThread& operator=(const CaptureThread&) = delete;

  // Runs body(context) on a new thread; false when none could be started.
  bool Start(Body body, void* context);
  // Waits for the thread to end; nothing when none runs.
  void Join();
  bool Running() const { return handle_ != 0; }

  // Suspends the calling thread for about `ms` milliseconds.
  static void Pause(std::uint32_t ms);

 private:
  std::uintptr_t handle_ = 0;
  Body body_ = nullptr;
  void* context_ = nullptr;

  friend struct CaptureThreadEntry;
};

}  // namespace vkt::serial
