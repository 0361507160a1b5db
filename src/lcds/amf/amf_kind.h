// The kinds of AMF0 and AMF3 items. Each kind code equals the type marker that introduces
// the kind on the wire, so the codec can index its per-kind tables by the marker byte.
#pragma once

#include <cstdint>
#include <string_view>

namespace Voro {

enum class Amf0Kind : uint8_t {
  kNumber = 0,
  kBoolean = 1,
  kString = 2,
  kObject = 3,
  kMovieclip = 4,
  kNull = 5,
  kUndefined = 6,
  kReference = 7,
  kEcmaArray = 8,
  kObjectEnd = 9,
  kStrictArray = 10,
  kDate = 11,
  kLongString = 12,
  kUnsupported = 13,
  kRecordset = 14,
  kXml = 15,
  kTypedObject = 16,
  kAmf3Object = 17,
};

enum class Amf3Kind : uint8_t {
  kUndefined = 0,
  kNull = 1,
  kFalse = 2,
  kTrue = 3,
  kInteger = 4,
  kDouble = 5,
  kString = 6,
  kLegacyXml = 7,
  kDate = 8,
  kArray = 9,
  kObject = 10,
  kXml = 11,
  kByteArray = 12,
  kVectorInt = 13,
  kVectorUInt = 14,
  kVectorDouble = 15,
  kVectorObject = 16,
  kDictionary = 17,
};

// Number of kinds (and of marker values) in each format.
inline constexpr uint32_t kAmfKindCount = 18;

// Display names for diagnostics: "Number" ... "Amf3Object", "Undefined" ... "Dictionary";
// "*Unknown*" for any other code.
std::string_view Amf0KindName(uint32_t code);
std::string_view Amf3KindName(uint32_t code);
inline std::string_view Amf0KindName(Amf0Kind kind) {
  return Amf0KindName(static_cast<uint32_t>(kind));
}
inline std::string_view Amf3KindName(Amf3Kind kind) {
  return Amf3KindName(static_cast<uint32_t>(kind));
}

}  // namespace Voro
