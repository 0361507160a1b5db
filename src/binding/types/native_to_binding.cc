// Native values to binding trees.
#include <cstring>

#include "binding/types/native_conversion.h"
#include "diag/format_positional.h"

namespace Voro {

int32_t ReadEnumNumber(const void* native, uint32_t size) {
  switch (size) {
    case 1: {
      int8_t v;
      std::memcpy(&v, native, 1);
      return v;
    }
    case 2: {
      int16_t v;
      std::memcpy(&v, native, 2);
      return v;
    }
    case 8: {
      int64_t v;
      std::memcpy(&v, native, 8);
      return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(v)));
    }
    default: {
      int32_t v;
      std::memcpy(&v, native, 4);
      return v;
    }
  }
}

namespace {

template <typename T>
const T& As(const void* native) {
  return *static_cast<const T*>(native);
}

struct MapVisit {
  BindingResult* result;
  BindingProperty* out;
  const KindData* element;
  const TypeRegistry* registry;
};

bool VisitMapEntry(void* context, std::string_view key, const void* value) {
  auto* visit = static_cast<MapVisit*>(context);
  NativeToBinding(*visit->result, &visit->out->MutableField(key), value, *visit->element,
                  *visit->registry);
  return visit->result->ok();
}

void RecordToBinding(BindingResult& result, BindingProperty* out, const void* native,
                     const KindData& type, const TypeRegistry& registry) {
  const RecordDescriptor* record = registry.FindRecord(type.type_hash);
  if (record == nullptr) {
    result.MakeError(kUnregisteredNativeStructureMessage);
    return;
  }
  out->MakeStructure();
  for (const FieldDescriptor& field : record->fields) {
    const void* address = static_cast<const char*>(native) + field.offset;
    if (field.omit_default()) {
      // Converted aside first: a structure cannot drop a field once it is made.
      BindingProperty value;
      FieldToBinding(result, &value, address, field, registry);
      if (!result.ok()) return;
      if (!IsDefaultBindingValue(value)) out->MutableField(field.name) = std::move(value);
    } else {
      FieldToBinding(result, &out->MutableField(field.name), address, field, registry);
      if (!result.ok()) return;
    }
  }
}

}  // namespace

bool IsDefaultBindingValue(const BindingProperty& value) {
  switch (value.type()) {
    case BindingType::kEmpty:
      return true;
    case BindingType::kBool:
      return !value.GetBool();
    case BindingType::kSigned:
      return value.GetSigned() == 0;
    case BindingType::kUnsigned:
      return value.GetUnsigned() == 0;
    case BindingType::kFloat:
      return value.GetFloat() == 0.0;  // NaN compares unequal
    case BindingType::kString:
    case BindingType::kBlob:
    case BindingType::kCollection:
    case BindingType::kStructure:
      return value.size() == 0;
    case BindingType::kEnum:
      return value.GetEnum().value == 0;
  }
  return false;
}

void NativeToBinding(BindingResult& result, BindingProperty* out, const void* native,
                     const KindData& type, const TypeRegistry& registry) {
  if (!result.ok()) return;
  switch (type.kind) {
    case BindingKind::kBool:
      out->SetBool(As<bool>(native));
      return;
    case BindingKind::kInt8:
      out->SetSigned(As<int8_t>(native));
      return;
    case BindingKind::kUint8:
      out->SetUnsigned(As<uint8_t>(native));
      return;
    case BindingKind::kInt16:
      out->SetSigned(As<int16_t>(native));
      return;
    case BindingKind::kUint16:
      out->SetUnsigned(As<uint16_t>(native));
      return;
    case BindingKind::kInt32:
      out->SetSigned(As<int32_t>(native));
      return;
    case BindingKind::kUint32:
      out->SetUnsigned(As<uint32_t>(native));
      return;
    case BindingKind::kInt64:
      out->SetSigned(As<int64_t>(native));
      return;
    case BindingKind::kUint64:
      out->SetUnsigned(As<uint64_t>(native));
      return;
    case BindingKind::kFloat:
      out->SetFloat(As<float>(native));
      return;
    case BindingKind::kDouble:
      out->SetFloat(As<double>(native));
      return;
    case BindingKind::kString:
      out->SetString(As<std::string>(native));
      return;
    case BindingKind::kObject:
      *out = As<BindingProperty>(native);
      return;
    case BindingKind::kBlob:
      out->SetBlob(As<std::vector<uint8_t>>(native));
      return;
    case BindingKind::kVector: {
      const size_t size = type.vector_ops->size(native);
      out->MakeCollection();
      out->Reserve(size);
      for (size_t i = 0; i < size; ++i) {
        NativeToBinding(result, &out->MutableElement(i), type.vector_ops->at_const(native, i),
                        *type.element, registry);
        if (!result.ok()) return;
      }
      return;
    }
    case BindingKind::kMap: {
      out->MakeStructure();
      MapVisit visit{&result, out, type.element, &registry};
      type.map_ops->for_each(native, &visit, &VisitMapEntry);
      return;
    }
    case BindingKind::kEnum:
      out->SetEnum(ReadEnumNumber(native, type.size), type.type_hash);
      return;
    case BindingKind::kStruct:
      RecordToBinding(result, out, native, type, registry);
      return;
    case BindingKind::kNone:
    case BindingKind::kCallback:
      break;
  }
  result.MakeError(
      FormatPositional(kNoConverterMessage, "<native>", static_cast<uint32_t>(type.kind)));
}

void FieldToBinding(BindingResult& result, BindingProperty* out, const void* field_address,
                    const FieldDescriptor& field, const TypeRegistry& registry) {
  if (!result.ok()) return;
  if (field.converter != nullptr) {
    field.converter->ToBinding(result, out, field_address, *field.type, registry);
    return;
  }
  const auto kind = static_cast<uint32_t>(field.kind());
  if (kind < 1 || kind > 19 || field.kind() == BindingKind::kCallback) {
    result.MakeError(FormatPositional(kNoConverterMessage, field.name, kind));
    return;
  }
  NativeToBinding(result, out, field_address, *field.type, registry);
}

}  // namespace Voro
