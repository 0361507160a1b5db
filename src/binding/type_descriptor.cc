#include "binding/type_descriptor.h"

namespace Voro {

std::string TypeDescriptor::QualifiedNameSpace() const {
  std::string text;
  for (const std::string& part : name_space) {
    if (!text.empty()) text += "::";
    text += part;
  }
  return text;
}

const FieldDescriptor* RecordDescriptor::FindField(std::string_view field_name) const {
  for (const FieldDescriptor& field : fields) {
    if (field.name == field_name) return &field;
  }
  return nullptr;
}

const EnumValueDescriptor* EnumDescriptor::FindByNumber(int64_t number) const {
  for (const auto& [key, value] : values) {
    if (value.value == number) return &value;
  }
  return nullptr;
}

const EnumValueDescriptor* EnumDescriptor::FindByName(std::string_view value_name) const {
  auto it = values.find(value_name);
  return it == values.end() ? nullptr : &it->second;
}

}  // namespace Voro
