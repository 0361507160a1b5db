#include "lcds/flex_messages.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

#include "diag/clock.h"
#include "lcds/amf/amf3_containers.h"
#include "lcds/amf/amf3_object.h"
#include "lcds/amf/amf_class.h"
#include "lcds/amf/amf_conversion.h"
#include "lcds/flex_message_classes.h"

namespace Voro {

namespace {

// ---------------------------------------------------------------------------------------
// Reading members of either format without logging: a push that lacks one is not an error.

bool IsObject(const AmfValue& value) {
  if (value.is_amf3()) return value.amf3().kind() == Amf3Kind::kObject;
  const Amf0Kind kind = value.amf0().kind();
  return kind == Amf0Kind::kObject || kind == Amf0Kind::kTypedObject;
}

// The member `name` of an AMF3 or AMF0 object; none for a missing member or a non-object.
std::optional<AmfValue> MemberOf(const AmfValue& object, std::string_view name) {
  if (!IsObject(object)) return std::nullopt;
  if (object.is_amf0()) {
    const Amf0MemberMap& members = object.amf0().AsObject().members;
    const auto it = members.find(name);
    if (it == members.end()) return std::nullopt;
    return it->second;
  }
  const Amf3Object& amf3 = object.amf3().AsObject();
  if (amf3.amf_class()) {
    const size_t index = amf3.amf_class()->FindMember(name);
    if (index != AmfClass::kNoMember) return AmfValue(amf3.SealedValue(index));
  }
  const auto it = amf3.dynamic_members().find(name);
  if (it == amf3.dynamic_members().end()) return std::nullopt;
  return AmfValue(it->second);
}

// Copies the text of a String (or AMF0 LongString) into *out; false for every other kind.
bool ReadString(const std::optional<AmfValue>& value, std::string* out) {
  if (!value) return false;
  if (value->is_amf3()) {
    if (value->amf3().kind() != Amf3Kind::kString) return false;
    *out = value->amf3().AsString();
    return true;
  }
  const Amf0Kind kind = value->amf0().kind();
  if (kind != Amf0Kind::kString && kind != Amf0Kind::kLongString) return false;
  *out = value->amf0().AsString();
  return true;
}

// ---------------------------------------------------------------------------------------
// AMF0 -> AMF3, for the body of a push that arrived in AMF0.
//
// Objects become objects of an unregistered sealed class named as the AMF0 class (empty for
// anonymous ones) whose members are the AMF0 keys: sealed, so that they survive the
// conversion to binding values, and unregistered, so that input cannot grow the registry.
// Each AMF0 payload is converted once: a payload met again is shared, and one met again
// inside itself becomes a back reference, so cycles and shared subgraphs stay bounded.

class Amf0ToAmf3 {
 public:
  Amf3Item Convert(const AmfValue& value, size_t depth) {
    if (value.is_amf3()) return value.amf3();
    const Amf0Item& item = value.amf0();
    switch (item.kind()) {
      case Amf0Kind::kNumber:
        return Amf3Item::Double(item.AsNumber());
      case Amf0Kind::kBoolean:
        return Amf3Item::Boolean(item.AsBoolean());
      case Amf0Kind::kString:
      case Amf0Kind::kLongString:
        return Amf3Item::String(item.AsString());
      case Amf0Kind::kNull:
        return Amf3Item::Null();
      case Amf0Kind::kDate:
        return Amf3Item::Date(item.AsDate());
      case Amf0Kind::kObject:
      case Amf0Kind::kTypedObject:
      case Amf0Kind::kEcmaArray:
      case Amf0Kind::kStrictArray:
        return Container(item, depth);
      default:
        return Amf3Item();
    }
  }

 private:
  struct Converted {
    Amf3Item item;
    bool in_progress;
  };

