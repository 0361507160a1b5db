// Conversion between native values and BindingProperty trees, driven by kind data
// (native_kind.h) and the record and enumeration descriptors of a TypeRegistry.
//
// Native to binding: bool -> "bool"; signed integers -> "signed"; unsigned -> "unsigned";
// float, double -> "float"; string -> "string"; object -> a deep copy; blob -> "blob";
// vector -> "collection"; map -> "structure"; enum -> "enum" (number and type hash);
// record -> "structure" field by field, leaving out default values of fields flagged
// kFieldOmitDefault.
//
// Binding to native: the rules and messages below, per target kind. Nothing is converted
// once the result has failed; the first failure wins and the native value keeps what was
// assigned before it. `name` is the text the messages show as '%1'.
//
// Choices the rules leave open: a map target is cleared first, and each input field is
// converted with the value kind's rules (an "empty" value included); an enumeration that is
// not registered has no valid values; a "callback" field needs a converter object
// (kNoConverterMessage otherwise).
//
// Limits: input trees are untrusted. Conversion follows the native type's structure, and a
// native type that contains itself (through a vector or map) stops at kMaxConversionDepth
// nested values with kAbiTooDeepMessage. Objects are copied without recursion. Native
// values are the program's own: their nesting is not limited.
//
// Threads: conversions use only the values given; registry lookups lock the registry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "binding/value/binding_property.h"
#include "binding/value/binding_result.h"
#include "binding/types/native_kind.h"
#include "binding/types/type_descriptor.h"
#include "binding/types/type_registry.h"

namespace Voro {

inline constexpr size_t kMaxConversionDepth = 1000;

inline constexpr std::string_view kValueRequiredMessage = "A value for '%1' is required.";
inline constexpr std::string_view kBoolFormatMessage =
    "Value %1 for '%2' of type bool is in an incorrect format. Options are \"true\", "
    "\"false\", \"1\", \"0\".";
inline constexpr std::string_view kBoolInvalidTypeMessage =
    "Couldn't assign value to '%1' of type bool because the input is of an invalid type %2.";
inline constexpr std::string_view kNumberOutOfRangeMessage =
    "Value %1 for '%2' of type %3 is out of range";
inline constexpr std::string_view kNumberFormatMessage =
    "Value %1 for '%2' of type %3 is in an incorrect format";
inline constexpr std::string_view kNumberInvalidTypeMessage =
    "Couldn't assign value to '%1' of type %2 because the input is of an invalid type %3.";
inline constexpr std::string_view kNotAStringMessage =
    "Couldn't assign value to '%1' because the input is not a string.";
inline constexpr std::string_view kUnknownEnumValueNameMessage =
    "%1 is not a valid enumeration value for '%2'.";
inline constexpr std::string_view kInvalidBase64Message =
    "Couldn't assign string value to '%1' of type blob because the input has invalid base64 "
    "characters.";
inline constexpr std::string_view kNotABlobMessage =
    "Couldn't assign value to '%1' of type blob because the input is not a blob.";
inline constexpr std::string_view kInvalidEnumValueMessage =
    "%1 is not a valid %2 enumeration value for '%3'.";
inline constexpr std::string_view kEnumInvalidTypeMessage =
    "Couldn't assign value to '%1' of enum type because the input is of an invalid type %2.";
inline constexpr std::string_view kUnregisteredStructureInputMessage =
    "Couldn't assign value to '%1' because the input is an unregistered structure or not a "
    "structure at all.";
inline constexpr std::string_view kRecordNotAStructureMessage =
    "Couldn't assign value to '%1' of type %2 because the input not a structure.";
inline constexpr std::string_view kRequiredFieldMissingMessage =
    "Couldn't assign value to '%1' of type %2 because the input structure doesn't have "
    "required field '%3'.";
inline constexpr std::string_view kVectorNotACollectionMessage =
    "Couldn't assign value to '%1' of type vector because the input not a collection.";
inline constexpr std::string_view kMapNotAStructureMessage =
    "Couldn't assign value to '%1' of type map because the input not a structure.";
inline constexpr std::string_view kUnregisteredNativeStructureMessage =
    "Couldn't convert native value because it's an unregistered structure.";
// A field of kind "callback" (or an unknown kind) that has no converter object.
inline constexpr std::string_view kNoConverterMessage =
    "Couldn't convert '%1' because its kind %2 has no converter.";

// Whether the output of a kFieldOmitDefault field is left out: "empty", false, integer 0,
// float 0.0 (not NaN), an empty string, blob, collection or structure, an enum value 0.
bool IsDefaultBindingValue(const BindingProperty& value);

// The number of a native enumeration of `size` bytes, sign-extended; an 8-byte one gives
// its low 32 bits.
int32_t ReadEnumNumber(const void* native, uint32_t size);

// Writes the binding form of the native value at `native` (of kind `type`) into *out.
// REQUIRES: *out is "empty" and outside result.value()'s tree. Does nothing when
// !result.ok().
void NativeToBinding(BindingResult& result, BindingProperty* out, const void* native,
                     const KindData& type, const TypeRegistry& registry);
// The same for one record field, through its converter when it has one.
void FieldToBinding(BindingResult& result, BindingProperty* out, const void* field_address,
                    const FieldDescriptor& field, const TypeRegistry& registry);

// Fills the native value at `native` from `input`. Does nothing when !result.ok().
// REQUIRES: native points to a live object of the type `type` describes.
void BindingToNative(BindingResult& result, void* native, const BindingProperty& input,
                     std::string_view name, const KindData& type, const TypeRegistry& registry,
                     const ConversionOptions& options);
// The same for one record field, through its converter when it has one.
void FieldFromBinding(BindingResult& result, void* field_address, const BindingProperty& input,
                      const FieldDescriptor& field, const TypeRegistry& registry,
                      const ConversionOptions& options);

// The binding form of `value`.
template <typename T>
BindingResult ToBinding(const T& value, const TypeRegistry& registry) {
  BindingResult result;
  BindingProperty out;
  NativeToBinding(result, &out, &value, KindDataOf<T>(), registry);
  if (result.ok()) result.value() = std::move(out);
  return result;
}

// Fills *out from `input` (a top-level argument unless options say otherwise).
template <typename T>
BindingResult FromBinding(const BindingProperty& input, std::string_view name, T* out,
                          const TypeRegistry& registry,
                          const ConversionOptions& options = {.top_level = true}) {
  BindingResult result;
  BindingToNative(result, out, input, name, KindDataOf<T>(), registry, options);
  return result;
}

}  // namespace Voro
