#include "binding/value/string_intern_table.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <random>

namespace Voro {

namespace {

// A per-process seed, so that a peer cannot prepare texts that all land in one probe run.
uint64_t HashSeed() {
  static const uint64_t seed = [] {
    std::random_device device;
    return (uint64_t{device()} << 32) ^ device() ^ 0x9E3779B97F4A7C15ull;
  }();
  return seed;
}

using InternedText::Load32;
using InternedText::Load64;

uint64_t Mix(uint64_t h) {
  h ^= h >> 32;
  h *= 0xFF51AFD7ED558CCDull;
  h ^= h >> 29;
  return h;
}

}  // namespace

const InternedString* InternedString::Empty() {
  // The terminator sits right behind the header, where data() looks for the text.
  struct Holder {
    InternedString entry;
    char text[8];
  };
  static constinit const Holder holder = {InternedString(0, 0), {}};
  return &holder.entry;
}

StringInternTable::~StringInternTable() { Clear(/*free_small=*/true); }

void StringInternTable::Clear(bool free_small) {
  if (buckets_ == nullptr) return;
  // When the allocator takes its pages back anyway, only entries on the heap need a visit.
  for (size_t i = 0; (free_small || heap_entries_ != 0) && i < bucket_count_; ++i) {
    InternedString* entry = buckets_[i].entry;
    if (entry == nullptr) continue;
    if (free_small || SmallObjectAllocator::OnHeap(EntryBytes(entry->length_))) FreeEntry(entry);
  }
  const size_t bucket_bytes = bucket_count_ * sizeof(Bucket);
  if (free_small || SmallObjectAllocator::OnHeap(bucket_bytes)) {
    allocator_->FreeAny(buckets_, bucket_bytes);
  }
  buckets_ = nullptr;
  bucket_count_ = 0;
  count_ = 0;
  heap_entries_ = 0;
  ++erasures_;
  std::fill(std::begin(recent_), std::end(recent_), RecentSlot());
}

uint32_t StringInternTable::Hash(std::string_view text) {
  // One multiply per word and a final mix, seeded per process. The last partial word is read
  // as overlapping loads, which is cheap for the short keys that dominate; the length in the
  // seed keeps texts of different lengths apart.
  constexpr uint64_t kMultiplier = 0x9E3779B97F4A7C15ull;
  static const uint64_t seed = HashSeed();
  const char* p = text.data();
  const size_t n = text.size();
  uint64_t h = seed ^ (n * kMultiplier);
  if (n >= 8) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
      h = (h ^ Load64(p + i)) * kMultiplier;
      h ^= h >> 29;
    }
    if (i < n) h = (h ^ Load64(p + n - 8)) * kMultiplier;
  } else if (n >= 4) {
    h = (h ^ (Load32(p) | Load32(p + n - 4) << 32)) * kMultiplier;
  } else if (n > 0) {
    const uint64_t bytes = uint64_t{static_cast<unsigned char>(p[0])} |
                           uint64_t{static_cast<unsigned char>(p[n / 2])} << 8 |
                           uint64_t{static_cast<unsigned char>(p[n - 1])} << 16;
    h = (h ^ bytes) * kMultiplier;
  }
  h = Mix(h);
  return static_cast<uint32_t>(h ^ (h >> 32));
}

size_t StringInternTable::EntryBytes(size_t length) {
  const size_t bytes = sizeof(InternedString) + length + 1;
  return (bytes + alignof(InternedString) - 1) & ~(alignof(InternedString) - 1);
}

StringInternTable::Bucket* StringInternTable::Probe(std::string_view text, uint32_t hash) const {
  const size_t mask = bucket_count_ - 1;
  for (size_t i = hash & mask;; i = (i + 1) & mask) {
    Bucket* bucket = &buckets_[i];
    if (bucket->entry == nullptr) return bucket;
    if (bucket->hash == hash && bucket->length == text.size() &&
        InternedText::EqualBytes(bucket->entry->data(), text.data(), text.size())) {
      return bucket;
    }
  }
}

const InternedString* StringInternTable::Find(std::string_view text) const {
  if (text.empty()) return InternedString::Empty();
  if (buckets_ == nullptr) return nullptr;
  text = Stored(text);
  return Probe(text, Hash(text))->entry;
}

inline StringInternTable::Bucket* StringInternTable::FindOrMakeRoom(std::string_view text,
                                                                    uint32_t hash) {
  Bucket* bucket = buckets_ != nullptr ? Probe(text, hash) : nullptr;
  if (bucket != nullptr && bucket->entry != nullptr) {
    ++bucket->entry->refs_;
    if (text.size() <= kMaxRecentLength) Remember(bucket->entry);
    return bucket;
  }
  // At most half full, so that probes stay short (a miss most of all) and always end.
  if (bucket == nullptr || (count_ + 1) * 2 > bucket_count_) {
    Grow();
    bucket = Probe(text, hash);
  }
  return bucket;
}

inline InternedString* StringInternTable::NewEntry(std::string_view text, uint32_t hash) {
  void* memory = allocator_->AllocateAny(EntryBytes(text.size()));
  auto* entry = new (memory) InternedString(hash, static_cast<uint32_t>(text.size()));
  std::memcpy(entry->mutable_data(), text.data(), text.size());
  entry->mutable_data()[text.size()] = '\0';
  return entry;
}

