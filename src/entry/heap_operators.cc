// Every allocation the plugin's own code makes goes through the counting heap hooks.
// These replacements are local to the shared library (the version script hides them),
// so the host's and other libraries' allocations are not counted.
#include <cstddef>
#include <new>

#include "diag/heap_hooks.h"

namespace {

void* AllocateOrThrow(std::size_t size) {
  void* p = Voro::HeapAllocate(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

}  // namespace

void* operator new(std::size_t size) { return AllocateOrThrow(size); }
void* operator new[](std::size_t size) { return AllocateOrThrow(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return Voro::HeapAllocate(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return Voro::HeapAllocate(size == 0 ? 1 : size);
}
void operator delete(void* p) noexcept { Voro::HeapFree(p); }
void operator delete[](void* p) noexcept { Voro::HeapFree(p); }
void operator delete(void* p, std::size_t) noexcept { Voro::HeapFree(p); }
void operator delete[](void* p, std::size_t) noexcept { Voro::HeapFree(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Voro::HeapFree(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Voro::HeapFree(p); }
