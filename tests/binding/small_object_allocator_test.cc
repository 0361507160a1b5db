#include "binding/small_object_allocator.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <random>
#include <vector>

#include "binding/fake_page_block_mapper.h"

namespace Voro {
namespace {

class SmallObjectAllocatorTest : public testing::Test {
 protected:
  FakePageBlockMapper mapper_;
  PageSource pages_{&mapper_};
};

TEST_F(SmallObjectAllocatorTest, TakesNothingBeforeTheFirstAllocation) {
  SmallObjectAllocator allocator(&pages_);
  EXPECT_EQ(allocator.pages_held(), 0u);
  EXPECT_EQ(allocator.slots_in_use(), 0u);
  EXPECT_EQ(mapper_.mapped(), 0u);
}

TEST_F(SmallObjectAllocatorTest, EveryClassFillsItsFirstBlockBeforeTakingAPage) {
  SmallObjectAllocator allocator(&pages_);
  for (size_t size = 4; size <= SmallObjectAllocator::kMaxSize; size += 4) {
    SCOPED_TRACE(size);
    const size_t inline_slots = SmallObjectAllocator::kFirstBlockSize / size;
    std::vector<void*> slots;
    const size_t pages_before = allocator.pages_held();
    for (size_t i = 0; i < inline_slots; ++i) {
      // Any size inside the class shares its slots.
      slots.push_back(allocator.Allocate(size - (i % 4)));
      std::memset(slots.back(), 0xAB, size);
    }
    EXPECT_EQ(allocator.pages_held(), pages_before);
    slots.push_back(allocator.Allocate(size));
    EXPECT_EQ(allocator.pages_held(), pages_before + 1);
    for (void* slot : slots) {
      if (size % 8 == 0) {
        EXPECT_EQ(reinterpret_cast<uintptr_t>(slot) % 8, 0u);
      }
      allocator.Free(slot, size);
    }
    // The page went back; the first block stays with the class.
    EXPECT_EQ(allocator.pages_held(), pages_before);
  }
  EXPECT_EQ(allocator.slots_in_use(), 0u);
  EXPECT_EQ(pages_.pages_in_use(), 0u);
}

TEST_F(SmallObjectAllocatorTest, ReturnsAPageWithItsLastSlotAndTakesOneAgainLater) {
  SmallObjectAllocator allocator(&pages_);
  void* first = allocator.Allocate(72);
  void* second = allocator.Allocate(72);  // the first block holds two 72-byte slots
  void* on_page = allocator.Allocate(72);
  EXPECT_EQ(allocator.pages_held(), 1u);
  EXPECT_EQ(pages_.pages_in_use(), 1u);

  allocator.Free(on_page, 72);
  EXPECT_EQ(allocator.pages_held(), 0u);
  EXPECT_EQ(pages_.pages_in_use(), 0u);
  EXPECT_EQ(mapper_.unmapped(), 1u);  // its block was the only one

  // The first block is never returned: freeing both slots keeps them for reuse.
  allocator.Free(first, 72);
  allocator.Free(second, 72);
  void* reused = allocator.Allocate(72);
  EXPECT_TRUE(reused == first || reused == second);
  void* reused2 = allocator.Allocate(72);
  void* page_again = allocator.Allocate(72);
  EXPECT_EQ(allocator.pages_held(), 1u);
  EXPECT_EQ(mapper_.mapped(), 2u);
  allocator.Free(page_again, 72);
  allocator.Free(reused, 72);
  allocator.Free(reused2, 72);
  EXPECT_EQ(allocator.slots_in_use(), 0u);
}

TEST_F(SmallObjectAllocatorTest, AFullPageGetsRoomAgainWhenASlotIsFreed) {
  SmallObjectAllocator allocator(&pages_);
  std::vector<void*> slots;
  // Fill the first block and exactly one page of the 4-byte class.
  while (allocator.pages_held() < 2) slots.push_back(allocator.Allocate(4));
  void* on_second_page = slots.back();
  slots.pop_back();
  // slots now fills the first block and the first page completely.
  void* middle = slots[slots.size() / 2 + 20];
  allocator.Free(middle, 4);
  // The full page is linked back into the list of blocks with room, so its freed slot is
  // handed out next, before the untouched slots of the newer page.
  const size_t held = allocator.pages_held();
  void* again = allocator.Allocate(4);
  EXPECT_EQ(again, middle);
  EXPECT_EQ(allocator.pages_held(), held);
  allocator.Free(again, 4);
  allocator.Free(on_second_page, 4);
  EXPECT_EQ(allocator.pages_held(), 1u);
  for (void* slot : slots) {
    if (slot != middle) allocator.Free(slot, 4);
  }
  EXPECT_EQ(allocator.pages_held(), 0u);
  EXPECT_EQ(allocator.slots_in_use(), 0u);
}

TEST_F(SmallObjectAllocatorTest, RandomRunAgreesWithAModel) {
  std::mt19937 random(20261206);
  SmallObjectAllocator allocator(&pages_);
  struct Live {
    size_t size;
    uint8_t fill;
  };
  std::map<unsigned char*, Live> live;
  size_t max_pages = 0;
  for (int step = 0; step < 60000; ++step) {
    const bool allocate = live.empty() || (random() % 100) < (step < 30000 ? 60 : 35);
    if (allocate) {
      const size_t size = 1 + random() % SmallObjectAllocator::kMaxSize;
      auto* slot = static_cast<unsigned char*>(allocator.Allocate(size));
      const uint8_t fill = static_cast<uint8_t>(random());
      // A slot must not overlap any live one.
      auto next = live.lower_bound(slot);
      if (next != live.end()) {
        ASSERT_GE(next->first, slot + size);
      }
      if (next != live.begin()) {
        auto prev = std::prev(next);
        ASSERT_LE(prev->first + prev->second.size, slot);
      }
      std::memset(slot, fill, size);
      live[slot] = {size, fill};
    } else {
      auto it = live.begin();
      std::advance(it, random() % live.size());
      for (size_t i = 0; i < it->second.size; ++i) {
        ASSERT_EQ(it->first[i], it->second.fill);
      }
      allocator.Free(it->first, it->second.size);
      live.erase(it);
    }
    if (step % 64 == 0) {
      ASSERT_EQ(allocator.slots_in_use(), live.size());
    }
    max_pages = std::max(max_pages, allocator.pages_held());
  }
  EXPECT_GT(max_pages, 10u);
  for (auto& [slot, info] : live) {
    for (size_t i = 0; i < info.size; ++i) {
      ASSERT_EQ(slot[i], info.fill);
    }
    allocator.Free(slot, info.size);
  }
  EXPECT_EQ(allocator.pages_held(), 0u);
  EXPECT_EQ(pages_.pages_in_use(), 0u);
  EXPECT_EQ(mapper_.live(), 0u);
}

TEST_F(SmallObjectAllocatorTest, DestructionReturnsPagesStillHeld) {
  {
    SmallObjectAllocator allocator(&pages_);
    for (int i = 0; i < 1000; ++i) (void)allocator.Allocate(40);
    EXPECT_GT(allocator.pages_held(), 0u);
  }
  EXPECT_EQ(pages_.pages_in_use(), 0u);
  EXPECT_EQ(mapper_.live(), 0u);
}

TEST_F(SmallObjectAllocatorTest, LargeRequestsGoToTheHeap) {
  SmallObjectAllocator allocator(&pages_);
  void* big = allocator.AllocateAny(4096);
  EXPECT_EQ(allocator.pages_held(), 0u);
  EXPECT_EQ(allocator.slots_in_use(), 0u);
  std::memset(big, 1, 4096);
  allocator.FreeAny(big, 4096);
  void* small = allocator.AllocateAny(72);
  EXPECT_EQ(allocator.slots_in_use(), 1u);
  allocator.FreeAny(small, 72);
}

}  // namespace
}  // namespace Voro
