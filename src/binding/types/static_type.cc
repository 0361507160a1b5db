#include "binding/types/static_type.h"

namespace Voro::internal {

TypeIdentityStorage::TypeIdentityStorage(std::string_view signature) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  const uint32_t hash = Fnv1a(signature);
  printable_[0] = '#';
  for (int i = 0; i < 8; ++i) printable_[1 + i] = kHex[(hash >> (28 - 4 * i)) & 0xF];
  printable_[9] = '\0';
  hash_code_ = TypeIdentity{hash, std::string_view(printable_, 9)};
  name_ = TypeIdentity{hash, signature};
}

}  // namespace Voro::internal
