#include "amf_notation_reader.h"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/stream.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "lcds/amf/amf3_containers.h"
#include "lcds/amf/amf3_item.h"
#include "lcds/amf/amf3_object.h"
#include "lcds/amf/amf_class.h"
#include "lcds/amf/amf_externalizable.h"
#include "lcds/amf/amf_kind.h"
#include "lcds/amf/amf_writer.h"

namespace kivtool {

namespace {

using Json = rapidjson::Value;
using Voro::Amf0Item;
using Voro::Amf0Kind;
using Voro::Amf3Item;
using Voro::Amf3Kind;
using Voro::AmfValue;

constexpr int64_t kMinInteger = -268435456;
constexpr int64_t kMaxInteger = 268435455;
// Deeper input is refused before the recursion below could exhaust the stack; the writer
// would put Null there anyway.
constexpr size_t kMaxDepth = 1000;

std::string_view Text(const Json& json) {
  return std::string_view(json.GetString(), json.GetStringLength());
}

const Json* Member(const Json& object, const char* name) {
  const auto it = object.FindMember(name);
  return it == object.MemberEnd() ? nullptr : &it->value;
}

class NotationReader {
 public:
  AmfValue Amf0(const Json& json, size_t depth) {
    if (!Enter(depth)) return AmfValue();
    if (json.IsNull()) return Amf0Item::Null();
    if (json.IsBool()) return Amf0Item::Boolean(json.GetBool());
    if (json.IsNumber()) return Amf0Item::Number(json.GetDouble());
    if (json.IsString()) return Amf0Item::String(Text(json));
    if (json.IsArray()) {
      auto array = std::make_shared<Voro::Amf0StrictArray>();
      const Amf0Item item = Amf0Item::StrictArray(array);
      const size_t entry = Open(item);
      for (const Json& element : json.GetArray()) array->push_back(Amf0(element, depth + 1));
      return Close(entry, item);
    }
    if (const Json* amf3 = Member(json, "__amf3")) return Amf3(*amf3, depth + 1);
    if (const Json* ref = Member(json, "__ref")) return Reference(*ref);
    if (const Json* kind = Member(json, "__kind")) return Amf0Kinded(json, *kind, depth);
    // An object, typed when it names a class.
    const Json* name = Member(json, "__class");
    if (name != nullptr && !name->IsString()) return Fail("\"__class\" is not a string");
    const bool typed = name != nullptr && name->GetStringLength() > 0;
    const Amf0Item item(typed ? Amf0Kind::kTypedObject : Amf0Kind::kObject);
    const size_t entry = Open(item);
    Voro::Amf0Object* object = item.MutableObject();
    if (typed) object->class_name = std::string(Text(*name));
    for (const auto& member : json.GetObject()) {
      const std::string_view key = Text(member.name);
      if (key == "__class") continue;
      object->members.insert_or_assign(std::string(key), Amf0(member.value, depth + 1));
    }
    return Close(entry, item);
  }

  Amf3Item Amf3(const Json& json, size_t depth) {
    if (!Enter(depth)) return Amf3Item();
    if (json.IsNull()) return Amf3Item::Null();
    if (json.IsBool()) return Amf3Item::Boolean(json.GetBool());
    if (json.IsNumber()) {
      if (json.IsInt64() && json.GetInt64() >= kMinInteger && json.GetInt64() <= kMaxInteger) {
        return Amf3Item::Integer(static_cast<int32_t>(json.GetInt64()));
      }
      return Amf3Item::Double(json.GetDouble());
    }
    if (json.IsString()) return Amf3Item::String(Text(json));
    if (json.IsArray()) return Array(json, nullptr, depth);
    if (Member(json, "__amf3") != nullptr) return Fail3("\"__amf3\" inside an AMF3 value");
    if (const Json* ref = Member(json, "__ref")) {
      const AmfValue value = Reference(*ref);
      if (value.is_amf3()) return value.amf3();
      return error_.empty() ? Fail3("\"__ref\" to an AMF0 container") : Amf3Item();
    }
    if (const Json* kind = Member(json, "__kind")) return Amf3Kinded(json, *kind, depth);
    return Object(json, depth);
  }

