// The shared storage of one value tree: its small-object allocator and its string table.
//
// A root BindingProperty creates the storage on the first operation that needs it and
// destroys it with itself; every node of the tree points to it. Not thread-safe: one tree
// is used by one thread at a time.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include "binding/value/small_object_allocator.h"
#include "binding/value/string_intern_table.h"

namespace Voro {

// A payload record that owns heap memory (blob bytes, large element or field arrays). Such records
// are linked into their storage, so that a tree dying together with its storage frees them
// without walking the tree.
struct HeapOwningRecord {
  HeapOwningRecord* prev;
  HeapOwningRecord* next;

  // The record joins the list whose sentinel is `head`.
  void LinkAfter(HeapOwningRecord* head) {
    prev = head;
    next = head->next;
    head->next->prev = this;
    head->next = this;
  }
  void Unlink() {
    prev->next = next;
    next->prev = prev;
  }
};

// The key orders of structures sorted lately: decoded records of one shape bring the same
// keys in the same order again and again, and are then put in order without comparing a key.
// A few shapes are kept, so that records nested in records do not push each other out.
struct FieldOrderMemo {
  static constexpr size_t kMaxFields = 32;

  // Whether this memo holds the order of `slots` (keys compared as entries of one table,
  // which are equal exactly when they are the same entry while no entry is erased).
  template <typename Slot>
  bool Holds(const Slot* slots, size_t n, uint64_t table_erasures) const {
    if (size != n || erasures != table_erasures) return false;
    for (size_t i = 0; i < n; ++i) {
      if (slots[i].key != keys[i]) return false;
    }
    return true;
  }

  // Puts `slots`, which hold this memo's keys in the order they were appended, in key order.
  template <typename Slot>
  void Apply(Slot* slots, size_t n) const {
    Slot appended[kMaxFields];
    // The byte count is hidden from the optimiser, which otherwise copies a multiple of 16
    // bytes with `rep movs`: slow to start for a record's few slots, unlike memcpy.
    size_t bytes = n * sizeof(Slot);
    asm("" : "+r"(bytes));
    std::memcpy(appended, slots, bytes);
    for (size_t i = 0; i < n; ++i) slots[i] = appended[order[i]];
  }
  // Remembers the order of `sorted`: this memo's keys (set before sorting) in key order.
  template <typename Slot>
  void Learn(const Slot* sorted, size_t n, uint64_t table_erasures) {
    for (size_t i = 0; i < n; ++i) {
      order[i] = static_cast<uint8_t>(std::find(keys, keys + n, sorted[i].key) - keys);
    }
    size = static_cast<uint32_t>(n);
    erasures = table_erasures;
  }

  uint32_t size = 0;                       // 0: nothing remembered
  uint64_t erasures = 0;                   // the string table's count when remembered
  const InternedString* keys[kMaxFields];  // in the order they were appended
  uint8_t order[kMaxFields];               // sorted position i holds appended field order[i]
};

// Sets of two memos, chosen by size and first key: two shapes that meet in one set (the
// set follows entry addresses, so that happens by chance) take a memo each instead of
// pushing each other out at every record.
struct FieldOrderMemos {
  static constexpr size_t kSets = 4;
  static constexpr size_t kWays = 2;

  // The set's memo that holds the order of `slots`, or null.
  // REQUIRES: n > 0.
  template <typename Slot>
  FieldOrderMemo* Find(const Slot* slots, size_t n, uint64_t table_erasures) {
    const size_t set = SetFor(n, slots[0].key);
    for (size_t way = 0; way < kWays; ++way) {
      FieldOrderMemo& memo = memos[set][way];
      if (memo.Holds(slots, n, table_erasures)) {
        last_used[set] = static_cast<uint8_t>(way);
        return &memo;
      }
    }
    return nullptr;
  }
  // The memo to record a new shape in: the one of its set not used last.
  FieldOrderMemo& Replace(size_t n, const InternedString* first_key) {
    const size_t set = SetFor(n, first_key);
    last_used[set] ^= 1;
    return memos[set][last_used[set]];
  }

  static size_t SetFor(size_t n, const InternedString* first_key) {
    const uint64_t bits = reinterpret_cast<uintptr_t>(first_key) ^ n;
    return static_cast<size_t>((bits * 0x9E3779B97F4A7C15ull) >> 62);
  }
  static_assert(kSets == 4, "SetFor keeps two bits");
  static_assert(kWays == 2, "Replace alternates between two ways");

