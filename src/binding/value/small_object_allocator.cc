#include "binding/value/small_object_allocator.h"

#include <cassert>
#include <cstring>
#include <new>

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

namespace {
constexpr uint16_t kNoSlot = 0xFFFF;
}  // namespace

// The header of a block. A page keeps it in its first bytes, so that a slot finds its page
// by rounding its address down; the first block's header sits in the class record.
struct SmallObjectAllocator::Block {
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

struct SmallObjectAllocator::SizeClass {
  Block* with_room;  // head of the list of blocks with room
  Block* pages;      // head of the list of pages
  uint32_t slot_size;
  Block first;
  alignas(8) unsigned char first_slots[kFirstBlockSize];
};

SmallObjectAllocator::SmallObjectAllocator(PageSource* pages) : pages_(pages) {}

SmallObjectAllocator::~SmallObjectAllocator() {
  for (SizeClass* cls : classes_) {
    if (cls == nullptr) continue;
    Block* page = cls->pages;
    while (page != nullptr) {
      Block* next = page->next_page;
      KIV_UNPOISON(page, PageSource::kPageSize);
      pages_->ReleasePage(page);
      page = next;
    }
    KIV_UNPOISON(cls->first_slots, kFirstBlockSize);
    delete cls;
  }
}

SmallObjectAllocator::SizeClass* SmallObjectAllocator::CreateClass(size_t index) {
  auto* cls = new SizeClass;
  cls->slot_size = static_cast<uint32_t>((index + 1) * kGranule);
  cls->pages = nullptr;
  Block& first = cls->first;
  first.next_page = first.prev_page = nullptr;
  first.slots = cls->first_slots;
  first.free_head = kNoSlot;
  first.untouched = 0;
  first.used = 0;
  first.capacity = static_cast<uint16_t>(kFirstBlockSize / cls->slot_size);
  first.next_with_room = nullptr;
  first.prev_with_room = nullptr;
  cls->with_room = &first;
  KIV_POISON(cls->first_slots, kFirstBlockSize);
  classes_[index] = cls;
  return cls;
}

SmallObjectAllocator::Block* SmallObjectAllocator::NewPage(SizeClass* cls) {
  // Slots start after the header, on an 8-byte boundary.
  constexpr size_t kPageHeaderSize = (sizeof(Block) + 7) & ~size_t{7};
  void* memory = pages_->AcquirePage();
  ++pages_held_;
  Block* block = new (memory) Block;
  block->slots = static_cast<unsigned char*>(memory) + kPageHeaderSize;
  block->free_head = kNoSlot;
  block->untouched = 0;
  block->used = 0;
  block->capacity =
      static_cast<uint16_t>((PageSource::kPageSize - kPageHeaderSize) / cls->slot_size);
  KIV_POISON(block->slots, PageSource::kPageSize - kPageHeaderSize);
  block->prev_page = nullptr;
  block->next_page = cls->pages;
  if (cls->pages != nullptr) cls->pages->prev_page = block;
  cls->pages = block;
  block->prev_with_room = nullptr;
  block->next_with_room = cls->with_room;
  if (cls->with_room != nullptr) cls->with_room->prev_with_room = block;
  cls->with_room = block;
  return block;
}

void* SmallObjectAllocator::Allocate(size_t size) {
  assert(size > 0 && size <= kMaxSize);
  const size_t index = ClassIndex(size);
  SizeClass* cls = classes_[index];
  if (cls == nullptr) cls = CreateClass(index);
  Block* block = cls->with_room;
  if (block == nullptr) block = NewPage(cls);
  unsigned char* slot;
  if (block->free_head != kNoSlot) {
    slot = block->slots + static_cast<size_t>(block->free_head) * cls->slot_size;
    KIV_UNPOISON(slot, cls->slot_size);
    std::memcpy(&block->free_head, slot, sizeof(uint16_t));
  } else {
    slot = block->slots + static_cast<size_t>(block->untouched) * cls->slot_size;
    KIV_UNPOISON(slot, cls->slot_size);
    ++block->untouched;
  }
  if (++block->used == block->capacity) {
    // Full: leave the list of blocks with room.
    cls->with_room = block->next_with_room;
    if (block->next_with_room != nullptr) block->next_with_room->prev_with_room = nullptr;
    block->next_with_room = nullptr;
  }
  return slot;
}

void SmallObjectAllocator::Free(void* slot_pointer, size_t size) {
  assert(size > 0 && size <= kMaxSize && classes_[ClassIndex(size)] != nullptr);
  SizeClass* cls = classes_[ClassIndex(size)];
  unsigned char* slot = static_cast<unsigned char*>(slot_pointer);
  Block* block;
  if (slot >= cls->first_slots && slot < cls->first_slots + kFirstBlockSize) {
    block = &cls->first;
  } else {
    block = reinterpret_cast<Block*>(
        slot - (reinterpret_cast<uintptr_t>(slot) & (PageSource::kPageSize - 1)));
  }
  const size_t index = static_cast<size_t>(slot - block->slots) / cls->slot_size;
  assert(index < block->untouched && block->used > 0);
  const bool was_full = block->used == block->capacity;
  std::memcpy(slot, &block->free_head, sizeof(uint16_t));
  KIV_POISON(slot, cls->slot_size);
  block->free_head = static_cast<uint16_t>(index);
  --block->used;
  if (block->used == 0 && block != &cls->first) {
    if (!was_full) {
      // Unlink from the list of blocks with room; a page with capacity 1 was never in it.
      if (block->prev_with_room != nullptr) {
        block->prev_with_room->next_with_room = block->next_with_room;
      } else {
        cls->with_room = block->next_with_room;
      }
      if (block->next_with_room != nullptr) {
        block->next_with_room->prev_with_room = block->prev_with_room;
      }
    }
    ReleasePageBlock(cls, block);
    return;
  }
  if (was_full) {
    block->prev_with_room = nullptr;
    block->next_with_room = cls->with_room;
    if (cls->with_room != nullptr) cls->with_room->prev_with_room = block;
    cls->with_room = block;
  }
}

void SmallObjectAllocator::ReleasePageBlock(SizeClass* cls, Block* block) {
  if (block->prev_page != nullptr) {
    block->prev_page->next_page = block->next_page;
  } else {
    cls->pages = block->next_page;
  }
  if (block->next_page != nullptr) block->next_page->prev_page = block->prev_page;
  block->~Block();
  KIV_UNPOISON(block, PageSource::kPageSize);
  pages_->ReleasePage(block);
  --pages_held_;
}

size_t SmallObjectAllocator::slots_in_use() const {
  size_t total = 0;
  for (const SizeClass* cls : classes_) {
    if (cls == nullptr) continue;
    total += cls->first.used;
    for (Block* page = cls->pages; page != nullptr; page = page->next_page) {
      total += page->used;
    }
  }
  return total;
}

}  // namespace Voro
