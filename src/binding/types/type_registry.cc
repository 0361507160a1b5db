#include "binding/types/type_registry.h"

#include <utility>

#include "diag/log.h"

namespace Voro {

bool TypeRegistry::Insert(std::unique_ptr<TypeDescriptor> descriptor) {
  if (descriptor->kind == BindingKind::kStruct) {
    static_cast<RecordDescriptor*>(descriptor.get())->SortOutputOrder();
  }
  WriterLock lock(&mutex_);
  const uint32_t hash = descriptor->type_hash;
  auto [it, inserted] = types_.try_emplace(hash, nullptr);
  if (!inserted) {
    Log(kLevelWarn, Tag::DBG, "Type %s is already registered as %s; ignoring it",
        descriptor->name.c_str(), it->second->name.c_str());
    return false;
  }
  it->second = std::move(descriptor);
  order_.push_back(it->second.get());
  return true;
}

void TypeRegistry::AddEvent(EventDescriptor event) {
  WriterLock lock(&mutex_);
  events_.push_back(std::move(event));
}

const TypeDescriptor* TypeRegistry::Find(uint32_t type_hash) const {
  ReaderLock lock(&mutex_);
  auto it = types_.find(type_hash);
  return it == types_.end() ? nullptr : it->second.get();
}

const RecordDescriptor* TypeRegistry::FindRecord(uint32_t type_hash) const {
  const TypeDescriptor* type = Find(type_hash);
  return type != nullptr && type->kind == BindingKind::kStruct
             ? static_cast<const RecordDescriptor*>(type)
             : nullptr;
}

const EnumDescriptor* TypeRegistry::FindEnum(uint32_t type_hash) const {
  const TypeDescriptor* type = Find(type_hash);
  return type != nullptr && type->kind == BindingKind::kEnum
             ? static_cast<const EnumDescriptor*>(type)
             : nullptr;
}

bool TypeRegistry::FindEnumValueName(uint32_t type_hash, int32_t value, std::string* name) const {
  const EnumDescriptor* type = FindEnum(type_hash);
  if (type == nullptr) return false;
  const EnumValueDescriptor* entry = type->FindByNumber(value);
  if (entry == nullptr) return false;
  *name = entry->name;
  return true;
}

std::vector<const TypeDescriptor*> TypeRegistry::Types() const {
  ReaderLock lock(&mutex_);
  return order_;
}

std::vector<EventDescriptor> TypeRegistry::Events() const {
  ReaderLock lock(&mutex_);
  return events_;
}

}  // namespace Voro
