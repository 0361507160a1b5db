#include "lcds/amf/amf_conversion.h"

#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "lcds/amf/amf3_containers.h"
#include "lcds/amf/amf3_object.h"

namespace Voro {

namespace {

constexpr int64_t kMinInteger29 = -268435456;
constexpr int64_t kMaxInteger29 = 268435455;
constexpr std::string_view kClassKey = "__class";
// A decoded graph may share one payload many times over (a DAG of references): expanding it
// into a tree could grow exponentially, so a conversion makes at most this many containers.
constexpr size_t kMaxExpandedContainers = size_t{1} << 20;

// ---------------------------------------------------------------------------------------
// BindingProperty -> Amf3Item

class ToAmf3 {
 public:
  ToAmf3(bool forbid_dynamic, AmfClassRegistry& registry)
      : forbid_dynamic_(forbid_dynamic), registry_(registry) {}

  Amf3Item Convert(const BindingProperty& value, const AmfTypeHintRef& hint, size_t depth) {
    if (depth > kMaxAmfConversionDepth) return Amf3Item();
    switch (value.type()) {
      case BindingType::kEmpty:
        return Amf3Item::Null();
      case BindingType::kBool:
        return Amf3Item::Boolean(value.GetBool());
      case BindingType::kSigned: {
        const int64_t v = value.GetSigned();
        if (v >= kMinInteger29 && v <= kMaxInteger29) {
          return Amf3Item::Integer(static_cast<int32_t>(v));
        }
        return Amf3Item::Double(static_cast<double>(v));
      }
      case BindingType::kUnsigned: {
        const uint64_t v = value.GetUnsigned();
        if (v <= static_cast<uint64_t>(kMaxInteger29)) {
          return Amf3Item::Integer(static_cast<int32_t>(v));
        }
        return Amf3Item::Double(static_cast<double>(v));
      }
      case BindingType::kFloat: {
        const double v = value.GetFloat();
        if (std::trunc(v) == v && v >= static_cast<double>(kMinInteger29) &&
            v <= static_cast<double>(kMaxInteger29)) {
          return Amf3Item::Integer(static_cast<int32_t>(v));
        }
        return Amf3Item::Double(v);
      }
      case BindingType::kString:
        return Amf3Item::String(value.GetString());
      case BindingType::kEnum:
        return Amf3Item::Integer(value.GetEnum().value);
      case BindingType::kBlob:
        return Amf3Item();
      case BindingType::kCollection: {
        const AmfTypeHintRef element =
            hint && hint->code() == AmfTypeHint::Code::kArray ? hint->element() : nullptr;
        auto array = std::make_shared<Amf3Array>();
        array->dense.reserve(value.size());
        for (const BindingProperty& e : value.Elements()) {
          array->dense.push_back(Convert(e, element, depth + 1));
        }
        return Amf3Item::Array(std::move(array));
      }
      case BindingType::kStructure:
        return ConvertStructure(value, hint, depth);
    }
    return Amf3Item();
  }

 private:
  std::shared_ptr<AmfClass> ClassFor(const BindingProperty& value, const AmfTypeHintRef& hint) {
    if (hint && hint->code() == AmfTypeHint::Code::kClass && hint->amf_class()) {
      return hint->amf_class();
    }
    const BindingProperty* name = value.FindField(kClassKey);
    if (name == nullptr || name->type() != BindingType::kString) return nullptr;
    // An empty name can never be registered: such a structure is anonymous.
    if (name->GetString().empty()) return nullptr;
    bool created = false;
    return registry_.FindOrCreate(
        name->GetString(), /*externalizable=*/false, /*dynamic=*/false,
        [&value] {
          AmfMemberList members;
          for (const auto& field : value.Fields()) {
            if (field.key != kClassKey)
              members.push_back({std::string(field.key), AmfTypeHint::Any()});
          }
          return members;
        },
        &created);
  }

  Amf3Item ConvertStructure(const BindingProperty& value, const AmfTypeHintRef& hint,
                            size_t depth) {
    std::shared_ptr<AmfClass> amf_class = ClassFor(value, hint);
    if (!amf_class) amf_class = std::make_shared<AmfClass>("", false, true);
    auto object = std::make_shared<Amf3Object>(amf_class);
    if (amf_class->externalizable()) {
      // Nothing but the body of a known class can travel with such an object.
      const std::string_view body_name = AmfExternalBodyName(amf_class->name());
      const BindingProperty* body = body_name.empty() ? nullptr : value.FindField(body_name);
      if (body != nullptr) object->set_external_body(Convert(*body, nullptr, depth + 1));
      return Amf3Item::Object(std::move(object));
    }
    const AmfMemberListRef members = amf_class->Members();
    for (const auto& field : value.Fields()) {
      if (field.key == kClassKey) continue;
      const size_t index = FindMemberIn(*members, field.key);
      if (index != AmfClass::kNoMember) {
        object->SetSealedValue(index, field.key,
                               Convert(field.value, (*members)[index].hint, depth + 1));
      } else if (!forbid_dynamic_) {
        object->SetDynamicMember(field.key, Convert(field.value, nullptr, depth + 1));
      }
    }
    return Amf3Item::Object(std::move(object));
  }

