#include "lcds/amf/amf3_object.h"

#include <utility>

#include "diag/log.h"

namespace Voro {

namespace {

constexpr char kSetUnknownMember[] =
    "Failed to set AMF3 Object member. '%s' is not a valid member name for the AMF3 class "
    "'%s'.";
constexpr char kSetUndefined[] =
    "Failed to set AMF3 Object member. The member '%s' of the AMF3 class '%s' already has a "
    "defined type. It cannot be undefined.";
constexpr char kSetTypeMismatch[] =
    "Failed to set AMF3 Object member. Type mismatch for member '%s' of the AMF3 class '%s'.";
constexpr char kGetUnknownMember[] =
    "Failed to get AMF3 Object member. '%s' is not a valid member name for the AMF3 class "
    "'%s'.";

// The texts go through %s: make them terminated.
void LogMember(const char* format, std::string_view member, std::string_view class_name) {
  const std::string member_text(member);
  const std::string class_text(class_name);
  Log(kLevelError, Tag::DBG, format, member_text.c_str(), class_text.c_str());
}

}  // namespace

Amf3Object::Amf3Object(std::shared_ptr<AmfClass> amf_class) : class_(std::move(amf_class)) {
  if (class_) sealed_.resize(class_->MemberCount());
}

std::string_view Amf3Object::class_name() const {
  return class_ ? std::string_view(class_->name()) : std::string_view();
}

void Amf3Object::SetMember(std::string_view name, const Amf3Item& value) {
  const size_t index = class_ ? class_->FindMember(name) : AmfClass::kNoMember;
  if (index == AmfClass::kNoMember) {
    LogMember(kSetUnknownMember, name, class_name());
    return;
  }
  SetSealedValue(index, name, value);
}

void Amf3Object::SetSealedValue(size_t index, std::string_view name, const Amf3Item& value) {
  // The class may have grown since this object was made.
  if (index >= sealed_.size()) sealed_.resize(index + 1);
  Amf3Item& current = sealed_[index];
  if (current.is_undefined()) {
    current = value;
    return;
  }
  switch (value.kind()) {
    case Amf3Kind::kUndefined:
      LogMember(kSetUndefined, name, class_name());
      return;
    case Amf3Kind::kNull:
      current = value;
      return;
    case Amf3Kind::kFalse:
    case Amf3Kind::kTrue:
      LogMember(kSetTypeMismatch, name, class_name());
      return;
    default:
      if (value.kind() != current.kind()) {
        LogMember(kSetTypeMismatch, name, class_name());
        return;
      }
      current = value;
      return;
  }
}

const Amf3Item& Amf3Object::GetMember(std::string_view name) const {
  const size_t index = class_ ? class_->FindMember(name) : AmfClass::kNoMember;
  if (index != AmfClass::kNoMember) return SealedValue(index);
  if (class_ && class_->dynamic()) {
    const auto it = dynamic_.find(name);
    if (it != dynamic_.end()) return it->second;
  }
  LogMember(kGetUnknownMember, name, class_name());
  return Amf3Item::UndefinedItem();
}

const Amf3Item& Amf3Object::SealedValue(size_t index) const {
  return index < sealed_.size() ? sealed_[index] : Amf3Item::UndefinedItem();
}

void Amf3Object::SetDynamicMember(std::string_view name, Amf3Item value) {
  const auto it = dynamic_.find(name);
  if (it != dynamic_.end()) {
    it->second = std::move(value);
  } else {
    dynamic_.emplace(std::string(name), std::move(value));
  }
}

}  // namespace Voro
