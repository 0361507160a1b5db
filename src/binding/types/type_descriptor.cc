#include "binding/types/type_descriptor.h"

#include <algorithm>
#include <numeric>

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

void RecordDescriptor::SortOutputOrder() {
  std::vector<uint32_t> order(fields.size());
  std::iota(order.begin(), order.end(), 0u);
  auto name = [this](uint32_t i) { return std::string_view(fields[i].name); };
  std::stable_sort(order.begin(), order.end(),
                   [&](uint32_t a, uint32_t b) { return BindingKeyLess::Less(name(a), name(b)); });
  output_rank.assign(fields.size(), 0);
  repeated_names = false;
  for (size_t i = 0; i < order.size(); ++i) {
    output_rank[order[i]] = static_cast<uint32_t>(i);
    if (i > 0 && name(order[i - 1]) == name(order[i])) repeated_names = true;
  }
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