  FieldOrderMemo memos[kSets][kWays];
  uint8_t last_used[kSets] = {};
};

// The keys that structures filled lately through MutableField were given, step by step, with
// the sorted position each went to. Records of one shape (native records converted one after
// another, responses built by hand) are given the same keys in the same order, so a structure
// that has followed a sequence so far, and is given its next key, takes that key's entry and
// position from here instead of looking them up. A few sequences are kept, one per slot chosen
// by the first key, so that records nested in records do not push each other out; a slot
// taken over for another sequence gets a new generation, which the structures that were
// following the old one notice.
struct FieldInsertMemo {
  static constexpr size_t kMaxSteps = 32;

  uint32_t size = 0;                      // steps recorded; 0: none
  uint32_t generation = 0;                // never 0 once recorded
  uint64_t erasures = 0;                  // the string table's count when the sequence began
  const InternedString* keys[kMaxSteps];  // without references: valid while no erasure
  uint8_t positions[kMaxSteps];
};

struct FieldInsertMemos {
  static constexpr size_t kSlots = 8;

  // REQUIRES: name is not empty.
  static size_t SlotFor(std::string_view name) {
    const size_t n = name.size();
    const unsigned mix = static_cast<unsigned char>(name[0]) * 31u +
                         static_cast<unsigned char>(name[n - 1]) * 7u + static_cast<unsigned>(n);
    return mix & (kSlots - 1);
  }

  // Empties `slot` for a new sequence under a new generation (never 0).
  FieldInsertMemo& Restart(size_t slot, uint64_t table_erasures) {
    FieldInsertMemo& memo = slots[slot];
    memo = FieldInsertMemo();
    memo.generation = ++last_generation;
    if (memo.generation == 0) memo.generation = ++last_generation;
    memo.erasures = table_erasures;
    return memo;
  }

  FieldInsertMemo slots[kSlots];
  uint32_t last_generation = 0;
};

class BindingStorage {
 public:
  // The page source must outlive the storage.
  explicit BindingStorage(PageSource* pages = &PageSource::Default())
      : allocator_(pages), strings_(&allocator_) {}
  // The allocator takes back all of its pages at once, so the string table only frees what
  // it keeps on the heap.
  ~BindingStorage() { strings_.Clear(/*free_small=*/false); }
  BindingStorage(const BindingStorage&) = delete;
  BindingStorage& operator=(const BindingStorage&) = delete;

  SmallObjectAllocator& allocator() { return allocator_; }
  // Sentinels of the lists of live blob, collection and structure records.
  HeapOwningRecord* blob_records() { return &blob_records_; }
  HeapOwningRecord* collection_records() { return &collection_records_; }
  HeapOwningRecord* structure_records() { return &structure_records_; }
  StringInternTable& strings() { return strings_; }
  const StringInternTable& strings() const { return strings_; }
  // Made on first use: most trees never sort a structure.
  FieldOrderMemos& field_orders() {
    if (field_orders_ == nullptr) field_orders_ = std::make_unique<FieldOrderMemos>();
    return *field_orders_;
  }
  // Made once a few structures were begun through MutableField: a tree of one or two small
  // structures would only pay for it. Null until then.
  FieldInsertMemos* insert_memos_for_new_structure() {
    if (insert_memos_ == nullptr && ++structures_begun_ > kStructuresBeforeMemos) {
      insert_memos_ = std::make_unique<FieldInsertMemos>();
    }
    return insert_memos_.get();
  }
  FieldInsertMemos* insert_memos() { return insert_memos_.get(); }

 private:
  SmallObjectAllocator allocator_;
  StringInternTable strings_;  // declared after the allocator it allocates from
  HeapOwningRecord blob_records_ = {&blob_records_, &blob_records_};
  HeapOwningRecord collection_records_ = {&collection_records_, &collection_records_};
  HeapOwningRecord structure_records_ = {&structure_records_, &structure_records_};
  std::unique_ptr<FieldOrderMemos> field_orders_;
  static constexpr uint32_t kStructuresBeforeMemos = 4;
  uint32_t structures_begun_ = 0;
  std::unique_ptr<FieldInsertMemos> insert_memos_;
};

}  // namespace Voro
