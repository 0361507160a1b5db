#include "diag/heap_hooks.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace Voro {
namespace {

// allocations, bytes allocated, frees, bytes freed
using Counts = std::array<uint64_t, 4>;

Counts Of(const HeapCounters& c) {
  return {c.allocations, c.bytes_allocated, c.frees, c.bytes_freed};
}

// What the process-wide counters moved by while an action ran.
template <typename Action>
Counts CountsDuring(Action action) {
  const Counts before = Of(ReadHeapCounters());
  action();
  Counts moved = Of(ReadHeapCounters());
  for (size_t i = 0; i < moved.size(); ++i) moved[i] -= before[i];
  return moved;
}

TEST(HeapHooksTest, EveryCallCountsTheUsableSizeOfItsBlocks) {
  char* block = nullptr;
  size_t size = 0;
  // The counts are taken before the expectation reads `size`: argument order is unspecified.
  Counts moved = CountsDuring([&] { size = HeapBlockSize(block = HeapDuplicateString("keep")); });
  EXPECT_EQ(moved, (Counts{1, size, 0, 0}));
  EXPECT_STREQ(block, "keep");
  const size_t old_size = size;
  moved = CountsDuring([&] {
    block = static_cast<char*>(HeapReallocate(block, 100000));
    size = HeapBlockSize(block);
  });
  EXPECT_EQ(moved, (Counts{1, size, 1, old_size}));
  EXPECT_STREQ(block, "keep");
  EXPECT_EQ(CountsDuring([&] { HeapFree(block); }), (Counts{0, 0, 1, size}));
  moved = CountsDuring(
      [&] { size = HeapBlockSize(block = static_cast<char*>(HeapReallocate(nullptr, 0))); });
  EXPECT_EQ(moved, (Counts{1, size, 0, 0}));
  HeapFree(block);
  // Blocks the C library handed out may be released through the hooks.
  void* foreign = std::malloc(48);
  ASSERT_NE(foreign, nullptr);  // NOLINT(clang-analyzer-unix.Malloc): HeapFree releases it
  size = HeapBlockSize(foreign);
  EXPECT_EQ(CountsDuring([&] { HeapFree(foreign); }), (Counts{0, 0, 1, size}));
  EXPECT_EQ(CountsDuring([] {
              HeapFree(nullptr);
              EXPECT_EQ(HeapBlockSize(nullptr) + (HeapDuplicateString(nullptr) != nullptr), 0u);
            }),
            (Counts{0, 0, 0, 0}));
  void* a = HeapAllocate(0);
  void* b = HeapAllocate(0);
  EXPECT_TRUE(a != nullptr && b != nullptr && a != b);
  HeapFree(a);
  HeapFree(b);
}

// The same accounting on private instances, where every number is known.
TEST(HeapStatsTest, PeakFollowsLiveBytesAndSurvivesForeignFrees) {
  struct Step {
    int64_t size;  // negative: a free of that many bytes
    uint64_t peak;
    uint64_t blocks_at_peak;
  };
  const std::vector<std::vector<Step>> scenarios = {
      // Below the peak neither half of the pair moves.
      {{32, 32, 1}, {-32, 32, 1}, {16, 32, 1}, {24, 40, 2}, {-24, 40, 2}, {100, 116, 2}},
      // A block another allocator handed out, released through the hooks: the peak counts
      // from where live bytes climb back above zero.
      {{-4096, 0, 0}, {64, 0, 0}, {5000, 5064 - 4096, 1}},
      {{-8, 0, 0}, {-8, 0, 0}, {100, 84, 0}},  // more frees than allocations
  };
  for (size_t s = 0; s < scenarios.size(); ++s) {
    HeapStats stats;
    for (size_t i = 0; i < scenarios[s].size(); ++i) {
      SCOPED_TRACE(testing::Message() << "scenario " << s << " step " << i);
      const Step& step = scenarios[s][i];
      step.size >= 0 ? stats.RecordAllocation(step.size) : stats.RecordFree(-step.size);
      EXPECT_EQ(stats.Read().peak_live_bytes, step.peak);
      EXPECT_EQ(stats.Read().live_allocations_at_peak, step.blocks_at_peak);
    }
    if (s == 0) {
      EXPECT_EQ(Of(stats.Read()), (Counts{4, 172, 2, 56}));
    }
  }
}

TEST(HeapStatsTest, ConcurrentCountsAddUp) {
  HeapStats stats;
  constexpr uint64_t kThreads = 4;
  constexpr uint64_t kRounds = 20000;
  std::atomic<uint64_t> started{0};
  std::vector<std::thread> threads;
  for (uint64_t t = 0; t < kThreads; ++t) {
    threads.emplace_back([&stats, &started] {
      for (++started; started.load() < kThreads;) {
      }
      // Live bytes climb in every thread at once: the peak is contended all the way up.
      for (uint64_t i = 0; i < kRounds; ++i) stats.RecordAllocation(16);
      for (uint64_t i = 0; i < kRounds; ++i) stats.RecordFree(16);
    });
  }
  for (std::thread& thread : threads) thread.join();
  constexpr uint64_t kAll = kThreads * kRounds;
  EXPECT_EQ(Of(stats.Read()), (Counts{kAll, kAll * 16, kAll, kAll * 16}));
  EXPECT_GE(stats.Read().peak_live_bytes, kRounds * 16);
  EXPECT_LE(stats.Read().peak_live_bytes, kAll * 16);
}

}  // namespace
}  // namespace Voro
