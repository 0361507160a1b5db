#include "binding/value/small_object_allocator.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <new>

namespace Voro {

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
  ReleaseArrayPages();
}

void SmallObjectAllocator::ReleaseArrayPages() {
  for (void* page : array_pages_) {
    KIV_UNPOISON(page, PageSource::kPageSize);
    pages_->ReleasePage(page);
  }
  pages_held_ -= array_pages_.size();
  array_pages_.clear();
  std::fill(std::begin(free_arrays_), std::end(free_arrays_), nullptr);
  array_next_ = array_end_ = nullptr;
  live_arrays_ = 0;
}

void* SmallObjectAllocator::AllocateArraySlow(size_t index) {
  static_assert(ArrayBlockSize(0) > kMaxSize &&
                ArrayBlockSize(kArrayClassCount - 1) == kMaxPooledSize);
  const size_t bytes = ArrayBlockSize(index);
  if (static_cast<size_t>(array_end_ - array_next_) < bytes) {
    // What is left of the page becomes free blocks of the largest sizes that fit; no more
    // than 64 bytes of a page (less than the smallest block) go unused.
    for (size_t i = kArrayClassCount; i-- > 0;) {
      const size_t size = ArrayBlockSize(i);
      while (static_cast<size_t>(array_end_ - array_next_) >= size) {
        KIV_UNPOISON(array_next_, size);
        std::memcpy(array_next_, &free_arrays_[i], sizeof(void*));
        KIV_POISON(array_next_, size);
        free_arrays_[i] = array_next_;
        array_next_ += size;
      }
    }
    array_pages_.reserve(array_pages_.size() + 1);
    auto* page = static_cast<unsigned char*>(pages_->AcquirePage());
    array_pages_.push_back(page);
    ++pages_held_;
    KIV_POISON(page, PageSource::kPageSize);
    array_next_ = page;
    array_end_ = page + PageSource::kPageSize;
  }
  unsigned char* block = array_next_;
  array_next_ += bytes;
  KIV_UNPOISON(block, bytes);
  ++live_arrays_;
  return block;
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

void* SmallObjectAllocator::AllocateSlow(size_t size) {
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
