#include "lcds/amf/amf_class.h"

#include <utility>

#include "diag/no_destructor.h"

namespace Voro {

namespace {

AmfTypeHintRef MakePlainHint(AmfTypeHint::Code code) {
  return std::make_shared<const AmfTypeHint>(code, nullptr, nullptr);
}

}  // namespace

// The plain hints live for the whole process: classes in the registry refer to them.
const AmfTypeHintRef& AmfTypeHint::Any() {
  static NoDestructor<AmfTypeHintRef> hint(MakePlainHint(Code::kAny));
  return *hint;
}

const AmfTypeHintRef& AmfTypeHint::String() {
  static NoDestructor<AmfTypeHintRef> hint(MakePlainHint(Code::kString));
  return *hint;
}

const AmfTypeHintRef& AmfTypeHint::Number() {
  static NoDestructor<AmfTypeHintRef> hint(MakePlainHint(Code::kNumber));
  return *hint;
}

const AmfTypeHintRef& AmfTypeHint::Headers() {
  static NoDestructor<AmfTypeHintRef> hint(MakePlainHint(Code::kHeaders));
  return *hint;
}

const AmfTypeHintRef& AmfTypeHint::Integer() {
  static NoDestructor<AmfTypeHintRef> hint(MakePlainHint(Code::kInteger));
  return *hint;
}

AmfTypeHintRef AmfTypeHint::ForClass(std::shared_ptr<AmfClass> amf_class) {
  return std::make_shared<const AmfTypeHint>(Code::kClass, std::move(amf_class), nullptr);
}

AmfTypeHintRef AmfTypeHint::ArrayOf(AmfTypeHintRef element) {
  return std::make_shared<const AmfTypeHint>(Code::kArray, nullptr, std::move(element));
}

size_t FindMemberIn(const AmfMemberList& members, std::string_view name) {
  for (size_t i = 0; i < members.size(); ++i) {
    if (members[i].name == name) return i;
  }
  return AmfClass::kNoMember;
}

AmfClass::AmfClass(std::string name, bool externalizable, bool dynamic, AmfMemberList members)
    : name_(std::move(name)),
      externalizable_(externalizable),
      dynamic_(dynamic),
      members_(std::make_shared<const AmfMemberList>(std::move(members))) {}

AmfMemberListRef AmfClass::Members() const {
  MutexLock lock(&mutex_);
  return members_;
}

size_t AmfClass::MemberCount() const {
  MutexLock lock(&mutex_);
  return members_->size();
}

size_t AmfClass::FindMember(std::string_view name) const { return FindMemberIn(*Members(), name); }

void AmfClass::AddMember(std::string name, AmfTypeHintRef hint) {
  MutexLock lock(&mutex_);
  auto grown = std::make_shared<AmfMemberList>(*members_);
  grown->push_back({std::move(name), std::move(hint)});
  members_ = std::move(grown);
}

size_t AmfClass::EnsureMember(std::string_view name, const AmfTypeHintRef& hint, bool* added) {
  MutexLock lock(&mutex_);
  const size_t found = FindMemberIn(*members_, name);
  *added = found == kNoMember;
  if (!*added) return found;
  auto grown = std::make_shared<AmfMemberList>(*members_);
  grown->push_back({std::string(name), hint});
  members_ = std::move(grown);
  return members_->size() - 1;
}

}  // namespace Voro
