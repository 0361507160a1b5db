// Stable identities of native types: a 32-bit FNV-1a hash of a text that is unique to the
// type, computed once per process on first use. Identities are compared by hash only and
// are never stored, so the exact text hashed only has to be unique inside one build.
//
// Threads: any thread may ask; the first use initialises once (function-local statics).
#pragma once

#include <cstdint>
#include <string_view>
#include <type_traits>

namespace Voro {

inline constexpr uint32_t kFnv1aOffsetBasis = 0x811C9DC5u;
inline constexpr uint32_t kFnv1aPrime = 16777619u;

// FNV-1a over the bytes of `text`; also hashes field and parameter names.
constexpr uint32_t Fnv1a(std::string_view text) {
  uint32_t hash = kFnv1aOffsetBasis;
  for (char c : text) {
    hash ^= static_cast<uint8_t>(c);
    hash *= kFnv1aPrime;
  }
  return hash;
}

// A hash with a text: the printable "#%08X" form for HashCode, the signature for Name.
// The text lives as long as the process (static storage).
struct TypeIdentity {
  uint32_t hash = 0;
  std::string_view text;

  friend bool operator==(const TypeIdentity& a, const TypeIdentity& b) { return a.hash == b.hash; }
};

namespace internal {

// Both identities of one type, built in place once (the printable text points into it).
class TypeIdentityStorage {
 public:
  explicit TypeIdentityStorage(std::string_view signature);
  TypeIdentityStorage(const TypeIdentityStorage&) = delete;
  TypeIdentityStorage& operator=(const TypeIdentityStorage&) = delete;

  const TypeIdentity& hash_code() const { return hash_code_; }
  const TypeIdentity& name() const { return name_; }

 private:
  char printable_[10];  // "#" + 8 hex digits + NUL
  TypeIdentity hash_code_;
  TypeIdentity name_;
};

// The compiler's full signature of this function names T completely.
template <typename T>
constexpr std::string_view TypeSignature() {
  return __PRETTY_FUNCTION__;
}

template <typename T>
const TypeIdentityStorage& IdentityOf() {
  static const TypeIdentityStorage storage(TypeSignature<T>());
  return storage;
}

}  // namespace internal

class StaticType {
 public:
  // The hash and its printable form "#%08X". cv-qualifiers and references are ignored.
  template <typename T>
  static const TypeIdentity& HashCode() {
    return internal::IdentityOf<std::remove_cvref_t<T>>().hash_code();
  }
  // The same hash with the signature text that was hashed.
  template <typename T>
  static const TypeIdentity& Name() {
    return internal::IdentityOf<std::remove_cvref_t<T>>().name();
  }
};

}  // namespace Voro
