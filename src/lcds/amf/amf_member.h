// Quiet member lookup on values received from a peer, whatever their format: a missing
// member or a value that is not an object reads as Undefined, without a log line.
#pragma once

#include <string_view>

#include "lcds/amf/amf0_item.h"

namespace Voro {

// An AMF0 Object, TypedObject or ECMA array, or an AMF3 Object.
bool IsAmfObject(const AmfValue& value);

// The member `name` of an object (sealed or dynamic for AMF3); Undefined otherwise.
AmfValue AmfMember(const AmfValue& object, std::string_view name);

// The text of an AMF0 String/LongString or AMF3 String; null for any other kind.
const std::string* AmfString(const AmfValue& value);

// Null or Undefined in either format.
bool IsAmfNullish(const AmfValue& value);

}  // namespace Voro
