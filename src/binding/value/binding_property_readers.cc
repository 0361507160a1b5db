// The converting readers. They never fail: a value that does not convert gives the caller's
// default (or false, or an empty text). Range and format checks belong to the type registry.
//
//   target    bool     signed/unsigned  float          string              blob       enum
//   bool      itself   != 0             != 0.0 (NaN    "true" or "1"       non-empty  != 0
//                                       is true)
//   signed    0 / 1    the 64 bits      toward zero    strtoll, base 0     default    value
//   unsigned  0 / 1    the 64 bits      toward zero    strtoull, base 0    default    value
//   double    0 / 1    converted        itself         strtod              default    value
//   string    "true"   decimal          "%f"           itself              Base64     decimal
//
// Empty, collection and structure give the default (to-bool: a collection or structure that
// has elements or fields is true; to-string: an empty text).
#include <cerrno>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "binding/value/base64.h"
#include "binding/value/binding_property.h"

namespace Voro {

namespace {

// Numbers in texts always use the C locale's decimal point, whatever the host process set.
double ParseDouble(const char* text) {
  static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return c_locale != static_cast<locale_t>(nullptr) ? strtod_l(text, nullptr, c_locale)
                                                    : std::strtod(text, nullptr);
}

// Truncation toward zero, defined for every double: NaN gives 0 and values beyond the
// range saturate (a plain conversion would be undefined there).
int64_t TruncateToSigned(double d) {
  if (std::isnan(d)) return 0;
  if (d >= 9223372036854775808.0) return std::numeric_limits<int64_t>::max();
  if (d < -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(d);
}

// Negative values wrap like the signed value would (the 64 bits as unsigned).
uint64_t TruncateToUnsigned(double d) {
  if (std::isnan(d)) return 0;
  if (d >= 18446744073709551616.0) return std::numeric_limits<uint64_t>::max();
  if (d > -1.0) return static_cast<uint64_t>(d);
  return static_cast<uint64_t>(TruncateToSigned(d));
}

template <typename T>
std::string Decimal(T value) {
  char buffer[24];
  auto result = std::to_chars(buffer, buffer + sizeof(buffer), value);
  return std::string(buffer, result.ptr);
}

}  // namespace

bool BindingProperty::ToBool() const {
  switch (tag_) {
    case BindingType::kBool:
    case BindingType::kSigned:
    case BindingType::kUnsigned:
      return payload_.u64 != 0;
    case BindingType::kFloat:
      return payload_.f64 != 0.0;  // NaN compares unequal, so it is true
    case BindingType::kString: {
      const std::string_view text = payload_.string->view();
      return text == "true" || text == "1";
    }
    case BindingType::kBlob:
      return !payload_.blob->bytes.empty();
    case BindingType::kEnum:
      return payload_.enumeration->value != 0;
    case BindingType::kCollection:
    case BindingType::kStructure:
      return size() != 0;
    case BindingType::kEmpty:
      break;
  }
  return false;
}

int64_t BindingProperty::ToSigned(int64_t def) const {
  switch (tag_) {
    case BindingType::kBool:
    case BindingType::kSigned:
    case BindingType::kUnsigned:
      return static_cast<int64_t>(payload_.u64);
    case BindingType::kFloat:
      return TruncateToSigned(payload_.f64);
    case BindingType::kString:
      return std::strtoll(payload_.string->data(), nullptr, 0);
    case BindingType::kEnum:
      return payload_.enumeration->value;
    default:
      return def;
  }
}

uint64_t BindingProperty::ToUnsigned(uint64_t def) const {
  switch (tag_) {
    case BindingType::kBool:
    case BindingType::kSigned:
    case BindingType::kUnsigned:
      return payload_.u64;
    case BindingType::kFloat:
      return TruncateToUnsigned(payload_.f64);
    case BindingType::kString:
      return std::strtoull(payload_.string->data(), nullptr, 0);
    case BindingType::kEnum:
      return static_cast<uint64_t>(int64_t{payload_.enumeration->value});
    default:
      return def;
  }
}

double BindingProperty::ToDouble(double def) const {
  switch (tag_) {
    case BindingType::kBool:
      return payload_.u64 != 0 ? 1.0 : 0.0;
    case BindingType::kSigned:
      return static_cast<double>(static_cast<int64_t>(payload_.u64));
    case BindingType::kUnsigned:
      return static_cast<double>(payload_.u64);
    case BindingType::kFloat:
      return payload_.f64;
    case BindingType::kString:
      return ParseDouble(payload_.string->data());
    case BindingType::kEnum:
      return payload_.enumeration->value;
    default:
      return def;
  }
}

std::string BindingProperty::ToString() const {
  switch (tag_) {
    case BindingType::kBool:
      return payload_.u64 != 0 ? "true" : "false";
    case BindingType::kSigned:
      return Decimal(static_cast<int64_t>(payload_.u64));
    case BindingType::kUnsigned:
      return Decimal(payload_.u64);
    case BindingType::kFloat: {
      // As printf "%f", but independent of the process locale. The largest double needs
      // 309 digits before the point.
      char buffer[400];
      auto result =
          std::to_chars(buffer, buffer + sizeof(buffer), payload_.f64, std::chars_format::fixed, 6);
      return std::string(buffer, result.ptr);
    }
    case BindingType::kString:
      return std::string(payload_.string->view());
    case BindingType::kBlob:
      return Base64Encode(payload_.blob->bytes.data(), payload_.blob->bytes.size());
    case BindingType::kEnum:
      return Decimal(payload_.enumeration->value);
    default:
      return std::string();
  }
}

}  // namespace Voro