  Amf3Item Container(const Amf0Item& item, size_t depth) {
    const void* identity = item.PayloadIdentity();
    if (identity == nullptr || depth >= kMaxAmfConversionDepth) return Amf3Item();
    if (const auto found = converted_.find(identity); found != converted_.end()) {
      const Converted& seen = found->second;
      return seen.in_progress ? Amf3Item::BackReference(seen.item) : seen.item;
    }
    // Elements of an unordered_map keep their address while it grows.
    Converted& entry = converted_[identity];
    entry.in_progress = true;
    switch (item.kind()) {
      case Amf0Kind::kObject:
      case Amf0Kind::kTypedObject:
        ConvertObject(item.AsObject(), entry, depth);
        break;
      case Amf0Kind::kEcmaArray: {
        auto array = std::make_shared<Amf3Array>();
        entry.item = Amf3Item::Array(array);
        for (const auto& [key, value] : item.AsEcmaArray()) {
          array->associative.emplace(key, Convert(value, depth + 1));
        }
        break;
      }
      default: {  // kStrictArray
        auto array = std::make_shared<Amf3Array>();
        entry.item = Amf3Item::Array(array);
        const Amf0StrictArray& elements = item.AsStrictArray();
        array->dense.reserve(elements.size());
        for (const AmfValue& element : elements) {
          array->dense.push_back(Convert(element, depth + 1));
        }
        break;
      }
    }
    entry.in_progress = false;
    return entry.item;
  }

  void ConvertObject(const Amf0Object& source, Converted& entry, size_t depth) {
    AmfMemberList members;
    members.reserve(source.members.size());
    for (const auto& member : source.members) {
      members.push_back({member.first, AmfTypeHint::Any()});
    }
    auto amf_class = std::make_shared<AmfClass>(source.class_name, /*externalizable=*/false,
                                                /*dynamic=*/false, std::move(members));
    auto object = std::make_shared<Amf3Object>(std::move(amf_class));
    entry.item = Amf3Item::Object(object);
    size_t index = 0;
    for (const auto& [name, value] : source.members) {
      object->SetSealedValue(index++, name, Convert(value, depth + 1));
    }
  }

  std::unordered_map<const void*, Converted> converted_;
};

}  // namespace

Amf3Item MakeHeaders(const FlexClientIdentity& identity, std::string_view subtopic) {
  Amf3Item headers(Amf3Kind::kObject);  // anonymous and dynamic
  Amf3Object* object = headers.MutableObject();
  object->SetDynamicMember(kFlexEndpointHeader, Amf3Item::String(identity.endpoint));
  object->SetDynamicMember(kFlexClientIdHeader, Amf3Item::String(identity.client_id));
  object->SetDynamicMember(kFlexRequestTimeoutHeader,
                           Amf3Item::Integer(kFlexRequestTimeoutSeconds));
  if (!subtopic.empty()) {
    object->SetDynamicMember(kFlexSubtopicHeader, Amf3Item::String(subtopic));
  }
  return headers;
}

Amf3Item MakeRemotingMessage(const FlexClientIdentity& identity, MessageIdGenerator& ids,
                             std::string_view destination, std::string_view operation,
                             const Amf3Item& body) {
  auto message = std::make_shared<Amf3Object>(GetFlexMessageClasses().remoting_message);
  message->SetMember("messageId", Amf3Item::String(ids.Next()));
  message->SetMember("timestamp", Amf3Item::Date(NowUnixMilliseconds()));
  message->SetMember("clientId", Amf3Item::String(identity.client_id));
  message->SetMember("headers", MakeHeaders(identity));
  message->SetMember("source", Amf3Item::Null());
  message->SetMember("destination", Amf3Item::String(destination));
  message->SetMember("operation", Amf3Item::String(operation));
  message->SetMember("body", body);
  message->SetMember("timeToLive", Amf3Item::Integer(0));
  return Amf3Item::Object(std::move(message));
}

Amf3Item MakeCommandMessage(MessageIdGenerator& ids, std::string_view correlation_id,
                            int32_t operation) {
  auto message = std::make_shared<Amf3Object>(GetFlexMessageClasses().command_message);
  message->SetMember("messageId", Amf3Item::String(ids.Next()));
  message->SetMember("correlationId", Amf3Item::String(correlation_id));
  message->SetMember("operation", Amf3Item::Integer(operation));
  return Amf3Item::Object(std::move(message));
}

Push DecodePush(const AmfValue& first_argument) {
  Push push;
  if (!IsObject(first_argument)) return push;
  if (const std::optional<AmfValue> headers = MemberOf(first_argument, "headers")) {
    std::string subtopic;
    if (ReadString(MemberOf(*headers, kFlexSubtopicHeader), &subtopic)) {
      push.subtopic = std::move(subtopic);
    }
  }
  std::string client_id;
  if (ReadString(MemberOf(first_argument, "clientId"), &client_id)) {
    push.client_id = std::move(client_id);
  }
  if (std::optional<AmfValue> body = MemberOf(first_argument, "body")) {
    push.body = Amf0ToAmf3().Convert(*body, 0);
  }
  return push;
}

}  // namespace Voro
