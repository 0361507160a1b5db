#include "binding/value/page_source.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "binding/value/fake_page_block_mapper.h"

namespace Voro {
namespace {

std::vector<void*> Acquire(PageSource& source, size_t pages) {
  std::vector<void*> acquired;
  for (size_t i = 0; i < pages; ++i) acquired.push_back(source.AcquirePage());
  return acquired;
}

void Release(PageSource& source, const std::vector<void*>& pages) {
  for (void* page : pages) source.ReleasePage(page);
}

// Acquires `blocks` blocks' worth of pages and releases them all again.
void Burst(PageSource& source, size_t blocks) {
  Release(source, Acquire(source, blocks * PageSource::kPagesPerBlock));
}

TEST(PageSourceTest, CutsBlocksIntoSixteenAlignedPagesAndReturnsThemWhenAllAreBack) {
  FakePageBlockMapper mapper;
  PageSource source(&mapper);
  std::vector<void*> pages = Acquire(source, 17);
  std::set<void*> distinct(pages.begin(), pages.end());
  EXPECT_EQ(distinct.size(), 17u);
  for (void* page : pages) {
    EXPECT_EQ(reinterpret_cast<uintptr_t>(page) % PageSource::kPageSize, 0u);
    std::memset(page, 0x5A, PageSource::kPageSize);  // usable memory
  }
  EXPECT_EQ(mapper.mapped(), 2u);
  // A freed page is handed out again before a new block is reserved, and a block goes back
  // only with its last page.
  Release(source, {pages.begin(), pages.begin() + 15});
  source.ReleasePage(source.AcquirePage());
  EXPECT_EQ(mapper.mapped(), 2u);
  source.ReleasePage(pages[15]);
  EXPECT_EQ(mapper.unmapped(), 1u);
  source.ReleasePage(pages[16]);
  EXPECT_EQ(source.pages_in_use(), 0u);
  EXPECT_EQ(source.blocks_reserved(), 0u);
  // Exhaustion is a bad_alloc.
  mapper.FailNext();
  EXPECT_THROW(source.AcquirePage(), std::bad_alloc);
  Burst(source, 1);
  EXPECT_EQ(mapper.live(), 0u);
  SystemPageBlockMapper system;
  void* block = system.MapBlock();
  EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % PageBlockMapper::kBlockSize, 0u);
  std::memset(block, 0x5A, PageBlockMapper::kBlockSize);
  system.UnmapBlock(block);
}

// Blocks mapped so far / blocks reserved now / spare limit.
std::string State(const PageSource& source, const FakePageBlockMapper& mapper) {
  return std::to_string(mapper.mapped()) + "/" + std::to_string(source.blocks_reserved()) + "/" +
         std::to_string(source.spare_limit());
}

TEST(PageSourceTest, KeepsTheSpareBlocksItIsAskedToKeep) {
  FakePageBlockMapper mapper;
  PageSource source(&mapper, /*spare_blocks=*/1);
  Burst(source, 2);  // one fully free block is kept, the other goes back to the system
  EXPECT_EQ(State(source, mapper), "2/1/1");
  Burst(source, 1);  // the spare block serves the next pages without a new reservation
  EXPECT_EQ(State(source, mapper), "2/1/1");
  // Unloading gives the spare back; a block with a page in use stays.
  void* held = source.AcquirePage();
  Burst(source, 1);
  EXPECT_EQ(State(source, mapper), "3/2/1");
  source.ReleaseSpareBlocks();
  EXPECT_EQ(State(source, mapper), "3/1/1");
  source.ReleasePage(held);  // now a spare again
  source.ReleaseSpareBlocks();
  EXPECT_EQ(State(source, mapper), "3/0/1");
  EXPECT_EQ(mapper.live(), 0u);
}

TEST(PageSourceTest, SpareBlocksFollowTheRecentPeakWithinTheirBounds) {
  FakePageBlockMapper mapper;
  PageSource source(&mapper, /*spare_blocks=*/2, /*max_spare_blocks=*/8);
  EXPECT_EQ(State(source, mapper), "0/0/2");
  // A burst of five blocks keeps all five for the next burst of that size.
  Burst(source, 5);
  Burst(source, 5);
  EXPECT_EQ(State(source, mapper), "5/5/5");
  // A larger burst keeps no more than the upper bound.
  Burst(source, 12);
  EXPECT_EQ(State(source, mapper), "12/8/8");
  // While a page is in use the burst goes on: a small tree does not trim the spares.
  void* held = source.AcquirePage();
  Burst(source, 1);
  EXPECT_EQ(State(source, mapper), "12/8/8");
  // Smaller bursts give the memory back, halving the remembered peak (twelve) each time, down
  // to the lower bound.
  source.ReleasePage(held);
  EXPECT_EQ(State(source, mapper), "12/6/6");
  Burst(source, 1);
  EXPECT_EQ(State(source, mapper), "12/3/3");
  Burst(source, 1);
  EXPECT_EQ(State(source, mapper), "12/2/2");
  EXPECT_EQ(mapper.live(), 2u);
}

}  // namespace
}  // namespace Voro
