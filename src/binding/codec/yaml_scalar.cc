#include "binding/codec/yaml_scalar.h"

#include <bit>
#include <clocale>
#include <cmath>
#include <cstdlib>

#include "binding/types/native_conversion.h"
#include "binding/types/native_kind.h"
#include "binding/types/type_registry.h"
#include "diag/format_positional.h"

namespace Voro {

namespace {

// The argument name the integer and double rules show in their messages.
constexpr std::string_view kYamlArgumentName = "yaml";

bool IsNullWord(std::string_view text) {
  return text.empty() || text == "~" || text == "null" || text == "Null" || text == "NULL";
}

// 1 for a true word, 0 for a false word, -1 otherwise.
int BoolWord(std::string_view text) {
  switch (text.size()) {
    case 1:
      if (text == "y" || text == "Y") return 1;
      if (text == "n" || text == "N") return 0;
      return -1;
    case 2:
      if (text == "on" || text == "On" || text == "ON") return 1;
      if (text == "no" || text == "No" || text == "NO") return 0;
      return -1;
    case 3:
      if (text == "yes" || text == "Yes" || text == "YES") return 1;
      if (text == "off" || text == "Off" || text == "OFF") return 0;
      return -1;
    case 4:
      return text == "true" || text == "True" || text == "TRUE" ? 1 : -1;
    case 5:
      return text == "false" || text == "False" || text == "FALSE" ? 0 : -1;
    default:
      return -1;
  }
}

// Numbers in texts always use the C locale's decimal point, whatever the process set.
double ParseDouble(const char* text, char** end) {
  static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return c_locale != static_cast<locale_t>(nullptr) ? strtod_l(text, end, c_locale)
                                                    : std::strtod(text, end);
}

// Whether strtod could read a finite number or NaN from a text starting with `c`. Texts
// starting with "i" or "I" can only give infinity, which never counts as a number.
bool MayStartNumber(char c) {
  return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'n' || c == 'N' ||
         c == ' ' || (c >= '\t' && c <= '\r');
}

const TypeRegistry& NoTypes() {
  static const TypeRegistry* registry = new TypeRegistry();
  return *registry;
}

// The binding layer names its 64-bit kinds "int64" and "uint64"; YAML messages use the C
// type names. Only the two number messages carry the kind name.
std::string WithTypeName(std::string_view error, std::string_view text, std::string_view kind,
                         std::string_view type_name) {
  for (std::string_view message : {kNumberFormatMessage, kNumberOutOfRangeMessage}) {
    if (error == FormatPositional(message, text, kYamlArgumentName, kind)) {
      return FormatPositional(message, text, kYamlArgumentName, type_name);
    }
  }
  return std::string(error);
}

}  // namespace

YamlScalarValue YamlScalarResolver::ResolvePlain(std::string_view text) {
  YamlScalarValue value;
  if (IsNullWord(text)) return value;
  if (MayStartNumber(text[0])) {
    char* end = nullptr;
    const double number = ParseDouble(text.data(), &end);
    if (end == text.data() + text.size() && !std::isinf(number)) {
      // Whole numbers become integers when a 64-bit integer holds them.
      if (std::trunc(number) != number || number < -9223372036854775808.0 ||
          number >= 18446744073709551616.0) {
        value.type = BindingType::kFloat;
        value.bits = std::bit_cast<uint64_t>(number);
      } else if (number < 0) {
        value.type = BindingType::kSigned;
        value.bits = static_cast<uint64_t>(static_cast<int64_t>(number));
      } else {
        value.type = BindingType::kUnsigned;
        value.bits = static_cast<uint64_t>(number);
      }
      return value;
    }
  }
  const int word = BoolWord(text);
  if (word >= 0) {
    value.type = BindingType::kBool;
    value.bits = static_cast<uint64_t>(word);
    return value;
  }
  value.type = BindingType::kString;
  return value;
}

bool YamlScalarResolver::Resolve(std::string_view tag, std::string_view text, bool quoted,
                                 YamlScalarValue* out, std::string* error) {
  *out = YamlScalarValue();
  if (tag.empty()) {
    if (quoted) {
      out->type = BindingType::kString;
    } else {
      *out = ResolvePlain(text);
    }
    return true;
  }
  if (tag == kYamlStrTag) {
    out->type = BindingType::kString;
    return true;
  }
  if (tag == kYamlBoolTag) {
    const int word = BoolWord(text);
    if (word >= 0) {
      out->type = BindingType::kBool;
      out->bits = static_cast<uint64_t>(word);
    }
    return true;
  }
  const bool is_int = tag == kYamlIntTag;
  if (!is_int && tag != kYamlFloatTag) {
    *error = FormatPositional(kYamlUnsupportedTagMessage, tag);
    return false;
  }
  // The text goes through the same conversion as a string argument of that native type.
  scratch_.SetString(text);
  BindingResult result;
  if (!is_int) {
    double number = 0.0;
    BindingToNative(result, &number, scratch_, kYamlArgumentName, KindDataOf<double>(), NoTypes(),
                    ConversionOptions());
    out->type = BindingType::kFloat;
    out->bits = std::bit_cast<uint64_t>(number);
  } else if (!text.empty() && text[0] == '-') {
    int64_t number = 0;
    BindingToNative(result, &number, scratch_, kYamlArgumentName, KindDataOf<int64_t>(), NoTypes(),
                    ConversionOptions());
    if (!result.ok()) *error = WithTypeName(result.error(), text, "int64", "int64_t");
    out->type = BindingType::kSigned;
    out->bits = static_cast<uint64_t>(number);
  } else {
    uint64_t number = 0;
    BindingToNative(result, &number, scratch_, kYamlArgumentName, KindDataOf<uint64_t>(), NoTypes(),
                    ConversionOptions());
    if (!result.ok()) *error = WithTypeName(result.error(), text, "uint64", "uint64_t");
    out->type = BindingType::kUnsigned;
    out->bits = number;
  }
  if (result.ok()) return true;
  if (!is_int) *error = std::string(result.error());
  return false;
}

}  // namespace Voro