  const std::string& error() const { return error_; }

 private:
  bool Enter(size_t depth) {
    if (!error_.empty()) return false;
    if (depth < kMaxDepth) return true;
    Fail("nested too deeply");
    return false;
  }

  AmfValue Fail(std::string text) {
    if (error_.empty()) error_ = std::move(text);
    return AmfValue();
  }
  Amf3Item Fail3(std::string text) {
    Fail(std::move(text));
    return Amf3Item();
  }

  size_t Open(AmfValue container) {
    containers_.push_back({std::move(container), true});
    return containers_.size() - 1;
  }
  template <typename Item>
  Item Close(size_t entry, Item item) {
    containers_[entry].open = false;
    return item;
  }

  AmfValue Reference(const Json& ref) {
    if (!ref.IsUint64() || ref.GetUint64() >= containers_.size()) {
      return Fail("\"__ref\" is not the number of a container above");
    }
    const Container& container = containers_[ref.GetUint64()];
    if (!container.open) return container.value;
    // A cycle: held without ownership, as the AMF reader holds it, so that it can be freed.
    if (container.value.is_amf0()) return Amf0Item::BackReference(container.value.amf0());
    return Amf3Item::BackReference(container.value.amf3());
  }

  // A number, or the text of one JSON cannot hold ("NaN", "Infinity", "-Infinity").
  bool Double(const Json* value, double* out) {
    if (value != nullptr && value->IsNumber()) {
      *out = value->GetDouble();
      return true;
    }
    const std::string_view text = value != nullptr && value->IsString() ? Text(*value) : "";
    if (text == "NaN") *out = std::numeric_limits<double>::quiet_NaN();
    if (text == "Infinity") *out = std::numeric_limits<double>::infinity();
    if (text == "-Infinity") *out = -std::numeric_limits<double>::infinity();
    if (text == "NaN" || text == "Infinity" || text == "-Infinity") return true;
    Fail("\"value\" is not a number");
    return false;
  }

  bool Date(const Json& json, int64_t* out) {
    const Json* value = Member(json, "value");
    if (value == nullptr || !value->IsInt64()) {
      Fail("a Date's \"value\" is not a whole number of milliseconds");
      return false;
    }
    *out = value->GetInt64();
    return true;
  }

  bool TextMember(const Json& json, const char* name, std::string_view* out) {
    const Json* value = Member(json, name);
    if (value == nullptr || !value->IsString()) {
      Fail("\"" + std::string(name) + "\" is not a string");
      return false;
    }
    *out = Text(*value);
    return true;
  }

  const Json* ContainerMember(const Json& json, const char* name, bool array) {
    const Json* value = Member(json, name);
    if (value == nullptr || (array ? !value->IsArray() : !value->IsObject())) {
      Fail("\"" + std::string(name) + "\" is not " + (array ? "an array" : "an object"));
      return nullptr;
    }
    return value;
  }

  AmfValue Amf0Kinded(const Json& json, const Json& kind, size_t depth) {
    const std::string_view name = kind.IsString() ? Text(kind) : "";
    if (name == "EcmaArray") {
      auto array = std::make_shared<Voro::Amf0EcmaArray>();
      const Amf0Item item = Amf0Item::EcmaArray(array);
      const size_t entry = Open(item);
      const Json* entries = ContainerMember(json, "entries", false);
      if (entries == nullptr) return AmfValue();
      for (const auto& entry : entries->GetObject()) {
        array->insert_or_assign(std::string(Text(entry.name)), Amf0(entry.value, depth + 1));
      }
      return Close(entry, item);
    }
    if (name == "Date") {
      int64_t date = 0;
      return Date(json, &date) ? Amf0Item::Date(date) : AmfValue();
    }
    if (name == "LongString") {
      std::string_view text;
      return TextMember(json, "value", &text) ? Amf0Item::LongString(text) : AmfValue();
    }
    if (name == "Double") {
      double value = 0;
      return Double(Member(json, "value"), &value) ? Amf0Item::Number(value) : AmfValue();
    }
    for (uint32_t code = 0; code < Voro::kAmfKindCount; ++code) {
      if (Voro::Amf0KindName(code) == name) return Amf0Item(static_cast<Amf0Kind>(code));
    }
    return Fail("unknown AMF0 \"__kind\" \"" + std::string(name) + "\"");
  }

