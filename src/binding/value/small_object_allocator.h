// The allocator behind one value tree: records of 4 to 72 bytes in 18 size classes.
//
// Each class is created on its first allocation (a tree of a few strings pays for one or two
// classes, not all eighteen). It has a 144-byte first block inside its class record and
// then takes 4096-byte pages from a PageSource. Free slots of a block form a list linked by 16-bit
// slot indices kept in the slots themselves; a page whose last slot comes back returns to the
// source at once (the first block never does). Through the *Any functions, which callers use when
// they need not care about the size, arrays up to 2048 bytes are cut from pages of their own,
// from the same source, in blocks of a power of two or one and a half times one (a free one
// is handed out again for its size; those pages go back once no such array is left), and
// larger ones go to the general heap.
//
// Not thread-safe: a tree and its allocator are used by one thread at a time. The page
// source behind it is shared and synchronised.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "binding/value/page_source.h"

// Under AddressSanitizer free slots are poisoned, so that a node used after its tree let it
// go is reported like any heap use-after-free.
#if defined(__SANITIZE_ADDRESS__)
#define KIV_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KIV_ASAN 1
#endif
#endif
#if defined(KIV_ASAN)
#include <sanitizer/asan_interface.h>
#define KIV_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define KIV_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define KIV_POISON(p, n) ((void)(p), (void)(n))
#define KIV_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace Voro {

class SmallObjectAllocator {
 public:
  static constexpr size_t kGranule = 4;
  static constexpr size_t kClassCount = 18;
  static constexpr size_t kMaxSize = kGranule * kClassCount;  // 72 bytes
  static constexpr size_t kFirstBlockSize = 144;
  // Arrays above kMaxSize and up to this size come from pages the allocator takes for them, in
  // blocks of 96, 128, 192, 256, 384, 512, 768, 1024, 1536 or 2048 bytes.
  static constexpr size_t kMaxPooledSize = 2048;

  // Whether AllocateAny takes `size` bytes from the general heap, so that memory handed out
  // that way must be freed before the allocator goes.
  static constexpr bool OnHeap(size_t size) { return size > kMaxPooledSize; }

  // The page source must outlive the allocator.
  explicit SmallObjectAllocator(PageSource* pages = &PageSource::Default());
  // Returns every page still held, whether or not its slots were freed.
  ~SmallObjectAllocator();
  SmallObjectAllocator(const SmallObjectAllocator&) = delete;
  SmallObjectAllocator& operator=(const SmallObjectAllocator&) = delete;

  // A slot of at least `size` bytes, aligned to 8 bytes when its class size is a multiple
  // of 8 (so any record whose size is a multiple of its alignment is aligned).
  // REQUIRES: 0 < size <= kMaxSize. Throws std::bad_alloc when no page can be had.
  // Inline while the class's first block with room stays with room: a tree takes most of its
  // records that way, one after another.
  void* Allocate(size_t size) {
    void* slot = TryAllocate(size);
    return slot != nullptr ? slot : AllocateSlow(size);
  }
  // Allocate's inline part alone: null where Allocate would go the slow way, so that a
  // caller's own fast path calls nothing.
  void* TryAllocate(size_t size) {
    SizeClass* cls = classes_[ClassIndex(size)];
    if (cls == nullptr || cls->with_room == nullptr ||
        cls->with_room->used + 1 == cls->with_room->capacity) {
      return nullptr;
    }
    Block* block = cls->with_room;
    unsigned char* slot;
    if (block->free_head != kNoSlot) {
      slot = block->slots + size_t{block->free_head} * cls->slot_size;
      KIV_UNPOISON(slot, cls->slot_size);
      std::memcpy(&block->free_head, slot, sizeof(uint16_t));
    } else {
      slot = block->slots + size_t{block->untouched} * cls->slot_size;
      KIV_UNPOISON(slot, cls->slot_size);
      ++block->untouched;
    }
    ++block->used;
    return slot;
  }
  // REQUIRES: slot came from Allocate on this allocator with a size of the same class.
  void Free(void* slot, size_t size);

