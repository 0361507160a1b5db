#include "binding/value/small_object_allocator.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <random>
#include <vector>

#include "binding/value/fake_page_block_mapper.h"

namespace Voro {
namespace {

using SmallObjectAllocatorTest = FakePagesTest;

TEST_F(SmallObjectAllocatorTest, EveryClassFillsItsFirstBlockBeforeTakingAPage) {
  EXPECT_EQ(mapper_.mapped(), 0u);  // nothing is taken before the first allocation
  for (size_t size = 4; size <= SmallObjectAllocator::kMaxSize; size += 4) {
    SCOPED_TRACE(size);
    std::vector<void*> slots;
    const size_t pages_before = allocator_.pages_held();
    for (size_t i = 0; i < SmallObjectAllocator::kFirstBlockSize / size; ++i) {
      slots.push_back(allocator_.Allocate(size - (i % 4)));  // any size of the class
      std::memset(slots.back(), 0xAB, size);
    }
    EXPECT_EQ(allocator_.pages_held(), pages_before);
    slots.push_back(allocator_.Allocate(size));
    EXPECT_EQ(allocator_.pages_held(), pages_before + 1);
    for (void* slot : slots) {
      if (size % 8 == 0) {
        EXPECT_EQ(reinterpret_cast<uintptr_t>(slot) % 8, 0u);
      }
      allocator_.Free(slot, size);
    }
    EXPECT_EQ(allocator_.pages_held(), pages_before);  // the page went back, the block stays
  }
  EXPECT_EQ(pages_.pages_in_use(), 0u);
  // Large requests go to the heap.
  void* big = allocator_.AllocateAny(4096);
  std::memset(big, 1, 4096);
  EXPECT_EQ(allocator_.slots_in_use(), 0u);
  allocator_.FreeAny(big, 4096);
  void* small = allocator_.AllocateAny(72);
  EXPECT_EQ(allocator_.slots_in_use(), 1u);
  allocator_.FreeAny(small, 72);
}

TEST_F(SmallObjectAllocatorTest, AFullPageGetsRoomAgainAndAnEmptyOneGoesBack) {
  std::vector<void*> slots;
  // Fill the first block and exactly one page of the 4-byte class.
  while (allocator_.pages_held() < 2) slots.push_back(allocator_.Allocate(4));
  void* on_second_page = slots.back();
  slots.pop_back();
  void* middle = slots[slots.size() / 2 + 20];
  allocator_.Free(middle, 4);
  // The full page is linked back into the list of blocks with room, so its freed slot is
  // handed out next, before the untouched slots of the newer page.
  EXPECT_EQ(allocator_.Allocate(4), middle);
  allocator_.Free(on_second_page, 4);
  EXPECT_EQ(allocator_.pages_held(), 1u);
  for (void* slot : slots) allocator_.Free(slot, 4);
  EXPECT_EQ(allocator_.pages_held(), 0u);
  EXPECT_EQ(allocator_.slots_in_use(), 0u);
  EXPECT_EQ(mapper_.live(), 0u);
  // The first block is never returned: its slots are reused before a page is taken again.
  for (size_t i = 0; i < SmallObjectAllocator::kFirstBlockSize / 4; ++i) allocator_.Allocate(4);
  EXPECT_EQ(allocator_.pages_held(), 0u);
  allocator_.Allocate(4);
  EXPECT_EQ(allocator_.pages_held(), 1u);
  EXPECT_EQ(mapper_.mapped(), 2u);
  {
    SmallObjectAllocator dying(&pages_);
    for (int i = 0; i < 1000; ++i) (void)dying.Allocate(40);
  }
  EXPECT_EQ(pages_.pages_in_use(), 1u);  // only this allocator's page remains
}

TEST_F(SmallObjectAllocatorTest, ArraysSharePagesInBlocksOfTheirClass) {
  struct Distance {
    size_t from, to, bytes;  // blocks[to] - blocks[from] == bytes
  };
  struct Row {
    std::vector<size_t> sizes;  // allocated in this order
    size_t pages;               // pages held afterwards
    std::vector<Distance> distances;
  };
  const Row rows[] = {
      // 73 bytes is the smallest pooled size; a block of 96 takes 73 to 96, one of 128 takes
      // 97 to 128.
      {{73, 128, 100, 96}, 1, {{0, 1, 96}, {0, 2, 224}, {0, 3, 352}}},
      // Blocks are cut from a page in the order asked for, whatever their size: 192, 256,
      // 384, 1024 and 256 bytes.
      {{129, 256, 257, 1024, 193}, 1, {{0, 1, 192}, {0, 2, 448}, {0, 3, 832}, {0, 4, 1856}}},
      // 2048 + 1024 leave 1024: the next 2048 takes a new page, the 1024 left over is handed
      // out for the next 1000, and the 600 after it (a block of 768) comes from the new page.
      {{2048, 1024, 2048, 1000, 600}, 2, {{0, 1, 2048}, {0, 3, 3072}, {2, 4, 2048}}},
      // The rest of a page is split into the largest blocks that fit: 128 + 2048 leave
      // 1536 + 384 for the next sizes, before a new page.
      {{128, 2048, 2048, 1500, 300, 100},
       2,
       {{0, 1, 128}, {0, 3, 2176}, {0, 4, 3712}, {2, 5, 2048}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.sizes));
    {
      SmallObjectAllocator allocator(&pages_);
      std::vector<unsigned char*> blocks;
      for (size_t size : row.sizes) {
        blocks.push_back(static_cast<unsigned char*>(allocator.AllocateAny(size)));
        std::memset(blocks.back(), 0x5A, size);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(blocks.back()) % 8, 0u);
      }
      EXPECT_EQ(allocator.pages_held(), row.pages);
      EXPECT_EQ(allocator.slots_in_use(), 0u);
      for (const Distance& d : row.distances) {
        EXPECT_EQ(blocks[d.to] - blocks[d.from], static_cast<ptrdiff_t>(d.bytes))
            << d.from << " to " << d.to;
      }
      // A freed block is the next one handed out for its size.
      allocator.FreeAny(blocks[0], row.sizes[0]);
      EXPECT_EQ(allocator.AllocateAny(row.sizes[0]), blocks[0]);
      // Pages stay while any pooled array lives, and go back with the last one.
      for (size_t i = row.sizes.size(); i-- > 1;) {
        EXPECT_EQ(allocator.pages_held(), row.pages);
        allocator.FreeAny(blocks[i], row.sizes[i]);
      }
      EXPECT_EQ(allocator.pages_held(), row.pages);
      allocator.FreeAny(blocks[0], row.sizes[0]);
      EXPECT_EQ(allocator.pages_held(), 0u);
      EXPECT_EQ(pages_.pages_in_use(), 0u);
      // and the next array starts a page again.
      allocator.AllocateAny(row.sizes[0]);
      EXPECT_EQ(allocator.pages_held(), 1u);
    }
    EXPECT_EQ(pages_.pages_in_use(), 0u);  // what is left goes with the allocator
  }
  // Larger than 2048 bytes: the general heap.
  void* big = allocator_.AllocateAny(2049);
  EXPECT_EQ(allocator_.pages_held(), 0u);
  allocator_.FreeAny(big, 2049);
}

TEST_F(SmallObjectAllocatorTest, RandomRunAgreesWithAModel) {
  std::mt19937 random(20261206);
  struct Live {
    size_t size;
    uint8_t fill;
  };
  std::map<unsigned char*, Live> live;
  const auto free_checked = [&](std::map<unsigned char*, Live>::iterator it) {
    for (size_t i = 0; i < it->second.size; ++i) ASSERT_EQ(it->first[i], it->second.fill);
    allocator_.Free(it->first, it->second.size);
    live.erase(it);
  };
  size_t max_pages = 0;
  for (int step = 0; step < 20000; ++step) {
    if (live.empty() || (random() % 100) < (step < 10000 ? 60 : 35)) {
      const size_t size = 1 + random() % SmallObjectAllocator::kMaxSize;
      auto* slot = static_cast<unsigned char*>(allocator_.Allocate(size));
      // A slot must not overlap any live one.
      auto next = live.lower_bound(slot);
      if (next != live.end()) {
        ASSERT_GE(next->first, slot + size);
      }
      if (next != live.begin()) {
        ASSERT_LE(std::prev(next)->first + std::prev(next)->second.size, slot);
      }
      const auto fill = static_cast<uint8_t>(random());
      std::memset(slot, fill, size);
      live[slot] = {size, fill};
    } else {
      free_checked(std::next(live.begin(), static_cast<long>(random() % live.size())));
    }
    if (step % 64 == 0) {
      ASSERT_EQ(allocator_.slots_in_use(), live.size());
    }
    max_pages = std::max(max_pages, allocator_.pages_held());
  }
  EXPECT_GT(max_pages, 10u);
  while (!live.empty()) free_checked(live.begin());
  EXPECT_EQ(allocator_.pages_held(), 0u);
  EXPECT_EQ(mapper_.live(), 0u);
}

}  // namespace
}  // namespace Voro
