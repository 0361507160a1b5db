#include "binding/value/page_source.h"

#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <cassert>
#include <new>

#include "diag/no_destructor.h"

namespace Voro {

namespace {

// Commits a block's pages in one call instead of sixteen page faults. Where the system
// cannot (MADV_POPULATE_WRITE is missing before Linux 5.14), pages fault in on first use.
void Commit(void* block, size_t size) {
#ifdef MADV_POPULATE_WRITE
  madvise(block, size, MADV_POPULATE_WRITE);
#else
  (void)block;
  (void)size;
#endif
}

}  // namespace

void* SystemPageBlockMapper::MapBlock() {
  // mmap only promises page alignment, but a page must find its block by rounding down.
  // A new mapping usually lands right below the previous one, so asking for the space
  // below the last block mostly gives an aligned block at once; otherwise map twice the
  // size and trim it to an aligned block.
  constexpr int kProtection = PROT_READ | PROT_WRITE;
  constexpr int kFlags = MAP_PRIVATE | MAP_ANONYMOUS;
  void* plain = mmap(next_hint_, kBlockSize, kProtection, kFlags, -1, 0);
  if (plain == MAP_FAILED) return nullptr;
  char* block = static_cast<char*>(plain);
  if ((reinterpret_cast<uintptr_t>(block) & (kBlockSize - 1)) != 0) {
    munmap(plain, kBlockSize);
    const size_t span = 2 * kBlockSize;
    void* raw = mmap(nullptr, span, kProtection, kFlags, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    char* start = static_cast<char*>(raw);
    const size_t misalignment = reinterpret_cast<uintptr_t>(start) & (kBlockSize - 1);
    const size_t head = misalignment == 0 ? 0 : kBlockSize - misalignment;
    block = start + head;
    if (head != 0) munmap(start, head);
    munmap(block + kBlockSize, span - head - kBlockSize);
  }
  Commit(block, kBlockSize);
  next_hint_ = reinterpret_cast<uintptr_t>(block) > kBlockSize ? block - kBlockSize : nullptr;
  return block;
}

void SystemPageBlockMapper::UnmapBlock(void* block) { munmap(block, kBlockSize); }

PageSource::PageSource(PageBlockMapper* mapper, size_t spare_blocks, size_t max_spare_blocks)
    : mapper_(mapper),
      spare_blocks_(spare_blocks),
      max_spare_blocks_(std::max(spare_blocks, max_spare_blocks)) {}

PageSource::~PageSource() {
  MutexLock lock(&mutex_);
  assert(pages_in_use_ == 0);
  for (const auto& [block, mask] : blocks_) mapper_->UnmapBlock(block);
}

PageSource& PageSource::Default() {
  // Never destroyed (trees may outlive static destruction), yet kept in the library's
  // static storage so that unloading the plugin does not leak them.
  static NoDestructor<SystemPageBlockMapper> mapper;
  static NoDestructor<PageSource> source(mapper.get(), kDefaultSpareBlocks, kDefaultMaxSpareBlocks);
  return *source;
}

void* PageSource::AcquirePage() {
  MutexLock lock(&mutex_);
  if (blocks_with_room_.empty()) {
    char* block = static_cast<char*>(mapper_->MapBlock());
    if (block == nullptr) throw std::bad_alloc();
    assert((reinterpret_cast<uintptr_t>(block) & (PageBlockMapper::kBlockSize - 1)) == 0);
    blocks_.emplace(block, kAllFree);
    blocks_with_room_.push_back(block);
  }
  char* const block = blocks_with_room_.back();
  FreeMask& mask = blocks_[block];
  if (mask == kAllFree) {
    if (free_blocks_ > 0) --free_blocks_;  // a spare block goes back in use
    burst_peak_ = std::max(burst_peak_, blocks_.size() - free_blocks_);
  }
  const int index = std::countr_zero(static_cast<unsigned>(mask));
  mask = static_cast<FreeMask>(mask & ~(1u << index));
  if (mask == 0) blocks_with_room_.pop_back();
  ++pages_in_use_;
  return block + static_cast<size_t>(index) * kPageSize;
}

void PageSource::ReleasePage(void* page) {
  char* const address = static_cast<char*>(page);
  const size_t offset = reinterpret_cast<uintptr_t>(address) & (PageBlockMapper::kBlockSize - 1);
  char* const block = address - offset;
  const unsigned index = static_cast<unsigned>(offset / kPageSize);
  MutexLock lock(&mutex_);
  auto it = blocks_.find(block);
  assert(it != blocks_.end() && (it->second & (1u << index)) == 0);
  if (it->second == 0) blocks_with_room_.push_back(block);
  it->second = static_cast<FreeMask>(it->second | (1u << index));
  --pages_in_use_;
  if (it->second == kAllFree) {
    if (free_blocks_ < SpareLimit()) {
      ++free_blocks_;
    } else {
      blocks_with_room_.erase(std::find(blocks_with_room_.begin(), blocks_with_room_.end(), block));
      blocks_.erase(it);
      mapper_->UnmapBlock(block);
    }
  }
  if (pages_in_use_ == 0) EndBurst();
}

size_t PageSource::SpareLimit() const {
  return std::clamp(std::max(recent_peak_, burst_peak_), spare_blocks_, max_spare_blocks_);
}

void PageSource::EndBurst() {
  recent_peak_ = std::max(burst_peak_, recent_peak_ / 2);
  burst_peak_ = 0;
  // No page is in use: every block left is a spare, and any of them may go.
  const size_t limit = SpareLimit();
  while (free_blocks_ > limit) {
    char* const block = blocks_with_room_.back();
    blocks_with_room_.pop_back();
    blocks_.erase(block);
    mapper_->UnmapBlock(block);
    --free_blocks_;
  }
}

void PageSource::ReleaseSpareBlocks() {
  MutexLock lock(&mutex_);
  for (auto it = blocks_.begin(); it != blocks_.end();) {
    if (it->second != kAllFree) {
      ++it;
      continue;
    }
    char* const block = it->first;
    blocks_with_room_.erase(std::find(blocks_with_room_.begin(), blocks_with_room_.end(), block));
    it = blocks_.erase(it);
    mapper_->UnmapBlock(block);
  }
  free_blocks_ = 0;
  recent_peak_ = 0;
  if (blocks_.empty()) {
    // Empty containers may still hold their arrays.
    std::unordered_map<char*, FreeMask>().swap(blocks_);
    std::vector<char*>().swap(blocks_with_room_);
  }
}

size_t PageSource::blocks_reserved() const {
  MutexLock lock(&mutex_);
  return blocks_.size();
}

size_t PageSource::pages_in_use() const {
  MutexLock lock(&mutex_);
  return pages_in_use_;
}

size_t PageSource::spare_limit() const {
  MutexLock lock(&mutex_);
  return SpareLimit();
}

}  // namespace Voro
