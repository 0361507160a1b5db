// Conversions between AMF values and binding values, and from AMF3 to AMF0.
//
// Every conversion terminates on graphs with cycles: a payload already being converted
// further up converts to "empty" (Undefined for the AMF0 normalisation), and nesting
// deeper than kMaxAmfConversionDepth is cut off the same way. Shared payloads are expanded
// into trees, but only up to about a million containers per conversion: the rest convert
// to "empty" too, so a small message cannot expand without bound.
#pragma once

#include <cstddef>

#include "binding/value/binding_property.h"
#include "lcds/amf/amf0_item.h"
#include "lcds/amf/amf3_item.h"
#include "lcds/amf/amf_class.h"
#include "lcds/amf/amf_class_registry.h"
#include "lcds/amf/amf_externalizable.h"

namespace Voro {

inline constexpr size_t kMaxAmfConversionDepth = 1000;

// A binding value as an AMF3 value. Integers in the 29-bit signed range become Integer,
// others Double; a structure becomes an object of the hint's class, else of the class named
// by its "__class" string (found in, or created and registered with, `registry`), else of
// an anonymous dynamic class. Entries that are not sealed members become dynamic members
// unless `forbid_dynamic` is set, in which case they are dropped. An object of a known
// externalizable class takes its body from the entry its class names, and nothing else.
Amf3Item ToAmf3Item(const BindingProperty& value, const AmfTypeHintRef& hint = nullptr,
                    bool forbid_dynamic = false,
                    AmfClassRegistry& registry = AmfClassRegistry::Global());

// AMF values as binding values; objects carry their sealed members only. An
// ArrayCollection converts to its source, and an object of a known externalizable class
// (amf_externalizable.h) to its body.
BindingProperty ToBindingProperty(const Amf3Item& item);
BindingProperty ToBindingProperty(const Amf0Item& item);
BindingProperty ToBindingProperty(const AmfValue& value);

// Normalises a value to AMF0: AMF0 items pass through unchanged, AMF3 items map to their
// nearest AMF0 kind (object members included, and the body of a known externalizable
// object as the member its class names), Undefined where there is none.
Amf0Item ToAmf0Item(const AmfValue& value);

}  // namespace Voro