  const bool forbid_dynamic_;
  AmfClassRegistry& registry_;
};

// ---------------------------------------------------------------------------------------
// AMF -> BindingProperty

class ToBinding {
 public:
  void Convert(const Amf3Item& item, BindingProperty& out, size_t depth) {
    if (depth > kMaxAmfConversionDepth) return;
    switch (item.kind()) {
      case Amf3Kind::kFalse:
      case Amf3Kind::kTrue:
        out.SetBool(item.kind() == Amf3Kind::kTrue);
        return;
      case Amf3Kind::kInteger:
        out.SetSigned(item.AsInteger());
        return;
      case Amf3Kind::kDouble:
        out.SetFloat(item.AsDouble());
        return;
      case Amf3Kind::kString:
        out.SetString(item.AsString());
        return;
      case Amf3Kind::kDate:
        out.SetSigned(item.AsDate());
        return;
      case Amf3Kind::kByteArray:
        out.SetBlob(item.AsByteArray());
        return;
      case Amf3Kind::kVectorInt:
        out.MakeCollection();
        for (int32_t v : item.AsVectorInt().items) out.Append().SetSigned(v);
        return;
      case Amf3Kind::kVectorUInt:
        out.MakeCollection();
        for (uint32_t v : item.AsVectorUInt().items) out.Append().SetUnsigned(v);
        return;
      case Amf3Kind::kVectorDouble:
        out.MakeCollection();
        for (double v : item.AsVectorDouble().items) out.Append().SetFloat(v);
        return;
      case Amf3Kind::kArray:
      case Amf3Kind::kVectorObject:
      case Amf3Kind::kObject:
        break;
      default:
        return;  // Undefined, Null, LegacyXml, Xml, Dictionary
    }
    const void* identity = item.PayloadIdentity();
    if (identity == nullptr || ++containers_ > kMaxExpandedContainers) return;
    if (!active_.insert(identity).second) return;  // a cycle
    if (item.kind() == Amf3Kind::kArray) {
      out.MakeCollection();
      for (const Amf3Item& e : item.AsArray().dense) Convert(e, out.Append(), depth + 1);
    } else if (item.kind() == Amf3Kind::kVectorObject) {
      out.MakeCollection();
      for (const Amf3Item& e : item.AsVectorObject().items) Convert(e, out.Append(), depth + 1);
    } else {
      ConvertObject(item.AsObject(), out, depth);
    }
    active_.erase(identity);
  }

  void Convert(const Amf0Item& item, BindingProperty& out, size_t depth) {
    if (depth > kMaxAmfConversionDepth) return;
    switch (item.kind()) {
      case Amf0Kind::kNumber:
        out.SetFloat(item.AsNumber());
        return;
      case Amf0Kind::kBoolean:
        out.SetBool(item.AsBoolean());
        return;
      case Amf0Kind::kString:
        out.SetString(item.AsString());
        return;
      case Amf0Kind::kDate:
        out.SetSigned(item.AsDate());
        return;
      case Amf0Kind::kObject:
      case Amf0Kind::kTypedObject:
      case Amf0Kind::kStrictArray:
        break;
      default:
        return;
    }
    const void* identity = item.PayloadIdentity();
    if (identity == nullptr || ++containers_ > kMaxExpandedContainers) return;
    if (!active_.insert(identity).second) return;  // a cycle
    if (item.kind() == Amf0Kind::kStrictArray) {
      out.MakeCollection();
      for (const AmfValue& e : item.AsStrictArray()) Convert(e, out.Append(), depth + 1);
    } else {
      const Amf0Object& object = item.AsObject();
      const auto source = object.members.find("source");
      if (object.class_name == kArrayCollectionClassName) {
        if (source != object.members.end()) Convert(source->second, out, depth + 1);
      } else {
        out.MakeStructure();
        for (const auto& [name, member] : object.members) {
          Convert(member, out.MutableField(name), depth + 1);
        }
      }
    }
    active_.erase(identity);
  }

  void Convert(const AmfValue& value, BindingProperty& out, size_t depth) {
    if (value.is_amf0()) {
      Convert(value.amf0(), out, depth);
    } else {
      Convert(value.amf3(), out, depth);
    }
  }

