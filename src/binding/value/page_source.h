// The process-wide source of 4096-byte pages for the small-object allocators of value trees.
//
// Pages are cut from 64 KiB blocks reserved from the operating system. A block whose sixteen
// pages are all back returns to the system unless the source keeps it as a spare (see
// PageSource: the process-wide source keeps between 2 and 16 MiB of spares).
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "diag/mutex.h"
#include "diag/thread_annotations.h"

namespace Voro {

// Reserves and releases 64 KiB blocks. The default maps anonymous memory; tests use fakes.
class PageBlockMapper {
 public:
  static constexpr size_t kBlockSize = size_t{64} * 1024;

  virtual ~PageBlockMapper() = default;
  // A readable, writable block of kBlockSize bytes aligned to kBlockSize, or null when the
  // system has no memory left.
  virtual void* MapBlock() = 0;
  // REQUIRES: block came from MapBlock and is released once.
  virtual void UnmapBlock(void* block) = 0;
};

// mmap/munmap of anonymous private memory, committed when mapped. Called under the page
// source's lock only.
class SystemPageBlockMapper final : public PageBlockMapper {
 public:
  void* MapBlock() override;
  void UnmapBlock(void* block) override;

 private:
  char* next_hint_ = nullptr;  // where the next block would sit aligned
};

// Thread-safe: every operation takes the source's mutex.
class PageSource {
 public:
  static constexpr size_t kPageSize = 4096;
  static constexpr size_t kPagesPerBlock = PageBlockMapper::kBlockSize / kPageSize;

  // Fully free blocks the process-wide source keeps mapped: at least 32 (2 MiB), and up to
  // the peak number of blocks in use of the recent bursts, at most 256 (16 MiB). Building
  // and dropping a tree would otherwise map, fault in and unmap every block each time,
  // which costs more than building the tree itself; multi-megabyte trees need more than
  // the fixed 2 MiB. The price is memory: after a burst of large trees, an idle process
  // keeps up to 16 MiB mapped. It is given back as later bursts peak lower: a burst ends
  // when no page is in use, and the remembered peak then halves unless the burst reached it.
  static constexpr size_t kDefaultSpareBlocks = 32;
  static constexpr size_t kDefaultMaxSpareBlocks = 256;

  // The mapper must outlive the source. A block whose pages are all back is released at
  // once, unless the source already keeps as many fully free blocks as it may: between
  // `spare_blocks` and `max_spare_blocks`, following the recent peak of blocks in use as
  // described above (a fixed `spare_blocks` when max_spare_blocks <= spare_blocks).
  explicit PageSource(PageBlockMapper* mapper, size_t spare_blocks = 0,
                      size_t max_spare_blocks = 0);
  // REQUIRES: every page has been released.
  ~PageSource();
  PageSource(const PageSource&) = delete;
  PageSource& operator=(const PageSource&) = delete;

  // The process-wide source, created on first use and never destroyed, so that trees in
  // static objects may still release pages during exit.
  static PageSource& Default();

  // A 4096-byte page aligned to 4096 bytes. Throws std::bad_alloc when the system is out of
  // memory.
  void* AcquirePage();
  // REQUIRES: page came from AcquirePage on this source and is released once.
  void ReleasePage(void* page);

  // Gives every fully free block back to the system now, and the source's own bookkeeping
  // memory too once no block is left (the plugin library being unloaded).
  void ReleaseSpareBlocks();

  // Blocks currently reserved from the system, and pages handed out (for tests and stats).
  size_t blocks_reserved() const;
  size_t pages_in_use() const;
  // Fully free blocks the source may keep now (for tests and stats).
  size_t spare_limit() const;

 private:
  // One bit per page of a block; a set bit is a free page.
  using FreeMask = uint16_t;
  static constexpr FreeMask kAllFree = 0xFFFF;
  static_assert(kPagesPerBlock == 16, "one mask bit per page");

  size_t SpareLimit() const REQUIRES(mutex_);
  // At the end of a burst (no page in use): remembers its peak and lets spares above the
  // new limit go.
  void EndBurst() REQUIRES(mutex_);

  PageBlockMapper* const mapper_;
  const size_t spare_blocks_;
  const size_t max_spare_blocks_;
  mutable Mutex mutex_;
  // Block address -> its free pages.
  std::unordered_map<char*, FreeMask> blocks_ GUARDED_BY(mutex_);
  // Blocks with at least one free page; pages are taken from the last one.
  std::vector<char*> blocks_with_room_ GUARDED_BY(mutex_);
  size_t pages_in_use_ GUARDED_BY(mutex_) = 0;
  size_t free_blocks_ GUARDED_BY(mutex_) = 0;  // kept although all their pages are back
  size_t burst_peak_ GUARDED_BY(mutex_) = 0;   // most blocks in use in the current burst
  size_t recent_peak_ GUARDED_BY(mutex_) = 0;  // remembered from the bursts before
};

}  // namespace Voro
