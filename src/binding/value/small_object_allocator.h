// The allocator behind one value tree: records of 4 to 72 bytes in 18 size classes.
//
// Each class is created on its first allocation (a tree of a few strings pays for one or two
// classes, not all eighteen). It has a 144-byte first block inside its class record and
// then takes 4096-byte pages from a PageSource. Free slots of a block form a list linked by 16-bit
// slot indices kept in the slots themselves; a page whose last slot comes back returns to the
// source at once (the first block never does). Larger requests go to the general heap through the
// *Any functions, so callers need not care about the size.
//
// Not thread-safe: a tree and its allocator are used by one thread at a time. The page
// source behind it is shared and synchronised.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

#include "binding/value/page_source.h"

namespace Voro {

class SmallObjectAllocator {
 public:
  static constexpr size_t kGranule = 4;
  static constexpr size_t kClassCount = 18;
  static constexpr size_t kMaxSize = kGranule * kClassCount;  // 72 bytes
  static constexpr size_t kFirstBlockSize = 144;

  // The page source must outlive the allocator.
  explicit SmallObjectAllocator(PageSource* pages = &PageSource::Default());
  // Returns every page still held, whether or not its slots were freed.
  ~SmallObjectAllocator();
  SmallObjectAllocator(const SmallObjectAllocator&) = delete;
  SmallObjectAllocator& operator=(const SmallObjectAllocator&) = delete;

  // A slot of at least `size` bytes, aligned to 8 bytes when its class size is a multiple
  // of 8 (so any record whose size is a multiple of its alignment is aligned).
  // REQUIRES: 0 < size <= kMaxSize. Throws std::bad_alloc when no page can be had.
  void* Allocate(size_t size);
  // REQUIRES: slot came from Allocate on this allocator with a size of the same class.
  void Free(void* slot, size_t size);

  // As above for sizes up to kMaxSize; larger sizes use the general heap.
  void* AllocateAny(size_t size) {
    return size <= kMaxSize ? Allocate(size == 0 ? 1 : size) : ::operator new(size);
  }
  void FreeAny(void* p, size_t size) {
    if (size <= kMaxSize) {
      Free(p, size == 0 ? 1 : size);
    } else {
      ::operator delete(p);
    }
  }

  // Pages taken from the source and not yet returned (for tests and stats).
  size_t pages_held() const { return pages_held_; }
  // Slots handed out and not freed, in all blocks (for tests).
  size_t slots_in_use() const;

 private:
  struct Block;
  struct SizeClass;

  static size_t ClassIndex(size_t size) { return (size + kGranule - 1) / kGranule - 1; }
  SizeClass* CreateClass(size_t index);
  Block* NewPage(SizeClass* cls);
  void ReleasePageBlock(SizeClass* cls, Block* block);

  PageSource* const pages_;
  SizeClass* classes_[kClassCount] = {};  // each created on its first allocation
  size_t pages_held_ = 0;
};

}  // namespace Voro