  Amf3Item Array(const Json& json, const Json* associative, size_t depth) {
    auto array = std::make_shared<Voro::Amf3Array>();
    const Amf3Item item = Amf3Item::Array(array);
    const size_t entry = Open(item);
    // The printer shows the associative part after the dense one, but the wire (and so the
    // order of first appearance) has it first.
    if (associative != nullptr) {
      for (const auto& entry : associative->GetObject()) {
        array->associative.insert_or_assign(std::string(Text(entry.name)),
                                            Amf3(entry.value, depth + 1));
      }
    }
    for (const Json& element : json.GetArray()) array->dense.push_back(Amf3(element, depth + 1));
    return Close(entry, item);
  }

  template <typename Vector, typename Element>
  Amf3Item Numbers(const Json& json, Amf3Item (*make)(std::shared_ptr<Vector>),
                   bool (*fits)(const Json&), Element (*get)(const Json&)) {
    auto vector = std::make_shared<Vector>();
    const Amf3Item item = make(vector);
    const size_t entry = Open(item);
    const Json* items = ContainerMember(json, "items", true);
    if (items == nullptr) return Amf3Item();
    vector->fixed = Fixed(json);
    for (const Json& element : items->GetArray()) {
      if (!fits(element)) return Fail3("a vector element out of its range");
      vector->items.push_back(get(element));
    }
    return Close(entry, item);
  }

  static bool Fixed(const Json& json) {
    const Json* fixed = Member(json, "fixed");
    return fixed != nullptr && fixed->IsBool() && fixed->GetBool();
  }

