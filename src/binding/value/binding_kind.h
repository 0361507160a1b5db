// The kinds of native storage that the type registry converts: the kind of a field, a
// parameter, a vector element or a map value. The numbering is fixed; the host's API table
// carries these codes.
#pragma once

#include <cstdint>
#include <string_view>

namespace Voro {

enum class BindingKind : uint32_t {
  kNone = 0,
  kBool = 1,
  kInt8 = 2,
  kUint8 = 3,
  kInt16 = 4,
  kUint16 = 5,
  kInt32 = 6,
  kUint32 = 7,
  kInt64 = 8,
  kUint64 = 9,
  kFloat = 10,
  kDouble = 11,
  kString = 12,
  kObject = 13,  // a BindingProperty held unchanged
  kBlob = 14,    // std::vector<uint8_t>
  kVector = 15,
  kEnum = 16,  // native enumeration of 1, 2, 4 or 8 bytes
  kStruct = 17,
  kCallback = 18,  // converted by the field's own converter
  kMap = 19,       // text keys to a value kind
};

// "bool", "int8", ... "map" for 1 to 19; an empty text otherwise.
std::string_view BindingKindName(uint32_t kind);
inline std::string_view BindingKindName(BindingKind kind) {
  return BindingKindName(static_cast<uint32_t>(kind));
}

}  // namespace Voro
