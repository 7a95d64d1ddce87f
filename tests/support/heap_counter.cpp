#include "heap_counter.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <new>

namespace {
std::atomic<long> gLiveBlocks{0};
std::atomic<vkt::test::AllocationObserver> gObserver{nullptr};
}  // namespace

namespace vkt::test {

long LiveHeapBlocks() { return gLiveBlocks.load(); }
void ObserveAllocations(AllocationObserver observer) { gObserver = observer; }

}  // namespace vkt::test

#if VKT_HEAP_COUNTED
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);
}

namespace {

void Observe(const void* caller) {
  if (const vkt::test::AllocationObserver observer = gObserver.load()) observer(caller);
}

void* Counted(void* p) {
  if (p != nullptr) ++gLiveBlocks;
  return p;
}

void Release(void* p) {
  if (p != nullptr) --gLiveBlocks;
  __libc_free(p);
}

void* NewBytes(std::size_t n, const void* caller) {
  Observe(caller);
  return Counted(__libc_malloc(n == 0 ? 1 : n));
}

}  // namespace

extern "C" {
void* malloc(size_t n) {
  Observe(__builtin_return_address(0));
  return Counted(__libc_malloc(n));
}
void* calloc(size_t n, size_t size) {
  Observe(__builtin_return_address(0));
  return Counted(__libc_calloc(n, size));
}
void* realloc(void* p, size_t n) {
  Observe(__builtin_return_address(0));
  void* q = __libc_realloc(p, n);
  if (p == nullptr && q != nullptr) ++gLiveBlocks;
  if (p != nullptr && n == 0 && q == nullptr) --gLiveBlocks;
  return q;
}
void* memalign(size_t alignment, size_t n) {
  Observe(__builtin_return_address(0));
  return Counted(__libc_memalign(alignment, n));
}
void* aligned_alloc(size_t alignment, size_t n) {
  Observe(__builtin_return_address(0));
  return Counted(__libc_memalign(alignment, n));
}
int posix_memalign(void** out, size_t alignment, size_t n) {
  Observe(__builtin_return_address(0));
  void* p = Counted(__libc_memalign(alignment, n));
  if (p == nullptr) return ENOMEM;
  *out = p;
  return 0;
}
void free(void* p) { Release(p); }
}

void* operator new(std::size_t n) {
  if (void* p = NewBytes(n, __builtin_return_address(0))) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) {
  if (void* p = NewBytes(n, __builtin_return_address(0))) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  return NewBytes(n, __builtin_return_address(0));
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  return NewBytes(n, __builtin_return_address(0));
}
void operator delete(void* p) noexcept { Release(p); }
void operator delete[](void* p) noexcept { Release(p); }
void operator delete(void* p, std::size_t) noexcept { Release(p); }
void operator delete[](void* p, std::size_t) noexcept { Release(p); }
#endif
