// Descriptions of registered native types: records with their fields, enumerations with
// their values, and events. Descriptors are built by the builders (record_builder.h) and are
// immutable once the registry holds them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "binding/types/native_kind.h"
#include "binding/value/binding_kind.h"
#include "binding/value/binding_property.h"
#include "binding/value/binding_result.h"

namespace Voro {

class TypeRegistry;

// Field flags.
inline constexpr uint32_t kFieldOmitDefault = 1u << 0;  // left out of output when default
inline constexpr uint32_t kFieldRequired = 1u << 1;     // must be present on input

struct ConversionOptions {
  // The value is a top-level argument: an "empty" record or object input is refused.
  bool top_level = false;
  // Nested values above this one; conversion refuses to go deeper than kMaxConversionDepth.
  uint32_t depth = 0;
};

// Converts a field that the kinds alone cannot describe (optional values, callbacks).
// Implementations are stateless or immutable and outlive every registry that uses them.
class FieldConverter {
 public:
  virtual ~FieldConverter() = default;
  // Fills *native from `input`; on failure calls result.MakeError. Does nothing when
  // !result.ok(). `type` is the field's kind data.
  virtual void FromBinding(BindingResult& result, void* native, const BindingProperty& input,
                           std::string_view name, const KindData& type,
                           const TypeRegistry& registry,
                           const ConversionOptions& options) const = 0;
  // Writes the binding form of *native into *out (an "empty" node); on failure calls
  // result.MakeError.
  virtual void ToBinding(BindingResult& result, BindingProperty* out, const void* native,
                         const KindData& type, const TypeRegistry& registry) const = 0;
  // For writers that skip value trees (native_to_abi.h): true when the field's binding form
  // is that of a value of the field's kind held in *native, whose address goes to *held
  // (null when there is none: the field is then "empty"). False: only ToBinding knows.
  [[nodiscard]] virtual bool HeldValue(const void* /*native*/, const void** /*held*/) const {
    return false;
  }
};

struct FieldDescriptor {
  std::string name;
  uint32_t name_hash = 0;  // Fnv1a(name)
  std::string description;
  size_t offset = 0;                          // inside the native record
  const KindData* type = nullptr;             // never null; static
  uint32_t flags = 0;                         // kFieldOmitDefault | kFieldRequired
  const FieldConverter* converter = nullptr;  // when set, converts the field

  BindingKind kind() const { return type->kind; }
  bool omit_default() const { return (flags & kFieldOmitDefault) != 0; }
  bool required() const { return (flags & kFieldRequired) != 0; }
};

// What records and enumerations share.
struct TypeDescriptor {
  BindingKind kind = BindingKind::kNone;  // kStruct or kEnum
  uint32_t type_hash = 0;
  std::string name;
  std::vector<std::string> name_space;  // e.g. {"$builtin", "async"}
  std::string description;
  std::vector<std::string> tags;
  uint32_t size = 0;  // sizeof the native type

  virtual ~TypeDescriptor() = default;
  // The namespace path joined with "::" (e.g. "Voro::Client::Api").
  std::string QualifiedNameSpace() const;
};

struct RecordDescriptor : TypeDescriptor {
  std::vector<FieldDescriptor> fields;  // in registration order, the order of conversion
  // Set by SortOutputOrder (the registry calls it on insertion): the place of each field
  // of `fields` among them ordered by name byte-wise (the order of a structure's keys), and
  // whether two fields share a name.
  std::vector<uint32_t> output_rank;
  bool repeated_names = false;

  void SortOutputOrder();

  // The field named `name`, or null.
  const FieldDescriptor* FindField(std::string_view name) const;
};

struct EnumValueDescriptor {
  int32_t value = 0;
  std::string name;
  std::string description;
};

struct EnumDescriptor : TypeDescriptor {
  // Keyed and ordered by value name (byte-wise).
  std::map<std::string, EnumValueDescriptor, std::less<>> values;

  // The first value (in name order) with this number, or null.
  const EnumValueDescriptor* FindByNumber(int64_t number) const;
  // The value with exactly this name, or null.
  const EnumValueDescriptor* FindByName(std::string_view name) const;
};

struct EventDescriptor {
  std::string name;
  std::vector<std::string> name_space;
  uint32_t payload_type_hash = 0;  // a registered record
  std::string description;
  std::vector<std::string> tags;
};

}  // namespace Voro