 private:
  void ConvertObject(const Amf3Object& object, BindingProperty& out, size_t depth) {
    const std::shared_ptr<AmfClass>& amf_class = object.amf_class();
    const AmfMemberListRef members = amf_class ? amf_class->Members() : nullptr;
    if (amf_class && amf_class->externalizable() &&
        !AmfExternalBodyName(amf_class->name()).empty()) {
      Convert(object.external_body(), out, depth + 1);
      return;
    }
    if (object.class_name() == kArrayCollectionClassName) {
      const size_t index = members ? FindMemberIn(*members, "source") : AmfClass::kNoMember;
      if (index != AmfClass::kNoMember) Convert(object.SealedValue(index), out, depth + 1);
      return;
    }
    out.MakeStructure();
    if (!members) return;
    // Members come in the class's order: appended, then put in key order.
    for (size_t i = 0; i < members->size(); ++i) {
      Convert(object.SealedValue(i), out.AppendField((*members)[i].name), depth + 1);
    }
    out.FinishFields();
  }

  std::unordered_set<const void*> active_;
  size_t containers_ = 0;
};

// ---------------------------------------------------------------------------------------
// AmfValue -> Amf0Item

class ToAmf0 {
 public:
  Amf0Item Convert(const Amf3Item& item, size_t depth) {
    if (depth > kMaxAmfConversionDepth) return Amf0Item();
    switch (item.kind()) {
      case Amf3Kind::kNull:
        return Amf0Item::Null();
      case Amf3Kind::kFalse:
      case Amf3Kind::kTrue:
        return Amf0Item::Boolean(item.kind() == Amf3Kind::kTrue);
      case Amf3Kind::kInteger:
        return Amf0Item::Number(item.AsInteger());
      case Amf3Kind::kDouble:
        return Amf0Item::Number(item.AsDouble());
      case Amf3Kind::kString:
        return Amf0Item::String(item.AsString());
      case Amf3Kind::kDate:
        return Amf0Item::Date(item.AsDate());
      case Amf3Kind::kByteArray: {
        auto array = std::make_shared<Amf0StrictArray>();
        for (uint8_t b : item.AsByteArray()) array->push_back(Amf0Item::Number(b));
        return Amf0Item::StrictArray(std::move(array));
      }
      case Amf3Kind::kArray:
      case Amf3Kind::kObject:
        break;
      default:
        return Amf0Item();
    }
    const void* identity = item.PayloadIdentity();
    if (identity == nullptr || ++containers_ > kMaxExpandedContainers) return Amf0Item();
    if (!active_.insert(identity).second) return Amf0Item();  // a cycle
    Amf0Item result;
    if (item.kind() == Amf3Kind::kArray) {
      const Amf3Array& array = item.AsArray();
      auto map = std::make_shared<Amf0EcmaArray>();
      for (size_t i = 0; i < array.dense.size(); ++i) {
        map->insert_or_assign(std::to_string(i), Convert(array.dense[i], depth + 1));
      }
      for (const auto& [key, value] : array.associative) {
        map->insert_or_assign(key, Convert(value, depth + 1));
      }
      result = Amf0Item::EcmaArray(std::move(map));
    } else {
      const Amf3Object& source = item.AsObject();
      auto object = std::make_shared<Amf0Object>();
      object->class_name = std::string(source.class_name());
      const std::string_view body_name = AmfExternalBodyName(source.class_name());
      if (source.amf_class() && source.amf_class()->externalizable() && !body_name.empty()) {
        object->members.insert_or_assign(std::string(body_name),
                                         AmfValue(Convert(source.external_body(), depth + 1)));
      } else if (source.amf_class()) {
        const AmfMemberListRef members = source.amf_class()->Members();
        for (size_t i = 0; i < members->size(); ++i) {
          object->members.insert_or_assign((*members)[i].name,
                                           AmfValue(Convert(source.SealedValue(i), depth + 1)));
        }
      }
      result = Amf0Item::Object(std::move(object));
    }
    active_.erase(identity);
    return result;
  }

 private:
  std::unordered_set<const void*> active_;
  size_t containers_ = 0;
};

}  // namespace

Amf3Item ToAmf3Item(const BindingProperty& value, const AmfTypeHintRef& hint, bool forbid_dynamic,
                    AmfClassRegistry& registry) {
  return ToAmf3(forbid_dynamic, registry).Convert(value, hint, 0);
}

BindingProperty ToBindingProperty(const Amf3Item& item) {
  BindingProperty out;
  ToBinding().Convert(item, out, 0);
  return out;
}

BindingProperty ToBindingProperty(const Amf0Item& item) {
  BindingProperty out;
  ToBinding().Convert(item, out, 0);
  return out;
}

BindingProperty ToBindingProperty(const AmfValue& value) {
  BindingProperty out;
  ToBinding().Convert(value, out, 0);
  return out;
}

Amf0Item ToAmf0Item(const AmfValue& value) {
  if (value.is_amf0()) return value.amf0();
  return ToAmf0().Convert(value.amf3(), 0);
}

}  // namespace Voro