  // Memory of any size, aligned to 8 bytes above kMaxSize: a slot as above, a pooled array
  // block, or (OnHeap) memory from the general heap.
  void* AllocateAny(size_t size) {
    if (size <= kMaxSize) return Allocate(size == 0 ? 1 : size);
    if (OnHeap(size)) return ::operator new(size);
    const size_t index = ArrayClassIndex(size);
    void* block = free_arrays_[index];
    if (block == nullptr) return AllocateArraySlow(index);
    KIV_UNPOISON(block, ArrayBlockSize(index));
    std::memcpy(&free_arrays_[index], block, sizeof(void*));
    ++live_arrays_;
    return block;
  }
  // REQUIRES: p came from AllocateAny on this allocator with the same size.
  void FreeAny(void* p, size_t size) {
    if (size <= kMaxSize) {
      Free(p, size == 0 ? 1 : size);
    } else if (OnHeap(size)) {
      ::operator delete(p);
    } else {
      const size_t index = ArrayClassIndex(size);
      std::memcpy(p, &free_arrays_[index], sizeof(void*));
      free_arrays_[index] = p;
      KIV_POISON(p, ArrayBlockSize(index));
      if (--live_arrays_ == 0) ReleaseArrayPages();
    }
  }

  // Pages taken from the source and not yet returned (for tests and stats). Pages of pooled
  // arrays are held until no pooled array is left (a tree reset) or the allocator goes.
  size_t pages_held() const { return pages_held_; }
  // Slots handed out and not freed, in all blocks (for tests).
  size_t slots_in_use() const;

 private:
  static constexpr uint16_t kNoSlot = 0xFFFF;

  // The header of a block. A page keeps it in its first bytes, so that a slot finds its page
  // by rounding its address down; the first block's header sits in the class record.
  struct Block {
    Block* next_with_room;  // the class's blocks with at least one free slot
    Block* prev_with_room;
    Block* next_page;  // every page of the class, for release when the allocator goes
    Block* prev_page;
    unsigned char* slots;
    uint16_t free_head;  // first free slot that was used before, or kNoSlot
    uint16_t untouched;  // slots from this index on were never handed out
    uint16_t used;
    uint16_t capacity;
  };

  struct SizeClass {
    Block* with_room;  // head of the list of blocks with room
    Block* pages;      // head of the list of pages
    uint32_t slot_size;
    Block first;
    alignas(8) unsigned char first_slots[kFirstBlockSize];
  };

  void* AllocateSlow(size_t size);

  // Pooled arrays: block sizes 96, 128, 192, 256, ... 1536, 2048, each a power of two or
  // one and a half times one, so that no array wastes more than a third of its block.
  static constexpr size_t kArrayClassCount = 10;
  static constexpr size_t ArrayBlockSize(size_t index) {
    return index % 2 == 0 ? size_t{3} << (index / 2 + 5) : size_t{1} << (index / 2 + 7);
  }
  // REQUIRES: kMaxSize < size <= kMaxPooledSize.
  static size_t ArrayClassIndex(size_t size) {
    const size_t bits = static_cast<size_t>(std::bit_width(size - 1));  // 2^(bits-1) < size
    return 2 * (bits - 7) + (size > (size_t{3} << (bits - 2)) ? 1 : 0);
  }
  void* AllocateArraySlow(size_t index);
  void ReleaseArrayPages();

  static size_t ClassIndex(size_t size) { return (size + kGranule - 1) / kGranule - 1; }
  SizeClass* CreateClass(size_t index);
  Block* NewPage(SizeClass* cls);
  void ReleasePageBlock(SizeClass* cls, Block* block);

  PageSource* const pages_;
  SizeClass* classes_[kClassCount] = {};  // each created on its first allocation
  size_t pages_held_ = 0;
  // Free pooled blocks of each size, linked through their first bytes.
  void* free_arrays_[kArrayClassCount] = {};
  // The part of the newest array page not yet cut into blocks.
  unsigned char* array_next_ = nullptr;
  unsigned char* array_end_ = nullptr;
  // Every array page, returned when no pooled array is left or the allocator goes.
  std::vector<void*> array_pages_;
  size_t live_arrays_ = 0;
};

}  // namespace Voro
