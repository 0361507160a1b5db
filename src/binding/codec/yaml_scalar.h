// The typed value of one YAML scalar, decided from its tag, its text and whether it was
// quoted. Used by the YAML reader; kept apart so that the rules read in one place.
//
// Tags: str -> string; int -> signed (text starting with "-") or unsigned, checked with the
// binding layer's integer rules as 'yaml' of type int64_t / uint64_t; float -> float with
// the double rules; bool -> bool for the true/false words, otherwise empty; any other tag
// is refused. Untagged quoted scalars are strings. Untagged plain, literal and folded
// scalars resolve in this order: null words; a text strtod reads completely to a finite
// value or NaN (whole numbers become signed or unsigned, fractions and NaN float); the
// true/false words; string.
//
// Stricter than a plain cast: a whole number outside the 64-bit integer ranges (such as
// 1e30) stays "float", since no integer holds it.
//
// Numbers are read in the C locale whatever the process set.
#pragma once

#include <bit>
#include <cstdint>
#include <string>
#include <string_view>

#include "binding/value/binding_property.h"
#include "binding/value/binding_type.h"

namespace Voro {

inline constexpr std::string_view kYamlStrTag = "tag:yaml.org,2002:str";
inline constexpr std::string_view kYamlIntTag = "tag:yaml.org,2002:int";
inline constexpr std::string_view kYamlFloatTag = "tag:yaml.org,2002:float";
inline constexpr std::string_view kYamlBoolTag = "tag:yaml.org,2002:bool";
inline constexpr std::string_view kYamlUnsupportedTagMessage = "Unsupported YAML tag '%1'.";

// A resolved scalar. For "string" the text is the scalar's own; other tags carry no text.
struct YamlScalarValue {
  BindingType type = BindingType::kEmpty;
  // bool 0 or 1; the two's complement of a signed value; the bits of a double.
  uint64_t bits = 0;

  int64_t as_signed() const { return static_cast<int64_t>(bits); }
  double as_double() const { return std::bit_cast<double>(bits); }
};

class YamlScalarResolver {
 public:
  // `tag` is empty when the scalar has none. Returns false with *error set when the tag is
  // not supported or the text does not convert under it.
  // REQUIRES: text is followed by a NUL (libyaml's scalar values are).
  [[nodiscard]] bool Resolve(std::string_view tag, std::string_view text, bool quoted,
                             YamlScalarValue* out, std::string* error);

  // Plain-scalar resolution without a tag. REQUIRES: text is followed by a NUL.
  static YamlScalarValue ResolvePlain(std::string_view text);

 private:
  // Holds the text while the integer and double rules read it; made on first use.
  BindingProperty scratch_;
};

}  // namespace Voro
