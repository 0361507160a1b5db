#include "diag/heap_hooks.h"

#include <malloc.h>

#include <cstdlib>
#include <cstring>

namespace Voro {

namespace {

// Constant-initialised: operator new may run before any constructor of this library.
constinit HeapStats g_heap_stats;

// Statistics only: no ordering with other memory is needed.
constexpr auto kRelaxed = std::memory_order_relaxed;

}  // namespace

void HeapStats::RecordAllocation(size_t size) {
  bytes_allocated_.fetch_add(size, kRelaxed);
  allocations_.fetch_add(1, kRelaxed);
  UpdatePeak();
}

void HeapStats::RecordFree(size_t size) {
  bytes_freed_.fetch_add(size, kRelaxed);
  frees_.fetch_add(1, kRelaxed);
}

void HeapStats::UpdatePeak() {
  // Signed differences: frees of foreign blocks may outnumber our allocations.
  const int64_t live =
      static_cast<int64_t>(bytes_allocated_.load(kRelaxed) - bytes_freed_.load(kRelaxed));
  if (live <= 0) {
    return;
  }
  uint64_t peak = peak_live_bytes_.load(kRelaxed);
  do {
    if (static_cast<uint64_t>(live) <= peak) {
      return;
    }
  } while (!peak_live_bytes_.compare_exchange_weak(peak, static_cast<uint64_t>(live), kRelaxed));
  const int64_t blocks = static_cast<int64_t>(allocations_.load(kRelaxed) - frees_.load(kRelaxed));
  live_allocations_at_peak_.store(blocks > 0 ? static_cast<uint64_t>(blocks) : 0, kRelaxed);
}

HeapCounters HeapStats::Read() const {
  HeapCounters c;
  c.peak_live_bytes = peak_live_bytes_.load(kRelaxed);
  c.live_allocations_at_peak = live_allocations_at_peak_.load(kRelaxed);
  c.bytes_allocated = bytes_allocated_.load(kRelaxed);
  c.allocations = allocations_.load(kRelaxed);
  c.bytes_freed = bytes_freed_.load(kRelaxed);
  c.frees = frees_.load(kRelaxed);
  return c;
}

void* HeapAllocate(size_t size) {
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block != nullptr) {
    g_heap_stats.RecordAllocation(malloc_usable_size(block));
  }
  return block;
}

void HeapFree(void* block) {
  if (block == nullptr) {
    return;
  }
  g_heap_stats.RecordFree(malloc_usable_size(block));
  std::free(block);
}

void* HeapReallocate(void* block, size_t size) {
  if (block == nullptr) {
    return HeapAllocate(size);
  }
  // Measured before: the old block is gone once realloc succeeds.
  const size_t old_size = malloc_usable_size(block);
  void* resized = std::realloc(block, size == 0 ? 1 : size);
  if (resized == nullptr) {
    return nullptr;
  }
  g_heap_stats.RecordFree(old_size);
  g_heap_stats.RecordAllocation(malloc_usable_size(resized));
  return resized;
}

char* HeapDuplicateString(const char* text) {
  if (text == nullptr) {
    return nullptr;
  }
  const size_t length = std::strlen(text);
  auto* copy = static_cast<char*>(HeapAllocate(length + 1));
  if (copy != nullptr) {
    std::memcpy(copy, text, length + 1);
  }
  return copy;
}

size_t HeapBlockSize(const void* block) {
  return block == nullptr ? 0 : malloc_usable_size(const_cast<void*>(block));
}

HeapCounters ReadHeapCounters() { return g_heap_stats.Read(); }

}  // namespace Voro
