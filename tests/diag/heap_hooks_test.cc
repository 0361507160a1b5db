#include "diag/heap_hooks.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace Voro {
namespace {

HeapCounters Delta(const HeapCounters& after, const HeapCounters& before) {
  return {after.peak_live_bytes - before.peak_live_bytes,
          after.live_allocations_at_peak - before.live_allocations_at_peak,
          after.bytes_allocated - before.bytes_allocated,
          after.allocations - before.allocations,
          after.bytes_freed - before.bytes_freed,
          after.frees - before.frees};
}

TEST(HeapHooksTest, AllocateAndFreeCountTheUsableSize) {
  const HeapCounters before = ReadHeapCounters();
  void* block = HeapAllocate(20);
  ASSERT_NE(block, nullptr);
  const size_t usable = HeapBlockSize(block);
  EXPECT_GE(usable, 20u);
  std::memset(block, 0x5a, usable);
  const HeapCounters now = ReadHeapCounters();
  // Earlier tests may have freed foreign blocks, leaving the process's live bytes negative.
  const int64_t live = static_cast<int64_t>(now.bytes_allocated - now.bytes_freed);
  const HeapCounters allocated = Delta(now, before);
  EXPECT_EQ(allocated.bytes_allocated, usable);
  EXPECT_EQ(allocated.allocations, 1u);
  EXPECT_EQ(allocated.bytes_freed, 0u);
  EXPECT_EQ(allocated.frees, 0u);

  HeapFree(block);
  const HeapCounters freed = Delta(ReadHeapCounters(), before);
  EXPECT_EQ(freed.bytes_allocated, usable);
  EXPECT_EQ(freed.bytes_freed, usable);
  EXPECT_EQ(freed.frees, 1u);
  if (live > 0) {
    EXPECT_GE(ReadHeapCounters().peak_live_bytes, static_cast<uint64_t>(live));
  }
}

TEST(HeapHooksTest, NullAndZeroSizes) {
  const HeapCounters before = ReadHeapCounters();
  HeapFree(nullptr);
  EXPECT_EQ(HeapBlockSize(nullptr), 0u);
  EXPECT_EQ(HeapDuplicateString(nullptr), nullptr);
  EXPECT_EQ(Delta(ReadHeapCounters(), before).frees, 0u);

  void* a = HeapAllocate(0);
  void* b = HeapAllocate(0);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a, b);
  EXPECT_EQ(Delta(ReadHeapCounters(), before).allocations, 2u);
  HeapFree(a);
  HeapFree(b);
}

TEST(HeapHooksTest, ReallocateCountsOldBlockFreedAndNewAllocated) {
  char* block = static_cast<char*>(HeapAllocate(16));
  ASSERT_NE(block, nullptr);
  std::memcpy(block, "keep", 5);
  const size_t old_size = HeapBlockSize(block);
  const HeapCounters before = ReadHeapCounters();

  char* grown = static_cast<char*>(HeapReallocate(block, 100000));
  ASSERT_NE(grown, nullptr);
  EXPECT_STREQ(grown, "keep");
  const size_t new_size = HeapBlockSize(grown);
  const HeapCounters d = Delta(ReadHeapCounters(), before);
  EXPECT_EQ(d.bytes_freed, old_size);
  EXPECT_EQ(d.frees, 1u);
  EXPECT_EQ(d.bytes_allocated, new_size);
  EXPECT_EQ(d.allocations, 1u);

  // From nullptr it is an allocation only.
  const HeapCounters before_null = ReadHeapCounters();
  void* fresh = HeapReallocate(nullptr, 8);
  ASSERT_NE(fresh, nullptr);
  const HeapCounters n = Delta(ReadHeapCounters(), before_null);
  EXPECT_EQ(n.allocations, 1u);
  EXPECT_EQ(n.frees, 0u);
  EXPECT_EQ(n.bytes_allocated, HeapBlockSize(fresh));

  HeapFree(fresh);
  HeapFree(grown);
}

TEST(HeapHooksTest, DuplicateStringIsOneCountedAllocation) {
  const HeapCounters before = ReadHeapCounters();
  char* copy = HeapDuplicateString("duplicate me");
  ASSERT_NE(copy, nullptr);
  EXPECT_STREQ(copy, "duplicate me");
  const HeapCounters d = Delta(ReadHeapCounters(), before);
  EXPECT_EQ(d.allocations, 1u);
  EXPECT_EQ(d.bytes_allocated, HeapBlockSize(copy));
  HeapFree(copy);
}

