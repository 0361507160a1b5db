#include "lcds/amf/amf_member.h"

#include "lcds/amf/amf3_containers.h"
#include "lcds/amf/amf3_object.h"

namespace Voro {

bool IsAmfObject(const AmfValue& value) {
  if (value.is_amf3()) {
    return value.amf3().kind() == Amf3Kind::kObject;
  }
  const Amf0Kind kind = value.amf0().kind();
  return kind == Amf0Kind::kObject || kind == Amf0Kind::kTypedObject ||
         kind == Amf0Kind::kEcmaArray;
}

AmfValue AmfMember(const AmfValue& object, std::string_view name) {
  if (object.is_amf3()) {
    if (object.amf3().kind() != Amf3Kind::kObject) {
      return {};
    }
    const Amf3Object& amf3 = object.amf3().AsObject();
    if (amf3.amf_class()) {
      const size_t index = amf3.amf_class()->FindMember(name);
      if (index != AmfClass::kNoMember) {
        return amf3.SealedValue(index);
      }
    }
    const auto& dynamic = amf3.dynamic_members();
    if (auto it = dynamic.find(name); it != dynamic.end()) {
      return it->second;
    }
    return {};
  }
  const Amf0Item& item = object.amf0();
  switch (item.kind()) {
    case Amf0Kind::kObject:
    case Amf0Kind::kTypedObject: {
      const auto& members = item.AsObject().members;
      if (auto it = members.find(name); it != members.end()) {
        return it->second;
      }
      return {};
    }
    case Amf0Kind::kEcmaArray: {
      const auto& members = item.AsEcmaArray();
      if (auto it = members.find(name); it != members.end()) {
        return it->second;
      }
      return {};
    }
    default:
      return {};
  }
}

const std::string* AmfString(const AmfValue& value) {
  if (value.is_amf3()) {
    return value.amf3().kind() == Amf3Kind::kString ? &value.amf3().AsString() : nullptr;
  }
  const Amf0Kind kind = value.amf0().kind();
  return kind == Amf0Kind::kString || kind == Amf0Kind::kLongString ? &value.amf0().AsString()
                                                                    : nullptr;
}

bool IsAmfNullish(const AmfValue& value) {
  if (value.is_amf3()) {
    return value.amf3().is_undefined() || value.amf3().is_null();
  }
  const Amf0Kind kind = value.amf0().kind();
  return kind == Amf0Kind::kNull || kind == Amf0Kind::kUndefined;
}

}  // namespace Voro
