// The type tags of dynamic values and the small records that travel with them.
#pragma once

#include <cstdint>
#include <string_view>

namespace Voro {

// The tag of a BindingProperty. The numbering is fixed: converters and the host rely on it.
enum class BindingType : uint8_t {
  kEmpty = 0,
  kBool = 1,
  kSigned = 2,
  kUnsigned = 3,
  kFloat = 4,
  kString = 5,
  kBlob = 6,
  kEnum = 7,
  kCollection = 8,
  kStructure = 9,
};

// "empty", "bool", ... "structure" for tags 0 to 9; an empty text for any other value.
std::string_view BindingTypeName(uint32_t tag);
inline std::string_view BindingTypeName(BindingType tag) {
  return BindingTypeName(static_cast<uint32_t>(tag));
}

// The payload of an "enum" value: the number and the type hash of its native enumeration.
struct BindingEnum {
  int32_t value = 0;
  uint32_t type_hash = 0;

  friend bool operator==(const BindingEnum&, const BindingEnum&) = default;
};

}  // namespace Voro
