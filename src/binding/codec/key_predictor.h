// The keys of a reader's maps, guessed from the maps read before. A list of records brings
// the same keys in the same order again and again, so the key at position i of a map at
// depth d is most often the key at position i of the last map at that depth. Comparing a
// key with that entry's text needs no hash, and where to look is known before the key's
// bytes are read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "binding/value/string_intern_table.h"

namespace Voro {

class KeyPredictor {
 public:
  explicit KeyPredictor(StringInternTable& strings)
      : strings_(strings), erasures_(strings.erasures()) {}
  KeyPredictor(const KeyPredictor&) = delete;
  KeyPredictor& operator=(const KeyPredictor&) = delete;

  // The entry for `key` with one more reference, as StringInternTable::Intern gives it.
  // `depth` counts the maps and arrays around the map, `position` the keys before this one.
  const InternedString* Intern(size_t depth, size_t position, std::string_view key) {
    if (depth >= kDepths || position >= kPositions) return strings_.Intern(key);
    // A guess holds no reference: once an entry was erased, any guess may name freed memory.
    if (strings_.erasures() != erasures_) Forget();
    const InternedString*& guess = guesses_[depth][position];
    if (guess != nullptr && guess->size() == key.size() &&
        InternedText::EqualBytes(guess->data(), key.data(), key.size())) {
      StringInternTable::AddRef(guess);
      return guess;
    }
    guess = strings_.Intern(key);
    return guess;
  }

 private:
  static constexpr size_t kDepths = 8;
  static constexpr size_t kPositions = 32;

  void Forget() {
    std::memset(static_cast<void*>(guesses_), 0, sizeof(guesses_));
    erasures_ = strings_.erasures();
  }

  StringInternTable& strings_;
  uint64_t erasures_;
  const InternedString* guesses_[kDepths][kPositions] = {};
};

}  // namespace Voro
