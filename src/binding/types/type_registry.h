// The registry of native types: type hash -> record or enumeration descriptor, plus the
// events the API declares. One per plugin instance.
//
// Registration happens while the plugin builds its API; builders (record_builder.h) hand a
// finished descriptor over in one step, so a descriptor that can be found is complete and
// never changes. Descriptors are never removed: pointers returned by the lookups stay
// valid for the registry's life.
//
// Threads: every lookup and insertion takes the registry's mutex; any thread may call.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "binding/types/type_descriptor.h"
#include "binding/value/binding_abi.h"
#include "diag/mutex.h"

namespace Voro {

template <typename T>
class RecordBuilder;
template <typename T>
class EnumBuilder;

class TypeRegistry : public EnumNameResolver {
 public:
  TypeRegistry() = default;
  TypeRegistry(const TypeRegistry&) = delete;
  TypeRegistry& operator=(const TypeRegistry&) = delete;

  // Starts the description of record type T; it is registered when the builder is
  // committed or destroyed. Defined in record_builder.h.
  template <typename T>
  RecordBuilder<T> Record(std::vector<std::string> name_space, std::string name);
  // Starts the description of enumeration type T. Defined in record_builder.h.
  template <typename T>
  EnumBuilder<T> Enum(std::vector<std::string> name_space, std::string name);

  // Takes a complete descriptor. A second type with an already registered hash is
  // refused (logged) and false is returned; the first stays.
  // REQUIRES: descriptor->kind is kStruct or kEnum.
  [[nodiscard]] bool Insert(std::unique_ptr<TypeDescriptor> descriptor) EXCLUDES(mutex_);
  void AddEvent(EventDescriptor event) EXCLUDES(mutex_);

  // Null when nothing (or something of the other kind) is registered under the hash.
  const TypeDescriptor* Find(uint32_t type_hash) const EXCLUDES(mutex_);
  const RecordDescriptor* FindRecord(uint32_t type_hash) const EXCLUDES(mutex_);
  const EnumDescriptor* FindEnum(uint32_t type_hash) const EXCLUDES(mutex_);
  // The name of `value` in the enumeration registered under `type_hash`.
  [[nodiscard]] bool FindEnumValueName(uint32_t type_hash, int32_t value,
                                       std::string* name) const override EXCLUDES(mutex_);

  // Registered types in registration order, and the events in declaration order.
  std::vector<const TypeDescriptor*> Types() const EXCLUDES(mutex_);
  std::vector<EventDescriptor> Events() const EXCLUDES(mutex_);

 private:
  mutable SharedMutex mutex_;
  std::unordered_map<uint32_t, std::unique_ptr<TypeDescriptor>> types_ GUARDED_BY(mutex_);
  std::vector<const TypeDescriptor*> order_ GUARDED_BY(mutex_);
  std::vector<EventDescriptor> events_ GUARDED_BY(mutex_);
};

}  // namespace Voro
