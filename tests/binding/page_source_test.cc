#include "binding/page_source.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <set>
#include <vector>

#include "binding/fake_page_block_mapper.h"

namespace Voro {
namespace {

TEST(PageSourceTest, CutsBlocksIntoSixteenAlignedPages) {
  FakePageBlockMapper mapper;
  PageSource source(&mapper);
  std::vector<void*> pages;
  std::set<uintptr_t> distinct;
  for (int i = 0; i < 16; ++i) {
    pages.push_back(source.AcquirePage());
    const uintptr_t address = reinterpret_cast<uintptr_t>(pages.back());
    EXPECT_EQ(address % PageSource::kPageSize, 0u);
    distinct.insert(address);
  }
  EXPECT_EQ(distinct.size(), 16u);
  EXPECT_EQ(mapper.mapped(), 1u);
  EXPECT_EQ(source.blocks_reserved(), 1u);
  EXPECT_EQ(source.pages_in_use(), 16u);
  // Every page is usable memory of its own.
  for (size_t i = 0; i < pages.size(); ++i) std::memset(pages[i], static_cast<int>(i), 4096);

  pages.push_back(source.AcquirePage());
  EXPECT_EQ(mapper.mapped(), 2u);
  for (void* page : pages) source.ReleasePage(page);
  EXPECT_EQ(source.pages_in_use(), 0u);
  EXPECT_EQ(source.blocks_reserved(), 0u);
  EXPECT_EQ(mapper.unmapped(), 2u);
  EXPECT_EQ(mapper.live(), 0u);
}

TEST(PageSourceTest, ReleasesABlockOnlyWhenAllItsPagesAreBack) {
  FakePageBlockMapper mapper;
  PageSource source(&mapper);
  std::vector<void*> pages;
  pages.reserve(16);
  for (int i = 0; i < 16; ++i) pages.push_back(source.AcquirePage());
  for (int i = 0; i < 15; ++i) source.ReleasePage(pages[i]);
  EXPECT_EQ(mapper.unmapped(), 0u);
  EXPECT_EQ(source.blocks_reserved(), 1u);
  // A freed page is handed out again before a new block is reserved.
  void* again = source.AcquirePage();
  EXPECT_EQ(mapper.mapped(), 1u);
  source.ReleasePage(again);
  source.ReleasePage(pages[15]);
  EXPECT_EQ(mapper.unmapped(), 1u);
  EXPECT_EQ(source.blocks_reserved(), 0u);
}

TEST(PageSourceTest, KeepsTheSpareBlocksItIsAskedToKeep) {
  FakePageBlockMapper mapper;
  PageSource source(&mapper, /*spare_blocks=*/1);
  std::vector<void*> pages;
  pages.reserve(32);
  for (int i = 0; i < 32; ++i) pages.push_back(source.AcquirePage());
  EXPECT_EQ(mapper.mapped(), 2u);
  for (void* page : pages) source.ReleasePage(page);
  // One fully free block is kept, the other goes back to the system.
  EXPECT_EQ(mapper.unmapped(), 1u);
  EXPECT_EQ(source.blocks_reserved(), 1u);
  EXPECT_EQ(source.pages_in_use(), 0u);
  // The spare block serves the next pages without a new reservation.
  void* page = source.AcquirePage();
  EXPECT_EQ(mapper.mapped(), 2u);
  source.ReleasePage(page);
  EXPECT_EQ(source.blocks_reserved(), 1u);

  // Unloading gives the spare back; a block with a page in use stays.
  void* held = source.AcquirePage();
  for (int i = 0; i < 16; ++i) pages[i] = source.AcquirePage();  // a second block
  for (int i = 0; i < 16; ++i) source.ReleasePage(pages[i]);
  EXPECT_EQ(source.blocks_reserved(), 2u);
  source.ReleaseSpareBlocks();
  EXPECT_EQ(source.blocks_reserved(), 1u);
  source.ReleasePage(held);  // now a spare again
  source.ReleaseSpareBlocks();
  EXPECT_EQ(source.blocks_reserved(), 0u);
  EXPECT_EQ(mapper.unmapped(), mapper.mapped());
}

// Acquires `blocks` blocks' worth of pages and releases them all again.
void Burst(PageSource& source, size_t blocks) {
  std::vector<void*> pages;
  for (size_t i = 0; i < blocks * PageSource::kPagesPerBlock; ++i) {
    pages.push_back(source.AcquirePage());
  }
  for (void* page : pages) source.ReleasePage(page);
}

TEST(PageSourceTest, SpareBlocksFollowTheRecentPeakWithinTheirBounds) {
  FakePageBlockMapper mapper;
  PageSource source(&mapper, /*spare_blocks=*/2, /*max_spare_blocks=*/8);
  EXPECT_EQ(source.spare_limit(), 2u);

  // A burst of five blocks keeps all five for the next burst of that size.
  Burst(source, 5);
  EXPECT_EQ(source.blocks_reserved(), 5u);
  EXPECT_EQ(source.spare_limit(), 5u);
  Burst(source, 5);
  EXPECT_EQ(mapper.mapped(), 5u);
  EXPECT_EQ(source.blocks_reserved(), 5u);

  // A larger burst keeps no more than the upper bound.
  Burst(source, 12);
  EXPECT_EQ(mapper.mapped(), 12u);
  EXPECT_EQ(source.spare_limit(), 8u);
  EXPECT_EQ(source.blocks_reserved(), 8u);

  // While a page is in use the burst goes on: a small tree does not trim the spares.
  void* held = source.AcquirePage();
  Burst(source, 1);
  EXPECT_EQ(source.blocks_reserved(), 8u);
  EXPECT_EQ(source.spare_limit(), 8u);

  // Smaller bursts give the memory back, halving the remembered peak each time, down to the
  // lower bound.
  source.ReleasePage(held);
  EXPECT_EQ(source.spare_limit(), 6u);  // half of twelve
  EXPECT_EQ(source.blocks_reserved(), 6u);
  Burst(source, 1);
  EXPECT_EQ(source.blocks_reserved(), 3u);
  Burst(source, 1);
  EXPECT_EQ(source.spare_limit(), 2u);
  EXPECT_EQ(source.blocks_reserved(), 2u);
  EXPECT_EQ(source.pages_in_use(), 0u);
  EXPECT_EQ(mapper.live(), 2u);
}

TEST(PageSourceTest, ReportsExhaustionAsBadAlloc) {
  FakePageBlockMapper mapper;
  PageSource source(&mapper);
  mapper.FailNext();
  EXPECT_THROW(source.AcquirePage(), std::bad_alloc);
  void* page = source.AcquirePage();
  source.ReleasePage(page);
  EXPECT_EQ(mapper.live(), 0u);
}

TEST(PageSourceTest, SystemMapperGivesAlignedWritableBlocks) {
  SystemPageBlockMapper mapper;
  void* block = mapper.MapBlock();
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % PageBlockMapper::kBlockSize, 0u);
  std::memset(block, 0x5A, PageBlockMapper::kBlockSize);
  mapper.UnmapBlock(block);

  PageSource& process = PageSource::Default();
  EXPECT_EQ(&process, &PageSource::Default());
  const size_t before = process.pages_in_use();
  void* page = process.AcquirePage();
  EXPECT_EQ(process.pages_in_use(), before + 1);
  process.ReleasePage(page);
  EXPECT_EQ(process.pages_in_use(), before);
}

}  // namespace
}  // namespace Voro
