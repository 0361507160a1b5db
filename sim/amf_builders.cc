#include "sim/amf_builders.h"

#include <map>
#include <memory>
#include <string>

#include "diag/no_destructor.h"

#include "lcds/amf/amf3_containers.h"
#include "lcds/amf/amf3_object.h"
#include "lcds/amf/amf_class.h"
#include "lcds/amf/amf_class_registry.h"
#include "lcds/amf/amf_conversion.h"

namespace Voro::Sim {

Amf3Item DynamicObject(std::initializer_list<std::pair<const char*, Amf3Item>> members) {
  Amf3Item object(Amf3Kind::kObject);
  for (const auto& [name, value] : members) {
    object.MutableObject()->SetDynamicMember(name, value);
  }
  return object;
}

Amf3Item TypedObject(const char* class_name,
                     std::initializer_list<std::pair<const char*, Amf3Item>> members) {
  bool created = false;
  auto amf_class = AmfClassRegistry::Global().FindOrCreate(
      class_name, false, false,
      [&members] {
        AmfMemberList list;
        for (const auto& [name, value] : members) {
          list.push_back({name, AmfTypeHint::Any()});
        }
        return list;
      },
      &created);
  Amf3Item object = Amf3Item::Object(std::make_shared<Amf3Object>(amf_class));
  for (const auto& [name, value] : members) {
    object.MutableObject()->SetMember(name, value);
  }
  return object;
}

Amf3Item TypedDynamicObject(const std::string& class_name, const BindingProperty& fields) {
  Amf3Item object = Amf3Item::Object(
      std::make_shared<Amf3Object>(std::make_shared<AmfClass>(class_name, false, true)));
  for (const auto& field : fields.Fields()) {
    object.MutableObject()->SetDynamicMember(field.key, ToAmf3Item(field.value));
  }
  return object;
}

namespace {

// The members of every class named in `value`, by class name, in the order they appear.
void CollectClasses(const BindingProperty& value, std::map<std::string, AmfMemberList>* classes) {
  if (value.type() == BindingType::kCollection) {
    for (const BindingProperty& element : value.Elements()) CollectClasses(element, classes);
    return;
  }
  if (value.type() != BindingType::kStructure) return;
  const BindingProperty* name = value.FindField("__class");
  AmfMemberList* members = nullptr;
  if (name != nullptr && name->type() == BindingType::kString && !name->GetString().empty()) {
    members = &(*classes)[std::string(name->GetString())];
  }
  for (const auto& field : value.Fields()) {
    if (field.key == "__class") continue;
    if (members != nullptr && FindMemberIn(*members, field.key) == AmfClass::kNoMember) {
      members->push_back({std::string(field.key), AmfTypeHint::Any()});
    }
    CollectClasses(field.value, classes);
  }
}

}  // namespace

Amf3Item ScriptedValue(const BindingProperty& value) {
  // A registry of its own: the global one keeps the first members it sees under a name for
  // good, and a sealed class drops whatever is not among them.
  std::map<std::string, AmfMemberList> classes;
  CollectClasses(value, &classes);
  AmfClassRegistry registry;
  for (auto& [name, members] : classes) {
    registry.Create(name, /*externalizable=*/false, /*dynamic=*/false, std::move(members));
  }
  return ToAmf3Item(value, nullptr, /*forbid_dynamic=*/false, registry);
}

Amf3Item AsArrayCollections(const Amf3Item& item) {
  if (item.kind() == Amf3Kind::kArray) {
    auto array = std::make_shared<Amf3Array>();
    for (const Amf3Item& element : item.AsArray().dense) {
      array->dense.push_back(AsArrayCollections(element));
    }
    for (const auto& [key, value] : item.AsArray().associative) {
      array->associative.emplace(key, AsArrayCollections(value));
    }
    static NoDestructor<std::shared_ptr<AmfClass>> collection(std::make_shared<AmfClass>(
        kArrayCollectionClassName, /*externalizable=*/true, /*dynamic=*/false));
    auto object = std::make_shared<Amf3Object>(*collection);
    object->set_external_body(Amf3Item::Array(std::move(array)));
    return Amf3Item::Object(std::move(object));
  }
  if (item.kind() != Amf3Kind::kObject) return item;
  const Amf3Object& source = item.AsObject();
  auto object = std::make_shared<Amf3Object>(source.amf_class());
  const AmfMemberListRef members =
      source.amf_class() ? source.amf_class()->Members() : std::make_shared<AmfMemberList>();
  for (size_t i = 0; i < members->size(); ++i) {
    object->SetSealedValue(i, (*members)[i].name, AsArrayCollections(source.SealedValue(i)));
  }
  for (const auto& [name, value] : source.dynamic_members()) {
    object->SetDynamicMember(name, AsArrayCollections(value));
  }
  object->set_external_body(AsArrayCollections(source.external_body()));
  return Amf3Item::Object(std::move(object));
}

Amf3Item AsyncMessage(const Amf3Item& body, const std::string& subtopic,
                      const std::string& client_id) {
  return TypedObject("flex.messaging.messages.AsyncMessage",
                     {{"body", body},
                      {"clientId", Amf3Item::String(client_id)},
                      {"destination", Amf3Item::String("messagingDestination")},
                      {"headers", DynamicObject({{"DSSubtopic", Amf3Item::String(subtopic)}})},
                      {"messageId", Amf3Item::String("sim-push")},
                      {"timeToLive", Amf3Item::Integer(0)},
                      {"timestamp", Amf3Item::Integer(0)}});
}

Amf3Item WholeNumber(int64_t value) { return Amf3Item::Double(static_cast<double>(value)); }

std::string MemberText(const AmfValue& object, const char* name) {
  const std::string* text = AmfString(AmfMember(object, name));
  return text ? *text : std::string();
}

AmfValue FirstDenseElement(const AmfValue& array) {
  if (array.is_amf3() && array.amf3().kind() == Amf3Kind::kArray &&
      !array.amf3().AsArray().dense.empty()) {
    return array.amf3().AsArray().dense.front();
  }
  return {};
}

std::vector<std::string> DenseTexts(const AmfValue& array) {
  std::vector<std::string> texts;
  if (array.is_amf3() && array.amf3().kind() == Amf3Kind::kArray) {
    for (const Amf3Item& item : array.amf3().AsArray().dense) {
      texts.push_back(item.kind() == Amf3Kind::kString ? std::string(item.AsString())
                                                       : std::string());
    }
  }
  return texts;
}

}  // namespace Voro::Sim
