// AMF3 class definitions ("traits") and the type hints beside their sealed members.
//
// A definition is shared by every object of its class and lives as long as its last holder.
// Name and flags never change; sealed members are only ever appended (a class learns members
// from the wire), so readers take an immutable snapshot of the member list and keep using
// it while other threads append.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "diag/mutex.h"

namespace Voro {

class AmfClass;
class AmfTypeHint;
using AmfTypeHintRef = std::shared_ptr<const AmfTypeHint>;

// A small descriptor attached to a sealed member. Only the class hint and the array hint
// change how a BindingProperty converts; the others document the member.
class AmfTypeHint {
 public:
  enum class Code : uint8_t {
    kAny = 0,
    kString = 1,
    kNumber = 2,
    kHeaders = 3,
    kClass = 4,
    kArray = 5,
    kInteger = 6,
  };

  // Shared descriptors of the plain hints.
  static const AmfTypeHintRef& Any();
  static const AmfTypeHintRef& String();
  static const AmfTypeHintRef& Number();
  static const AmfTypeHintRef& Headers();
  static const AmfTypeHintRef& Integer();
  // A structure converted under this hint becomes an object of `amf_class`.
  static AmfTypeHintRef ForClass(std::shared_ptr<AmfClass> amf_class);
  // Each element of a collection converted under this hint uses `element` (may be null).
  static AmfTypeHintRef ArrayOf(AmfTypeHintRef element);

  AmfTypeHint(Code code, std::shared_ptr<AmfClass> amf_class, AmfTypeHintRef element)
      : code_(code), class_(std::move(amf_class)), element_(std::move(element)) {}

  Code code() const { return code_; }
  // The class of a class hint; null otherwise.
  const std::shared_ptr<AmfClass>& amf_class() const { return class_; }
  // The element descriptor of an array hint; null otherwise.
  const AmfTypeHintRef& element() const { return element_; }

 private:
  Code code_;
  std::shared_ptr<AmfClass> class_;
  AmfTypeHintRef element_;
};

struct AmfClassMember {
  std::string name;
  AmfTypeHintRef hint;
};

using AmfMemberList = std::vector<AmfClassMember>;
using AmfMemberListRef = std::shared_ptr<const AmfMemberList>;

class AmfClass {
 public:
  static constexpr size_t kNoMember = static_cast<size_t>(-1);

  // A definition that is not registered; AmfClassRegistry::Create registers named ones.
  AmfClass(std::string name, bool externalizable, bool dynamic, AmfMemberList members = {});
  AmfClass(const AmfClass&) = delete;
  AmfClass& operator=(const AmfClass&) = delete;

  // Empty for an anonymous class.
  const std::string& name() const { return name_; }
  bool externalizable() const { return externalizable_; }
  bool dynamic() const { return dynamic_; }

  // The sealed members as they are now; never null. Later appends do not change it.
  AmfMemberListRef Members() const EXCLUDES(mutex_);
  size_t MemberCount() const EXCLUDES(mutex_);
  // Index of the first sealed member named `name`, or kNoMember.
  size_t FindMember(std::string_view name) const EXCLUDES(mutex_);

  // Appends a sealed member (even one whose name is already there).
  void AddMember(std::string name, AmfTypeHintRef hint) EXCLUDES(mutex_);
  // The index of `name`, appended with `hint` first when the class lacks it. *added tells
  // whether it was appended. One step, so two threads cannot both append the same name.
  size_t EnsureMember(std::string_view name, const AmfTypeHintRef& hint, bool* added)
      EXCLUDES(mutex_);

 private:
  const std::string name_;
  const bool externalizable_;
  const bool dynamic_;
  mutable Mutex mutex_;
  AmfMemberListRef members_ GUARDED_BY(mutex_);
};

size_t FindMemberIn(const AmfMemberList& members, std::string_view name);

}  // namespace Voro
