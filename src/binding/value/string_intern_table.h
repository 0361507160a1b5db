// The per-tree table of interned strings: each distinct text is stored once with a
// reference count, so repeated keys and values of a tree cost one entry.
//
// The empty string is never interned: it is one shared static entry that is not counted
// and never released. Not thread-safe; used by the one thread that owns the tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "binding/value/small_object_allocator.h"

namespace Voro {

namespace InternedText {

// Unaligned loads of the bytes at `at`.
inline uint64_t Load64(const char* at) {
  uint64_t word;
  std::memcpy(&word, at, 8);
  return word;
}
inline uint64_t Load32(const char* at) {
  uint32_t word;
  std::memcpy(&word, at, 4);
  return word;
}

// Equality of two texts of the same length `n`, inline for the short texts that dominate:
// overlapping word loads stay inside both texts.
inline bool EqualBytes(const char* a, const char* b, size_t n) {
  if (n > 16) return std::memcmp(a, b, n) == 0;
  if (n >= 8) return Load64(a) == Load64(b) && Load64(a + n - 8) == Load64(b + n - 8);
  if (n >= 4) return Load32(a) == Load32(b) && Load32(a + n - 4) == Load32(b + n - 4);
  for (size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

}  // namespace InternedText

// An interned string: a small header followed by the text and a terminating NUL.
class InternedString {
 public:
  std::string_view view() const { return std::string_view(data(), length_); }
  // NUL-terminated; the text may itself contain NUL bytes.
  const char* data() const { return reinterpret_cast<const char*>(this + 1); }
  size_t size() const { return length_; }
  uint32_t refs() const { return refs_; }

  // The shared empty string.
  static const InternedString* Empty();

 private:
  friend class StringInternTable;
  constexpr InternedString(uint32_t hash, uint32_t length) : hash_(hash), length_(length) {}
  char* mutable_data() { return reinterpret_cast<char*>(this + 1); }

  uint32_t hash_;
  uint32_t refs_ = 1;
  uint32_t length_;
};

class StringInternTable {
 public:
  static constexpr size_t kInitialBuckets = 8;
  // Longest text a table stores; longer texts are cut (they cannot come from a host record
  // or a request body on a 32-bit process either).
  static constexpr size_t kMaxLength = 0xFFFFFFF0u;

  // Entries and buckets come from `allocator`, which must outlive the table.
  explicit StringInternTable(SmallObjectAllocator* allocator) : allocator_(allocator) {}
  // Frees every entry, whatever its count.
  ~StringInternTable();
  StringInternTable(const StringInternTable&) = delete;
  StringInternTable& operator=(const StringInternTable&) = delete;

  // The entry for `text` with one more reference (a new entry starts at one); the shared
  // empty entry for an empty text. A short text met again lately is found without hashing.
  const InternedString* Intern(std::string_view text) {
    const InternedString* recent = InternRecent(text);
    return recent != nullptr ? recent : InternSlow(text);
  }
  // Intern's first step alone: the entry with one more reference when `text` is a short text
  // met lately, otherwise null.
  const InternedString* InternRecent(std::string_view text) {
    const size_t n = text.size();
    if (n - 1 < kMaxRecentLength) {
      const uint64_t bits = RecentBits(text);
      const RecentSlot& slot = recent_[RecentIndex(bits, n)];
      // The slot's copy of the outer bytes decides most texts without reading the entry;
      // up to 8 bytes they are the whole text.
      if (slot.bits == bits && slot.length == n &&
          (n <= 8 || InternedText::EqualBytes(slot.entry->data(), text.data(), n))) {
        ++slot.entry->refs_;
        return slot.entry;
      }
    }
    return nullptr;
  }

  // Intern in two steps, for a reader that meets many distinct texts. Prepare, while the
  // text is read, makes its entry at once (so that entries lie in the order their texts were
  // read, near the nodes naming them) and starts fetching the bucket where it belongs;
  // InternPrepared, a few texts later, once that memory has come, puts the entry in the
  // table with one reference, or frees it and gives the entry already there for the same
  // text. Every prepared entry goes through InternPrepared or DiscardPrepared once.
  struct Prepared {
    InternedString* entry;  // null for the empty text
  };
  Prepared Prepare(std::string_view text);
  const InternedString* InternPrepared(Prepared prepared);
  void DiscardPrepared(Prepared prepared) {
    if (prepared.entry != nullptr) FreeEntry(prepared.entry);
  }
  // One more reference to an entry of this table (or the empty entry).
  static void AddRef(const InternedString* entry) {
    if (entry->length_ != 0) ++const_cast<InternedString*>(entry)->refs_;
  }
  // Drops one reference; the entry is erased when none is left.
  // REQUIRES: entry came from this table (or is the empty entry).
  void Release(const InternedString* entry) {
    if (entry->length_ != 0 && --const_cast<InternedString*>(entry)->refs_ == 0) {
      Erase(const_cast<InternedString*>(entry));
    }
  }

  // Makes room for `n` entries in all, so that filling the table up to that many does not
  // rehash on the way. Only ever grows the table.
  void Reserve(size_t n);

  // Frees every entry, whatever its count. With free_small false, memory that came from the
  // small-object allocator is left to it: for a table that dies together with its allocator.
  void Clear(bool free_small);

  // The entry for `text` if it is interned here, without taking a reference (for tests).
  const InternedString* Find(std::string_view text) const;
  size_t size() const { return count_; }
  size_t bucket_count() const { return bucket_count_; }
  // Counts the entries ever erased. While it stays the same, an entry's address names one
  // text: no entry has gone whose address a new one could have taken.
  uint64_t erasures() const { return erasures_; }

 private:
  // Open addressing with linear probing. The hash and length sit next to the pointer (in
  // what would be padding), so a probe touches an entry only when both match.
  struct Bucket {
    uint32_t hash;
    uint32_t length;
    InternedString* entry;  // null: free
  };

  // The texts of a tree repeat a few short ones many times over (the field names of a list
  // of records, status words). A short text found in the table is remembered in one of these
  // slots and found there next time without hashing. New texts are not remembered, so that a
  // run of distinct values does not push the repeated keys out. A slot holds no reference;
  // an erased entry leaves its slot.
  static constexpr unsigned kRecentBits = 6;
  static constexpr size_t kRecentSlots = size_t{1} << kRecentBits;
  static constexpr size_t kMaxRecentLength = 32;

  // A slot remembers its text's outer bytes (RecentBits) and length beside the entry. An
  // empty slot has length 0, which no text it is asked about has.
  struct RecentSlot {
    InternedString* entry = nullptr;
    uint64_t bits = 0;
    uint32_t length = 0;
  };

  // The first and last 4 bytes of a text of 4 bytes or more; the first, middle and last
  // byte of a shorter one, which are all of its bytes.
  // REQUIRES: text is not empty.
  static uint64_t RecentBits(std::string_view text) {
    const char* p = text.data();
    const size_t n = text.size();
    if (n >= 4) return InternedText::Load32(p) | InternedText::Load32(p + n - 4) << 32;
    return uint64_t{static_cast<unsigned char>(p[0])} |
           uint64_t{static_cast<unsigned char>(p[n / 2])} << 8 |
           uint64_t{static_cast<unsigned char>(p[n - 1])} << 16;
  }
  static size_t RecentIndex(uint64_t bits, size_t n) {
    return static_cast<size_t>(((bits ^ n) * 0x9E3779B97F4A7C15ull) >> (64 - kRecentBits));
  }
  // Remembers `entry` as the recent entry of its text.
  void Remember(InternedString* entry) {
    const uint64_t bits = RecentBits(entry->view());
    recent_[RecentIndex(bits, entry->length_)] = RecentSlot{entry, bits, entry->length_};
  }
  const InternedString* InternSlow(std::string_view text) {
    text = Stored(text);
    return InternHashed(text, Hash(text));
  }
  // REQUIRES: hash == Hash(text), text.size() <= kMaxLength.
  const InternedString* InternHashed(std::string_view text, uint32_t hash);
  // The bucket of `text`'s entry, which gets one more reference, or else the free bucket
  // where its entry goes (growing the table to make room).
  Bucket* FindOrMakeRoom(std::string_view text, uint32_t hash);
  // A new entry for `text` with one reference, not in the table yet.
  InternedString* NewEntry(std::string_view text, uint32_t hash);
  // Puts `entry` in the free `bucket`.
  void Insert(Bucket* bucket, InternedString* entry);
  void FreeEntry(InternedString* entry);
  // The part of `text` an entry keeps.
  static std::string_view Stored(std::string_view text) {
    return text.size() > kMaxLength ? text.substr(0, kMaxLength) : text;
  }
  static uint32_t Hash(std::string_view text);
  static size_t EntryBytes(size_t length);
  // The bucket holding `text`, or the free bucket where it would go.
  Bucket* Probe(std::string_view text, uint32_t hash) const;
  void Erase(InternedString* entry);
  void Grow();
  void Rehash(size_t new_count);

  SmallObjectAllocator* const allocator_;
  Bucket* buckets_ = nullptr;  // a power of two of them, created on first insert
  size_t bucket_count_ = 0;
  size_t count_ = 0;
  // Entries on the general heap (SmallObjectAllocator::OnHeap): Clear(false) must free them.
  size_t heap_entries_ = 0;
  uint64_t erasures_ = 0;
  RecentSlot recent_[kRecentSlots];
};

}  // namespace Voro