inline void StringInternTable::Insert(Bucket* bucket, InternedString* entry) {
  bucket->hash = entry->hash_;
  bucket->length = entry->length_;
  bucket->entry = entry;
  ++count_;
  if (SmallObjectAllocator::OnHeap(EntryBytes(entry->length_))) ++heap_entries_;
}

void StringInternTable::FreeEntry(InternedString* entry) {
  const size_t bytes = EntryBytes(entry->length_);
  entry->~InternedString();
  allocator_->FreeAny(entry, bytes);
}

const InternedString* StringInternTable::InternHashed(std::string_view text, uint32_t hash) {
  if (text.empty()) return InternedString::Empty();
  Bucket* bucket = FindOrMakeRoom(text, hash);
  if (bucket->entry == nullptr) Insert(bucket, NewEntry(text, hash));
  return bucket->entry;
}

StringInternTable::Prepared StringInternTable::Prepare(std::string_view text) {
  text = Stored(text);
  if (text.empty()) return Prepared{nullptr};
  const uint32_t hash = Hash(text);
  if (buckets_ != nullptr) __builtin_prefetch(&buckets_[hash & (bucket_count_ - 1)]);
  return Prepared{NewEntry(text, hash)};
}

const InternedString* StringInternTable::InternPrepared(Prepared prepared) {
  InternedString* entry = prepared.entry;
  if (entry == nullptr) return InternedString::Empty();
  Bucket* bucket;
  try {
    bucket = FindOrMakeRoom(entry->view(), entry->hash_);
  } catch (...) {  // no room could be made: the entry must not be lost
    FreeEntry(entry);
    throw;
  }
  if (bucket->entry != nullptr) {
    FreeEntry(entry);
  } else {
    Insert(bucket, entry);
  }
  return bucket->entry;
}

void StringInternTable::Erase(InternedString* entry) {
  const size_t mask = bucket_count_ - 1;
  size_t hole = entry->hash_ & mask;
  while (buckets_[hole].entry != entry) hole = (hole + 1) & mask;
  // Backward-shift deletion: later entries of the run move up into the hole unless that
  // would put them before their home bucket; no tombstones are needed.
  for (size_t next = (hole + 1) & mask; buckets_[next].entry != nullptr; next = (next + 1) & mask) {
    const size_t home = buckets_[next].hash & mask;
    const bool movable =
        next > hole ? (home <= hole || home > next) : (home <= hole && home > next);
    if (movable) {
      buckets_[hole] = buckets_[next];
      hole = next;
    }
  }
  buckets_[hole] = Bucket{0, 0, nullptr};
  --count_;
  ++erasures_;
  if (entry->length_ <= kMaxRecentLength) {
    RecentSlot& recent = recent_[RecentIndex(RecentBits(entry->view()), entry->length_)];
    if (recent.entry == entry) recent = RecentSlot();
  }
  if (SmallObjectAllocator::OnHeap(EntryBytes(entry->length_))) --heap_entries_;
  FreeEntry(entry);
}

void StringInternTable::Grow() { Rehash(bucket_count_ == 0 ? kInitialBuckets : bucket_count_ * 2); }

void StringInternTable::Reserve(size_t n) {
  // The same half load as Intern keeps.
  if (n > static_cast<size_t>(-1) / 4) throw std::bad_alloc();
  size_t new_count = bucket_count_ == 0 ? kInitialBuckets : bucket_count_;
  while (n * 2 > new_count) {
    if (new_count > (static_cast<size_t>(-1) / sizeof(Bucket)) / 2) throw std::bad_alloc();
    new_count *= 2;
  }
  if (new_count != bucket_count_) Rehash(new_count);
}

void StringInternTable::Rehash(size_t new_count) {
  auto* fresh = static_cast<Bucket*>(allocator_->AllocateAny(new_count * sizeof(Bucket)));
  std::memset(static_cast<void*>(fresh), 0, new_count * sizeof(Bucket));  // all free
  const size_t mask = new_count - 1;
  // The old buckets are gathered a batch at a time without a branch on whether each holds an
  // entry (at half load that branch is a coin toss), then the batch's entries are placed.
  constexpr size_t kBatch = 64;
  Bucket batch[kBatch];
  for (size_t start = 0; buckets_ != nullptr && start < bucket_count_; start += kBatch) {
    const size_t end = std::min(bucket_count_, start + kBatch);
    size_t gathered = 0;
    for (size_t i = start; i < end; ++i) {
      batch[gathered] = buckets_[i];
      gathered += buckets_[i].entry != nullptr;
    }
    for (size_t k = 0; k < gathered; ++k) {
      size_t j = batch[k].hash & mask;
      while (fresh[j].entry != nullptr) j = (j + 1) & mask;
      fresh[j] = batch[k];
    }
  }
  if (buckets_ != nullptr) allocator_->FreeAny(buckets_, bucket_count_ * sizeof(Bucket));
  buckets_ = fresh;
  bucket_count_ = new_count;
}

}  // namespace Voro
