// A decoder's shortcut into its tree's string table: the texts it interned last, found again
// by one compare instead of a hash and a table probe. Decoded documents repeat a few short
// texts many times over (the field names of a list of records, status words), and those
// hit here.
//
// The cache holds one reference to every entry it keeps, so an entry it hands out can never
// have been erased in between, whatever the decoder did to the tree. It must be destroyed
// before the tree's storage (declare it after the root it serves).
#pragma once

#include <cstddef>
#include <string_view>

#include "binding/value/binding_property.h"
#include "binding/value/string_intern_table.h"

namespace Voro {

class StringInternCache {
 public:
  static constexpr size_t kSlots = 128;
  // Longer texts are rarely repeated: they go straight to the table.
  static constexpr size_t kMaxCachedLength = 32;

  // The table is the root's, created on the first text.
  explicit StringInternCache(BindingProperty* root) : root_(root) {}
  ~StringInternCache() {
    for (const InternedString* entry : slots_) {
      if (entry != nullptr) table_->Release(entry);
    }
  }
  StringInternCache(const StringInternCache&) = delete;
  StringInternCache& operator=(const StringInternCache&) = delete;

  // The entry for `text` with one reference for the caller, as StringInternTable::Intern.
  const InternedString* Intern(std::string_view text) {
    if (table_ == nullptr) table_ = &root_->strings();
    // Unsigned wrap-around sends the empty text down the table's path too.
    if (text.size() - 1 >= kMaxCachedLength) return table_->Intern(text);
    const InternedString*& slot = slots_[Index(text)];
    if (slot != nullptr && slot->size() == text.size() &&
        InternedText::EqualBytes(slot->data(), text.data(), text.size())) {
      StringInternTable::AddRef(slot);
      return slot;
    }
    const InternedString* entry = table_->Intern(text);
    StringInternTable::AddRef(entry);  // the cache's own
    if (slot != nullptr) table_->Release(slot);
    slot = entry;
    return entry;
  }

 private:
  // REQUIRES: text is not empty.
  static size_t Index(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    return (n * 31 + p[0] * 7u + p[n / 2] * 3u + p[n - 1] * 13u) & (kSlots - 1);
  }

  BindingProperty* const root_;
  StringInternTable* table_ = nullptr;
  const InternedString* slots_[kSlots] = {};
};

}  // namespace Voro
