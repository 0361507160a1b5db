// Accounting of the plugin's heap: every allocation of the plugin goes through these hooks,
// and the host reads the counters.
//
// Block sizes are the allocator's usable size of each block, not the requested size.
// Blocks freed here may have been allocated elsewhere (the C++ runtime's own `new`), so
// freed bytes can exceed allocated bytes; live bytes are then negative and leave the peak
// alone.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace Voro {

// The counters in the order the host reads them.
struct HeapCounters {
  uint64_t peak_live_bytes = 0;
  uint64_t live_allocations_at_peak = 0;
  uint64_t bytes_allocated = 0;
  uint64_t allocations = 0;
  uint64_t bytes_freed = 0;
  uint64_t frees = 0;
};

// Six atomic counters. Each is updated atomically; the peak and its allocation count are two
// separate updates, so a reader racing with an allocation may see one without the other.
class HeapStats {
 public:
  constexpr HeapStats() = default;
  HeapStats(const HeapStats&) = delete;
  HeapStats& operator=(const HeapStats&) = delete;

  // A block of `size` usable bytes was obtained; updates the peak.
  void RecordAllocation(size_t size);
  // A block of `size` usable bytes is about to be released.
  void RecordFree(size_t size);
  HeapCounters Read() const;

 private:
  void UpdatePeak();

  std::atomic<uint64_t> peak_live_bytes_{0};
  std::atomic<uint64_t> live_allocations_at_peak_{0};
  std::atomic<uint64_t> bytes_allocated_{0};
  std::atomic<uint64_t> allocations_{0};
  std::atomic<uint64_t> bytes_freed_{0};
  std::atomic<uint64_t> frees_{0};
};

// The hooks; any thread. They count into one process-wide HeapStats, which needs no
// initialisation, so they work before and after static constructors and destructors.

// A new block of at least `size` bytes (a zero size gives a distinct non-null block), or
// nullptr when the system has no memory; a failure is not counted.
void* HeapAllocate(size_t size);
// Releases a block from any malloc-family allocator; nullptr is ignored.
void HeapFree(void* block);
// Resizes `block` (nullptr: allocates). A zero size keeps a small block rather than freeing.
// On failure returns nullptr, leaves `block` valid and counts nothing.
void* HeapReallocate(void* block, size_t size);
// A counted copy of `text`, released with HeapFree; nullptr for nullptr or no memory.
char* HeapDuplicateString(const char* text);
// The usable size of a malloc-family block; 0 for nullptr.
size_t HeapBlockSize(const void* block);

HeapCounters ReadHeapCounters();

}  // namespace Voro
