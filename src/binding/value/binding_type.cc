#include "binding/value/binding_type.h"

namespace Voro {

std::string_view BindingTypeName(uint32_t tag) {
  static constexpr std::string_view kNames[] = {
      "empty",  "bool", "signed", "unsigned",   "float",
      "string", "blob", "enum",   "collection", "structure",
  };
  return tag < std::size(kNames) ? kNames[tag] : std::string_view();
}

}  // namespace Voro