TEST(HeapHooksTest, ProcessPeakRecordsLiveBytesAndBlocks) {
  const HeapCounters before = ReadHeapCounters();
  const int64_t live_before = static_cast<int64_t>(before.bytes_allocated - before.bytes_freed);
  // Large enough to pass whatever peak earlier tests left behind.
  const int64_t wanted = static_cast<int64_t>(before.peak_live_bytes) - live_before + (1 << 16);
  void* block = HeapAllocate(static_cast<size_t>(std::max<int64_t>(wanted, 64)));
  ASSERT_NE(block, nullptr);
  const HeapCounters after = ReadHeapCounters();
  EXPECT_EQ(after.peak_live_bytes, after.bytes_allocated - after.bytes_freed);
  EXPECT_EQ(after.live_allocations_at_peak, after.allocations - after.frees);
  HeapFree(block);
  const HeapCounters freed = ReadHeapCounters();
  EXPECT_EQ(freed.peak_live_bytes, after.peak_live_bytes);
  EXPECT_EQ(freed.live_allocations_at_peak, after.live_allocations_at_peak);
}

// The same accounting on a private instance, where every number is known.
TEST(HeapStatsTest, PeakFollowsLiveBytes) {
  HeapStats stats;
  stats.RecordAllocation(32);
  stats.RecordFree(32);
  HeapCounters c = stats.Read();
  EXPECT_EQ(c.bytes_allocated, 32u);
  EXPECT_EQ(c.bytes_freed, 32u);
  EXPECT_EQ(c.peak_live_bytes, 32u);
  EXPECT_EQ(c.live_allocations_at_peak, 1u);

  stats.RecordAllocation(16);
  stats.RecordAllocation(24);
  c = stats.Read();
  EXPECT_EQ(c.peak_live_bytes, 40u);
  EXPECT_EQ(c.live_allocations_at_peak, 2u);

  // Below the peak: neither half of the pair moves.
  stats.RecordFree(24);
  stats.RecordAllocation(8);
  stats.RecordAllocation(8);
  c = stats.Read();
  EXPECT_EQ(c.peak_live_bytes, 40u);
  EXPECT_EQ(c.live_allocations_at_peak, 2u);
  EXPECT_EQ(c.allocations, 5u);
  EXPECT_EQ(c.frees, 2u);
  EXPECT_EQ(c.bytes_allocated, 88u);
  EXPECT_EQ(c.bytes_freed, 56u);

  stats.RecordAllocation(100);
  c = stats.Read();
  EXPECT_EQ(c.peak_live_bytes, 132u);
  EXPECT_EQ(c.live_allocations_at_peak, 4u);
}

TEST(HeapStatsTest, ForeignFreesNeverMakeAHugePeak) {
  HeapStats stats;
  // A block another allocator handed out, released through the hooks.
  stats.RecordFree(4096);
  stats.RecordAllocation(64);
  HeapCounters c = stats.Read();
  EXPECT_EQ(c.peak_live_bytes, 0u);
  EXPECT_EQ(c.live_allocations_at_peak, 0u);

  // Live bytes climb back above zero: the peak counts from there, with the foreign free
  // still taken off.
  stats.RecordAllocation(5000);
  c = stats.Read();
  EXPECT_EQ(c.peak_live_bytes, 5064u - 4096u);
  EXPECT_EQ(c.live_allocations_at_peak, 1u);

  // More frees than allocations, with live bytes above zero.
  HeapStats blocks;
  blocks.RecordFree(8);
  blocks.RecordFree(8);
  blocks.RecordAllocation(100);
  c = blocks.Read();
  EXPECT_EQ(c.peak_live_bytes, 84u);
  EXPECT_EQ(c.live_allocations_at_peak, 0u);
}

TEST(HeapStatsTest, ConcurrentCountsAddUp) {
  HeapStats stats;
  constexpr int kThreads = 4;
  constexpr int kRounds = 20000;
  std::vector<std::thread> threads;
  threads.reserve(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&stats] {
      for (int i = 0; i < kRounds; ++i) {
        stats.RecordAllocation(16);
        stats.RecordFree(16);
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  const HeapCounters c = stats.Read();
  EXPECT_EQ(c.allocations, uint64_t{kThreads} * kRounds);
  EXPECT_EQ(c.frees, uint64_t{kThreads} * kRounds);
  EXPECT_EQ(c.bytes_allocated, uint64_t{kThreads} * kRounds * 16);
  EXPECT_EQ(c.bytes_freed, c.bytes_allocated);
  EXPECT_GE(c.peak_live_bytes, 16u);
  EXPECT_LE(c.peak_live_bytes, uint64_t{kThreads} * 16);
}

TEST(HeapHooksTest, HooksCanReleaseBlocksFromMalloc) {
  void* foreign = std::malloc(48);
  ASSERT_NE(foreign, nullptr);  // NOLINT(clang-analyzer-unix.Malloc): HeapFree releases it
  const size_t usable = HeapBlockSize(foreign);
  const HeapCounters before = ReadHeapCounters();
  HeapFree(foreign);
  const HeapCounters d = Delta(ReadHeapCounters(), before);
  EXPECT_EQ(d.bytes_freed, usable);
  EXPECT_EQ(d.frees, 1u);
  EXPECT_EQ(d.peak_live_bytes, 0u);
}

}  // namespace
}  // namespace Voro