  Amf3Item Amf3Kinded(const Json& json, const Json& kind, size_t depth) {
    const std::string_view name = kind.IsString() ? Text(kind) : "";
    if (name == "Array") {
      const Json* dense = ContainerMember(json, "dense", true);
      const Json* associative = dense ? ContainerMember(json, "associative", false) : nullptr;
      return associative ? Array(*dense, associative, depth) : Amf3Item();
    }
    if (name == "Date") {
      int64_t date = 0;
      return Date(json, &date) ? Amf3Item::Date(date) : Amf3Item();
    }
    if (name == "Double") {
      double value = 0;
      return Double(Member(json, "value"), &value) ? Amf3Item::Double(value) : Amf3Item();
    }
    if (name == "Xml") {
      std::string_view text;
      return TextMember(json, "value", &text) ? Amf3Item::Xml(text) : Amf3Item();
    }
    if (name == "ByteArray") return Bytes(json);
    if (name == "VectorInt") {
      return Numbers<Voro::Amf3VectorInt, int32_t>(
          json, &Amf3Item::VectorInt, [](const Json& e) { return e.IsInt(); },
          [](const Json& e) { return static_cast<int32_t>(e.GetInt()); });
    }
    if (name == "VectorUInt") {
      return Numbers<Voro::Amf3VectorUInt, uint32_t>(
          json, &Amf3Item::VectorUInt, [](const Json& e) { return e.IsUint(); },
          [](const Json& e) { return static_cast<uint32_t>(e.GetUint()); });
    }
    if (name == "VectorDouble") {
      auto vector = std::make_shared<Voro::Amf3VectorDouble>();
      const Amf3Item item = Amf3Item::VectorDouble(vector);
      const size_t entry = Open(item);
      const Json* items = ContainerMember(json, "items", true);
      if (items == nullptr) return Amf3Item();
      vector->fixed = Fixed(json);
      for (const Json& element : items->GetArray()) {
        double value = 0;
        if (!Double(element.IsObject() ? Member(element, "value") : &element, &value)) {
          return Amf3Item();
        }
        vector->items.push_back(value);
      }
      return Close(entry, item);
    }
    if (name == "VectorObject") {
      auto vector = std::make_shared<Voro::Amf3ObjectVector>();
      const Amf3Item item = Amf3Item::VectorObject(vector);
      const size_t entry = Open(item);
      const Json* items = ContainerMember(json, "items", true);
      std::string_view type;
      if (items == nullptr || !TextMember(json, "type", &type)) return Amf3Item();
      vector->fixed = Fixed(json);
      vector->type_name = std::string(type);
      for (const Json& element : items->GetArray()) {
        vector->items.push_back(Amf3(element, depth + 1));
      }
      return Close(entry, item);
    }
    if (name == "Dictionary") {
      auto dictionary = std::make_shared<Voro::Amf3Dictionary>();
      const Amf3Item item = Amf3Item::Dictionary(dictionary);
      const size_t entry = Open(item);
      const Json* entries = ContainerMember(json, "entries", true);
      if (entries == nullptr) return Amf3Item();
      const Json* weak = Member(json, "weakKeys");
      dictionary->weak_keys = weak != nullptr && weak->IsBool() && weak->GetBool();
      for (const Json& entry : entries->GetArray()) {
        if (!entry.IsArray() || entry.Size() != 2) {
          return Fail3("a Dictionary entry is not a [key, value] pair");
        }
        Amf3Item key = Amf3(entry[0], depth + 1);
        Amf3Item value = Amf3(entry[1], depth + 1);
        dictionary->entries.emplace_back(std::move(key), std::move(value));
      }
      return Close(entry, item);
    }
    for (uint32_t code = 0; code < Voro::kAmfKindCount; ++code) {
      if (Voro::Amf3KindName(code) == name) return Amf3Item(static_cast<Amf3Kind>(code));
    }
    return Fail3("unknown AMF3 \"__kind\" \"" + std::string(name) + "\"");
  }

  Amf3Item Bytes(const Json& json) {
    std::string_view hex;
    if (!TextMember(json, "hex", &hex)) return Amf3Item();
    std::vector<uint8_t> bytes;
    const auto digit = [](char c) {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      return -1;
    };
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
      const int high = digit(hex[i]), low = digit(hex[i + 1]);
      if (high < 0 || low < 0) return Fail3("\"hex\" holds a character that is not a hex digit");
      bytes.push_back(static_cast<uint8_t>(high << 4 | low));
    }
    if (hex.size() % 2 != 0) return Fail3("\"hex\" has an odd number of digits");
    return Amf3Item::ByteArray(std::move(bytes));  // printed in full each time: no container
  }

