#include "binding/value/binding_kind.h"

#include <iterator>

namespace Voro {

std::string_view BindingKindName(uint32_t kind) {
  static constexpr std::string_view kNames[] = {
      "",       "bool",   "int8",   "uint8",  "int16",    "uint16", "int32",
      "uint32", "int64",  "uint64", "float",  "double",   "string", "object",
      "blob",   "vector", "enum",   "struct", "callback", "map",
  };
  return kind < std::size(kNames) ? kNames[kind] : std::string_view();
}

}  // namespace Voro
