// BindingProperty trees written as JSON text.
#pragma once

#include <string>
#include <string_view>

#include "binding/value/binding_abi.h"
#include "binding/value/binding_property.h"

namespace Voro {

// An empty `layout` gives compact output; any other text the pretty layout indented by
// four spaces. Enumerations are written by name when `names` knows them, otherwise as
// their number; blobs as Base64 strings; "empty" as null inside containers and as an
// empty text at the top.
std::string WriteJson(const BindingProperty& value, const EnumNameResolver* names = nullptr,
                      std::string_view layout = {});

// The compact text through RapidJSON's own Writer: the same bytes as WriteJson's compact
// text, which tests and fuzzing check against it.
std::string WriteJsonWithRapidJson(const BindingProperty& value,
                                   const EnumNameResolver* names = nullptr);

}  // namespace Voro
