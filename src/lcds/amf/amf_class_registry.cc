#include "lcds/amf/amf_class_registry.h"

#include <utility>

#include "diag/no_destructor.h"

namespace Voro {

AmfClassRegistry& AmfClassRegistry::Global() {
  static NoDestructor<AmfClassRegistry> registry;
  return *registry;
}

std::shared_ptr<AmfClass> AmfClassRegistry::Create(std::string name, bool externalizable,
                                                   bool dynamic, AmfMemberList members) {
  auto amf_class =
      std::make_shared<AmfClass>(std::move(name), externalizable, dynamic, std::move(members));
  if (amf_class->name().empty()) return amf_class;
  WriterLock lock(&mutex_);
  classes_.push_back(amf_class);
  by_name_.emplace(amf_class->name(), amf_class);  // keeps the first of a name
  return amf_class;
}

std::shared_ptr<AmfClass> AmfClassRegistry::Find(std::string_view name) const {
  if (name.empty()) return nullptr;
  ReaderLock lock(&mutex_);
  const auto it = by_name_.find(name);
  return it == by_name_.end() ? nullptr : it->second;
}

std::shared_ptr<AmfClass> AmfClassRegistry::FindOrCreate(
    std::string_view name, bool externalizable, bool dynamic,
    const std::function<AmfMemberList()>& make_members, bool* created) {
  *created = false;
  if (auto found = Find(name)) return found;
  WriterLock lock(&mutex_);
  const auto it = by_name_.find(name);
  if (it != by_name_.end()) return it->second;
  auto amf_class = std::make_shared<AmfClass>(std::string(name), externalizable, dynamic,
                                              make_members ? make_members() : AmfMemberList());
  classes_.push_back(amf_class);
  by_name_.emplace(amf_class->name(), amf_class);
  *created = true;
  return amf_class;
}

size_t AmfClassRegistry::size() const {
  ReaderLock lock(&mutex_);
  return classes_.size();
}

void AmfClassRegistry::Clear() {
  std::vector<std::shared_ptr<AmfClass>> classes;
  std::map<std::string, std::shared_ptr<AmfClass>, std::less<>> by_name;
  {
    WriterLock lock(&mutex_);
    classes.swap(classes_);
    by_name.swap(by_name_);
  }
  // Freed here, outside the lock.
}

}  // namespace Voro
