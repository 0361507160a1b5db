// Texts of a reader that wait a little before they are interned. A body of many distinct
// texts (a long list of records) makes almost every text a miss in a large string table; a
// reader that starts fetching the table's memory for a text when it reads it, and interns
// the text a few texts later, overlaps those misses instead of waiting for each in turn.
// Each text's entry is made when the text is read, so that entries still lie in the order
// of the nodes naming them, which is the order a walk of the tree visits them.
#pragma once

#include <cstddef>
#include <string_view>

#include "binding/value/binding_property.h"
#include "binding/value/string_intern_table.h"

namespace Voro {

class DeferredTexts {
 public:
  // Texts wait only when the table is already large (reserved for a large input): a small
  // table stays in the cache, and waiting would only cost the bookkeeping.
  explicit DeferredTexts(StringInternTable& strings)
      : strings_(strings), enabled_(strings.bucket_count() >= kMinBuckets) {}
  // Texts still waiting (a reader that gave up) are dropped.
  ~DeferredTexts() {
    for (; count_ != 0; --count_, first_ = (first_ + 1) % kDepth) {
      strings_.DiscardPrepared(pending_[first_].prepared);
    }
  }
  DeferredTexts(const DeferredTexts&) = delete;
  DeferredTexts& operator=(const DeferredTexts&) = delete;

  // Sets `slot` to `text`: at once when it is a text met lately or `slot` may not wait,
  // otherwise by a later call. A waiting slot must stay where it is until Flush (the text is
  // copied at once): only values of structures may wait (their nodes do not move while fields are
  // added; collection elements move when their array grows), and readers flush before a
  // FinishFields that may free some of them (TryFinishFieldsWithoutFreeing tells).
  void SetString(BindingProperty* slot, std::string_view text, bool slot_may_wait) {
    if (!enabled_ || !slot_may_wait) {
      slot->SetInternedString(strings_.Intern(text));
      return;
    }
    if (const InternedString* recent = strings_.InternRecent(text)) {
      slot->SetInternedString(recent);
      return;
    }
    if (count_ == kDepth) InternOldest();
    pending_[(first_ + count_) % kDepth] = Pending{slot, strings_.Prepare(text)};
    ++count_;
  }
  // Sets every slot still waiting, in the order they came.
  void Flush() {
    while (count_ != 0) InternOldest();
  }

 private:
  static constexpr size_t kDepth = 8;
  // 1 MiB of buckets: about half of a core's second-level cache on the machines we measure.
  static constexpr size_t kMinBuckets = size_t{1} << 16;

  struct Pending {
    BindingProperty* slot;
    StringInternTable::Prepared prepared;
  };

  void InternOldest() {
    const Pending oldest = pending_[first_];
    first_ = (first_ + 1) % kDepth;
    --count_;
    oldest.slot->SetInternedString(strings_.InternPrepared(oldest.prepared));
  }

  StringInternTable& strings_;
  const bool enabled_;
  Pending pending_[kDepth];
  size_t first_ = 0;
  size_t count_ = 0;
};

}  // namespace Voro
