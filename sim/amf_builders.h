// Building and reading the AMF3 objects the simulator exchanges with the client.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>

#include "binding/value/binding_property.h"
#include "lcds/amf/amf3_item.h"
#include "lcds/amf/amf_member.h"

namespace Voro::Sim {

// An anonymous dynamic object with `members`.
Amf3Item DynamicObject(std::initializer_list<std::pair<const char*, Amf3Item>> members);

// An object of the registered sealed class `class_name` whose members are those given, in
// order (the class is registered on first use).
Amf3Item TypedObject(const char* class_name,
                     std::initializer_list<std::pair<const char*, Amf3Item>> members);

// An object of an unregistered dynamic class named `class_name` whose dynamic members are
// the fields of `fields` (a structure), converted as the client converts its arguments.
Amf3Item TypedDynamicObject(const std::string& class_name, const BindingProperty& fields);

// `value` converted as the client converts its arguments (ToAmf3Item): a mapping with a
// "__class" text becomes an object of that sealed class, another mapping an anonymous
// object. The classes are the value's own, not the process's: every object of a class
// carries the members of all its objects in the value.
Amf3Item ScriptedValue(const BindingProperty& value);

// `item` with every array in it (its own elements included) sent as an externalizable
// flex.messaging.io.ArrayCollection whose body is the array: the form in which servers of
// Flex messaging usually send lists.
Amf3Item AsArrayCollections(const Amf3Item& item);

// An AsyncMessage as the platform pushes it: `body` with the subtopic header and the
// connection's client id.
Amf3Item AsyncMessage(const Amf3Item& body, const std::string& subtopic,
                      const std::string& client_id);

Amf3Item WholeNumber(int64_t value);  // as AMF's Double, the way the platform sends longs

// The member `name` of `object` when it is a string, else an empty text.
std::string MemberText(const AmfValue& object, const char* name);
// The first element of an AMF3 array's dense part, or Undefined.
AmfValue FirstDenseElement(const AmfValue& array);
// The dense part of an AMF3 array as texts (non-strings read as empty).
std::vector<std::string> DenseTexts(const AmfValue& array);

}  // namespace Voro::Sim
