#include "binding/router/api_table.h"

#include <algorithm>

#include "binding/value/binding_kind.h"
#include "binding/types/builtin_types.h"

namespace Voro {
namespace {

// Links each record to the next one of its array.
template <typename Record>
void Link(std::vector<Record>& records) {
  for (size_t i = 0; i + 1 < records.size(); ++i) records[i].next = &records[i + 1];
}

template <typename Record>
const Record* FirstOrNull(const std::vector<Record>& records) {
  return records.empty() ? nullptr : records.data();
}

uint32_t KindCode(const KindData* type) {
  return type != nullptr ? static_cast<uint32_t>(type->kind) : 0;
}

uint32_t ElementKindCode(const KindData* type) {
  if (type == nullptr || type->element == nullptr) return 0;
  return static_cast<uint32_t>(type->element->kind);
}

// Records and enumerations by their registered name; vectors and maps by their element's
// registered name, or by the element's kind name when it is not a registered type.
std::string TypeName(const KindData* type, const TypeRegistry& registry) {
  if (type == nullptr) return {};
  const KindData* named = type;
  if (type->kind == BindingKind::kVector || type->kind == BindingKind::kMap) {
    if (type->element == nullptr) return {};
    named = type->element;
    if (named->kind != BindingKind::kStruct && named->kind != BindingKind::kEnum) {
      return std::string(BindingKindName(named->kind));
    }
  }
  if (named->kind != BindingKind::kStruct && named->kind != BindingKind::kEnum) return {};
  const TypeDescriptor* descriptor = registry.Find(named->type_hash);
  return descriptor != nullptr ? descriptor->name : std::string();
}

std::vector<std::string> WithModuleTags(const std::vector<std::string>& tags,
                                        const std::vector<std::string>& module_tags) {
  if (std::find(tags.begin(), tags.end(), kBuiltinTag) != tags.end()) return tags;
  std::vector<std::string> all = tags;
  for (const std::string& tag : module_tags) {
    if (std::find(all.begin(), all.end(), tag) == all.end()) all.push_back(tag);
  }
  return all;
}

std::string JoinNameSpace(const std::vector<std::string>& name_space) {
  std::string joined;
  for (const std::string& part : name_space) {
    if (!joined.empty()) joined += "::";
    joined += part;
  }
  return joined;
}

}  // namespace

std::unique_ptr<ApiTableStorage> ApiTableStorage::Build(
    const TypeRegistry& registry, const EndpointRouter& router,
    const std::vector<std::string>& module_tags) {
  std::unique_ptr<ApiTableStorage> storage(new ApiTableStorage());
  storage->BuildEndpoints(registry, router);
  storage->BuildTypes(registry, module_tags);
  storage->BuildEvents(registry, module_tags);
  ApiTable& table = storage->table_;
  table.endpoints = FirstOrNull(storage->endpoints_);
  table.endpoint_count = static_cast<uint32_t>(storage->endpoints_.size());
  table.types = FirstOrNull(storage->types_);
  table.type_count = static_cast<uint32_t>(storage->types_.size());
  table.events = FirstOrNull(storage->events_);
  table.event_count = static_cast<uint32_t>(storage->events_.size());
  return storage;
}

const char* ApiTableStorage::Text(std::string_view text) {
  return texts_.emplace_back(text).c_str();
}

const char* const* ApiTableStorage::TextArray(const std::vector<std::string>& texts) {
  if (texts.empty()) return nullptr;
  std::vector<const char*>& array = text_arrays_.emplace_back();
  array.reserve(texts.size());
  for (const std::string& text : texts) array.push_back(Text(text));
  return array.data();
}

void ApiTableStorage::BuildEndpoints(const TypeRegistry& registry, const EndpointRouter& router) {
  const auto& functions = router.functions();
  endpoints_.assign(functions.size(), ApiEndpointRecord{});
  for (size_t i = 0; i < functions.size(); ++i) {
    const FunctionDescriptor& function = *functions[i];
    ApiEndpointRecord& record = endpoints_[i];
    record.context = &function.context;
    record.name = Text(function.name);
    record.name_space = Text(function.name_space);

    std::vector<ApiParameterRecord>& parameters = parameters_.emplace_back();
    std::vector<ApiParameterLocation>& locations = locations_.emplace_back();
    parameters.assign(function.parameters.size(), ApiParameterRecord{});
    locations.assign(function.parameters.size(), ApiParameterLocation{});
    for (size_t p = 0; p < function.parameters.size(); ++p) {
      const ParameterDescriptor& parameter = function.parameters[p];
      parameters[p].name = Text(parameter.name);
      parameters[p].description = Text(parameter.description);
      parameters[p].kind = KindCode(parameter.type);
      parameters[p].element_kind = ElementKindCode(parameter.type);
      parameters[p].type_name = Text(TypeName(parameter.type, registry));
      parameters[p].optional = parameter.optional ? 1 : 0;
      auto code = static_cast<uint32_t>(parameter.location);
      locations[p].location = code >= 1 && code <= 5 ? code : 0;
    }
    Link(parameters);
    Link(locations);
    record.parameters = FirstOrNull(parameters);
    record.parameter_count = static_cast<uint32_t>(parameters.size());
    record.locations = FirstOrNull(locations);

    record.return_kind = KindCode(function.result_type);
    record.return_element_kind = ElementKindCode(function.result_type);
    record.return_type_name = Text(TypeName(function.result_type, registry));
    record.description = Text(function.description);
    record.help = Text(function.help);
    record.thread_safe = 0;
    record.async_type_name = Text("");
    record.tags = TextArray(function.tags);
    record.tag_count = static_cast<uint32_t>(function.tags.size());
    record.callback = &EndpointRouter::RequestCallback;
    record.path = Text(function.path);
    record.method = function.method >= 1 && function.method <= 8 ? function.method : 0;
    record.extra = function.invoker != nullptr ? function.invoker->RequestType() : 0;

    std::vector<ApiTextList>& lists = text_lists_.emplace_back();
    const std::vector<std::string>& variables = function.matcher->variables();
    if (!variables.empty()) {
      lists.push_back(
          ApiTextList{nullptr, TextArray(variables), static_cast<uint32_t>(variables.size())});
    }
    Link(lists);
    record.text_lists = FirstOrNull(lists);
    record.text_list_count = static_cast<uint32_t>(lists.size());
    record.method_text = Text(function.method_text);
  }
  Link(endpoints_);
}

void ApiTableStorage::BuildTypes(const TypeRegistry& registry,
                                 const std::vector<std::string>& module_tags) {
  std::vector<const TypeDescriptor*> types = registry.Types();
  types_.assign(types.size(), ApiTypeRecord{});
  for (size_t i = 0; i < types.size(); ++i) {
    const TypeDescriptor& type = *types[i];
    ApiTypeRecord& record = types_[i];
    record.name = Text(type.name);
    record.name_space = Text(type.QualifiedNameSpace());
    record.size = type.size;
    record.description = Text(type.description);
    std::vector<std::string> tags = WithModuleTags(type.tags, module_tags);
    record.tags = TextArray(tags);
    record.tag_count = static_cast<uint32_t>(tags.size());
    if (const auto* fields = dynamic_cast<const RecordDescriptor*>(&type)) {
      std::vector<ApiFieldRecord>& out = fields_.emplace_back();
      out.assign(fields->fields.size(), ApiFieldRecord{});
      for (size_t f = 0; f < fields->fields.size(); ++f) {
        const FieldDescriptor& field = fields->fields[f];
        out[f].name = Text(field.name);
        out[f].description = Text(field.description);
        out[f].offset = static_cast<uint32_t>(field.offset);
        out[f].kind = KindCode(field.type);
        out[f].element_kind = ElementKindCode(field.type);
        out[f].type_name = Text(TypeName(field.type, registry));
        // Optional members are the ones left out of the output when empty.
        out[f].optional = field.omit_default() ? 1 : 0;
      }
      Link(out);
      record.fields = FirstOrNull(out);
      record.member_count = static_cast<uint32_t>(out.size());
    } else if (const auto* values = dynamic_cast<const EnumDescriptor*>(&type)) {
      std::vector<ApiEnumValueRecord>& out = values_.emplace_back();
      out.reserve(values->values.size());
      for (const auto& [name, value] : values->values) {
        out.push_back(
            ApiEnumValueRecord{nullptr, Text(name), Text(value.description), value.value});
      }
      Link(out);
      record.values = FirstOrNull(out);
      record.member_count = static_cast<uint32_t>(out.size());
    }
  }
  Link(types_);
}

void ApiTableStorage::BuildEvents(const TypeRegistry& registry,
                                  const std::vector<std::string>& module_tags) {
  std::vector<EventDescriptor> events = registry.Events();
  events_.assign(events.size(), ApiEventRecord{});
  for (size_t i = 0; i < events.size(); ++i) {
    const EventDescriptor& event = events[i];
    ApiEventRecord& record = events_[i];
    record.name = Text(event.name);
    record.name_space = Text(JoinNameSpace(event.name_space));
    const TypeDescriptor* payload = registry.Find(event.payload_type_hash);
    record.payload_type_name = Text(payload != nullptr ? payload->name : std::string());
    record.description = Text(event.description);
    std::vector<std::string> tags = WithModuleTags(event.tags, module_tags);
    record.tags = TextArray(tags);
    record.tag_count = static_cast<uint32_t>(tags.size());
  }
  Link(events_);
}

}  // namespace Voro
