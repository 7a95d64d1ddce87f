// The heap of the whole process, watched: linking heap_counter.cpp into an executable replaces
// malloc and its kin and the operators new and delete there, handing over to the C library's
// own allocator. It keeps the number of live blocks, and tells an observer the code address
// that asked for each allocation. Under AddressSanitizer the sanitizer owns the allocator and
// nothing is replaced: kHeapCounted is false and the count stays 0.
#pragma once

namespace vkt::test {

#if defined(__SANITIZE_ADDRESS__)
#define VKT_HEAP_COUNTED 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VKT_HEAP_COUNTED 0
#endif
#endif
#ifndef VKT_HEAP_COUNTED
#define VKT_HEAP_COUNTED 1
#endif
inline constexpr bool kHeapCounted = VKT_HEAP_COUNTED != 0;

// Heap blocks allocated and not yet freed.
long LiveHeapBlocks();

// Called on the allocating thread, before each malloc, calloc, realloc, aligned allocation or
// operator new, with the address of the code that made the call; null stops the calls. The
// observer must not allocate.
using AllocationObserver = void (*)(const void* caller);
void ObserveAllocations(AllocationObserver observer);

}  // namespace vkt::test
