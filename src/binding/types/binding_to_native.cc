// Binding trees to native values, with the exact message for every way an input is wrong.
#include <cerrno>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "binding/value/base64.h"
#include "binding/types/native_conversion.h"
#include "diag/format_positional.h"

namespace Voro {

namespace {

template <typename... Args>
void Fail(BindingResult& result, std::string_view message, const Args&... args) {
  result.MakeError(FormatPositional(message, args...));
}

template <typename T>
T& As(void* native) {
  return *static_cast<T*>(native);
}

// ---- Integers ----

struct IntegerRange {
  int64_t min;
  uint64_t max;
  bool is_signed;
};

IntegerRange RangeOf(BindingKind kind) {
  switch (kind) {
    case BindingKind::kInt8:
      return {INT8_MIN, INT8_MAX, true};
    case BindingKind::kUint8:
      return {0, UINT8_MAX, false};
    case BindingKind::kInt16:
      return {INT16_MIN, INT16_MAX, true};
    case BindingKind::kUint16:
      return {0, UINT16_MAX, false};
    case BindingKind::kInt32:
      return {INT32_MIN, INT32_MAX, true};
    case BindingKind::kUint32:
      return {0, UINT32_MAX, false};
    case BindingKind::kInt64:
      return {INT64_MIN, INT64_MAX, true};
    default:
      return {0, UINT64_MAX, false};
  }
}

bool Fits(const IntegerRange& range, int64_t v) {
  return v >= range.min && (v < 0 || static_cast<uint64_t>(v) <= range.max);
}
bool Fits(const IntegerRange& range, uint64_t v) { return v <= range.max; }

// REQUIRES: the value fits the kind's range (bits are its two's complement).
void StoreInteger(void* native, BindingKind kind, uint64_t bits) {
  switch (kind) {
    case BindingKind::kInt8:
      As<int8_t>(native) = static_cast<int8_t>(bits);
      return;
    case BindingKind::kUint8:
      As<uint8_t>(native) = static_cast<uint8_t>(bits);
      return;
    case BindingKind::kInt16:
      As<int16_t>(native) = static_cast<int16_t>(bits);
      return;
    case BindingKind::kUint16:
      As<uint16_t>(native) = static_cast<uint16_t>(bits);
      return;
    case BindingKind::kInt32:
      As<int32_t>(native) = static_cast<int32_t>(bits);
      return;
    case BindingKind::kUint32:
      As<uint32_t>(native) = static_cast<uint32_t>(bits);
      return;
    case BindingKind::kInt64:
      As<int64_t>(native) = static_cast<int64_t>(bits);
      return;
    default:
      As<uint64_t>(native) = bits;
      return;
  }
}

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

void IntegerFromText(BindingResult& result, void* native, std::string_view text,
                     std::string_view name, BindingKind kind) {
  const std::string_view kind_name = BindingKindName(kind);
  if (text.empty()) {
    StoreInteger(native, kind, 0);
    return;
  }
  const IntegerRange range = RangeOf(kind);
  // Texts of a tree are NUL-terminated; an embedded NUL leaves characters unparsed.
  const char* begin = text.data();
  char* end = nullptr;
  errno = 0;
  if (range.is_signed) {
    const long long value = std::strtoll(begin, &end, 0);
    if (end != begin + text.size())
      return Fail(result, kNumberFormatMessage, text, name, kind_name);
    if (errno == ERANGE || !Fits(range, static_cast<int64_t>(value))) {
      return Fail(result, kNumberOutOfRangeMessage, text, name, kind_name);
    }
    StoreInteger(native, kind, static_cast<uint64_t>(value));
  } else {
    const unsigned long long value = std::strtoull(begin, &end, 0);
    if (end != begin + text.size())
      return Fail(result, kNumberFormatMessage, text, name, kind_name);
    // strtoull negates "-1" into a huge number; no negative text fits an unsigned target.
    size_t first = 0;
    while (first < text.size() && IsSpace(text[first])) ++first;
    if (errno == ERANGE || (first < text.size() && text[first] == '-') ||
        !Fits(range, static_cast<uint64_t>(value))) {
      return Fail(result, kNumberOutOfRangeMessage, text, name, kind_name);
    }
    StoreInteger(native, kind, static_cast<uint64_t>(value));
  }
}

void IntegerFromBinding(BindingResult& result, void* native, const BindingProperty& input,
                        std::string_view name, BindingKind kind) {
  const std::string_view kind_name = BindingKindName(kind);
  const IntegerRange range = RangeOf(kind);
  switch (input.type()) {
    case BindingType::kEmpty:
      return Fail(result, kValueRequiredMessage, name);
    case BindingType::kSigned:
    case BindingType::kEnum: {
      const int64_t value =
          input.type() == BindingType::kEnum ? input.GetEnum().value : input.GetSigned();
      if (!Fits(range, value))
        return Fail(result, kNumberOutOfRangeMessage, value, name, kind_name);
      return StoreInteger(native, kind, static_cast<uint64_t>(value));
    }
    case BindingType::kUnsigned: {
      const uint64_t value = input.GetUnsigned();
      if (!Fits(range, value))
        return Fail(result, kNumberOutOfRangeMessage, value, name, kind_name);
      return StoreInteger(native, kind, value);
    }
    case BindingType::kFloat: {
      const double value = input.GetFloat();
      const auto min = static_cast<double>(range.min);
      const auto max = static_cast<double>(range.max);
      // max rounds up to 2^63 or 2^64 for the 64-bit kinds; that value itself is out too.
      const bool rounded_max = range.max > (uint64_t{1} << 53);
      if (std::isnan(value) || value < min || value > max || (rounded_max && value >= max)) {
        return Fail(result, kNumberOutOfRangeMessage, value, name, kind_name);
      }
      if (range.is_signed)
        return StoreInteger(native, kind, static_cast<uint64_t>(static_cast<int64_t>(value)));
      return StoreInteger(native, kind, static_cast<uint64_t>(value));
    }
    case BindingType::kString:
      return IntegerFromText(result, native, input.GetString(), name, kind);
    case BindingType::kBool:
    case BindingType::kBlob:
    case BindingType::kCollection:
    case BindingType::kStructure:
      break;
  }
  Fail(result, kNumberInvalidTypeMessage, name, kind_name, BindingTypeName(input.type()));
}

// ---- Floating point ----

double ParseDouble(const char* text, char** end) {
  // Numbers in texts always use the C locale's decimal point, whatever the process set.
  static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return c_locale != static_cast<locale_t>(nullptr) ? strtod_l(text, end, c_locale)
                                                    : std::strtod(text, end);
}

void FloatingFromBinding(BindingResult& result, void* native, const BindingProperty& input,
                         std::string_view name, BindingKind kind) {
  const std::string_view kind_name = BindingKindName(kind);
  const double max = kind == BindingKind::kFloat ? 3.4028234663852886e38 : 1.7976931348623157e308;
  double value = 0.0;
  switch (input.type()) {
    case BindingType::kEmpty:
      return Fail(result, kValueRequiredMessage, name);
    case BindingType::kSigned:
      value = static_cast<double>(input.GetSigned());
      break;
    case BindingType::kUnsigned:
      value = static_cast<double>(input.GetUnsigned());
      break;
    case BindingType::kEnum:
      value = input.GetEnum().value;
      break;
    case BindingType::kFloat:
      value = input.GetFloat();
      if (value < -max || value > max) {
        return Fail(result, kNumberOutOfRangeMessage, value, name, kind_name);
      }
      break;
    case BindingType::kString: {
      const std::string_view text = input.GetString();
      if (text.empty()) break;
      char* end = nullptr;
      errno = 0;
      value = ParseDouble(text.data(), &end);
      if (end != text.data() + text.size()) {
        return Fail(result, kNumberFormatMessage, text, name, kind_name);
      }
      // ERANGE also reports underflow, which leaves a usable tiny value or zero.
      if ((errno == ERANGE && std::isinf(value)) || value < -max || value > max) {
        return Fail(result, kNumberOutOfRangeMessage, text, name, kind_name);
      }
      break;
    }
    case BindingType::kBool:
    case BindingType::kBlob:
    case BindingType::kCollection:
    case BindingType::kStructure:
      return Fail(result, kNumberInvalidTypeMessage, name, kind_name,
                  BindingTypeName(input.type()));
  }
  if (kind == BindingKind::kFloat) {
    As<float>(native) = static_cast<float>(value);
  } else {
    As<double>(native) = value;
  }
}

// ---- Bool, string, blob ----

void BoolFromBinding(BindingResult& result, void* native, const BindingProperty& input,
                     std::string_view name) {
  switch (input.type()) {
    case BindingType::kEmpty:
      return Fail(result, kValueRequiredMessage, name);
    case BindingType::kBool:
      As<bool>(native) = input.GetBool();
      return;
    case BindingType::kString: {
      const std::string_view text = input.GetString();
      if (text == "1" || text == "true") {
        As<bool>(native) = true;
      } else if (text == "0" || text == "false") {
        As<bool>(native) = false;
      } else {
        Fail(result, kBoolFormatMessage, text, name);
      }
      return;
    }
    default:
      return Fail(result, kBoolInvalidTypeMessage, name, BindingTypeName(input.type()));
  }
}

void StringFromBinding(BindingResult& result, void* native, const BindingProperty& input,
                       std::string_view name, const TypeRegistry& registry) {
  switch (input.type()) {
    case BindingType::kEmpty:
      return Fail(result, kValueRequiredMessage, name);
    case BindingType::kString:
      As<std::string>(native) = input.GetString();
      return;
    case BindingType::kEnum: {
      const BindingEnum value = input.GetEnum();
      std::string text;
      if (!registry.FindEnumValueName(value.type_hash, value.value, &text)) {
        return Fail(result, kUnknownEnumValueNameMessage, value.value, name);
      }
      As<std::string>(native) = std::move(text);
      return;
    }
    default:
      return Fail(result, kNotAStringMessage, name);
  }
}

void BlobFromBinding(BindingResult& result, void* native, const BindingProperty& input,
                     std::string_view name) {
  switch (input.type()) {
    case BindingType::kEmpty:
      return Fail(result, kValueRequiredMessage, name);
    case BindingType::kBlob:
      As<std::vector<uint8_t>>(native) = input.GetBlob();
      return;
    case BindingType::kString: {
      const std::string_view text = input.GetString();
      std::vector<uint8_t> bytes;
      // A text of valid characters that still does not decode (misplaced padding, one
      // character left over) is refused with the same message.
      if (!IsBase64Alphabet(text) || !Base64Decode(text, &bytes)) {
        return Fail(result, kInvalidBase64Message, name);
      }
      As<std::vector<uint8_t>>(native) = std::move(bytes);
      return;
    }
    default:
      return Fail(result, kNotABlobMessage, name);
  }
}

// ---- Enumerations ----

void WriteEnumNumber(void* native, uint32_t size, int32_t number) {
  switch (size) {
    case 1: {
      const auto v = static_cast<int8_t>(number);
      std::memcpy(native, &v, 1);
      return;
    }
    case 2: {
      const auto v = static_cast<int16_t>(number);
      std::memcpy(native, &v, 2);
      return;
    }
    case 8: {
      const auto v = static_cast<int64_t>(number);
      std::memcpy(native, &v, 8);
      return;
    }
    default:
      std::memcpy(native, &number, 4);
      return;
  }
}

void EnumFromBinding(BindingResult& result, void* native, const BindingProperty& input,
                     std::string_view name, const KindData& type, const TypeRegistry& registry) {
  const EnumDescriptor* enumeration = registry.FindEnum(type.type_hash);
  // An unregistered enumeration has no valid values (and no name to show).
  const std::string_view enum_name =
      enumeration != nullptr ? std::string_view(enumeration->name) : std::string_view();
  auto valid = [&](int64_t number) {
    return number >= INT32_MIN && number <= INT32_MAX && enumeration != nullptr &&
           enumeration->FindByNumber(number) != nullptr;
  };
  switch (input.type()) {
    case BindingType::kEmpty:
      return Fail(result, kValueRequiredMessage, name);
    case BindingType::kSigned:
    case BindingType::kEnum: {
      const int64_t number =
          input.type() == BindingType::kEnum ? input.GetEnum().value : input.GetSigned();
      if (!valid(number)) return Fail(result, kInvalidEnumValueMessage, number, enum_name, name);
      return WriteEnumNumber(native, type.size, static_cast<int32_t>(number));
    }
    case BindingType::kUnsigned: {
      const uint64_t number = input.GetUnsigned();
      if (number > INT32_MAX || !valid(static_cast<int64_t>(number))) {
        return Fail(result, kInvalidEnumValueMessage, number, enum_name, name);
      }
      return WriteEnumNumber(native, type.size, static_cast<int32_t>(number));
    }
    case BindingType::kString: {
      const std::string_view text = input.GetString();
      if (enumeration != nullptr) {
        if (const EnumValueDescriptor* value = enumeration->FindByName(text)) {
          return WriteEnumNumber(native, type.size, value->value);
        }
      }
      int32_t number = 0;
      const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
      if (error == std::errc() && end == text.data() + text.size() && !text.empty() &&
          valid(number)) {
        return WriteEnumNumber(native, type.size, number);
      }
      return Fail(result, kInvalidEnumValueMessage, text, enum_name, name);
    }
    default:
      return Fail(result, kEnumInvalidTypeMessage, name, BindingTypeName(input.type()));
  }
}

// ---- Records, vectors, maps ----

ConversionOptions Nested(const ConversionOptions& options) {
  return ConversionOptions{.top_level = false, .depth = options.depth + 1};
}

void RecordFromBinding(BindingResult& result, void* native, const BindingProperty& input,
                       std::string_view name, const KindData& type, const TypeRegistry& registry,
                       const ConversionOptions& options) {
  if (options.top_level && input.type() == BindingType::kEmpty) {
    return Fail(result, kValueRequiredMessage, name);
  }
  const RecordDescriptor* record = registry.FindRecord(type.type_hash);
  if (record == nullptr) return Fail(result, kUnregisteredStructureInputMessage, name);
  if (input.type() != BindingType::kStructure) {
    return Fail(result, kRecordNotAStructureMessage, name, record->name);
  }
  const ConversionOptions nested = Nested(options);
  for (const FieldDescriptor& field : record->fields) {
    const BindingProperty& value = input.Field(field.name);
    if (value.type() == BindingType::kEmpty) {
      if (field.required()) {
        return Fail(result, kRequiredFieldMissingMessage, name, record->name, field.name);
      }
      continue;
    }
    FieldFromBinding(result, static_cast<char*>(native) + field.offset, value, field, registry,
                     nested);
    if (!result.ok()) return;
  }
}

void VectorFromBinding(BindingResult& result, void* native, const BindingProperty& input,
                       std::string_view name, const KindData& type, const TypeRegistry& registry,
                       const ConversionOptions& options) {
  if (input.type() != BindingType::kCollection) {
    return Fail(result, kVectorNotACollectionMessage, name);
  }
  const size_t size = input.size();
  type.vector_ops->assign_default(native, size);
  const ConversionOptions nested = Nested(options);
  for (size_t i = 0; i < size; ++i) {
    const BindingProperty& element = input.Element(i);
    if (element.type() == BindingType::kEmpty) continue;
    BindingToNative(result, type.vector_ops->at(native, i), element, name, *type.element, registry,
                    nested);
    if (!result.ok()) return;
  }
}

void MapFromBinding(BindingResult& result, void* native, const BindingProperty& input,
                    std::string_view name, const KindData& type, const TypeRegistry& registry,
                    const ConversionOptions& options) {
  if (input.type() != BindingType::kStructure) {
    return Fail(result, kMapNotAStructureMessage, name);
  }
  type.map_ops->clear(native);
  const ConversionOptions nested = Nested(options);
  for (const auto& [key, value] : input.Fields()) {
    BindingToNative(result, type.map_ops->slot(native, key), value, name, *type.element, registry,
                    nested);
    if (!result.ok()) return;
  }
}

}  // namespace

void BindingToNative(BindingResult& result, void* native, const BindingProperty& input,
                     std::string_view name, const KindData& type, const TypeRegistry& registry,
                     const ConversionOptions& options) {
  if (!result.ok()) return;
  if (options.depth > kMaxConversionDepth) return Fail(result, kAbiTooDeepMessage, name);
  switch (type.kind) {
    case BindingKind::kBool:
      return BoolFromBinding(result, native, input, name);
    case BindingKind::kInt8:
    case BindingKind::kUint8:
    case BindingKind::kInt16:
    case BindingKind::kUint16:
    case BindingKind::kInt32:
    case BindingKind::kUint32:
    case BindingKind::kInt64:
    case BindingKind::kUint64:
      return IntegerFromBinding(result, native, input, name, type.kind);
    case BindingKind::kFloat:
    case BindingKind::kDouble:
      return FloatingFromBinding(result, native, input, name, type.kind);
    case BindingKind::kString:
      return StringFromBinding(result, native, input, name, registry);
    case BindingKind::kObject:
      if (options.top_level && input.type() == BindingType::kEmpty) {
        return Fail(result, kValueRequiredMessage, name);
      }
      As<BindingProperty>(native) = input;
      return;
    case BindingKind::kBlob:
      return BlobFromBinding(result, native, input, name);
    case BindingKind::kVector:
      return VectorFromBinding(result, native, input, name, type, registry, options);
    case BindingKind::kEnum:
      return EnumFromBinding(result, native, input, name, type, registry);
    case BindingKind::kStruct:
      return RecordFromBinding(result, native, input, name, type, registry, options);
    case BindingKind::kMap:
      return MapFromBinding(result, native, input, name, type, registry, options);
    case BindingKind::kNone:
    case BindingKind::kCallback:
      break;
  }
  Fail(result, kNoConverterMessage, name, static_cast<uint32_t>(type.kind));
}

void FieldFromBinding(BindingResult& result, void* field_address, const BindingProperty& input,
                      const FieldDescriptor& field, const TypeRegistry& registry,
                      const ConversionOptions& options) {
  if (!result.ok()) return;
  if (field.converter != nullptr) {
    if (options.depth > kMaxConversionDepth) return Fail(result, kAbiTooDeepMessage, field.name);
    field.converter->FromBinding(result, field_address, input, field.name, *field.type, registry,
                                 options);
    return;
  }
  BindingToNative(result, field_address, input, field.name, *field.type, registry, options);
}

}  // namespace Voro