  // {"__class": name, ["__externalizable": true, body,] sealed members...,
  //  ["__dynamic": {...}]}, or a plain object: anonymous and dynamic.
  Amf3Item Object(const Json& json, size_t depth) {
    const Json* name = Member(json, "__class");
    if (name != nullptr && !name->IsString()) return Fail3("\"__class\" is not a string");
    const Json* externalizable = Member(json, "__externalizable");
    const bool external =
        externalizable != nullptr && externalizable->IsBool() && externalizable->GetBool();
    const Json* dynamic = Member(json, "__dynamic");
    if (dynamic != nullptr && !dynamic->IsObject()) return Fail3("\"__dynamic\" is not an object");
    const std::string class_name = name ? std::string(Text(*name)) : std::string();
    const std::string_view body_name = external ? Voro::AmfExternalBodyName(class_name) : "";
    // Sealed members in the order given, which is the order of the traits on the wire.
    std::vector<const Json*> sealed_values;
    Voro::AmfMemberList members;
    std::string key = class_name + '\n' + (external ? "e" : "") + (dynamic ? "d" : "");
    for (const auto& member : json.GetObject()) {
      const std::string_view member_name = Text(member.name);
      if (member_name == "__class" || member_name == "__externalizable" ||
          member_name == "__dynamic" || (!body_name.empty() && member_name == body_name)) {
        continue;
      }
      if (name == nullptr) continue;  // a plain object's keys are all dynamic
      members.push_back({std::string(member_name), Voro::AmfTypeHint::Any()});
      sealed_values.push_back(&member.value);
      key += '\n';
      key += member_name;
    }
    std::shared_ptr<Voro::AmfClass>& amf_class = classes_[key];
    if (!amf_class) {
      // Objects printed alike share one definition, so its traits go out once and are
      // referred to afterwards, as they were on the wire.
      amf_class = std::make_shared<Voro::AmfClass>(class_name, external, dynamic || !name,
                                                   std::move(members));
    }
    auto object = std::make_shared<Voro::Amf3Object>(amf_class);
    const Amf3Item item = Amf3Item::Object(object);
    const size_t entry = Open(item);
    if (!body_name.empty()) {
      const std::string body(body_name);
      if (const Json* value = Member(json, body.c_str())) {
        object->set_external_body(Amf3(*value, depth + 1));
      }
    }
    const Voro::AmfMemberListRef list = amf_class->Members();
    for (size_t i = 0; i < sealed_values.size(); ++i) {
      object->SetSealedValue(i, (*list)[i].name, Amf3(*sealed_values[i], depth + 1));
    }
    const Json* dynamic_members = name ? dynamic : &json;
    if (dynamic_members != nullptr) {
      for (const auto& member : dynamic_members->GetObject()) {
        object->SetDynamicMember(Text(member.name), Amf3(member.value, depth + 1));
      }
    }
    return Close(entry, item);
  }

  std::string error_;
  struct Container {
    AmfValue value;
    bool open;  // still being read: a reference to it must not own it
  };
  std::vector<Container> containers_;
  std::map<std::string, std::shared_ptr<Voro::AmfClass>> classes_;
};

}  // namespace

kiv::Result<std::vector<AmfValue>> ReadAmfNotation(std::string_view text, bool amf0) {
  const std::string input(text);  // the parser wants a terminated string
  rapidjson::StringStream stream(input.c_str());
  NotationReader reader;
  std::vector<AmfValue> values;
  for (;;) {
    while (stream.Peek() == ' ' || stream.Peek() == '\n' || stream.Peek() == '\r' ||
           stream.Peek() == '\t') {
      stream.Take();
    }
    if (stream.Peek() == '\0') break;
    rapidjson::Document document;
    document.ParseStream<rapidjson::kParseStopWhenDoneFlag | rapidjson::kParseFullPrecisionFlag |
                         rapidjson::kParseIterativeFlag>(stream);
    if (document.HasParseError()) {
      return kiv::Error{"value " + std::to_string(values.size() + 1) + ": " +
                        rapidjson::GetParseError_En(document.GetParseError()) + " (at byte " +
                        std::to_string(stream.Tell()) + ")"};
    }
    values.push_back(amf0 ? reader.Amf0(document, 0) : AmfValue(reader.Amf3(document, 0)));
    if (!reader.error().empty()) {
      return kiv::Error{"value " + std::to_string(values.size()) + ": " + reader.error()};
    }
  }
  if (values.empty()) return kiv::Error{"no JSON value in the input"};
  return values;
}

std::vector<uint8_t> WriteAmfValues(const std::vector<AmfValue>& values, bool amf0) {
  Voro::AmfWriter writer;
  for (const AmfValue& value : values) {
    if (amf0) {
      writer.WriteAmf0(value);
    } else {
      writer.WriteAmf3(value.amf3());
    }
  }
  return writer.TakeBytes();
}

}  // namespace kivtool
